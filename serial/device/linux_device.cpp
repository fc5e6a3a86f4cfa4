// The Linux serial device: a tty opened exclusively, line settings through termios2, and one
// I/O thread per open device that moves received bytes into the user-space ring at once, sends
// queued writes, and watches the line (tx-empty, error and modem counters).
#include "serial/device/linux_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/device/core_backed_device.h"
#include "serial/device/device_core.h"
#include "serial/device/linux_termios2.h"
#include "serial/device/linux_termios_map.h"
#include "serial/device/port_lock_linux.h"
#include "serial/thread_name.h"

namespace quarlex::device {

using namespace linux_tty;

namespace {

// Holds a stalled owner's share of a fast line: more than 3 s at 10 MB/s before the kernel's
// buffer and then the device start to fill. Memory is taken only as far as the queue fills.
constexpr size_t kMinInputQueue = 64u << 20;
constexpr int kLinePollMs = 10;  // modem and error counters, tx-empty
// Longest the event waiter's wake-up for received bytes is held back while more keep coming.
constexpr auto kWakeHoldBack = std::chrono::microseconds(500);
constexpr uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_ERR | EV_BREAK;

Error OpenError(int err) {
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return ErrorFromErrno(err, ErrorKind::kNotFound, kWinFileNotFound);
    case EACCES:
    case EPERM:
      return ErrorFromErrno(err, ErrorKind::kAccessDenied, kWinAccessDenied);
    case EBUSY:
      return ErrorFromErrno(err, ErrorKind::kBusy, kWinAccessDenied);
    default:
      return ErrorFromErrno(err, ErrorKind::kOther, kWinGenFailure);
  }
}

// An ioctl failed on an open device: a vanished line, a call the line cannot do, or other.
Error LineError(int err) {
  switch (err) {
    case EIO:
    case ENODEV:
    case ENXIO:
      return ErrorFromErrno(err, ErrorKind::kGone, kWinAccessDenied);
    case ENOTTY:
    case EINVAL:
      return ErrorFromErrno(err, ErrorKind::kInvalidParameter, kWinInvalidParameter);
    default:
      return ErrorFromErrno(err, ErrorKind::kOther, kWinGenFailure);
  }
}

// Opens and locks; the fd is closed again on any failure.
Error OpenLocked(std::string_view path, int& fd_out) {
  std::string p(path);
  int fd = open(p.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return OpenError(errno);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    close(fd);
    // EWOULDBLOCK from flock means another open holds the line: report it as busy.
    return OpenError(err == EWOULDBLOCK ? EBUSY : err);
  }
  fd_out = fd;
  return {};
}

bool IsGoneErrno(int err) {
  return err == EIO || err == ENODEV || err == ENXIO;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

class LinuxDevice final : public CoreBackedDevice {
 public:
  LinuxDevice(int fd, std::string path, std::unique_ptr<UucpLock> lock);
  ~LinuxDevice() override { Close(); }
  Error Init();

  void Close() override;
  Error SetQueueSizes(uint32_t input_size, uint32_t output_size) override;
  Error SetState(const Dcb& dcb) override;
  Error SetEventMask(uint32_t mask) override;
  Error StartWrite(const uint8_t* data, uint32_t count, Transfer& transfer, uint32_t& bytes_now) override;
  Error Purge(uint32_t flags) override;
  Error GetCommStatus(CommStatus& status) override;
  Error GetModemStatus(uint32_t& status) override;
  Error Escape(uint32_t function) override;
  Error TransmitChar(uint8_t byte) override;

 protected:
  void InputRoomMade() override { Wake(); }

 private:
  void IoLoop();
  void Wake();
  void ReadInput(std::vector<uint8_t>& raw, std::vector<uint8_t>& decoded);
  void WakeWaiterNow();
  void SendQueuedLocked();
  void PollLineLocked();
  void GoneLocked(int err);
  Error ApplyTermios(const termios2& t);

  int fd_;
  const std::string path_;
  std::unique_ptr<UucpLock> lock_;  // released when the device closes
  int wake_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::shared_mutex fd_mu_;  // shared: a call using fd_; unique: Close
  std::mutex config_mu_;     // one SetState at a time
  std::thread io_;

  // Guarded by the core's mutex.
  bool has_icount_ = false;
  bool has_modem_ = false;
  serial_icounter_struct icount_{};
  int modem_ = 0;
  bool tx_watch_ = false;
  bool output_maybe_queued_ = false;  // a write reached the kernel and may not be sent yet
  int tx_check_ms_ = 1;               // when to look for the output running empty again
  bool output_stopped_ = false;       // SETXOFF
  bool parmrk_ = false;
  std::atomic<bool> flow_in_{false};  // the kernel can throttle the peer when we stop reading
  bool crtscts_ = false;
  ParmrkDecoder decoder_;
  // I/O thread only: a wake-up of the event waiter held back while a burst is read.
  bool wake_due_ = false;
  Clock::time_point wake_due_since_{};
};

LinuxDevice::LinuxDevice(int fd, std::string path, std::unique_ptr<UucpLock> lock)
    : CoreBackedDevice(kMinInputQueue), fd_(fd), path_(std::move(path)), lock_(std::move(lock)) {}

Error LinuxDevice::Init() {
  if (ioctl(fd_, TIOCEXCL) != 0) return OpenError(errno);
  termios2 t{};
  if (ioctl(fd_, kTcGets2, &t) != 0) return OpenError(errno);
  // Start binary and without flow control, whatever the last user left: a tty's default IXON
  // would swallow every 0x11 and 0x13 of the data. Only the rate is kept until SetState.
  Dcb dcb;
  dcb.BaudRate = t.c_ospeed ? t.c_ospeed : 9600;
  termios2 raw = TermiosForDcb(t, dcb);
  if (ioctl(fd_, kTcSets2, &raw) != 0) return OpenError(errno);
  if (ioctl(fd_, kTcGets2, &t) == 0) dcb = DcbFromTermios(t);
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) return OpenError(errno);
  {
    std::lock_guard lock(core_->mutex());
    core_->SetStateLocked(dcb);
    crtscts_ = (t.c_cflag & CRTSCTS) != 0;
    // Which line facilities the driver has; a pseudo-terminal has neither (ENOTTY).
    has_icount_ = ioctl(fd_, TIOCGICOUNT, &icount_) == 0;
    has_modem_ = ioctl(fd_, TIOCMGET, &modem_) == 0;
  }
  io_ = std::thread([this] {
    NameThisThread(thread_role::kIo);
    IoLoop();
  });
  return {};
}

void LinuxDevice::Wake() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
}

