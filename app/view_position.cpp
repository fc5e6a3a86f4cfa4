#include "app/view_position.h"

namespace quarlex {

std::optional<uint32_t> ViewPosition::FollowTopRow(uint32_t writeIndex, uint32_t bytesPerRow) {
  const uint32_t writeRow = writeIndex / bytesPerRow;
  if (writeRow < FollowRow) return std::nullopt;
  return writeRow - FollowRow;
}

void ViewPosition::ShowRow(uint32_t row) {
  topRow_ = row;
  bar_.SetPosition(topRow_);
}

void ViewPosition::FollowEnd(uint32_t writeIndex, uint32_t bytesPerRow) {
  ShowRow(FollowTopRow(writeIndex, bytesPerRow).value_or(topRow_));
}

void ViewPosition::BringIntoView(uint32_t row) {
  if (row < topRow_) {
    topRow_ = row;
  } else if (row > topRow_ + (VisibleRows - 1)) {
    topRow_ = row - FollowRow;
  }
  // The bar is put back on TopRow even when the row was visible already.
  bar_.SetPosition(topRow_);
}

void ViewPosition::ScrollBy(int64_t delta) {
  bar_.SetPosition(int64_t{bar_.Position()} + delta);
  topRow_ = bar_.Position();
}

void ViewPosition::Reset() {
  topRow_ = 0;
  bar_.SetPosition(0);
  bar_.SetMax(0);
}

}  // namespace quarlex
