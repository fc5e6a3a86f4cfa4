#pragma once
// The window as the session sees it, for every test and benchmark that runs a Session: it counts
// the redraws and keeps what it was asked to show. The Save button and the search pass do what
// the test plugs in; by default a save that succeeds and a pass that finds nothing.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/session.h"

namespace quarlex::testing {

struct FakeSessionUi : SessionUi {
  struct Shown {
    std::string text;
    uint32_t rgb;
  };
  int exchangeDraws = 0, miniMapDraws = 0, finds = 0, saves = 0, hides = 0;
  std::vector<std::string> speedTexts;
  std::vector<Shown> messages;
  bool autosave = false;
  std::function<bool()> save = [] { return true; };
  std::function<void()> find = [] {};

  void OutExchange() override { ++exchangeDraws; }
  void OutMiniMap() override { ++miniMapDraws; }
  void SetSpeedText(const std::string& t) override { speedTexts.push_back(t); }
  void ShowMessageText(const std::string& t, uint32_t rgb) override { messages.push_back({t, rgb}); }
  void HideMessageText() override { ++hides; }
  void Find() override {
    ++finds;
    find();
  }
  bool AutosaveChecked() override { return autosave; }
  bool SaveClick() override {
    ++saves;
    return save();
  }

  // The file names that "File  <name>  saved" messages gave, in order.
  std::vector<std::string> SavedNames() const {
    std::vector<std::string> names;
    const std::string head = "File  ", tail = "  saved";
    for (const Shown& m : messages) {
      if (m.rgb == SuccessColour && m.text.starts_with(head) && m.text.ends_with(tail))
        names.push_back(m.text.substr(head.size(), m.text.size() - head.size() - tail.size()));
    }
    return names;
  }
  // Messages shown in any colour but success's: the failures reported.
  int Failures() const {
    int n = 0;
    for (const Shown& m : messages) n += m.rgb != SuccessColour;
    return n;
  }
};

}  // namespace quarlex::testing
