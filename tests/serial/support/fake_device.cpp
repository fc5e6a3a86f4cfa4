#include "tests/serial/support/fake_device.h"

#include <cerrno>

#include "serial/device/device_core.h"

namespace quarlex::device {

class FakeDevice final : public Device {
 public:
  explicit FakeDevice(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}
  ~FakeDevice() override { Close(); }

  void Close() override {
    std::shared_ptr<DeviceCore> core;
    {
      std::lock_guard lock(line_->mu_);
      if (!open_) return;
      open_ = false;
      core = core_;
      if (line_->core_ == core_) line_->core_.reset();
      ++line_->record_.closes;
    }
    core->MarkClosed();
  }
  bool IsOpen() const override {
    std::lock_guard lock(line_->mu_);
    return open_;
  }

  Error SetQueueSizes(uint32_t in, uint32_t out) override {
    std::lock_guard lock(line_->mu_);
    if (Error e = Precheck(FakeCall::kSetQueueSizes)) return e;
    if (Error e = core_->SetQueueSizes(in, out)) return e;
    line_->record_.queue_sizes.emplace_back(in, out);
    return {};
  }
  Error SetState(const Dcb& dcb) override {
    std::lock_guard lock(line_->mu_);
    if (Error e = Precheck(FakeCall::kSetState)) return e;
    if (Error e = CheckDcb(dcb)) return e;
    std::lock_guard core_lock(core_->mutex());
    Dcb kept = dcb;
    if (line_->rate_rule_) kept.BaudRate = line_->rate_rule_(dcb.BaudRate);
    if (kept.BaudRate == 0) return RateRefused(core_->StateLocked().BaudRate);
    if (!RateKept(dcb.BaudRate, kept.BaudRate)) return RateRefused(kept.BaudRate);
    core_->SetStateLocked(kept);
    line_->record_.states.push_back(kept);
    return {};
  }
  Error GetState(Dcb& dcb) override {
    std::lock_guard lock(line_->mu_);
    if (!open_) return NotOpenError();
    std::lock_guard core_lock(core_->mutex());
    dcb = core_->StateLocked();
    return {};
  }
  Error SetTimeouts(const CommTimeouts& t) override {
    std::lock_guard lock(line_->mu_);
    if (Error e = Precheck(FakeCall::kSetTimeouts)) return e;
    if (Error e = core_->SetTimeouts(t)) return e;
    line_->record_.timeouts.push_back(t);
    return {};
  }
  Error GetTimeouts(CommTimeouts& t) override {
    std::lock_guard lock(line_->mu_);
    if (!open_) return NotOpenError();
    t = core_->Timeouts();
    return {};
  }
  Error SetEventMask(uint32_t mask) override {
    std::lock_guard lock(line_->mu_);
    if (Error e = Precheck(FakeCall::kSetEventMask)) return e;
    if (Error e = core_->SetEventMask(mask)) return e;
    line_->record_.masks.push_back(mask);
    return {};
  }
  Error GetEventMask(uint32_t& mask) override {
    std::lock_guard lock(line_->mu_);
    if (!open_) return NotOpenError();
    mask = core_->EventMask();
    return {};
  }
  Error WaitEvents(uint32_t& occurred, const StopSignal* stop, int timeout_ms) override {
    occurred = 0;
    {
      std::lock_guard lock(line_->mu_);
      Error e;
      if (line_->TakeFailure(FakeCall::kWaitEvents, e)) return e;
    }
    return core_->WaitEvents(occurred, stop, timeout_ms);  // the core knows when it is closed
  }
  Error SetRxEventInterval(uint32_t interval_ms) override {
    std::lock_guard lock(line_->mu_);
    if (!open_) return NotOpenError();
    return core_->SetRxEventInterval(interval_ms);
  }
  Error StartRead(uint8_t* buffer, uint32_t count, Transfer& transfer, uint32_t& bytes_now) override {
    bytes_now = 0;
    {
      std::lock_guard lock(line_->mu_);
      Error e;
      if (line_->TakeFailure(FakeCall::kStartRead, e)) return e;
    }
    return core_->StartRead(buffer, count, transfer, bytes_now);
  }
  Error ReadQueuedTimed(uint8_t* buffer, uint32_t count, uint32_t& bytes,
                        std::vector<RxChunk>& chunks) override {
    bytes = 0;
    chunks.clear();
    {
      std::lock_guard lock(line_->mu_);
      Error e;
      if (line_->TakeFailure(FakeCall::kStartRead, e)) return e;
    }
    return core_->ReadQueuedTimed(buffer, count, bytes, chunks);
  }
  Error StartWrite(const uint8_t* data, uint32_t count, Transfer& transfer, uint32_t& bytes_now) override {
    bytes_now = 0;
    transfer.Reset();  // ends its earlier operation before any lock is taken (Cancel locks)
    std::lock_guard lock(line_->mu_);
    if (Error e = Precheck(FakeCall::kStartWrite)) return e;
    std::lock_guard core_lock(core_->mutex());
    if (core_->GoneLocked()) return GoneOnStart(EIO);
    auto op = core_->QueueWriteLocked(data, count);
    if (!stalled_locked()) DrainLocked(*line_, *core_);
    bytes_now = DeviceCore::CompletedCountLocked(*op);
    transfer.Attach(op);
    return {};
  }
  Error Purge(uint32_t flags) override {
    std::lock_guard lock(line_->mu_);
    if (Error e = Precheck(FakeCall::kPurge)) return e;
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
      return ErrorOf(ErrorKind::kInvalidParameter);
    std::lock_guard core_lock(core_->mutex());
    core_->PurgeLocked(flags);
    line_->record_.purges.push_back(flags);
    return {};
  }
  Error GetCommStatus(CommStatus& status) override {
    status = {};
    std::lock_guard lock(line_->mu_);
    if (Error e = Precheck(FakeCall::kGetCommStatus)) return e;
    std::lock_guard core_lock(core_->mutex());
    status.errors = core_->TakeErrorsLocked();
    status.in_queue = static_cast<uint32_t>(core_->InputCountLocked());
    status.out_queue = core_->QueuedWriteBytesLocked();
    if (xoff_) status.hold |= kHoldXoff;
    const Dcb d = core_->StateLocked();
    if ((d.Flags & kDcbOutxCtsFlow) && !(line_->modem_ & MS_CTS_ON)) status.hold |= kHoldCts;
    if ((d.Flags & kDcbOutxDsrFlow) && !(line_->modem_ & MS_DSR_ON)) status.hold |= kHoldDsr;
    return {};
  }
  Error GetModemStatus(uint32_t& status) override {
    status = 0;
    std::lock_guard lock(line_->mu_);
    if (Error e = Precheck(FakeCall::kGetModemStatus)) return e;
    if (line_->vanished_) return GoneOnStart(EIO);
    status = line_->modem_;
    return {};
  }
  Error Escape(uint32_t function) override {
    std::lock_guard lock(line_->mu_);
    if (Error e = Precheck(FakeCall::kEscape)) return e;
    if (line_->vanished_) return GoneOnStart(EIO);
    if (function < SETXOFF || function > CLRBREAK || function == 7)
      return ErrorOf(ErrorKind::kInvalidParameter);
    line_->record_.escapes.push_back(function);
    if (function == SETXOFF) xoff_ = true;
    if (function == SETXON) {
      xoff_ = false;
      std::lock_guard core_lock(core_->mutex());
      if (!stalled_locked()) DrainLocked(*line_, *core_);
    }
    return {};
  }
  Error TransmitChar(uint8_t byte) override {
    std::lock_guard lock(line_->mu_);
    if (Error e = Precheck(FakeCall::kTransmitChar)) return e;
    if (line_->vanished_) return GoneOnStart(EIO);
    line_->record_.written.push_back(static_cast<char>(byte));
    return {};
  }

