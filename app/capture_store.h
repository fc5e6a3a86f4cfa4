#pragma once
// The capture store: one fixed ring of every byte received and sent in a session, one attribute
// byte per captured byte, and the counters and view indices that drawing, marking, sending,
// search and files share. Allocated once; nothing here allocates after construction.
// Main thread only: the port's event thread hands receive events over and waits.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "app/time_index.h"
#include "app/view_position.h"

namespace quarlex {

constexpr uint32_t CaptureSize = 0x2000000;  // 33,554,432 bytes
constexpr uint32_t CaptureMask = 0x1FFFFFF;
constexpr uint32_t CaptureLast = 0x1FFFFFF;
constexpr size_t ReceiveStagingSize = 65536;
constexpr size_t MiniMapRowCount = 1024;

// Attribute byte bits.
constexpr uint8_t AttrMarkerMask = 0x07;   // marker 0 none, 1..4
constexpr uint8_t AttrMarkerClear = 0xF0;  // AND mask that removes marker (bits 0..3)
constexpr uint8_t SearchHitBits = 0x70;    // 0x10 first, 0x20 inner, 0x30 last, 0x40 one-byte hit
constexpr uint8_t SearchHitFirst = 0x10;
constexpr uint8_t SearchHitInner = 0x20;
constexpr uint8_t SearchHitLast = 0x30;
constexpr uint8_t SearchHitSingle = 0x40;
constexpr uint8_t SearchResetMask = 0x8F;
constexpr uint8_t AttrSent = 0x80;

// When a piece of a read's bytes came from the line: the bytes from Offset on, up to the next
// piece's Offset (the last piece to the end of the read), at MonotonicNs (the steady clock, as
// SystemClock().MonotonicNs() reads it).
struct ReceivedChunk {
  size_t Offset = 0;
  int64_t MonotonicNs = 0;
  bool operator==(const ReceivedChunk&) const = default;
};
using ReceivedChunks = std::vector<ReceivedChunk>;

// Where received bytes come from: the open port's input queue. Read must return exactly `count`
// bytes that are already queued (count never exceeds what QueuedCount reported) or throw.
class ReceiveSource {
 public:
  virtual ~ReceiveSource() = default;
  // Replaces `chunks` with when the pieces of the bytes read were taken from the line, oldest
  // first, the first at offset 0; a source that cannot tell leaves it empty, and its bytes then
  // count as arriving when they are read.
  virtual void ReadQueued(uint8_t* buffer, size_t count, ReceivedChunks& chunks) = 0;
  // Bytes waiting in the input queue now; used to take what a full ring left queued. May throw.
  virtual size_t QueuedCount() = 0;
  // A read or count outside a receive event (the tick taking what a full ring left queued)
  // failed with `error`. Nobody up the stack can report it, so the source closes the port and
  // tells the operator the way any failure of the device is told. Must not throw.
  virtual void ReadFailed(std::exception_ptr error) = 0;
};

// How the grid writes byte values, numbered as the toolbar's labels stand: 1 HEX, 2 DEC, 3 CHAR.
enum class GridBase : uint8_t { Hex = 1, Dec = 2, Char = 3 };

// Whether search has a current match: 0 none chosen yet, 2 chosen, with matches present. (A
// match chosen during a scan passes to 2 at once, so the 1 between them is never seen.)
enum class CurrentMatch : uint8_t { NotChosen = 0, Chosen = 2 };

struct CaptureStore {
  CaptureStore();
  CaptureStore(const CaptureStore&) = delete;
  CaptureStore& operator=(const CaptureStore&) = delete;

  // Storage. calloc'ed: zero at start without touching 64 MiB of pages up front.
  std::unique_ptr<uint8_t[], void (*)(void*)> CaptureBufferMem;
  std::unique_ptr<uint8_t[], void (*)(void*)> CaptureAttributesMem;
  uint8_t* const CaptureBuffer;
  uint8_t* const CaptureAttributes;
  std::unique_ptr<uint8_t[]> ReceiveStaging;
  uint8_t ValueHighlight[256] = {};
  uint8_t MiniMapRows[MiniMapRowCount] = {};

