#include "serial/device/device_core.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace quarlex::device {

namespace {
// SetupComm beyond this is refused: the queue takes memory as it fills, and one that its owner
// stops reading must not be able to take all of the machine's.
constexpr uint64_t kMaxInputQueue = 256u << 20;
// Receive events, which a hold may gather into one report; every other event ends a hold.
constexpr uint32_t kHeldEvents = EV_RXCHAR | EV_RXFLAG;

Clock::time_point AfterMs(Clock::time_point t, uint64_t ms) {
  return t + std::chrono::milliseconds(ms);
}
}  // namespace

Error CheckDcb(const Dcb& d) {
  const bool bad = d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > kSpaceParity || d.StopBits > kTwoStopBits ||
                   d.BaudRate == 0 || (d.StopBits == kOne5StopBits && d.ByteSize != 5) ||
                   (d.StopBits == kTwoStopBits && d.ByteSize == 5) ||
                   ((d.Flags & (kDcbOutX | kDcbInX)) && d.XonChar == d.XoffChar);
  return bad ? ErrorOf(ErrorKind::kInvalidParameter) : Error{};
}

Error NotOpenError() {
  return ErrorOf(ErrorKind::kNotOpen);
}
Error GoneOnStart(int os_code) {
  return ErrorFromErrno(os_code ? os_code : EIO, ErrorKind::kGone, kWinAccessDenied);
}
Error GoneOnComplete(int os_code) {
  return ErrorFromErrno(os_code ? os_code : EIO, ErrorKind::kGone, kWinGenFailure);
}

// ---------------------------------------------------------------------------------------------

ByteQueue::Block ByteQueue::TakeBlock() {
  if (spare_.empty()) return Block(new uint8_t[kBlockSize]);  // untouched until written
  Block b = std::move(spare_.back());
  spare_.pop_back();
  return b;
}

void ByteQueue::GiveBack(Block block) {
  // Enough for a stream the owner keeps up with; what a long stall filled goes back to the heap.
  constexpr size_t kSpareBlocks = 4;
  if (spare_.size() < kSpareBlocks) spare_.push_back(std::move(block));
}

size_t ByteQueue::Push(const uint8_t* data, size_t n) {
  n = std::min(n, free());
  for (size_t done = 0; done < n;) {
    if (blocks_.empty() || tail_ == kBlockSize) {
      blocks_.push_back(TakeBlock());
      tail_ = 0;
    }
    const size_t k = std::min(n - done, kBlockSize - tail_);
    std::memcpy(blocks_.back().get() + tail_, data + done, k);
    tail_ += k;
    done += k;
  }
  size_ += n;
  return n;
}

size_t ByteQueue::Pop(uint8_t* out, size_t n) {
  n = std::min(n, size_);
  for (size_t done = 0; done < n;) {
    const size_t end = blocks_.size() == 1 ? tail_ : kBlockSize;
    const size_t k = std::min(n - done, end - head_);
    std::memcpy(out + done, blocks_.front().get() + head_, k);
    head_ += k;
    done += k;
    if (head_ < end) continue;
    head_ = 0;
    if (blocks_.size() == 1) {
      tail_ = 0;  // emptied: the same block takes the next bytes from its start
    } else {
      GiveBack(std::move(blocks_.front()));
      blocks_.pop_front();
    }
  }
  size_ -= n;
  return n;
}

void ByteQueue::Clear() {
  while (!blocks_.empty()) {
    GiveBack(std::move(blocks_.front()));
    blocks_.pop_front();
  }
  head_ = tail_ = size_ = 0;
}

// ---------------------------------------------------------------------------------------------

bool CoreOp::DeadlinePassedLocked(Clock::time_point now) const {
  return (has_deadline_ && now >= deadline_) || (has_interval_deadline_ && now >= interval_deadline_);
}

Clock::time_point CoreOp::NextDeadlineLocked() const {
  Clock::time_point t = Clock::time_point::max();
  if (has_deadline_) t = std::min(t, deadline_);
  if (has_interval_deadline_) t = std::min(t, interval_deadline_);
  return t;
}

