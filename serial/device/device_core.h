#pragma once
// The platform-free heart of a device: the input queue (in user space), receive
// processing (discard-NUL, event character, 80%-full, overflow), the event mask with its
// history and waiter, pending reads and writes with their time-outs, and the error word.
// A backend (the POSIX device, the fake) feeds it received bytes and line events and drains its
// write queue onto the line. All members lock the core's mutex themselves unless named *Locked.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "serial/device/device.h"

namespace quarlex::device {

// The input queue: a FIFO of bytes with a capacity, held in fixed blocks that are taken as bytes
// arrive and given back once they have been read. A large capacity (seconds of a fast line while
// the owner is busy) therefore costs memory only while it is filled; a queue that the owner keeps
// up with holds a block or two. Nothing is copied when the capacity changes.
class ByteQueue {
 public:
  static constexpr size_t kBlockSize = 64 * 1024;

  explicit ByteQueue(size_t capacity) : capacity_(capacity) {}
  size_t capacity() const { return capacity_; }
  size_t size() const { return size_; }
  size_t free() const { return capacity_ - size_; }
  // Appends as many bytes as fit; returns how many did.
  size_t Push(const uint8_t* data, size_t n);
  // Takes up to n bytes, oldest first; returns how many.
  size_t Pop(uint8_t* out, size_t n);
  void Clear();
  // Never below size(): queued bytes are kept.
  void SetCapacity(size_t capacity) { capacity_ = capacity < size_ ? size_ : capacity; }
  // Blocks holding bytes or kept for reuse: the queue's memory is this many kBlockSize blocks.
  size_t BlocksAllocated() const { return blocks_.size() + spare_.size(); }

 private:
  using Block = std::unique_ptr<uint8_t[]>;
  Block TakeBlock();
  void GiveBack(Block block);

  std::deque<Block> blocks_;  // oldest first; the last one is being filled
  std::vector<Block> spare_;  // a few emptied blocks, so a steady stream allocates nothing
  size_t head_ = 0;           // read offset in blocks_.front()
  size_t tail_ = 0;           // write offset in blocks_.back()
  size_t size_ = 0;
  size_t capacity_;
};

using Clock = std::chrono::steady_clock;

class DeviceCore;

// One read or write started on a core. Completion fields are guarded by the core's mutex.
class CoreOp : public TransferOp {
 public:
  CoreOp(std::shared_ptr<DeviceCore> core, bool is_write) : core_(std::move(core)), write_(is_write) {}
  bool Check(uint32_t& bytes, Error& error) override;
  bool Wait(uint32_t& bytes, Error& error) override;
  void Cancel() override;

 private:
  friend class DeviceCore;
  std::shared_ptr<DeviceCore> core_;
  bool write_;
  bool done_ = false;
  Error error_;
  uint8_t* rbuf_ = nullptr;
  const uint8_t* wbuf_ = nullptr;
  uint32_t count_ = 0;
  uint32_t got_ = 0;
  // Read time-outs: completes at `deadline` (total) or `interval` after the last byte; with
  // `any_byte` the first byte completes it.
  bool has_deadline_ = false;
  Clock::time_point deadline_{};
  uint32_t interval_ms_ = 0;
  bool has_interval_deadline_ = false;
  Clock::time_point interval_deadline_{};
  bool any_byte_ = false;

  bool DeadlinePassedLocked(Clock::time_point now) const;
  Clock::time_point NextDeadlineLocked() const;
};

class DeviceCore : public std::enable_shared_from_this<DeviceCore> {
 public:
  // min_input: the input ring is never smaller (it must hold seconds of a fast line while the
  // consumer is busy).
  explicit DeviceCore(size_t min_input);
  ~DeviceCore();

  std::mutex& mutex() { return mu_; }

  // -- configuration kept by the core
  Error SetQueueSizes(uint32_t input_size, uint32_t output_size);
  void SetStateLocked(const Dcb& dcb) { dcb_ = dcb; }
  Dcb StateLocked() const { return dcb_; }
  Error SetTimeouts(const CommTimeouts& t);
  CommTimeouts Timeouts();
  Error SetEventMask(uint32_t mask);
  uint32_t EventMask();
  uint32_t MaskLocked() const { return mask_; }
  size_t InputCapacity();

  // -- waiting for events
  Error SetRxEventInterval(uint32_t interval_ms);
  Error WaitEvents(uint32_t& occurred, const StopSignal* stop, int timeout_ms);

