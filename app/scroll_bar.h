#pragma once
// Model of the grid's vertical scroll bar. The Qt scroll bar mirrors it; the rules that the
// navigation code relies on live here so they can be tested without a window:
//  - minimum 0, position always within 0 .. Max (clamped, never an error);
//  - OnChange fires only when the position really changes (also when a new maximum clamps it).
// Its position and range move only through ViewPosition, which keeps TopRow beside them.
// Main thread only.
#include <cstdint>
#include <functional>

namespace quarlex {

class ScrollBarModel {
 public:
  static constexpr uint32_t DesignMax = 2'100'000;

  uint32_t Position() const { return position_; }
  uint32_t Max() const { return max_; }

  // The receive path moves the range (and, following, the position) on every receive event, but
  // the on-screen bar needs only the values of the next frame: between HoldMirror(true) and
  // HoldMirror(false) changes are kept for FlushMirror instead of being mirrored at once. Any
  // other change mirrors them along with its own.
  void HoldMirror(bool hold) { held_ = hold; }
  void FlushMirror() {
    if (pending_) Mirror();
  }

  std::function<void()> OnChange;       // position changed (from code or from the operator)
  std::function<void()> OnRangeChange;  // maximum changed, for the widget that mirrors the model
  // Position or maximum changed, after OnChange has run. OnChange belongs to the navigation logic
  // (it may move TopRow and redraw); this one lets the on-screen bar copy both values.
  std::function<void()> OnMirror;

 private:
  friend class ViewPosition;

  // Clamped to 0 .. Max(); a negative request (wheel above the top) lands on 0.
  void SetPosition(int64_t position) {
    uint32_t p = position < 0 ? 0 : position > max_ ? max_ : static_cast<uint32_t>(position);
    if (p == position_) return;
    position_ = p;
    if (OnChange) OnChange();
    Mirror();
  }

  // Lowering the maximum below the position pulls the position down with it.
  void SetMax(uint32_t max) {
    max_ = max;
    if (OnRangeChange) OnRangeChange();
    if (position_ > max_) {
      SetPosition(max_);  // mirrors both values
    } else {
      Mirror();
    }
  }

  void Mirror() {
    pending_ = held_;
    if (!held_ && OnMirror) OnMirror();
  }

  uint32_t position_ = 0;
  uint32_t max_ = DesignMax;
  bool held_ = false;
  bool pending_ = false;  // a held change not mirrored yet
};

}  // namespace quarlex
