#pragma once
// Window stand-ins for the send composer and search tests: they hold what the window would show.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/search.h"
#include "tools/send_composer.h"

namespace quarlex::testing {

struct FakeSearchUi : SearchUi {
  std::string text;
  std::string label = "0 of 0";
  uint32_t upDownMax = 0, upDownPos = 0;
  bool panelVisible = false;
  int redraws = 0;
  std::string FindText() override { return text; }
  void SetFindText(const std::string& t) override { text = t; }
  void SetFindLabel(const std::string& t) override { label = t; }
  void SetUpDown(uint32_t m, uint32_t p) override {
    upDownMax = m;
    upDownPos = p;
  }
  void ShowFindPanel() override { panelVisible = true; }
  void HideFindPanel() override { panelVisible = false; }
  void OutExchange() override { ++redraws; }
};

struct FakeSendUi : SendUi {
  std::string text;
  std::string modeCaption = "Hex";
  std::string endingText = "  ";
  int caretMoves = 0;
  int redraws = 0;
  std::string SendText() override { return text; }
  void SetSendText(const std::string& t) override { text = t; }
  void PlaceSendCaretAtEnd() override { ++caretMoves; }
  void SetModeCaption(const std::string& t) override { modeCaption = t; }
  void SetLineEndingText(const std::string& t) override { endingText = t; }
  void OutExchange() override { ++redraws; }
};

// Records every write, as one entry per call.
struct RecordingPort : SendPort {
  std::vector<std::vector<uint8_t>> writes;
  void Write(const uint8_t* data, size_t count) override { writes.emplace_back(data, data + count); }
};

}  // namespace quarlex::testing