void LinuxDevice::Close() {
  std::unique_lock fd_lock(fd_mu_);
  if (!open_.exchange(false)) return;
  stop_ = true;
  Wake();
  if (io_.joinable()) io_.join();
  core_->MarkClosed();
  ioctl(fd_, TIOCNXCL);
  close(fd_);  // also drops the flock
  close(wake_fd_);
  fd_ = -1;
  lock_.reset();
}

// ---------------------------------------------------------------------------------------------
// Line settings

Error LinuxDevice::ApplyTermios(const termios2& t) {
  if (ioctl(fd_, kTcSets2, &t) != 0) return LineError(errno);
  return {};
}

Error LinuxDevice::SetState(const Dcb& dcb) {
  std::shared_lock fd_lock(fd_mu_);
  if (!open_) return NotOpenError();
  std::lock_guard config(config_mu_);
  {
    std::lock_guard lock(core_->mutex());
    if (core_->GoneLocked()) return GoneOnStart(EIO);
  }
  if (Error e = CheckDcb(dcb)) return e;
  for (size_t i = 0; i < kUnmappedValueCount; ++i) {
    const UnmappedValue& v = kUnmappedValues[i];
    if (v.fate == Fate::kRefused && v.present(dcb)) return ErrorOf(ErrorKind::kInvalidParameter);
  }
  const bool toggle = (dcb.Flags & kDcbRtsControlMask) == kRtsControlToggle;
  serial_rs485 rs485{};
  if (toggle && ioctl(fd_, TIOCGRS485, &rs485) != 0) return ErrorOf(ErrorKind::kInvalidParameter);

  termios2 old{};
  if (ioctl(fd_, kTcGets2, &old) != 0) return LineError(errno);
  termios2 want = TermiosForDcb(old, dcb);
  if (Error e = ApplyTermios(want)) {
    // Some drivers refuse a rate outright instead of rounding it: when the same settings at the
    // rate in force would go, the rate was the reason.
    if (want.c_ospeed != old.c_ospeed) {
      termios2 at_old = want;
      at_old.c_ispeed = at_old.c_ospeed = old.c_ospeed;
      if (ApplyTermios(at_old).ok()) {
        ApplyTermios(old);
        return RateRefused(old.c_ospeed);
      }
    }
    return e;
  }
  // A driver or a pseudo-terminal may keep other values without saying so (a pty forces 8 data
  // bits and no parity; UARTs round rates): read back and refuse what did not take.
  termios2 got{};
  if (ioctl(fd_, kTcGets2, &got) != 0) return LineError(errno);
  const tcflag_t cmask = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
  const tcflag_t imask = IXON | IXOFF | INPCK | PARMRK;
  if ((got.c_cflag & cmask) != (want.c_cflag & cmask) || (got.c_iflag & imask) != (want.c_iflag & imask) ||
      got.c_cc[kVStart] != dcb.XonChar || got.c_cc[kVStop] != dcb.XoffChar) {
    ApplyTermios(old);
    return ErrorOf(ErrorKind::kInvalidParameter);
  }
  if (!RateKept(dcb.BaudRate, got.c_ospeed)) {
    ApplyTermios(old);
    return RateRefused(got.c_ospeed);
  }
  if (toggle) {
    rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    rs485.flags &= ~SER_RS485_RTS_AFTER_SEND;
    if (ioctl(fd_, TIOCSRS485, &rs485) != 0) {
      Error e = LineError(errno);
      ApplyTermios(old);
      return e;
    }
  } else if (ioctl(fd_, TIOCGRS485, &rs485) == 0 && (rs485.flags & SER_RS485_ENABLED)) {
    rs485.flags &= ~SER_RS485_ENABLED;
    ioctl(fd_, TIOCSRS485, &rs485);
  }
  // DTR and RTS levels; a line without modem control lines (a pseudo-terminal) has none to set.
  auto set_line = [&](int bit, bool on) {
    int b = bit;
    if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &b) != 0 && IsGoneErrno(errno)) return false;
    return true;
  };
  const uint32_t dtr = dcb.Flags & kDcbDtrControlMask;
  const uint32_t rts = dcb.Flags & kDcbRtsControlMask;
  bool alive = set_line(TIOCM_DTR, dtr == kDtrControlEnable);
  if (rts == kRtsControlEnable || rts == kRtsControlDisable)
    alive = set_line(TIOCM_RTS, rts == kRtsControlEnable) && alive;
  if (!alive) return GoneOnStart(EIO);

  // The rate in force is the one the driver rounded to, which the line's timing follows.
  Dcb kept = dcb;
  kept.BaudRate = got.c_ospeed;
  std::lock_guard lock(core_->mutex());
  core_->SetStateLocked(kept);
  crtscts_ = (got.c_cflag & CRTSCTS) != 0;
  flow_in_ = crtscts_ || (got.c_iflag & IXOFF) != 0;
  if (parmrk_ != ((got.c_iflag & PARMRK) != 0)) decoder_ = {};
  parmrk_ = (got.c_iflag & PARMRK) != 0;
  return {};
}

