#pragma once
// Tap: two ports that only listen, each wired to one direction of a link between two devices,
// recorded on one timeline. The merger puts the pieces of both ports into the order in which
// their devices read them from the lines, whatever order the hand-overs reach the window in.
//
// Each port hands its pieces over in the order it read them, each with its read time (the
// monotonic clock, as the device took it). A piece is released once the other port cannot still
// deliver an earlier one:
//  - the other port has delivered a piece at or after its time (later pieces of one port never
//    carry earlier times), or it was heard up to then (its queue was emptied after that time,
//    Heard), or it has gone quiet for good (Silent: closed or vanished); or
//  - the hold-back has passed since its time: a port that cannot be asked is waited for that long
//    at most, so one silent side never stalls the other.
// Pieces read at the same instant keep a fixed order: port A's first. A piece that comes after a
// later piece of the other port was already released (it waited longer than the hold-back
// somewhere) is never dropped: it is released at once, after what is already out, with its own
// read time, and counted as late.
//
// Pure logic, no clock of its own: the caller says what time it is. Main thread only.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace quarlex {

enum class TapSide : uint8_t { A = 0, B = 1 };

class TapMerger {
 public:
  // Receive events come at most every 10 ms while bytes keep coming, and the window may take a
  // few tens of milliseconds more to run one (a frame, a save). Five batching intervals cover
  // both with room to spare, and still release a one-sided stream within a tick.
  static constexpr int64_t DefaultHoldBackNs = 50'000'000;

  explicit TapMerger(int64_t holdBackNs = DefaultHoldBackNs) : holdBackNs_(holdBackNs) {}

  // A piece of `side`: `count` bytes read at `timeNs`. A time earlier than the side's previous
  // piece is taken as that piece's time (one port's bytes keep their order).
  void Add(TapSide side, const uint8_t* data, size_t count, int64_t timeNs);
  // `side` has handed over every piece it read before `timeNs` (its queue was just emptied).
  void Heard(TapSide side, int64_t timeNs);
  // `side` delivers nothing for now (closed, vanished), so the other need not wait for it; its
  // next Add ends that.
  void SetSilent(TapSide side, bool silent);

  // Hands every piece that may go now, in time order, to `sink(side, data, count, timeNs)`, which
  // returns how many of the bytes it took; a piece it took only in part stays first in line with
  // the rest, and releasing stops there (a full ring). Returns the bytes released.
  template <class Sink>
  size_t Release(int64_t nowNs, Sink&& sink) {
    size_t released = 0;
    for (;;) {
      const int next = NextReleasable(nowNs);
      if (next < 0) return released;
      Lane& lane = lanes_[next];
      const Span span = lane.spans.front();
      const size_t taken =
          sink(static_cast<TapSide>(next), lane.bytes.data() + lane.head, span.count, span.timeNs);
      Consume(lane, span, taken);
      released += taken;
      if (taken < span.count) return released;
    }
  }

  // Bytes waiting in the merger.
  size_t Pending() const { return Pending(TapSide::A) + Pending(TapSide::B); }
  size_t Pending(TapSide side) const { return lanes_[Index(side)].bytes.size() - lanes_[Index(side)].head; }
  // Pieces released after a later piece of the other side had gone out.
  uint64_t LatePieces() const { return latePieces_; }
  // Forgets every waiting piece and what was known of both sides: a new tap starts.
  void Reset();

 private:
  struct Span {
    int64_t timeNs;
    size_t count;
  };
  struct Lane {
    std::vector<uint8_t> bytes;
    size_t head = 0;
    std::deque<Span> spans;
    bool any = false;        // a piece came since the last Reset
    int64_t lastTimeNs = 0;  // of the newest piece delivered
    bool heard = false;
    int64_t heardNs = 0;  // every piece read before this has been delivered
    bool silent = false;
  };
  static int Index(TapSide side) { return static_cast<int>(side); }
  // The lane whose first piece may go now, or -1.
  int NextReleasable(int64_t nowNs) const;
  void Consume(Lane& lane, Span span, size_t taken);

  int64_t holdBackNs_;
  Lane lanes_[2];
  bool releasedAny_ = false;
  int64_t releasedUpToNs_ = 0;  // the newest time released so far
  uint64_t latePieces_ = 0;
};

}  // namespace quarlex
