#include "app/time_index.h"

#include <algorithm>
#include <bit>
#include <chrono>

namespace quarlex {

namespace {

// Merges runs of neighbours that `canMerge` accepts within each of the two runs [head, wrap) and
// [wrap, end), and drops the overwritten entries before head. In place: the write position never
// passes the read one.
template <class E, class CanMerge, class Merge>
void MergeNeighbours(std::vector<E>& v, size_t& head, size_t& wrap, CanMerge canMerge, Merge merge) {
  size_t out = 0;
  auto run = [&](size_t from, size_t to) {
    for (size_t i = from; i < to;) {
      E e = v[i++];
      while (i < to && canMerge(e, v[i])) merge(e, v[i++]);
      v[out++] = e;
    }
  };
  const size_t newer = std::max(wrap, head);
  run(head, newer);
  const size_t newWrap = out;
  run(newer, v.size());
  v.resize(out);
  head = 0;
  wrap = newWrap;
}

// Drops the first `n` live entries (the oldest) and the dead ones before them.
template <class E>
void DropOldest(std::vector<E>& v, size_t& head, size_t& wrap, size_t n) {
  const size_t cut = head + n;
  v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(cut));
  head = 0;
  wrap = wrap > cut ? wrap - cut : 0;
}

}  // namespace

Clock& SystemClock() {
  struct System : Clock {
    int64_t MonotonicNs() override {
      return std::chrono::duration_cast<std::chrono::nanoseconds>(
                 std::chrono::steady_clock::now().time_since_epoch())
          .count();
    }
    int64_t WallNs() override {
      return std::chrono::duration_cast<std::chrono::nanoseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
          .count();
    }
  };
  static System clock;
  return clock;
}

std::string LineEventText(LineEvents events) {
  struct Name {
    LineEvent event;
    const char* text;
  };
  static constexpr Name names[] = {{LineEvent::Overrun, "overrun"},
                                   {LineEvent::QueueOverflow, "input queue overflow"},
                                   {LineEvent::Framing, "framing error"},
                                   {LineEvent::Parity, "parity error"},
                                   {LineEvent::Break, "break"}};
  std::string text;
  auto add = [&text](const char* part) {
    if (!text.empty()) text += ", ";
    text += part;
  };
  for (const Name& n : names) {
    if (Has(events, n.event)) add(n.text);
  }
  if (Has(events, LineEvent::Cts)) add(Has(events, LineEvent::CtsOn) ? "CTS on" : "CTS off");
  if (Has(events, LineEvent::Dsr)) add(Has(events, LineEvent::DsrOn) ? "DSR on" : "DSR off");
  if (Has(events, LineEvent::Dcd)) add(Has(events, LineEvent::DcdOn) ? "DCD on" : "DCD off");
  if (Has(events, LineEvent::Ring)) add("ring");
  if (Has(events, LineEvent::Dtr)) add(Has(events, LineEvent::DtrOn) ? "DTR on" : "DTR off");
  if (Has(events, LineEvent::Rts)) add(Has(events, LineEvent::RtsOn) ? "RTS on" : "RTS off");
  if (Has(events, LineEvent::BreakSent)) add("break sent");
  if (Has(events, LineEvent::Disconnect)) add("device lost");
  if (Has(events, LineEvent::Reconnect)) add("device back");
  return text;
}

TimeIndex::TimeIndex(size_t batchCapacity, size_t eventCapacity)
    : batchCapacity_(std::max<size_t>(batchCapacity, 4)), eventCapacity_(std::max<size_t>(eventCapacity, 4)) {
  // Reserved once, never grown: the pages are only touched as entries arrive.
  batches_.reserve(batchCapacity_);
  events_.reserve(eventCapacity_);
}

void TimeIndex::Clear() {
  batches_.clear();
  events_.clear();
  head_ = eventHead_ = wrapAt_ = eventWrapAt_ = 0;
  end_ = 0;
  granule_ = 1;
}

void TimeIndex::AddBatch(uint32_t position, uint32_t count, Direction dir, int64_t timeNs) {
  if (observer_.to != nullptr && count > 0) observer_.to->BatchAdded(position, count, dir, timeNs);
  Add(position, count, dir, timeNs);
}