Error LinuxDevice::SetQueueSizes(uint32_t input_size, uint32_t output_size) {
  Error e = core_->SetQueueSizes(input_size, output_size);
  if (e.ok()) Wake();  // the ring may have room again
  return e;
}

Error LinuxDevice::SetEventMask(uint32_t mask) {
  Error e = CoreBackedDevice::SetEventMask(mask);
  if (e.ok()) Wake();  // line polling depends on the mask
  return e;
}

// ---------------------------------------------------------------------------------------------
// Transfers

Error LinuxDevice::StartWrite(const uint8_t* data, uint32_t count, Transfer& transfer, uint32_t& bytes_now) {
  bytes_now = 0;
  transfer.Reset();  // ends its earlier operation before any lock is taken (Cancel locks)
  std::shared_lock fd_lock(fd_mu_);
  if (!open_) return NotOpenError();
  std::shared_ptr<CoreOp> op;
  bool wake = false;
  {
    std::lock_guard lock(core_->mutex());
    if (core_->ClosedLocked()) return NotOpenError();
    if (core_->GoneLocked()) return GoneOnStart(EIO);
    const bool idle = !core_->HasQueuedWritesLocked();
    op = core_->QueueWriteLocked(data, count);
    if (count > 0) {
      // Nothing ahead of it: try at once on the caller's thread, which is the whole write in
      // the common case and saves a hand-over to the I/O thread.
      if (idle && !output_stopped_) SendQueuedLocked();
      if (core_->GoneLocked()) {
        transfer.Attach(op);
        return GoneOnStart(EIO);
      }
      wake = true;  // to send the rest, or to watch for the output running empty
    }
    bytes_now = DeviceCore::CompletedCountLocked(*op);
  }
  transfer.Attach(op);
  if (wake) Wake();
  return {};
}

