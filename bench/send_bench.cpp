// One send of a full send box (4,096 characters) in each mode: conversion to the code page,
// parsing, recording in the capture with the sent bit, the write call and the scroll update.
#include <benchmark/benchmark.h>

#include <string>

#include "app/session.h"
#include "tests/app/support/fake_session_ui.h"
#include "tools/send_composer.h"

namespace {

using namespace quarlex;

struct QuietSendUi : SendUi {
  std::string text;
  std::string SendText() override { return text; }
  void SetSendText(const std::string& t) override { text = t; }
  void PlaceSendCaretAtEnd() override {}
  void SetModeCaption(const std::string&) override {}
  void SetLineEndingText(const std::string&) override {}
  void OutExchange() override {}
};

struct CountingPort : SendPort {
  size_t bytes = 0;
  void Write(const uint8_t*, size_t count) override { bytes += count; }
};

std::string FullBox(InputMode mode) {
  std::string t;
  while (t.size() < 4 * 4096) {
    if (mode == InputMode::Hex) t += "4F ";
    if (mode == InputMode::Text) t += "Данные ";  // Cyrillic: two UTF-8 bytes per character to convert
    if (mode == InputMode::Decimal) t += "79,";
  }
  // Cut to 4,096 characters, not bytes, for the Cyrillic text.
  if (mode == InputMode::Text) {
    std::string out;
    size_t chars = 0;
    for (size_t i = 0; i < t.size() && chars < 4096; ++chars) {
      const size_t len = (static_cast<uint8_t>(t[i]) & 0x80) ? 2 : 1;
      out.append(t, i, len);
      i += len;
    }
    return out;
  }
  return t.substr(0, 4096);
}

void BM_Send(benchmark::State& state) {
  static quarlex::testing::FakeSessionUi sessionUi;
  static Session* session = new Session(sessionUi);  // one 64 MiB store for all runs
  QuietSendUi ui;
  CountingPort port;
  SendComposer send(*session, ui);
  send.Port = &port;
  session->PortConnected = true;
  session->SendMode = static_cast<InputMode>(state.range(0));
  send.SetLineEnding(LineEnding::CRNL);
  ui.text = FullBox(session->SendMode);
  for (auto _ : state) send.Send();
  state.SetBytesProcessed(static_cast<int64_t>(port.bytes));
  state.counters["bytes/send"] = static_cast<double>(port.bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Send)->ArgName("mode")->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