bool CoreOp::Check(uint32_t& bytes, Error& error) {
  std::lock_guard lock(core_->mu_);
  if (!done_ && DeadlinePassedLocked(Clock::now())) {
    if (write_)
      core_->ExpireWritesLocked(Clock::now());
    else
      core_->CompleteLocked(*this, {});
  }
  bytes = got_;
  if (!done_) {
    error = ErrorOf(ErrorKind::kIncomplete);
    return false;
  }
  error = error_;
  return error_.ok();
}

bool CoreOp::Wait(uint32_t& bytes, Error& error) {
  std::unique_lock lock(core_->mu_);
  while (!done_) {
    Clock::time_point t = NextDeadlineLocked();
    if (t == Clock::time_point::max()) {
      core_->cv_.wait(lock);
      continue;
    }
    core_->cv_.wait_until(lock, t);
    Clock::time_point now = Clock::now();
    if (!done_ && DeadlinePassedLocked(now)) {
      // Time-outs are honoured here as well as by a backend thread, so a device without one
      // (the fake) still ends its transfers on time.
      if (write_)
        core_->ExpireWritesLocked(now);
      else
        core_->CompleteLocked(*this, {});
    }
  }
  bytes = got_;
  error = error_;
  return error_.ok();
}

void CoreOp::Cancel() {
  std::lock_guard lock(core_->mu_);
  if (!done_) core_->CompleteLocked(*this, ErrorOf(ErrorKind::kAborted));
}

// ---------------------------------------------------------------------------------------------

DeviceCore::DeviceCore(size_t min_input) : min_input_(min_input), ring_(min_input) {}

DeviceCore::~DeviceCore() = default;

void DeviceCore::WakeWaiter() {
  notify_.Set();
}

Error DeviceCore::SetQueueSizes(uint32_t input_size, uint32_t /*output_size*/) {
  // The output side has no queue of its own to size: pending writes send from the caller's
  // buffers, so any output size is accepted.
  if (input_size > kMaxInputQueue) {
    Error e = ErrorFromErrno(ENOMEM, ErrorKind::kInvalidParameter, kWinInvalidParameter);
    return e;
  }
  std::lock_guard lock(mu_);
  if (closed_) return NotOpenError();
  ring_.SetCapacity(std::max<size_t>(input_size, min_input_));
  above_80_ = ring_.size() * 5 >= ring_.capacity() * 4;
  return {};
}

size_t DeviceCore::InputCapacity() {
  std::lock_guard lock(mu_);
  return ring_.capacity();
}

Error DeviceCore::SetTimeouts(const CommTimeouts& t) {
  // The comm API refuses "wait forever for nothing": all three read values all ones.
  if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
      t.ReadTotalTimeoutConstant == kMaxDword)
    return ErrorOf(ErrorKind::kInvalidParameter);
  std::lock_guard lock(mu_);
  if (closed_) return NotOpenError();
  timeouts_ = t;
  return {};
}

CommTimeouts DeviceCore::Timeouts() {
  std::lock_guard lock(mu_);
  return timeouts_;
}

Error DeviceCore::SetEventMask(uint32_t mask) {
  std::lock_guard lock(mu_);
  if (closed_) return NotOpenError();
  mask_ = mask & kAllEvents;
  history_ = 0;
  ++mask_serial_;
  WakeWaiter();
  return {};
}

uint32_t DeviceCore::EventMask() {
  std::lock_guard lock(mu_);
  return mask_;
}

Error DeviceCore::SetRxEventInterval(uint32_t interval_ms) {
  std::lock_guard lock(mu_);
  if (closed_) return NotOpenError();
  rx_interval_ = std::chrono::milliseconds(interval_ms);
  WakeWaiter();  // a shorter interval may end a hold now
  return {};
}