// Core mutex held. Sends as much of the queued writes as the line takes now.
void LinuxDevice::SendQueuedLocked() {
  for (;;) {
    size_t n = 0;
    const uint8_t* p = core_->WriteChunkLocked(n);
    if (!p) return;
    ssize_t w = write(fd_, p, n);
    if (w > 0) output_maybe_queued_ = true;
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;
      GoneLocked(errno);
      return;
    }
    if (core_->WroteLocked(static_cast<size_t>(w)) && !core_->HasQueuedWritesLocked()) {
      if (core_->MaskLocked() & EV_TXEMPTY) tx_watch_ = true;
    }
    if (static_cast<size_t>(w) < n) return;
  }
}

Error LinuxDevice::Purge(uint32_t flags) {
  std::shared_lock fd_lock(fd_mu_);
  if (!open_) return NotOpenError();
  if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
    return ErrorOf(ErrorKind::kInvalidParameter);
  std::lock_guard lock(core_->mutex());
  core_->PurgeLocked(flags);
  if (flags & PURGE_RXCLEAR) {
    tcflush(fd_, TCIFLUSH);
    decoder_ = {};
  }
  if (flags & PURGE_TXCLEAR) tcflush(fd_, TCOFLUSH);
  return {};
}

// ---------------------------------------------------------------------------------------------
// Queries and escapes

Error LinuxDevice::GetCommStatus(CommStatus& status) {
  status = {};
  std::shared_lock fd_lock(fd_mu_);
  if (!open_) return NotOpenError();
  std::lock_guard lock(core_->mutex());
  if (!core_->GoneLocked()) PollLineLocked();  // errors up to this moment
  status.errors = core_->TakeErrorsLocked();
  status.in_queue = static_cast<uint32_t>(core_->InputCountLocked());
  int outq = 0;
  // The kernel is asked only while something we wrote may still be in its queue: this query
  // runs once per receive event, so the common case should cost no system call.
  if (output_maybe_queued_ && !core_->GoneLocked()) {
    if (ioctl(fd_, TIOCOUTQ, &outq) != 0) outq = 0;
    if (outq == 0 && !core_->HasQueuedWritesLocked()) output_maybe_queued_ = false;
  }
  status.out_queue = core_->QueuedWriteBytesLocked() + static_cast<uint32_t>(outq);
  if (output_stopped_) status.hold |= kHoldXoff;
  if (crtscts_ && has_modem_ && !(modem_ & TIOCM_CTS)) status.hold |= kHoldCts;
  return {};
}

Error LinuxDevice::GetModemStatus(uint32_t& status) {
  status = 0;
  std::shared_lock fd_lock(fd_mu_);
  if (!open_) return NotOpenError();
  std::lock_guard lock(core_->mutex());
  if (core_->GoneLocked()) return GoneOnStart(EIO);
  // A line without modem status (a pseudo-terminal) reports every input line low.
  if (!has_modem_) return {};
  int m = 0;
  if (ioctl(fd_, TIOCMGET, &m) != 0) return LineError(errno);
  modem_ = m;
  if (m & TIOCM_CTS) status |= MS_CTS_ON;
  if (m & TIOCM_DSR) status |= MS_DSR_ON;
  if (m & TIOCM_RNG) status |= MS_RING_ON;
  if (m & TIOCM_CAR) status |= MS_RLSD_ON;
  return {};
}