  // -- transfers. StartWrite queues the write; the backend drains it (WriteChunkLocked /
  // WroteLocked) and the caller's thread may do so at once through `try_now`.
  Error StartRead(uint8_t* buffer, uint32_t count, Transfer& transfer, uint32_t& bytes_now);
  // Device::ReadQueuedTimed.
  Error ReadQueuedTimed(uint8_t* buffer, uint32_t count, uint32_t& bytes, std::vector<RxChunk>& chunks);
  std::shared_ptr<CoreOp> QueueWriteLocked(const uint8_t* data, uint32_t count);
  // The bytes the head write still has to send (nullptr when none).
  const uint8_t* WriteChunkLocked(size_t& n);
  // The head write (null when none), so a backend whose send completes later can tell whether
  // that write is still the head (not aborted or timed out meanwhile) before crediting bytes.
  std::shared_ptr<CoreOp> HeadWriteLocked();
  // The backend sent n bytes of the head write; true when that finished it.
  bool WroteLocked(size_t n);
  // Ends writes whose time-out passed (they complete with what was sent); returns the earliest
  // remaining write deadline, or time_point::max().
  Clock::time_point ExpireWritesLocked(Clock::time_point now);
  bool HasQueuedWritesLocked();
  // The count of a transfer that has completed successfully, else 0.
  static uint32_t CompletedCountLocked(const CoreOp& op) { return op.done_ && op.error_.ok() ? op.got_ : 0; }
  uint32_t QueuedWriteBytesLocked();

  // -- what the backend reports from the line
  // Received bytes, already free of line-discipline marks, read from the line at `read_at` (the
  // backend's one clock reading for that read). dsr_low: DSR is known to be low.
  // Returns true when the event waiter is due a wake-up, which the caller gives with WakeWaiter
  // after releasing the mutex (so the waiter does not run straight into the held lock); a backend
  // still reading a burst may hold it back briefly.
  [[nodiscard]] bool ReceiveLocked(const uint8_t* data, size_t n, bool dsr_low, Clock::time_point read_at);
  // Wakes the event waiter; needs no lock.
  void WakeWaiter();
  // Line events (EV_* bits) and errors (CE_* bits).
  void RaiseLocked(uint32_t events, uint32_t errors);
  // The device vanished: pending transfers fail, waiters learn it, later transfers fail.
  void MarkGoneLocked(int os_code);
  bool GoneLocked() const { return gone_; }
  // Closed: pending transfers abort, waiters wake, later calls fail with kNotOpen.
  void MarkClosed();
  bool ClosedLocked() const { return closed_; }

  // -- queries and purge
  uint32_t TakeErrorsLocked();
  size_t InputCountLocked() const { return ring_.size(); }
  bool InputFullLocked() const { return ring_.free() == 0; }
  size_t InputRoomLocked() const { return ring_.free(); }
  void PurgeLocked(uint32_t flags);  // the queue part of PURGE_*

 private:
  friend class CoreOp;
  // Records events and errors; true when the waiter has to be woken for them.
  bool RecordLocked(uint32_t events, uint32_t errors, Clock::time_point now);
  // Takes up to n queued bytes, oldest first, with their read times when `chunks` is given
  // (offsets from `out`); returns how many.
  size_t PopInputLocked(uint8_t* out, size_t n, std::vector<RxChunk>* chunks);
  void FeedReadsLocked(Clock::time_point now);
  void CompleteLocked(CoreOp& op, Error error);
  void FailAllLocked(bool writes, bool reads, const Error& error);

  std::mutex mu_;
  std::condition_variable cv_;  // an op completed
  WakeEvent notify_;            // something for the event waiter
  size_t min_input_;
  ByteQueue ring_;
  // When the queued bytes were read: one mark per piece, oldest first; a mark's bytes run from
  // its start up to the next mark's start (positions count every byte ever queued). The front
  // mark may already be partly read. At most kMaxRxMarks: beyond that (an owner that has not
  // read for half a minute of a busy line) new pieces share the newest mark's time.
  struct RxMark {
    uint64_t start;
    Clock::time_point time;
  };
  static constexpr size_t kMaxRxMarks = size_t{1} << 16;
  std::deque<RxMark> marks_;
  uint64_t queued_total_ = 0;  // bytes ever pushed into ring_
  uint64_t taken_total_ = 0;   // bytes ever taken out of it (read or purged)
  Dcb dcb_;
  CommTimeouts timeouts_;
  uint32_t mask_ = 0;
  uint32_t history_ = 0;           // events of the mask seen and not yet reported
  uint64_t mask_serial_ = 0;       // bumped by SetEventMask to end a pending wait
  Clock::duration rx_interval_{};  // receive events are reported at most once per this
  Clock::time_point last_rx_report_ = Clock::time_point::min();  // the last one with receive events
  uint32_t errors_ = 0;
  bool above_80_ = false;
  bool gone_ = false;
  int gone_code_ = 0;
  bool closed_ = false;
  std::deque<std::shared_ptr<CoreOp>> reads_;
  std::deque<std::shared_ptr<CoreOp>> writes_;
};

// The comm API's own refusals of a control block: data bits 5..8, parity and stop-bit codes in
// range, 1.5 stop bits only with 5 data bits, 2 not with 5, a rate, distinct XON and XOFF
// characters while software flow control is on.
Error CheckDcb(const Dcb& dcb);

Error NotOpenError();
Error GoneOnStart(int os_code);     // starting a transfer on a vanished device
Error GoneOnComplete(int os_code);  // completing one

}  // namespace quarlex::device