Error DeviceCore::WaitEvents(uint32_t& occurred, const StopSignal* stop, int timeout_ms) {
  occurred = 0;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline =
      timeout_ms >= 0 ? start + std::chrono::milliseconds(timeout_ms) : Clock::time_point::max();
  uint64_t serial;
  {
    std::lock_guard lock(mu_);
    if (closed_) return NotOpenError();
    if (mask_ == 0) return ErrorOf(ErrorKind::kInvalidParameter);
    serial = mask_serial_;
  }
  for (;;) {
    Clock::time_point wake_at = deadline;
    {
      std::lock_guard lock(mu_);
      if (closed_) return NotOpenError();
      if (mask_serial_ != serial) return {};
      if (history_) {
        const Clock::time_point now = Clock::now();
        const Clock::time_point held_until = last_rx_report_ + rx_interval_;
        // Received bytes reported less than an interval ago are held, so a steady stream makes one
        // report per interval; a vanished device is reported without waiting.
        if ((history_ & ~kHeldEvents) == 0 && !gone_ && now < held_until) {
          wake_at = std::min(wake_at, held_until);
        } else {
          occurred = history_;
          history_ = 0;
          if (occurred & kHeldEvents) last_rx_report_ = now;
          return {};
        }
      } else if (gone_) {
        // Reported only once the events seen before the loss are out, so the last bytes are not
        // lost; every later call returns at once, so a waiting loop must stop on it.
        return GoneOnComplete(gone_code_);
      } else {
        // Bytes that arrive before the interval ends are recorded without a wake-up: look then.
        const Clock::time_point held_until = last_rx_report_ + rx_interval_;
        if (Clock::now() < held_until) wake_at = std::min(wake_at, held_until);
      }
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return {};
    int wait_ms = -1;
    if (wake_at != Clock::time_point::max()) {
      // Rounded up, so a hold that ends within the next millisecond does not spin.
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wake_at - now).count();
      wait_ms = static_cast<int>(std::min<int64_t>((us + 999) / 1000, std::numeric_limits<int>::max()));
    }
    // The stop signal goes first, so a set signal wins over pending notifications.
    Error failed;
    int r = WakeEvent::WaitAny(stop ? &stop->Event() : nullptr, &notify_, wait_ms, failed);
    if (r == -2) return failed;
    if (r == 0) return {};
    if (r == 1) notify_.Reset();
  }
}

Error DeviceCore::StartRead(uint8_t* buffer, uint32_t count, Transfer& transfer, uint32_t& bytes_now) {
  bytes_now = 0;
  transfer.Reset();  // ends its earlier operation before any lock is taken (Cancel locks)
  auto op = std::make_shared<CoreOp>(shared_from_this(), false);
  op->rbuf_ = buffer;
  op->count_ = count;
  std::lock_guard lock(mu_);
  if (closed_) return NotOpenError();
  const Clock::time_point now = Clock::now();
  const CommTimeouts& t = timeouts_;
  uint32_t n = 0;
  if (reads_.empty()) n = static_cast<uint32_t>(PopInputLocked(buffer, count, nullptr));
  const bool at_once = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                       t.ReadTotalTimeoutConstant == 0;
  const bool any_byte = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
  op->got_ = n;
  if (gone_ && n == 0 && count > 0) return GoneOnStart(gone_code_);
  if (n == count || at_once || gone_ || (any_byte && n > 0)) {
    op->done_ = true;
    transfer.Attach(op);
    bytes_now = n;
    return {};
  }
  if (any_byte) {
    op->any_byte_ = true;
    op->has_deadline_ = true;
    op->deadline_ = AfterMs(now, t.ReadTotalTimeoutConstant);
  } else {
    uint64_t total = uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
    if (total > 0) {
      op->has_deadline_ = true;
      op->deadline_ = AfterMs(now, total);
    }
    if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword) {
      op->interval_ms_ = t.ReadIntervalTimeout;
      if (n > 0) {
        op->has_interval_deadline_ = true;
        op->interval_deadline_ = AfterMs(now, op->interval_ms_);
      }
    }
  }
  reads_.push_back(op);
  transfer.Attach(op);
  return {};
}

Error DeviceCore::ReadQueuedTimed(uint8_t* buffer, uint32_t count, uint32_t& bytes,
                                  std::vector<RxChunk>& chunks) {
  bytes = 0;
  chunks.clear();
  std::lock_guard lock(mu_);
  if (closed_) return NotOpenError();
  if (reads_.empty()) bytes = static_cast<uint32_t>(PopInputLocked(buffer, count, &chunks));
  if (gone_ && bytes == 0 && count > 0) return GoneOnStart(gone_code_);
  return {};
}