void TimeIndex::Add(uint32_t position, uint32_t count, Direction dir, int64_t timeNs) {
  count = std::min(count, MaxCount);
  if (count == 0) return;
  if (position < end_) Wrapped();
  DropOverwritten(position + count);
  if (granule_ > 1 && batches_.size() > NewerRun()) {
    // Once the table has filled, batches go on at the resolution the older ones have.
    Entry& last = batches_.back();
    const uint32_t lastCount = CountOf(last);
    if (DirOf(last) == dir && last.Position + lastCount == position && lastCount + count <= granule_) {
      last.Packed = Pack(lastCount + count, dir, true);
      end_ = position + count;
      return;
    }
  }
  if (batches_.size() == batchCapacity_) CoalesceBatches();
  batches_.push_back({timeNs, position, Pack(count, dir, false)});
  end_ = position + count;
}

void TimeIndex::AddEvents(uint32_t position, LineEvents events, int64_t timeNs) {
  events &= AllLineEventBits;
  if (events == 0) return;
  if (observer_.to != nullptr) observer_.to->EventsAdded(position, events, timeNs);
  if (position < end_) Wrapped();
  if (events_.size() == eventCapacity_) CoalesceEvents();
  events_.push_back({timeNs, position, events});
}

void TimeIndex::RestoreBatch(const TimedBatch& b) {
  if (b.Count == 0 || b.Position < end_) return;  // would overlap: not from a sound file
  Add(b.Position, b.Count, b.Dir, b.TimeNs);
  if (b.Coalesced) {
    Entry& last = batches_.back();
    last.Packed = Pack(CountOf(last), DirOf(last), true);
  }
}

void TimeIndex::RestoreEvent(const TimedEvent& e) {
  // Not AddEvents: these lie below the batches already restored, which is no wrap of the ring.
  const LineEvents bits = e.Events & AllLineEventBits;
  if (bits == 0 || (events_.size() > eventHead_ && e.Position < events_.back().Position)) return;
  if (events_.size() == eventCapacity_) CoalesceEvents();
  events_.push_back({e.TimeNs, e.Position, bits});
}

void TimeIndex::Wrapped() {
  // The ring went on from its start: the newest run becomes the older one. Anything left of an
  // earlier older run lies where no byte of this ring can still be.
  head_ = NewerRun();
  wrapAt_ = batches_.size();
  eventHead_ = NewerEventRun();
  eventWrapAt_ = events_.size();
  end_ = 0;
}

void TimeIndex::DropOverwritten(uint32_t to) {
  // The newer run covers the ring from 0 up to `to`. The older run is sorted by position and its
  // lowest entries are the ones new bytes reach.
  while (head_ < wrapAt_) {
    Entry& e = batches_[head_];
    if (e.Position >= to) break;
    const uint32_t end = e.Position + CountOf(e);
    if (end > to) {
      // Its upper part still holds the old bytes, which arrived with the batch.
      e.Packed = Pack(end - to, DirOf(e), CoalescedOf(e));
      e.Position = to;
      break;
    }
    ++head_;
  }
  while (eventHead_ < eventWrapAt_ && events_[eventHead_].Position < to) ++eventHead_;
}

