// Search over a full ring of random bytes: a new search (what every keystroke in the find box
// costs, the removal of the previous hits included), the tick's follow-up after 64 KiB of new
// data, and the plain scan from index 0 that the follow-up avoids, for comparison.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "app/capture_store.h"
#include "tests/app/support/store_fields.h"
#include "tests/tools/support/search_reference.h"
#include "tools/search.h"

namespace {

using namespace quarlex;

struct QuietUi : SearchUi {
  std::string text;
  std::string FindText() override { return text; }
  void SetFindText(const std::string& t) override { text = t; }
  void SetFindLabel(const std::string&) override {}
  void SetUpDown(uint32_t, uint32_t) override {}
  void ShowFindPanel() override {}
  void HideFindPanel() override {}
  void OutExchange() override {}
};

CaptureStore& RandomRing() {
  static CaptureStore* s = [] {
    auto* st = new CaptureStore;
    std::mt19937_64 rng(42);
    for (uint32_t i = 0; i < CaptureSize; i += 8) {
      const uint64_t v = rng();
      std::memcpy(st->CaptureBuffer + i, &v, 8);
    }
    return st;
  }();
  return *s;
}

// A ring of text-like bytes: lower-case letters and spaces, where a pattern's first byte is
// common and the scan leans on the shift table.
CaptureStore& TextRing() {
  static CaptureStore* s = [] {
    auto* st = new CaptureStore;
    std::mt19937 rng(7);
    const char letters[] = "etaoinshrdlu cmfwyp vbgkqjxz  eeetttaaa";
    for (uint32_t i = 0; i < CaptureSize; ++i)
      st->CaptureBuffer[i] = static_cast<uint8_t>(letters[rng() % (sizeof letters - 1)]);
    return st;
  }();
  return *s;
}

// Hex text of `len` bytes taken from the ring at `at`, so the pattern occurs at least once.
std::string PatternText(const CaptureStore& s, uint32_t at, int len) {
  std::string t;
  char buf[4];
  for (int k = 0; k < len; ++k) {
    std::snprintf(buf, sizeof buf, "%02X ", s.CaptureBuffer[at + k]);
    t += buf;
  }
  return t;
}

uint32_t FollowingTopRow(const CaptureStore& s) {
  return ViewPosition::FollowTopRow(s.WriteIndex(), s.BytesPerRow).value_or(0);
}

void BM_NewSearch(benchmark::State& state) {
  CaptureStore& s = RandomRing();
  StoreFields(s).WriteIndex = CaptureLast;
  s.BytesPerRow = 32;
  s.ViewBase = GridBase::Hex;
  QuietUi ui;
  SearchTool tool(s, ui);
  tool.BtnFindClick();
  ui.text = PatternText(s, 1000, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    s.View.ShowRow(FollowingTopRow(s));  // the view follows the newest data, as while capturing
    tool.EditFindChange();
    benchmark::DoNotOptimize(tool.SearchHitCount());
  }
  state.counters["hits"] = tool.SearchHitCount();
  tool.BtnFindCloseClick();
}
BENCHMARK(BM_NewSearch)->Arg(1)->Arg(2)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_NewSearchText(benchmark::State& state) {
  CaptureStore& s = TextRing();
  StoreFields(s).WriteIndex = CaptureLast;
  s.BytesPerRow = 32;
  s.ViewBase = GridBase::Hex;
  QuietUi ui;
  SearchTool tool(s, ui);
  tool.BtnFindClick();
  ui.text = PatternText(s, 1000, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    s.View.ShowRow(FollowingTopRow(s));
    tool.EditFindChange();
    benchmark::DoNotOptimize(tool.SearchHitCount());
  }
  state.counters["hits"] = tool.SearchHitCount();
  tool.BtnFindCloseClick();
}
BENCHMARK(BM_NewSearchText)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_TickAfter64KiB(benchmark::State& state) {
  constexpr uint32_t Chunk = 64 * 1024;
  constexpr uint32_t Start = CaptureLast - 256 * Chunk;  // the last 256 chunks are appended
  CaptureStore& s = RandomRing();
  s.BytesPerRow = 32;
  s.ViewBase = GridBase::Hex;
  QuietUi ui;
  SearchTool tool(s, ui);
  tool.BtnFindClick();
  ui.text = PatternText(s, 1000, static_cast<int>(state.range(0)));
  auto restart = [&] {
    StoreFields(s).WriteIndex = Start;
    s.View.ShowRow(FollowingTopRow(s));
    tool.EditFindChange();
  };
  restart();
  for (auto _ : state) {
    if (s.WriteIndex() + Chunk > CaptureLast) {
      state.PauseTiming();
      restart();
      state.ResumeTiming();
    }
    StoreFields(s).WriteIndex += Chunk;
    s.View.ShowRow(FollowingTopRow(s));
    tool.Find();
    benchmark::DoNotOptimize(tool.SearchHitCount());
  }
  state.counters["hits"] = tool.SearchHitCount();
  tool.BtnFindCloseClick();
}
BENCHMARK(BM_TickAfter64KiB)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMicrosecond);

// The same follow-up done as a rescan from index 0 with one candidate at a time.
void BM_PlainRescanAfter64KiB(benchmark::State& state) {
  CaptureStore& s = RandomRing();
  StoreFields(s).WriteIndex = CaptureLast;
  s.BytesPerRow = 32;
  s.View.ShowRow(FollowingTopRow(s));
  quarlex::testing::ReferenceSearch ref(s);
  ref.NewSearch(std::vector<uint8_t>(s.CaptureBuffer + 1000, s.CaptureBuffer + 1000 + state.range(0)));
  for (auto _ : state) {
    ref.Find();
    benchmark::DoNotOptimize(ref.hitCount);
  }
  ref.ClearFind();
}
BENCHMARK(BM_PlainRescanAfter64KiB)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
