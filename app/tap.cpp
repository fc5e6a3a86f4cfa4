#include "app/tap.h"

#include <algorithm>

namespace quarlex {

void TapMerger::Add(TapSide side, const uint8_t* data, size_t count, int64_t timeNs) {
  Lane& lane = lanes_[Index(side)];
  lane.silent = false;
  if (count == 0) return;
  if (lane.any && timeNs < lane.lastTimeNs) timeNs = lane.lastTimeNs;
  lane.any = true;
  lane.lastTimeNs = timeNs;
  // Neighbours of one time are one piece: a read that the caller passed on in parts.
  if (!lane.spans.empty() && lane.spans.back().timeNs == timeNs) {
    lane.spans.back().count += count;
  } else {
    lane.spans.push_back({timeNs, count});
  }
  lane.bytes.insert(lane.bytes.end(), data, data + count);
}

void TapMerger::Heard(TapSide side, int64_t timeNs) {
  Lane& lane = lanes_[Index(side)];
  if (!lane.heard || timeNs > lane.heardNs) lane.heardNs = timeNs;
  lane.heard = true;
}

void TapMerger::SetSilent(TapSide side, bool silent) {
  lanes_[Index(side)].silent = silent;
}

int TapMerger::NextReleasable(int64_t nowNs) const {
  const Lane& a = lanes_[0];
  const Lane& b = lanes_[1];
  int next;
  if (a.spans.empty() && b.spans.empty()) return -1;
  if (b.spans.empty()) {
    next = 0;
  } else if (a.spans.empty()) {
    next = 1;
  } else {
    // Equal times: A first.
    next = a.spans.front().timeNs <= b.spans.front().timeNs ? 0 : 1;
  }
  const Lane& lane = lanes_[next];
  const Lane& other = lanes_[1 - next];
  const int64_t t = lane.spans.front().timeNs;
  // The other side holds a later piece already, or is not coming back for now.
  if (!other.spans.empty() || other.silent) return next;
  // What the other side can still deliver starts at its newest piece or where it was heard up
  // to; a piece of A may go before a B piece of its own time, one of B only before a later A.
  if (other.any || other.heard) {
    int64_t upTo = other.any ? other.lastTimeNs : other.heardNs;
    if (other.heard) upTo = std::max(upTo, other.heardNs);
    if (next == 0 ? upTo >= t : upTo > t) return next;
  }
  if (nowNs - t >= holdBackNs_) return next;
  return -1;
}

void TapMerger::Consume(Lane& lane, Span span, size_t taken) {
  if (taken == 0) return;
  taken = std::min(taken, span.count);
  if (releasedAny_ && span.timeNs < releasedUpToNs_) ++latePieces_;
  if (!releasedAny_ || span.timeNs > releasedUpToNs_) releasedUpToNs_ = span.timeNs;
  releasedAny_ = true;
  lane.head += taken;
  if (taken == span.count) {
    lane.spans.pop_front();
  } else {
    lane.spans.front().count -= taken;
  }
  // Compact now and then, so a steady stream reuses the buffer's room instead of growing it.
  if (lane.head == lane.bytes.size()) {
    lane.bytes.clear();
    lane.head = 0;
  } else if (lane.head > 65536 && lane.head * 2 > lane.bytes.size()) {
    lane.bytes.erase(lane.bytes.begin(), lane.bytes.begin() + static_cast<std::ptrdiff_t>(lane.head));
    lane.head = 0;
  }
}

void TapMerger::Reset() {
  lanes_[0] = Lane{};
  lanes_[1] = Lane{};
  releasedAny_ = false;
  releasedUpToNs_ = 0;
  latePieces_ = 0;
}

}  // namespace quarlex