  // Line mutex held. Sends every pending write.
  static void DrainLocked(FakeLine& line, DeviceCore& core) {
    bool sent = false;
    for (;;) {
      size_t n = 0;
      const uint8_t* p = core.WriteChunkLocked(n);
      if (!p) break;
      line.record_.written.append(reinterpret_cast<const char*>(p), n);
      core.WroteLocked(n);
      sent = true;
    }
    if (sent) core.RaiseLocked(EV_TXEMPTY, 0);
  }

  std::shared_ptr<FakeLine> line_;
  std::shared_ptr<DeviceCore> core_;
  bool open_ = false;
  bool xoff_ = false;

 private:
  bool stalled_locked() const { return line_->stalled_ || xoff_; }
  // Line mutex held: closed, scripted failure.
  Error Precheck(FakeCall call) {
    if (!open_) return NotOpenError();
    Error e;
    if (line_->TakeFailure(call, e)) return e;
    return {};
  }
};

// ---------------------------------------------------------------------------------------------

bool FakeLine::TakeFailure(FakeCall call, Error& error) {
  auto it = failures_.find(call);
  if (it == failures_.end()) return false;
  error = it->second;
  failures_.erase(it);
  return true;
}

void FakeLine::Receive(const std::string& bytes) {
  Receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void FakeLine::Receive(const uint8_t* data, size_t n) {
  Receive(data, n, RxClock::now());
}

void FakeLine::Receive(const uint8_t* data, size_t n, RxClock::time_point read_at) {
  std::lock_guard lock(mu_);
  if (!core_ || vanished_) return;
  bool wake;
  {
    std::lock_guard core_lock(core_->mutex());
    wake = core_->ReceiveLocked(data, n, !(modem_ & MS_DSR_ON), read_at);
  }
  if (wake) core_->WakeWaiter();
}

void FakeLine::SetModemLines(uint32_t ms_bits) {
  std::lock_guard lock(mu_);
  uint32_t changed = (modem_ ^ ms_bits) & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
  modem_ = ms_bits & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
  if (!core_ || !changed) return;
  uint32_t ev = 0;
  if (changed & MS_CTS_ON) ev |= EV_CTS;
  if (changed & MS_DSR_ON) ev |= EV_DSR;
  if (changed & MS_RING_ON) ev |= EV_RING;
  if (changed & MS_RLSD_ON) ev |= EV_RLSD;
  std::lock_guard core_lock(core_->mutex());
  core_->RaiseLocked(ev, 0);
}

void FakeLine::LineError(uint32_t ce_bits) {
  std::lock_guard lock(mu_);
  if (!core_) return;
  uint32_t ev = (ce_bits & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) ? EV_ERR : 0;
  if (ce_bits & CE_BREAK) ev |= EV_BREAK;
  std::lock_guard core_lock(core_->mutex());
  core_->RaiseLocked(ev, ce_bits);
}

void FakeLine::Break() {
  LineError(CE_BREAK);
}

void FakeLine::Vanish() {
  std::lock_guard lock(mu_);
  vanished_ = true;
  if (!core_) return;
  std::lock_guard core_lock(core_->mutex());
  core_->MarkGoneLocked(EIO);
}

void FakeLine::Return() {
  std::lock_guard lock(mu_);
  vanished_ = false;
  // A device still open on the line was opened before the loss: it is not the one that came
  // back, and the line is free for a new open once it closes.
}

void FakeLine::StallOutput(bool stalled) {
  std::lock_guard lock(mu_);
  stalled_ = stalled;
  if (stalled || !core_) return;
  std::lock_guard core_lock(core_->mutex());
  FakeDevice::DrainLocked(*this, *core_);
}

void FakeLine::FailNext(FakeCall call, Error error) {
  std::lock_guard lock(mu_);
  failures_[call] = std::move(error);
}

void FakeLine::SetRateRule(std::function<uint32_t(uint32_t)> rule) {
  std::lock_guard lock(mu_);
  rate_rule_ = std::move(rule);
}

FakeLine::Record FakeLine::Recorded() const {
  std::lock_guard lock(mu_);
  return record_;
}

uint32_t FakeLine::ModemLines() const {
  std::lock_guard lock(mu_);
  return modem_;
}

bool FakeLine::IsOpen() const {
  std::lock_guard lock(mu_);
  return core_ != nullptr;
}

Error OpenFakeDevice(const std::shared_ptr<FakeLine>& line, std::unique_ptr<Device>& device) {
  device.reset();
  std::lock_guard lock(line->mu_);
  Error e;
  if (line->TakeFailure(FakeCall::kOpen, e)) return e;
  if (line->vanished_) return ErrorOf(ErrorKind::kNotFound);
  if (line->core_) return ErrorOf(ErrorKind::kBusy);
  auto dev = std::make_unique<FakeDevice>(line);
  dev->core_ = std::make_shared<DeviceCore>(line->min_input_);
  dev->open_ = true;
  line->core_ = dev->core_;
  ++line->record_.opens;
  device = std::move(dev);
  return {};
}

DeviceOpener FakeLine::Opener(std::map<std::string, std::shared_ptr<FakeLine>> lines) {
  return [lines = std::move(lines)](std::string_view path, std::unique_ptr<Device>& device) {
    auto it = lines.find(std::string(path));
    if (it == lines.end()) return ErrorOf(ErrorKind::kNotFound);
    return OpenFakeDevice(it->second, device);
  };
}

}  // namespace quarlex::device