Error LinuxDevice::Escape(uint32_t function) {
  std::shared_lock fd_lock(fd_mu_);
  if (!open_) return NotOpenError();
  {
    std::lock_guard lock(core_->mutex());
    if (core_->GoneLocked()) return GoneOnStart(EIO);
  }
  // A line without modem control lines (a pseudo-terminal) has no DTR or RTS to set, as
  // SetState finds; the operator's choice is kept for a line that has them.
  const bool modem_line =
      function == SETRTS || function == CLRRTS || function == SETDTR || function == CLRDTR;
  if (modem_line && !has_modem_) return {};
  int rc = 0;
  int bit = 0;
  switch (function) {
    case SETXOFF:
    case SETXON: {
      std::lock_guard lock(core_->mutex());
      rc = tcflow(fd_, function == SETXOFF ? TCOOFF : TCOON);
      if (rc == 0) output_stopped_ = function == SETXOFF;
      break;
    }
    case SETRTS:
      bit = TIOCM_RTS;
      rc = ioctl(fd_, TIOCMBIS, &bit);
      break;
    case CLRRTS:
      bit = TIOCM_RTS;
      rc = ioctl(fd_, TIOCMBIC, &bit);
      break;
    case SETDTR:
      bit = TIOCM_DTR;
      rc = ioctl(fd_, TIOCMBIS, &bit);
      break;
    case CLRDTR:
      bit = TIOCM_DTR;
      rc = ioctl(fd_, TIOCMBIC, &bit);
      break;
    case SETBREAK:
      rc = ioctl(fd_, TIOCSBRK);
      break;
    case CLRBREAK:
      rc = ioctl(fd_, TIOCCBRK);
      break;
    default:
      return ErrorOf(ErrorKind::kInvalidParameter);
  }
  if (rc != 0) return LineError(errno);
  if (function == SETXON) Wake();
  return {};
}