  // Counters and indices.
  // Number of bytes in the ring and where the next one goes: 0 .. CaptureSize. It equals
  // CaptureSize exactly when the ring is full (CaptureFull), so a full ring shows, searches and
  // saves as all of its bytes. Received bytes never pass the end; only a send without Autosave
  // wraps it back to 0 (AppendSent). Moved only by the append, load and clear operations below,
  // which keep CaptureFull with it.
  uint32_t WriteIndex() const { return writeIndex_; }
  bool CaptureFull() const { return captureFull_; }  // exactly when WriteIndex() == CaptureSize
  // Where the last save ended: the next "new bytes only" save starts here. Moved by MarkSaved
  // and the clear.
  uint32_t SavedUpTo() const { return savedUpTo_; }
  // The full ring came from a file (LoadBytes): it rolls over only once new bytes need its room,
  // not at the next tick as a ring filled by reception does.
  bool FullRingLoaded = false;
  uint32_t RxBytesSinceTick = 0;
  uint32_t ScrollSeenIndex = 0;
  uint32_t SearchedUpTo = 0;
  uint32_t MiniMapBuiltAt = 0;
  uint8_t BytesPerRow = 32;
  uint8_t AutoScroll = 1;
  GridBase ViewBase = GridBase::Hex;
  uint8_t SearchOpen = 0;
  CurrentMatch SearchHitState = CurrentMatch::NotChosen;
  uint32_t SearchHitNumber = 0;

  ViewPosition View;  // TopRow and ScrollBarExch

  // When the bytes of the ring arrived or were sent, and the line events between them. Cleared
  // with the ring; the session records into it.
  TimeIndex Times;

  // Appends `count` received bytes from `data` at WriteIndex, stopping after the last slot of
  // the ring: a full ring is never overwritten before it has been saved and cleared.
  // Returns how many bytes were taken (0 while CaptureFull is set). `sentBit` marks them as the
  // other direction's (a tap's second port): they arrived all the same, so they stop at the end
  // as received bytes do instead of wrapping as a send does.
  size_t AppendReceived(const uint8_t* data, size_t count, bool sentBit = false);

  // Appends one sent byte: sets the sent bit, keeps the other attribute bits, and wraps to 0 at
  // the end of the ring without filling it. A full ring takes no sent byte (the session rolls it
  // over or refuses the send first); the call then changes nothing.
  void AppendSent(uint8_t value) {
    if (captureFull_) return;
    CaptureBuffer[writeIndex_] = value;
    CaptureAttributes[writeIndex_] |= AttrSent;
    writeIndex_ = (writeIndex_ + 1) & CaptureMask;
  }

  // After the caller copied `length` (at most CaptureSize) bytes of a file to the start of a
  // cleared ring: they become the capture. A whole ring's worth is a full ring that waits for
  // new bytes before it rolls over.
  void LoadBytes(uint32_t length);

  // Room left before the ring is full, i.e. how many received bytes AppendReceived would take.
  size_t ReceiveRoom() const { return captureFull_ ? 0 : size_t{CaptureSize} - writeIndex_; }

  // Scroll bookkeeping after every growth of the capture. Draws nothing.
  void ScrollUpdate();

  // Wipes the ring, the attributes, the minimap rows and highlights, the time index and the
  // marks; resets the scroll bar. Search re-run and redraw are the caller's (the session's) business.
  void ClearStorage();

  // A save wrote the bytes up to `upTo` (0 .. CaptureSize): a "new bytes only" save starts there
  // next, and a full ring is released for its rollover.
  void MarkSaved(uint32_t upTo) { savedUpTo_ = upTo; }

 private:
  friend struct CaptureStoreFields;  // tests that place a ring's counters directly
  uint32_t writeIndex_ = 0;
  bool captureFull_ = false;
  uint32_t savedUpTo_ = 0;
};

}  // namespace quarlex