size_t DeviceCore::PopInputLocked(uint8_t* out, size_t n, std::vector<RxChunk>* chunks) {
  n = ring_.Pop(out, n);
  if (ring_.size() * 5 < ring_.capacity() * 4) above_80_ = false;
  if (n == 0) return 0;
  const uint64_t from = taken_total_;
  taken_total_ += n;
  if (chunks) {
    // The front mark holds the first byte (it may have been partly read before).
    for (size_t i = 0; i < marks_.size() && marks_[i].start < taken_total_; ++i) {
      const uint64_t start = std::max(marks_[i].start, from);
      chunks->push_back({static_cast<uint32_t>(start - from), marks_[i].time});
    }
  }
  // Marks wholly read go; the front one stays while some of its bytes are still queued.
  while (marks_.size() > 1 && marks_[1].start <= taken_total_) marks_.pop_front();
  if (taken_total_ == queued_total_) marks_.clear();
  return n;
}

std::shared_ptr<CoreOp> DeviceCore::QueueWriteLocked(const uint8_t* data, uint32_t count) {
  auto op = std::make_shared<CoreOp>(shared_from_this(), true);
  op->wbuf_ = data;
  op->count_ = count;
  if (count == 0) {
    op->done_ = true;
    return op;
  }
  uint64_t total =
      uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * count + timeouts_.WriteTotalTimeoutConstant;
  if (total > 0) {
    op->has_deadline_ = true;
    op->deadline_ = AfterMs(Clock::now(), total);
  }
  writes_.push_back(op);
  return op;
}

const uint8_t* DeviceCore::WriteChunkLocked(size_t& n) {
  while (!writes_.empty() && writes_.front()->done_) writes_.pop_front();
  if (writes_.empty()) {
    n = 0;
    return nullptr;
  }
  CoreOp& op = *writes_.front();
  n = op.count_ - op.got_;
  return op.wbuf_ + op.got_;
}

std::shared_ptr<CoreOp> DeviceCore::HeadWriteLocked() {
  while (!writes_.empty() && writes_.front()->done_) writes_.pop_front();
  return writes_.empty() ? nullptr : writes_.front();
}

bool DeviceCore::WroteLocked(size_t n) {
  if (writes_.empty()) return false;
  CoreOp& op = *writes_.front();
  op.got_ += static_cast<uint32_t>(n);
  if (op.got_ < op.count_) return false;
  CompleteLocked(op, {});
  writes_.pop_front();
  return true;
}

Clock::time_point DeviceCore::ExpireWritesLocked(Clock::time_point now) {
  Clock::time_point next = Clock::time_point::max();
  for (auto& op : writes_) {
    if (op->done_) continue;
    // A write that runs out of time completes successfully with the bytes sent so far, as the
    // comm API's time-out does; the caller sees the short count.
    if (op->has_deadline_ && now >= op->deadline_)
      CompleteLocked(*op, {});
    else if (op->has_deadline_)
      next = std::min(next, op->deadline_);
  }
  while (!writes_.empty() && writes_.front()->done_) writes_.pop_front();
  return next;
}

bool DeviceCore::HasQueuedWritesLocked() {
  for (auto& op : writes_)
    if (!op->done_) return true;
  return false;
}

uint32_t DeviceCore::QueuedWriteBytesLocked() {
  uint64_t sum = 0;
  for (auto& op : writes_)
    if (!op->done_) sum += op->count_ - op->got_;
  return static_cast<uint32_t>(std::min<uint64_t>(sum, 0xFFFFFFFFu));
}

bool DeviceCore::ReceiveLocked(const uint8_t* data, size_t n, bool dsr_low, Clock::time_point read_at) {
  if (n == 0 || closed_) return false;
  if (dsr_low && (dcb_.Flags & kDcbDsrSensitivity)) return false;
  const bool discard_null = (dcb_.Flags & kDcbNull) != 0;
  size_t pushed = 0, dropped = 0;
  bool flag = false;
  const uint8_t* p = data;
  const uint8_t* end = data + n;
  while (p < end) {
    const uint8_t* seg_end = end;
    if (discard_null) {
      while (p < end && *p == 0) ++p;
      if (p == end) break;
      const void* z = std::memchr(p, 0, static_cast<size_t>(end - p));
      if (z) seg_end = static_cast<const uint8_t*>(z);
    }
    size_t len = static_cast<size_t>(seg_end - p);
    size_t k = ring_.Push(p, len);
    if (!flag && k > 0 && std::memchr(p, dcb_.EvtChar, k)) flag = true;
    pushed += k;
    dropped += len - k;
    p = seg_end;
  }
  if (pushed) {
    if (marks_.empty() || (read_at - marks_.back().time >= kRxChunkShare && marks_.size() < kMaxRxMarks))
      marks_.push_back({queued_total_, read_at});
    queued_total_ += pushed;
  }
  uint32_t ev = 0;
  if (pushed) ev |= EV_RXCHAR;
  if (flag) ev |= EV_RXFLAG;
  if (!above_80_ && ring_.size() * 5 >= ring_.capacity() * 4) {
    above_80_ = true;
    ev |= EV_RX80FULL;
  }
  // A full queue drops the newest bytes, as a driver does, and says so in the error word.
  const bool wake = RecordLocked(ev, dropped ? CE_RXOVER : 0, read_at);
  FeedReadsLocked(read_at);
  return wake;
}

