#pragma once
// The time index: when each stretch of the capture arrived or was sent, and where line events
// (errors, breaks, modem-line changes) happened, kept beside the ring.
//
// One entry per receive batch (as it reached the session) and per send: ring position, byte
// count, direction and time. Times are nanoseconds since the Unix epoch, formed as the wall clock
// at connect plus the monotonic clock since, so gaps within a connection are exact even when the
// wall clock is stepped meanwhile.
//
// Memory is bounded: room for the batch and event capacities (16 bytes an entry) is reserved
// once and its pages are touched only as entries arrive. When the batch table is full, entries
// are merged up to a granule (bytes per entry), the smallest power of two that frees a quarter of
// the table: neighbours of one direction first, then neighbours of both directions (direction
// Mixed; each byte's own direction is still in the attribute array). From then on a new batch is
// added to the newest entry when the two fit in one granule. So resolution degrades evenly over
// the whole capture instead of wiping out its oldest part: a full ring of 1-byte batches ends
// with entries of 32 bytes in the 2^20-entry table (64 when the bytes alternate direction). A
// merged entry keeps the time of its first batch. Stretches that are not neighbours in the ring
// are never merged: the oldest go instead. Line events merge pairwise when their table is full,
// their kinds combined at the earlier position.
//
// The index follows the ring: the ring's owner clears it with the ring, and a send that wraps
// the ring drops (or shortens) the entries of the bytes it overwrites.
// Main thread only, like the capture store.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quarlex {

enum class Direction : uint8_t { Received = 1, Sent = 2, Mixed = 3 };

// Line events as one bit set: what the device reported, with the new state of a modem line, and
// what happened to the line on this side (the operator's DTR, RTS and breaks; the device lost and
// back).
enum class LineEvent : uint32_t {
  Overrun = 1 << 0,        // the UART lost bytes
  Framing = 1 << 1,        // framing error
  Parity = 1 << 2,         // parity error
  Break = 1 << 3,          // break received
  QueueOverflow = 1 << 4,  // the driver's input queue dropped bytes
  Cts = 1 << 5,            // CTS changed (its new state in CtsOn)
  Dsr = 1 << 6,
  Dcd = 1 << 7,
  Ring = 1 << 8,
  CtsOn = 1 << 9,
  DsrOn = 1 << 10,
  DcdOn = 1 << 11,
  Dtr = 1 << 12,  // the operator set DTR (its new state in DtrOn)
  DtrOn = 1 << 13,
  Rts = 1 << 14,  // the operator set RTS (its new state in RtsOn)
  RtsOn = 1 << 15,
  BreakSent = 1 << 16,   // the operator sent a break
  Disconnect = 1 << 17,  // the device vanished while connected
  Reconnect = 1 << 18,   // the device came back and was opened again
};
using LineEvents = uint32_t;
constexpr LineEvents AllLineEventBits = 0x7FFFF;
constexpr LineEvents Bits(LineEvent e) {
  return static_cast<LineEvents>(e);
}
constexpr LineEvents operator|(LineEvent a, LineEvent b) {
  return static_cast<LineEvents>(Bits(a) | Bits(b));
}
constexpr LineEvents operator|(LineEvents a, LineEvent b) {
  return static_cast<LineEvents>(a | Bits(b));
}
constexpr bool Has(LineEvents set, LineEvent e) {
  return (set & Bits(e)) != 0;
}
// The line errors among them (not the modem lines): what deserves the error colour.
constexpr LineEvents LineTroubleBits =
    LineEvent::Overrun | LineEvent::QueueOverflow | LineEvent::Framing | LineEvent::Parity | LineEvent::Break;
// "framing error, CTS on": each event of the set in a fixed order, for messages and logs.
std::string LineEventText(LineEvents events);

// Where times come from; tests give their own. Both in nanoseconds.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t MonotonicNs() = 0;  // never goes back
  virtual int64_t WallNs() = 0;       // since the Unix epoch
};
Clock& SystemClock();

// One stretch of the capture with its time.
struct TimedBatch {
  int64_t TimeNs = 0;  // when its first batch reached the session
  uint32_t Position = 0;
  uint32_t Count = 0;
  Direction Dir = Direction::Received;
  bool Coalesced = false;  // stands for more than one batch
  bool operator==(const TimedBatch&) const = default;
};

struct TimedEvent {
  int64_t TimeNs = 0;
  uint32_t Position = 0;  // ring position of the next byte when it happened
  LineEvents Events = 0;
  bool operator==(const TimedEvent&) const = default;
};

// Told of every entry as the capture adds it (not of entries restored from a file), with the
// arguments it was added with: a recording keeps its own index of the bytes it writes from these,
// which then holds what this one holds. Called on the index's thread, inside the call that adds.
class TimeIndexObserver {
 public:
  virtual ~TimeIndexObserver() = default;
  virtual void BatchAdded(uint32_t position, uint32_t count, Direction dir, int64_t timeNs) = 0;
  virtual void EventsAdded(uint32_t position, LineEvents events, int64_t timeNs) = 0;
};

