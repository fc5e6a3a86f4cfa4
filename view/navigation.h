#pragma once
// Navigation of the exchange grid and the operator's annotations on it: the scroll bar and the
// wheel move TopRow; a right click sets or removes a marker on one byte; Ctrl + right click opens
// the marker menu, whose choice sets, removes or replaces the marker; a double click toggles the
// highlight of a byte value. Plain logic over the capture store; the Qt controller feeds it
// events and opens the menu when asked. Main thread only.
#include <cstdint>
#include <optional>

#include "app/capture_store.h"
#include "view/grid_layout.h"

namespace quarlex {

// Capture index of the cell under (px, py), measured as the grid lays its cells out: px from the
// first byte column (see GridLeftPixel), py from the top of ImageExch. Nothing for points outside
// the byte area (address column, below the 16th row, right of the last column) and for cells
// past the ring's end, which the bar's range can bring into view when the capture is nearly full.
std::optional<uint32_t> CellAt(int px, int py, const GridMetrics& m, uint32_t bytesPerRow, uint32_t topRow);

// The marker rule of one click on attribute byte `attr`. command: 1..4 right click with that
// marker, 9..12 menu choice of marker command - 8. A free byte gets the marker; the same
// marker is removed; another marker is replaced by a menu choice but removed by a right click.
// Setting keeps bits 3..7; removing clears bits 0..3 and keeps the search and sent bits.
uint8_t ApplyMarkerCommand(uint8_t attr, uint8_t command);

// The left Ctrl key as an asynchronous key-state query reports it: "down" and "pressed since
// the previous query". There is no such query here, so it is fed from key events; only the
// left key counts (the right Ctrl never opens the marker menu).
class LeftCtrlKey {
 public:
  // Left Ctrl went down. Auto-repeat presses are not new presses: holding the key through a
  // second right click must read as "not newly pressed".
  void Press(bool autoRepeat) {
    if (!autoRepeat && !down_) pressedSinceQuery_ = true;
    down_ = true;
  }
  void Release() { down_ = false; }
  // The window lost the keyboard: a release may never arrive, so the key counts as up.
  void Lost() { down_ = false; }
  bool Down() const { return down_; }
  // True only when the key is down and went down since the previous query; every query clears
  // "pressed since".
  bool QueryDownAndNewlyPressed() {
    const bool result = down_ && pressedSinceQuery_;
    pressedSinceQuery_ = false;
    return result;
  }

 private:
  bool down_ = false;
  bool pressedSinceQuery_ = false;
};

// Scroll notification kinds of the bar, as the toolkit reports an operator's action.
enum class ScrollKind {
  LineUp,
  LineDown,
  PageUp,
  PageDown,
  ThumbTrack,
  ThumbPosition,
  Top,
  Bottom,
  EndScroll
};

// The two drawing entry points of the view, which navigation, the minimap and the toolbar ask for
// after every change they make.
class ViewRedraw {
 public:
  virtual ~ViewRedraw() = default;
  virtual void OutExchange() = 0;
  virtual void OutMiniMap() = 0;
};

class Navigation {
 public:
  // Takes over the store's ScrollBarExch.OnChange (the bar's change notification).
  Navigation(CaptureStore& store, ViewRedraw& ui);
  ~Navigation();
  Navigation(const Navigation&) = delete;
  Navigation& operator=(const Navigation&) = delete;

  // Owned state, named as the window's design names it.
  uint16_t GridMouseX = 0, GridMouseY = 0;     // last press on ImageExch, in its pixels
  int32_t MarkerClickX = 0, MarkerClickY = 0;  // last right click, x from the first byte column
  uint8_t MarkerCommand = 0;                   // 0 highlight, 1..4 right click, 9..12 menu
  bool ScrollByOperator = false;               // an operator scroll is pending on the bar
  uint8_t CheckedMarker = 1;                   // checked item color1..color4 of the marker menu
  LeftCtrlKey LeftCtrl;
  GridMetrics Metrics;  // the grid's metrics, kept current by its owner when ImageExch's width changes

  // Operator scroll notification: the kinds that move by line, page or thumb set
  // ScrollByOperator; top, bottom and end-of-scroll change nothing.
  void ScrollBarExchScroll(ScrollKind kind);
  // The bar's position changed (from any source): taken into TopRow with a redraw only while an
  // operator scroll is pending.
  void ScrollBarExchChange();
  // One wheel step anywhere over the window: two rows, clamped by the bar.
  void FormMouseWheelUp();
  void FormMouseWheelDown();
  // Any button pressed on ImageExch at (x, y) in its pixels (negative values count as 0).
  void ImageExchMouseDown(int x, int y);
  void ImageExchDblClick();
  // Right click on ImageExch. Returns true when the marker menu must open at the cursor (left
  // Ctrl down and newly pressed); otherwise the checked marker has been applied.
  bool ImageExchContextPopup();
  // Marker menu item n (1..4) chosen: it becomes the checked one and is applied at the point
  // where the menu was opened.
  void ColorClick(int n);
  // Applies MarkerCommand at the stored point, resets it, redraws the grid and the minimap.
  void ClickImage();

 private:
  void Wheel(int64_t delta);
  CaptureStore& store_;
  ViewRedraw& ui_;
};

}  // namespace quarlex