bool DeviceCore::RecordLocked(uint32_t events, uint32_t errors, Clock::time_point now) {
  errors_ |= errors;
  const uint32_t bits = events & mask_;
  if (bits == 0) return false;
  // One wake-up per batch: while history_ is non-zero a notification is already on its way
  // to the waiter, who drains it before looking at history_. A waiter holding received bytes
  // back sleeps until its interval ends, so the first other event wakes it once more.
  const bool first = history_ == 0;
  const bool ends_hold = (bits & ~kHeldEvents) != 0 && (history_ & ~kHeldEvents) == 0;
  history_ |= bits;
  if (ends_hold) return true;
  // Received bytes within the interval wait for the waiter's own timer: no wake-up per chunk.
  return first && now >= last_rx_report_ + rx_interval_;
}

void DeviceCore::RaiseLocked(uint32_t events, uint32_t errors) {
  if (RecordLocked(events, errors, Clock::now())) WakeWaiter();
}

void DeviceCore::FeedReadsLocked(Clock::time_point now) {
  while (!reads_.empty()) {
    CoreOp& op = *reads_.front();
    if (op.done_) {
      reads_.pop_front();
      continue;
    }
    if (op.DeadlinePassedLocked(now)) {
      CompleteLocked(op, {});
      reads_.pop_front();
      continue;
    }
    if (ring_.size() == 0) break;
    op.got_ += static_cast<uint32_t>(PopInputLocked(op.rbuf_ + op.got_, op.count_ - op.got_, nullptr));
    if (op.got_ == op.count_ || op.any_byte_) {
      CompleteLocked(op, {});
      reads_.pop_front();
      continue;
    }
    if (op.interval_ms_) {
      op.has_interval_deadline_ = true;
      op.interval_deadline_ = AfterMs(now, op.interval_ms_);
    }
    break;
  }
}

void DeviceCore::CompleteLocked(CoreOp& op, Error error) {
  if (op.done_) return;
  op.done_ = true;
  op.error_ = std::move(error);
  cv_.notify_all();
}

void DeviceCore::FailAllLocked(bool writes, bool reads, const Error& error) {
  if (writes) {
    for (auto& op : writes_) CompleteLocked(*op, error);
    writes_.clear();
  }
  if (reads) {
    for (auto& op : reads_) CompleteLocked(*op, error);
    reads_.clear();
  }
}

void DeviceCore::MarkGoneLocked(int os_code) {
  if (gone_) return;
  gone_ = true;
  gone_code_ = os_code ? os_code : EIO;
  FailAllLocked(true, true, GoneOnComplete(gone_code_));
  WakeWaiter();
}

void DeviceCore::MarkClosed() {
  std::lock_guard lock(mu_);
  if (closed_) return;
  closed_ = true;
  FailAllLocked(true, true, ErrorOf(ErrorKind::kAborted));
  WakeWaiter();
}

uint32_t DeviceCore::TakeErrorsLocked() {
  uint32_t e = errors_;
  errors_ = 0;
  return e;
}

void DeviceCore::PurgeLocked(uint32_t flags) {
  Error aborted = ErrorOf(ErrorKind::kAborted);
  FailAllLocked((flags & PURGE_TXABORT) != 0, (flags & PURGE_RXABORT) != 0, aborted);
  if (flags & PURGE_RXCLEAR) {
    taken_total_ += ring_.size();
    ring_.Clear();
    marks_.clear();
    above_80_ = false;
  }
}

}  // namespace quarlex::device