Error LinuxDevice::TransmitChar(uint8_t byte) {
  std::shared_lock fd_lock(fd_mu_);
  if (!open_) return NotOpenError();
  std::lock_guard lock(core_->mutex());
  if (core_->GoneLocked()) return GoneOnStart(EIO);
  // Written straight to the line, ahead of whatever pending writes still hold.
  for (;;) {
    if (write(fd_, &byte, 1) == 1) {
      output_maybe_queued_ = true;
      break;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return ErrorFromErrno(EAGAIN, ErrorKind::kOther, kWinGenFailure);
    return LineError(errno);
  }
  if (core_->MaskLocked() & EV_TXEMPTY) tx_watch_ = true;
  Wake();
  return {};
}

// ---------------------------------------------------------------------------------------------
// The I/O thread

void LinuxDevice::GoneLocked(int err) {
  core_->MarkGoneLocked(err);
}

// Core mutex held. Turns counter changes since the last look into events and errors. The I/O
// thread calls it every kLinePollMs while the mask asks for line events. TIOCMIWAIT is not used
// to save that poll: it wakes only for modem lines, while breaks and line errors have no
// waitable ioctl and need the counters looked at anyway; it can be interrupted only by a signal,
// which a library has no business installing in its host; and the counters, unlike sampled
// levels, miss no edge between two looks.
void LinuxDevice::PollLineLocked() {
  uint32_t ev = 0, ce = 0;
  if (has_icount_) {
    serial_icounter_struct now{};
    if (ioctl(fd_, TIOCGICOUNT, &now) == 0) {
      if (now.cts != icount_.cts) ev |= EV_CTS;
      if (now.dsr != icount_.dsr) ev |= EV_DSR;
      if (now.rng != icount_.rng) ev |= EV_RING;
      if (now.dcd != icount_.dcd) ev |= EV_RLSD;
      if (now.frame != icount_.frame) ce |= CE_FRAME;
      if (now.parity != icount_.parity) ce |= CE_RXPARITY;
      if (now.overrun != icount_.overrun) ce |= CE_OVERRUN;
      if (now.buf_overrun != icount_.buf_overrun) ce |= CE_RXOVER;
      if (now.brk != icount_.brk) {
        ce |= CE_BREAK;
        ev |= EV_BREAK;
      }
      icount_ = now;
    }
  }
  if (has_modem_) {
    int m = 0;
    if (ioctl(fd_, TIOCMGET, &m) == 0) {
      if (!has_icount_) {
        // Without counters only level changes between two looks can be seen.
        if ((m ^ modem_) & TIOCM_CTS) ev |= EV_CTS;
        if ((m ^ modem_) & TIOCM_DSR) ev |= EV_DSR;
        if ((m ^ modem_) & TIOCM_RNG) ev |= EV_RING;
        if ((m ^ modem_) & TIOCM_CAR) ev |= EV_RLSD;
      }
      modem_ = m;
    }
  }
  if (ce & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) ev |= EV_ERR;
  if (ev || ce) core_->RaiseLocked(ev, ce);
}

void LinuxDevice::WakeWaiterNow() {
  wake_due_ = false;
  core_->WakeWaiter();
}

void LinuxDevice::ReadInput(std::vector<uint8_t>& raw, std::vector<uint8_t>& decoded) {
  // A few reads per wake-up drain a burst without going back to poll for each chunk.
  for (int round = 0; round < 4; ++round) {
    size_t room = raw.size();
    {
      std::lock_guard lock(core_->mutex());
      // Read no more than our queue can take and leave the rest with the kernel: with flow
      // control it throttles the peer; without, its own buffer still holds more before the
      // driver drops anything (and counts it, which reaches the caller as CE_RXOVER). Reading
      // and then dropping would lose bytes the kernel could have kept.
      room = std::min(room, core_->InputRoomLocked());
      if (room == 0) return;
    }
    ssize_t n = read(fd_, raw.data(), room);
    int err = errno;
    // The bytes' arrival time: the one clock reading of this read, before any lock is waited for.
    const Clock::time_point read_at = n > 0 ? Clock::now() : Clock::time_point{};
    std::lock_guard lock(core_->mutex());
    if (n > 0) {
      const uint8_t* data = raw.data();
      size_t len = static_cast<size_t>(n);
      if (parmrk_) {
        uint32_t ce = 0;
        const Dcb d = core_->StateLocked();
        len =
            decoder_.Decode(raw.data(), len, decoded.data(), ce, (d.Flags & kDcbErrorChar) != 0, d.ErrorChar);
        data = decoded.data();
        if (has_icount_) ce &= ~(CE_RXPARITY | CE_BREAK);  // the counters tell them better
        if (ce) core_->RaiseLocked(((ce & CE_RXPARITY) ? EV_ERR : 0) | ((ce & CE_BREAK) ? EV_BREAK : 0), ce);
      }
      const bool dsr_low =
          has_modem_ && (core_->StateLocked().Flags & kDcbDsrSensitivity) && !(modem_ & TIOCM_DSR);
      // The loop wakes the event waiter, outside the lock and once per burst.
      if (core_->ReceiveLocked(data, len, dsr_low, read_at) && !wake_due_) {
        wake_due_ = true;
        wake_due_since_ = read_at;
      }
      if (static_cast<size_t>(n) < room) return;
      continue;
    }
    if (n == 0) {
      // A tty reads 0 only after a hang-up.
      GoneLocked(EIO);
      return;
    }
    if (err == EAGAIN || err == EINTR) return;
    GoneLocked(err);
    return;
  }
}

void LinuxDevice::IoLoop() {
  std::vector<uint8_t> raw(64 * 1024), decoded(64 * 1024);
  for (;;) {
    short events = 0;
    int timeout = -1;
    {
      std::lock_guard lock(core_->mutex());
      if (stop_ || core_->GoneLocked()) return;
      const Clock::time_point now = Clock::now();
      const Clock::time_point wd = core_->ExpireWritesLocked(now);
      if (!core_->InputFullLocked()) events |= POLLIN;
      if (core_->HasQueuedWritesLocked() && !output_stopped_) events |= POLLOUT;
      const bool watch_line = (has_icount_ || has_modem_) && (core_->MaskLocked() & kLineEvents);
      if (tx_watch_ || watch_line) timeout = kLinePollMs;
      if (tx_watch_ && !core_->HasQueuedWritesLocked()) timeout = tx_check_ms_;
      if (wd != Clock::time_point::max()) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wd - now).count() + 1;
        if (timeout < 0 || ms < timeout) timeout = static_cast<int>(ms);
      }
    }
    pollfd fds[2] = {{fd_, events, 0}, {wake_fd_, POLLIN, 0}};
    int r = 0;
    if (wake_due_) {
      // The event waiter is woken when a burst pauses (a look without waiting finds nothing
      // more) or after kWakeHoldBack, rather than once per chunk the line hands over: a
      // pseudo-terminal gives at most 4 KiB a read, and a wake-up per chunk slows the line more
      // than the copies do.
      r = poll(fds, 2, 0);
      if (r == 0 || Clock::now() - wake_due_since_ >= kWakeHoldBack) WakeWaiterNow();
    }
    if (r == 0) r = poll(fds, 2, timeout);
    if (r < 0 && errno != EINTR) {
      std::lock_guard lock(core_->mutex());
      GoneLocked(errno);
      return;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t v;
      [[maybe_unused]] ssize_t n = read(wake_fd_, &v, sizeof v);
    }
    if (stop_) return;
    const short rev = fds[0].revents;
    if (rev & POLLIN) ReadInput(raw, decoded);
    {
      std::lock_guard lock(core_->mutex());
      if (!core_->GoneLocked() && (rev & (POLLHUP | POLLERR | POLLNVAL)) && !(rev & POLLIN)) {
        // Hung up with nothing left to read: the peer or the adapter is gone.
        GoneLocked((rev & POLLNVAL) ? EBADF : EIO);
      }
      if (core_->GoneLocked()) return;
      if (rev & POLLOUT) SendQueuedLocked();
      if (core_->GoneLocked()) return;
      if (tx_watch_ && !core_->HasQueuedWritesLocked()) {
        int outq = 0;
        unsigned lsr = 0;
        bool empty;
        if (ioctl(fd_, TIOCOUTQ, &outq) != 0) outq = 0;
        if (ioctl(fd_, TIOCSERGETLSR, &lsr) == 0)
          empty = outq == 0 && (lsr & TIOCSER_TEMT);
        else
          empty = outq == 0;
        // Look again about when the kernel's queue should have gone out at the line's rate
        // (10 bits a byte), rather than every millisecond of a slow line's long send.
        const uint64_t rate = std::max<uint32_t>(core_->StateLocked().BaudRate, 1);
        tx_check_ms_ = static_cast<int>(std::clamp<uint64_t>(outq * 10000ull / rate, 1, 100));
        if (empty) {
          tx_watch_ = false;
          output_maybe_queued_ = false;
          core_->RaiseLocked(EV_TXEMPTY, 0);
        }
      }
      if ((has_icount_ || has_modem_) && (core_->MaskLocked() & kLineEvents)) PollLineLocked();
    }
  }
}

