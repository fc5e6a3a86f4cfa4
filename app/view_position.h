#pragma once
// Where the exchange grid looks: TopRow, the capture row on the grid's first line, and
// ScrollBarExch, the model of the bar beside the grid. Every move goes through this class, so the
// two cannot drift apart by a forgotten line, and the row rules of following the newest data and
// of bringing a row into view live here once.
//
// The two agree after every move made here: the bar's position is TopRow, clamped to the bar's
// range. TopRow itself is not clamped, because a minimap press may bring a marker past the
// written rows into view. They part only by design: an operator's move of the on-screen bar moves
// the bar alone until the navigation takes it into TopRow (TakeBarPosition).
// Main thread only.
#include <cstdint>
#include <optional>

#include "app/scroll_bar.h"

namespace quarlex {

class ViewPosition {
 public:
  static constexpr uint32_t VisibleRows = 16;
  // While following the newest data, the row being written sits on this visible row, with one
  // empty row below it to show where the next bytes go ...
  static constexpr uint32_t FollowRow = 14;
  // ... and the view moves on once the write position reaches this visible row, so a steady
  // stream scrolls a few rows at a time instead of on every byte.
  static constexpr uint32_t FollowFromRow = 12;

  uint32_t TopRow() const { return topRow_; }
  // Readable by all; writable for its notifications and the mirror hold only (its position and
  // range change through this class).
  const ScrollBarModel& ScrollBarExch() const { return bar_; }
  ScrollBarModel& ScrollBarExch() { return bar_; }

  // The TopRow that shows the row holding `writeIndex` on FollowRow; nothing while fewer rows
  // than that lie above it.
  static std::optional<uint32_t> FollowTopRow(uint32_t writeIndex, uint32_t bytesPerRow);

  // TopRow becomes `row`; the bar goes to it, clamped to its range.
  void ShowRow(uint32_t row);
  // Follows the newest data: TopRow from FollowTopRow, or where it is while there are too few
  // rows; the bar is put on TopRow either way.
  void FollowEnd(uint32_t writeIndex, uint32_t bytesPerRow);
  // The write position has reached FollowFromRow of the view, or lies below the view.
  bool WriteRowReachedFollowPoint(uint32_t writeIndex, uint32_t bytesPerRow) const {
    return uint64_t{bytesPerRow} * (uint64_t{topRow_} + FollowFromRow) <= writeIndex;
  }
  // Shows `row`, moving only when it is not among the visible rows: a row above the view becomes
  // the top row, a row below it lands on FollowRow.
  void BringIntoView(uint32_t row);
  // Moves the bar by `delta` rows within its range and TopRow to where it landed.
  void ScrollBy(int64_t delta);

  // The operator moved the on-screen bar: the model takes the new position (clamped). TopRow
  // stays until the navigation decides the move was the operator's scroll and takes it.
  void MoveBar(int64_t position) { bar_.SetPosition(position); }
  void TakeBarPosition() { topRow_ = bar_.Position(); }

  // The bar spans rows 0 .. lastRow. A range below the bar's position pulls the position down
  // with it; TopRow is left to the caller.
  void SetLastRow(uint32_t lastRow) { bar_.SetMax(lastRow); }

  // Top of an empty capture: TopRow 0, the bar at 0 of 0.
  void Reset();

 private:
  uint32_t topRow_ = 0;
  ScrollBarModel bar_;
};

}  // namespace quarlex