class TimeIndex {
 public:
  static constexpr size_t DefaultBatchCapacity = size_t{1} << 20;  // 16 MiB
  static constexpr size_t DefaultEventCapacity = size_t{1} << 16;  // 1 MiB
  static constexpr uint32_t MaxCount = (1u << 27) - 1;             // more than a whole ring

  // Capacities below 4 are raised to 4.
  explicit TimeIndex(size_t batchCapacity = DefaultBatchCapacity,
                     size_t eventCapacity = DefaultEventCapacity);

  // `count` bytes at ring `position` (count 0 is ignored; more than MaxCount is cut). A position
  // below the end of the newest batch means the ring wrapped: entries of the bytes the new ones
  // overwrite go, those of the older bytes above them stay.
  void AddBatch(uint32_t position, uint32_t count, Direction dir, int64_t timeNs);
  // Events at the ring's write position: at or past the newest batch's end, or 0 when a send
  // has just wrapped the ring at its very end.
  void AddEvents(uint32_t position, LineEvents events, int64_t timeNs);
  // Entries read from a file, for bytes from ring position 0 on: Clear, then the batches in
  // position order without overlap, then the events in position order. Any that are out of order
  // are left out, so a damaged file cannot break the index.
  void RestoreBatch(const TimedBatch& batch);
  void RestoreEvent(const TimedEvent& event);
  void Clear();
  // Who is told of new entries (null: nobody). A copy of the index tells nobody.
  void Observe(TimeIndexObserver* observer) { observer_.to = observer; }

  size_t BatchCount() const { return batches_.size() - head_; }
  size_t EventCount() const { return events_.size() - eventHead_; }
  // In time order, 0 the oldest.
  TimedBatch Batch(size_t i) const;
  TimedEvent Event(size_t i) const;
  // Bytes that a merged entry may hold at most now (1 until the table first filled).
  uint32_t Granule() const { return granule_; }

  // Number (as for Batch) of the entry that holds ring position `position`, if any.
  std::optional<size_t> BatchAt(uint32_t position) const;
  // The newest batch before number `i` whose direction is the other one of a Received or Sent
  // batch `i` (Mixed entries do not count).
  std::optional<size_t> PreviousOtherDirection(size_t i) const;
  // Events recorded at positions from .. to - 1, in ring order (the order of the bytes).
  std::vector<TimedEvent> EventsBetween(uint32_t from, uint32_t to) const;

  // Bytes the reserved room takes, and what the entries in use occupy.
  static constexpr size_t EntryBytes = 16;
  size_t ReservedBytes() const { return (batchCapacity_ + eventCapacity_) * EntryBytes; }
  size_t UsedBytes() const { return (batches_.size() + events_.size()) * EntryBytes; }

 private:
  struct Entry {
    int64_t TimeNs;
    uint32_t Position;
    uint32_t Packed;  // bits 0..26 count, 27..28 direction, 29 coalesced
  };
  struct EventEntry {
    int64_t TimeNs;
    uint32_t Position;
    uint32_t Events;
  };
  static_assert(sizeof(Entry) == EntryBytes && sizeof(EventEntry) == EntryBytes);
  static uint32_t CountOf(const Entry& e) { return e.Packed & MaxCount; }
  static Direction DirOf(const Entry& e) { return static_cast<Direction>((e.Packed >> 27) & 3); }
  static bool CoalescedOf(const Entry& e) { return (e.Packed >> 29) & 1; }
  static uint32_t Pack(uint32_t count, Direction dir, bool coalesced) {
    return count | (uint32_t{static_cast<uint8_t>(dir)} << 27) | (coalesced ? 1u << 29 : 0u);
  }

  // Copies start unobserved: a copy is formatted or shown elsewhere, never added to for the
  // capture.
  struct ObserverRef {
    TimeIndexObserver* to = nullptr;
    ObserverRef() = default;
    ObserverRef(const ObserverRef&) {}
    ObserverRef& operator=(const ObserverRef&) { return *this; }
  };

  void Add(uint32_t position, uint32_t count, Direction dir, int64_t timeNs);
  void Wrapped();
  void DropOverwritten(uint32_t to);
  void CoalesceBatches();
  void CoalesceEvents();
  // The live entries of the run written since the last wrap start here.
  size_t NewerRun() const { return wrapAt_ > head_ ? wrapAt_ : head_; }
  size_t NewerEventRun() const { return eventWrapAt_ > eventHead_ ? eventWrapAt_ : eventHead_; }
  // Searches live entries [first, last) that are sorted by position.
  std::optional<size_t> FindIn(size_t first, size_t last, uint32_t position) const;

  size_t batchCapacity_;
  size_t eventCapacity_;
  std::vector<Entry> batches_;
  std::vector<EventEntry> events_;
  // Entries before the heads were overwritten by a wrapped ring and wait for the next compaction.
  size_t head_ = 0;
  size_t eventHead_ = 0;
  // First entry written after the ring last wrapped (0 while it has not): entries from here on
  // start again at low positions, the older run lies above them in the ring.
  size_t wrapAt_ = 0;
  size_t eventWrapAt_ = 0;
  uint32_t end_ = 0;  // ring position after the newest batch
  uint32_t granule_ = 1;
  ObserverRef observer_;
};

}  // namespace quarlex
