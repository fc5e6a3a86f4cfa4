#pragma once
// The window's actions for tests that build a window with only some controllers: each action
// does nothing until the fixture overrides it with the controller it attached (or a counter).
#include "qt/main_window.h"

namespace quarlex::testing_support {

struct StandInActions : WindowActions {
  void OutExchange() override {}
  void OutMiniMap() override {}
  void Find() override {}
  bool SaveClick() override { return false; }
  void Open() override {}
  void FindToggle() override {}
  void FindClose() override {}
  void FindPrevious() override {}
  void FindNext() override {}
  void HistoryUp() override {}
  void HistoryDown() override {}
  void KeySeen(const QKeyEvent&) override {}
  void KeyboardLost() override {}
  bool Wheel(const QWheelEvent&) override { return false; }
  void ApplyViewDefaults() override {}
  void Closing() override {}
};

}  // namespace quarlex::testing_support