// ---------------------------------------------------------------------------------------------

Error OpenLinuxDevice(std::string_view path, std::unique_ptr<Device>& device) {
  device.reset();
  // The lock file first, as the tools that use one do: the device is not even opened (which
  // raises a UART's modem lines) while another program holds it.
  std::unique_ptr<UucpLock> lock;
  if (Error e = UucpLock::Acquire(path, CurrentPortLockRoots(), lock)) return e;
  int fd = -1;
  if (Error e = OpenLocked(path, fd)) return e;
  auto dev = std::make_unique<LinuxDevice>(fd, std::string(path), std::move(lock));
  if (Error e = dev->Init()) {
    dev->Close();
    return e;
  }
  device = std::move(dev);
  return {};
}

Error ProbeLinuxDevice(std::string_view path, DeviceHolder* holder) {
  if (std::optional<DeviceHolder> h = FindDeviceHolder(path, CurrentPortLockRoots())) {
    if (holder) *holder = std::move(*h);
    return ErrorOf(ErrorKind::kBusy);
  }
  int fd = -1;
  if (Error e = OpenLocked(path, fd)) return e;
  close(fd);
  return {};
}

Error OpenPlatformDevice(std::string_view path, std::unique_ptr<Device>& device) {
  return OpenLinuxDevice(path, device);
}

Error ProbePlatformDevice(std::string_view path, DeviceHolder* holder) {
  return ProbeLinuxDevice(path, holder);
}

std::string PlatformDevicePath(const std::string& port) {
  if (port.find('/') != std::string::npos) return port;
  return "/dev/" + port;
}

}  // namespace quarlex::device