void TimeIndex::CoalesceBatches() {
  const size_t target = batchCapacity_ - batchCapacity_ / 4;  // at least a quarter free afterwards
  auto contiguous = [](const Entry& a, const Entry& b) { return a.Position + CountOf(a) == b.Position; };
  auto merge = [](Entry& a, const Entry& b) {
    const Direction d = DirOf(a) == DirOf(b) ? DirOf(a) : Direction::Mixed;
    a.Packed = Pack(CountOf(a) + CountOf(b), d, true);
  };
  // Dead entries go first; that may be all that is needed.
  MergeNeighbours(
      batches_, head_, wrapAt_, [](const Entry&, const Entry&) { return false; }, merge);
  // The smallest granule that frees enough: first within one direction, then across directions
  // (Mixed) at the same granule before it grows, so bytes that alternate direction one by one
  // keep the resolution the other bytes have.
  constexpr uint32_t largestGranule = (MaxCount + 1) / 2;
  for (uint32_t g = std::max<uint32_t>(granule_, 2); batches_.size() > target && g <= largestGranule;
       g *= 2) {
    MergeNeighbours(
        batches_, head_, wrapAt_,
        [&](const Entry& a, const Entry& b) {
          return DirOf(a) == DirOf(b) && contiguous(a, b) && CountOf(a) + CountOf(b) <= g;
        },
        merge);
    if (batches_.size() > target) {
      MergeNeighbours(
          batches_, head_, wrapAt_,
          [&](const Entry& a, const Entry& b) { return contiguous(a, b) && CountOf(a) + CountOf(b) <= g; },
          merge);
    }
    if (batches_.size() <= target) granule_ = g;
  }
  // Entries that are not neighbours in the ring (a stretch without times between them) cannot be
  // merged without lying about those bytes: the oldest go instead.
  if (batches_.size() > target) DropOldest(batches_, head_, wrapAt_, batches_.size() - target);
}

void TimeIndex::CoalesceEvents() {
  bool odd = false;  // pairs: every second entry joins the one before it
  MergeNeighbours(
      events_, eventHead_, eventWrapAt_, [&](const EventEntry&, const EventEntry&) { return odd = !odd; },
      [](EventEntry& a, const EventEntry& b) { a.Events |= b.Events; });
}

TimedBatch TimeIndex::Batch(size_t i) const {
  const Entry& e = batches_[head_ + i];
  return {e.TimeNs, e.Position, CountOf(e), DirOf(e), CoalescedOf(e)};
}

TimedEvent TimeIndex::Event(size_t i) const {
  const EventEntry& e = events_[eventHead_ + i];
  return {e.TimeNs, e.Position, static_cast<LineEvents>(e.Events)};
}

std::optional<size_t> TimeIndex::FindIn(size_t first, size_t last, uint32_t position) const {
  if (first >= last) return std::nullopt;
  const auto begin = batches_.begin() + static_cast<std::ptrdiff_t>(first);
  // The last entry that starts at or before `position`.
  auto it = std::upper_bound(begin, batches_.begin() + static_cast<std::ptrdiff_t>(last), position,
                             [](uint32_t p, const Entry& e) { return p < e.Position; });
  if (it == begin) return std::nullopt;
  --it;
  if (position - it->Position >= CountOf(*it)) return std::nullopt;
  return static_cast<size_t>(it - batches_.begin()) - head_;
}

std::optional<size_t> TimeIndex::BatchAt(uint32_t position) const {
  if (auto i = FindIn(NewerRun(), batches_.size(), position)) return i;
  return FindIn(head_, NewerRun(), position);
}

std::optional<size_t> TimeIndex::PreviousOtherDirection(size_t i) const {
  const Direction d = DirOf(batches_[head_ + i]);
  if (d == Direction::Mixed) return std::nullopt;
  for (size_t j = i; j-- > 0;) {
    const Direction o = DirOf(batches_[head_ + j]);
    if (o != d && o != Direction::Mixed) return j;
  }
  return std::nullopt;
}

std::vector<TimedEvent> TimeIndex::EventsBetween(uint32_t from, uint32_t to) const {
  std::vector<TimedEvent> found;
  // Each run is sorted by position; the bytes of the older run lie above those of the newer one.
  auto scan = [&](size_t first, size_t last) {
    const auto stop = events_.begin() + static_cast<std::ptrdiff_t>(last);
    auto it = std::lower_bound(events_.begin() + static_cast<std::ptrdiff_t>(first), stop, from,
                               [](const EventEntry& e, uint32_t p) { return e.Position < p; });
    for (; it != stop && it->Position < to; ++it)
      found.push_back({it->TimeNs, it->Position, static_cast<LineEvents>(it->Events)});
  };
  scan(NewerEventRun(), events_.size());
  scan(eventHead_, NewerEventRun());
  std::stable_sort(found.begin(), found.end(),
                   [](const TimedEvent& a, const TimedEvent& b) { return a.Position < b.Position; });
  return found;
}

}  // namespace quarlex
