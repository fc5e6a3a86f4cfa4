// The Win32 serial device: a COM port opened with overlapped I/O. Received bytes go through the
// same user-space queue as on POSIX (DeviceCore): a reader thread keeps an overlapped ReadFile
// running into that queue, so reception never depends on WaitCommEvent, and the caller's time-outs,
// event character, discard-NUL and 80%-full rules are the core's. A writer thread sends the core's
// queued writes with overlapped WriteFile. A line thread waits with WaitCommEvent for modem-line
// changes, breaks and line errors; a driver whose wait completes without events (wine on a
// pseudo-terminal) is polled instead, as the POSIX device polls its counters.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/device/core_backed_device.h"
#include "serial/device/device.h"
#include "serial/device/device_core.h"
#include "serial/device/win32_error.h"
#include "serial/thread_name.h"

// After the project headers: the device layer's constants carry the comm API's names and values,
// which windows.h then defines again as macros of the same value.
#include <windows.h>

namespace quarlex::device {

namespace {

constexpr size_t kMinInputQueue = 1u << 20;
constexpr DWORD kReadChunk = 64u << 10;
constexpr DWORD kWriteChunk = 64u << 10;
// The reader's own read time-out: a burst is handed to the queue once the line has been quiet
// this long (or the chunk is full). Windows' "return on first byte" setting would be quicker
// but wine ignores it on a pseudo-terminal; an interval works on both.
constexpr DWORD kReadIntervalMs = 2;
constexpr DWORD kLinePollMs = 10;
// A timed write is cancelled this long before its deadline, so the bytes it really sent are
// counted before the core ends it.
constexpr auto kWriteCancelAhead = std::chrono::milliseconds(5);
constexpr DWORD kLineEventMask = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;

std::wstring Widen(std::string_view s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

// "COM12" becomes "\\.\COM12" (the prefix is what makes ports above 9 open); a path given in
// full is used as it is.
std::wstring DevicePath(std::string_view path) {
  std::wstring w = Widen(path);
  if (w.rfind(L"\\\\", 0) == 0) return w;
  return L"\\\\.\\" + w;
}

// An overlapped record with its own manual-reset event.
struct Overlapped {
  OVERLAPPED ov{};
  Overlapped() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() {
    if (ov.hEvent) CloseHandle(ov.hEvent);
  }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  void Rearm() {
    HANDLE e = ov.hEvent;
    ov = OVERLAPPED{};
    ov.hEvent = e;
    ResetEvent(e);
  }
};

// The comm API's DCB from ours, field for field. The settings that the core carries out in user
// space (discard NUL, DSR sensitivity, the event character) are left off, so the driver does
// not do them a second time, and abort-on-error is left off because the reader cannot clear it.
DCB ToWin(const Dcb& d) {
  DCB w{};
  w.DCBlength = sizeof(DCB);
  w.BaudRate = d.BaudRate;
  w.fBinary = 1;
  w.fParity = (d.Flags & kDcbParity) != 0;
  w.fOutxCtsFlow = (d.Flags & kDcbOutxCtsFlow) != 0;
  w.fOutxDsrFlow = (d.Flags & kDcbOutxDsrFlow) != 0;
  w.fDtrControl = (d.Flags & kDcbDtrControlMask) >> 4;
  w.fDsrSensitivity = 0;
  w.fTXContinueOnXoff = (d.Flags & kDcbTxContinueOnXoff) != 0;
  w.fOutX = (d.Flags & kDcbOutX) != 0;
  w.fInX = (d.Flags & kDcbInX) != 0;
  w.fErrorChar = (d.Flags & kDcbErrorChar) != 0;
  w.fNull = 0;
  w.fRtsControl = (d.Flags & kDcbRtsControlMask) >> 12;
  w.fAbortOnError = 0;
  w.XonLim = d.XonLim;
  w.XoffLim = d.XoffLim;
  w.ByteSize = d.ByteSize;
  w.Parity = d.Parity;
  w.StopBits = d.StopBits;
  w.XonChar = static_cast<char>(d.XonChar);
  w.XoffChar = static_cast<char>(d.XoffChar);
  w.ErrorChar = static_cast<char>(d.ErrorChar);
  w.EofChar = static_cast<char>(d.EofChar);
  w.EvtChar = 0;
  return w;
}

// What the line needs kept: the values whose loss would change the bytes on the wire or when
// they flow. A driver that keeps all of these took the settings.
bool SameLine(const DCB& a, const DCB& b) {
  return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
         a.StopBits == b.StopBits && a.fParity == b.fParity && a.fOutxCtsFlow == b.fOutxCtsFlow &&
         a.fOutxDsrFlow == b.fOutxDsrFlow && a.fOutX == b.fOutX && a.fInX == b.fInX &&
         (!(a.fOutX || a.fInX) || (a.XonChar == b.XonChar && a.XoffChar == b.XoffChar));
}

class Win32Device final : public CoreBackedDevice {
 public:
  Win32Device(HANDLE h, std::string path) : CoreBackedDevice(kMinInputQueue), h_(h), path_(std::move(path)) {}
  ~Win32Device() override { Close(); }

  Error Init();

  void Close() override;
  Error SetQueueSizes(uint32_t input_size, uint32_t output_size) override;
  Error SetState(const Dcb& dcb) override;
  Error StartWrite(const uint8_t* data, uint32_t count, Transfer& transfer, uint32_t& bytes_now) override;
  Error Purge(uint32_t flags) override;
  Error GetCommStatus(CommStatus& status) override;
  Error GetModemStatus(uint32_t& status) override;
  bool ModemStatusMissing() const override { return modem_missing_; }
  Error Escape(uint32_t function) override;
  Error TransmitChar(uint8_t byte) override;

 protected:
  void InputRoomMade() override { SetEvent(room_); }

 private:
  void ReadLoop();
  void WriteLoop();
  void LineLoop();
  // Line events and errors from a modem-status word and a ClearCommError word.
  void NoteLine(DWORD modem, bool modem_known, DWORD errors);
  Error Guard();  // kNotOpen or kGone when no call may reach the handle
  // Waits for an overlapped operation or the stop event, up to `ms`; true when it completed.
  bool WaitIo(Overlapped& o, DWORD ms);

  HANDLE h_;
  std::string path_;
  HANDLE stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);   // Close
  HANDLE room_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // the queue has room again
  HANDLE work_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // a write was queued
  Overlapped read_ov_, write_ov_, line_ov_;
  std::vector<uint8_t> read_buf_ = std::vector<uint8_t>(kReadChunk);
  std::vector<uint8_t> write_buf_ = std::vector<uint8_t>(kWriteChunk);
  std::atomic<bool> dsr_low_{false};
  // The driver answered the modem-status query with ERROR_NOT_SUPPORTED (wine on a
  // pseudo-terminal, Bluetooth serial links): the lines read as low, as a POSIX
  // pseudo-terminal's do. Set once in Init, before any other thread runs.
  bool modem_missing_ = false;
  std::thread reader_, writer_, line_;
};

Error Win32Device::Init() {
  if (!stop_ || !room_ || !work_ || !read_ov_.ov.hEvent || !write_ov_.ov.hEvent || !line_ov_.ov.hEvent)
    return Win32Error(GetLastError(), ErrorKind::kOther);
  DCB now{};
  now.DCBlength = sizeof now;
  // A handle that has no comm state is no serial port (as ENOTTY on POSIX).
  if (!GetCommState(h_, &now)) return Win32Error(GetLastError(), ErrorKind::kOther);
  // Start binary and without flow control, whatever the last user left; only the rate is kept
  // until SetState.
  Dcb dcb;
  dcb.BaudRate = now.BaudRate ? now.BaudRate : 9600;
  DCB raw = ToWin(dcb);
  if (!SetCommState(h_, &raw)) return Win32Error(GetLastError(), ErrorKind::kOther);
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = kReadIntervalMs;  // the first byte is awaited without limit
  if (!SetCommTimeouts(h_, &t)) return Win32Error(GetLastError(), ErrorKind::kOther);
  SetCommMask(h_, kLineEventMask);
  DWORD modem = 0;
  modem_missing_ = !GetCommModemStatus(h_, &modem) && GetLastError() == ERROR_NOT_SUPPORTED;
  {
    std::lock_guard lock(core_->mutex());
    core_->SetStateLocked(dcb);
  }
  reader_ = std::thread([this] {
    NameThisThread(thread_role::kRead);
    ReadLoop();
  });
  writer_ = std::thread([this] {
    NameThisThread(thread_role::kWrite);
    WriteLoop();
  });
  line_ = std::thread([this] {
    NameThisThread(thread_role::kLine);
    LineLoop();
  });
  return {};
}

void Win32Device::Close() {
  if (!open_.exchange(false)) {
    return;
  }
  SetEvent(stop_);
  // Ends every pending read, write and comm wait on the handle, whichever thread started it.
  CancelIoEx(h_, nullptr);
  SetCommMask(h_, 0);
  for (std::thread* t : {&reader_, &writer_, &line_})
    if (t->joinable()) t->join();
  core_->MarkClosed();
  CloseHandle(h_);
  for (HANDLE e : {stop_, room_, work_})
    if (e) CloseHandle(e);
  stop_ = room_ = work_ = nullptr;
}

Error Win32Device::Guard() {
  if (!open_) return NotOpenError();
  std::lock_guard lock(core_->mutex());
  if (core_->ClosedLocked()) return NotOpenError();
  if (core_->GoneLocked()) return GoneOnStart(0);
  return {};
}

bool Win32Device::WaitIo(Overlapped& o, DWORD ms) {
  HANDLE hs[2] = {o.ov.hEvent, stop_};
  DWORD r = WaitForMultipleObjects(2, hs, FALSE, ms);
  return r == WAIT_OBJECT_0;
}

// ---------------------------------------------------------------------------------------------
// Settings

Error Win32Device::SetQueueSizes(uint32_t input_size, uint32_t output_size) {
  if (Error e = Guard()) return e;
  if (Error e = core_->SetQueueSizes(input_size, output_size)) return e;
  // Only a recommendation to the driver; the queue the caller reads from is the core's, sized
  // above, and a driver that keeps a smaller buffer of its own loses nothing because the reader
  // keeps draining it.
  SetupComm(h_, std::min<uint32_t>(input_size, kReadChunk * 4), output_size);
  return {};
}

Error Win32Device::SetState(const Dcb& dcb) {
  if (Error e = Guard()) return e;
  if (Error e = CheckDcb(dcb)) return e;
  DCB before{};
  before.DCBlength = sizeof before;
  if (!GetCommState(h_, &before)) return Win32Error(GetLastError());
  DCB want = ToWin(dcb);
  if (!SetCommState(h_, &want)) {
    const DWORD code = GetLastError();
    // A driver may refuse a rate it cannot do: when the same settings at the rate in force
    // would go, the rate was the reason.
    if (want.BaudRate != before.BaudRate) {
      DCB at_old = want;
      at_old.BaudRate = before.BaudRate;
      if (SetCommState(h_, &at_old)) {
        SetCommState(h_, &before);
        return RateRefused(before.BaudRate);
      }
    }
    return Win32Error(code, ErrorKind::kInvalidParameter);
  }
  DCB got{};
  got.DCBlength = sizeof got;
  // Drivers (and wine) may report success and set something else: a rate they round, a framing
  // the line ignores. What the driver keeps is what counts.
  if (!GetCommState(h_, &got)) {
    SetCommState(h_, &before);
    return ErrorOf(ErrorKind::kInvalidParameter);
  }
  DCB same_rate = got;
  same_rate.BaudRate = want.BaudRate;
  if (!SameLine(want, same_rate)) {
    SetCommState(h_, &before);
    return ErrorOf(ErrorKind::kInvalidParameter);
  }
  if (!RateKept(want.BaudRate, got.BaudRate)) {
    SetCommState(h_, &before);
    return RateRefused(got.BaudRate);
  }
  Dcb kept = dcb;
  kept.BaudRate = got.BaudRate;
  std::lock_guard lock(core_->mutex());
  core_->SetStateLocked(kept);
  return {};
}

// ---------------------------------------------------------------------------------------------
// Transfers

Error Win32Device::StartWrite(const uint8_t* data, uint32_t count, Transfer& transfer, uint32_t& bytes_now) {
  bytes_now = 0;
  transfer.Reset();  // ends its earlier operation before any lock is taken (Cancel locks)
  if (!open_) return NotOpenError();
  std::shared_ptr<CoreOp> op;
  {
    std::lock_guard lock(core_->mutex());
    if (core_->ClosedLocked()) return NotOpenError();
    if (core_->GoneLocked()) return GoneOnStart(0);
    op = core_->QueueWriteLocked(data, count);
    bytes_now = DeviceCore::CompletedCountLocked(*op);
  }
  transfer.Attach(op);
  if (count > 0) SetEvent(work_);
  return {};
}

void Win32Device::ReadLoop() {
  while (open_) {
    DWORD want;
    {
      std::lock_guard lock(core_->mutex());
      if (core_->GoneLocked()) return;
      want = static_cast<DWORD>(std::min<size_t>(core_->InputRoomLocked(), kReadChunk));
    }
    if (want == 0) {
      // Leave the bytes with the driver until the caller reads: a full queue holds the line back
      // (through flow control, where it is on) instead of dropping bytes.
      HANDLE hs[2] = {room_, stop_};
      WaitForMultipleObjects(2, hs, FALSE, 50);
      continue;
    }
    read_ov_.Rearm();
    DWORD got = 0;
    DWORD code = ERROR_SUCCESS;
    if (!ReadFile(h_, read_buf_.data(), want, &got, &read_ov_.ov)) {
      code = GetLastError();
      if (code == ERROR_IO_PENDING) {
        HANDLE hs[2] = {read_ov_.ov.hEvent, stop_};
        WaitForMultipleObjects(2, hs, FALSE, INFINITE);
        if (!open_) {
          CancelIoEx(h_, &read_ov_.ov);
        }
        code = GetOverlappedResult(h_, &read_ov_.ov, &got, TRUE) ? ERROR_SUCCESS : GetLastError();
      }
    }
    // Close or a purge (the loop condition decides), or a time-out, which Windows reports as
    // success with fewer bytes and wine on a pseudo-terminal as ERROR_TIMEOUT: not a lost port.
    if (code == ERROR_OPERATION_ABORTED || code == ERROR_TIMEOUT) {
      if (got > 0)
        code = ERROR_SUCCESS;
      else
        continue;
    }
    if (code != ERROR_SUCCESS) {
      // The port has gone (adapter pulled, the line hung up): pending transfers fail and the
      // event waiter learns it once the bytes queued before are out.
      std::lock_guard lock(core_->mutex());
      if (open_) core_->MarkGoneLocked(static_cast<int>(code));
      return;
    }
    if (got == 0) {
      // The reader's time-outs wait for the first byte without limit, so an empty completion is
      // not the line being quiet: a driver that does it is at its end, or is polled by wine;
      // ClearCommError tells which.
      DWORD errors = 0;
      COMSTAT st{};
      if (!ClearCommError(h_, &errors, &st)) {
        std::lock_guard lock(core_->mutex());
        if (open_) core_->MarkGoneLocked(static_cast<int>(GetLastError()));
        return;
      }
      if (errors) {
        std::lock_guard lock(core_->mutex());
        core_->RaiseLocked(0, errors);
      }
      WaitForSingleObject(stop_, 1);
      continue;
    }
    // The bytes' arrival time: the one clock reading of this read, taken as it completed.
    const Clock::time_point read_at = Clock::now();
    bool wake;
    {
      std::lock_guard lock(core_->mutex());
      wake = core_->ReceiveLocked(read_buf_.data(), got, dsr_low_, read_at);
    }
    if (wake) core_->WakeWaiter();
  }
}

void Win32Device::WriteLoop() {
  while (open_) {
    std::shared_ptr<CoreOp> head;
    DWORD n = 0;
    Clock::time_point deadline;
    {
      std::lock_guard lock(core_->mutex());
      deadline = core_->ExpireWritesLocked(Clock::now());
      head = core_->HeadWriteLocked();
      if (head) {
        size_t left = 0;
        const uint8_t* p = core_->WriteChunkLocked(left);
        n = static_cast<DWORD>(std::min<size_t>(left, kWriteChunk));
        // Sent from a copy: a write that times out or is aborted completes while the driver may
        // still hold the buffer, and the caller may then free its own.
        std::copy(p, p + n, write_buf_.begin());
      }
    }
    if (!head) {
      HANDLE hs[2] = {work_, stop_};
      DWORD ms = INFINITE;
      if (deadline != Clock::time_point::max()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        ms = static_cast<DWORD>(std::max<long long>(left, 0));
      }
      WaitForMultipleObjects(2, hs, FALSE, ms);
      continue;
    }
    write_ov_.Rearm();
    DWORD sent = 0;
    DWORD code = ERROR_SUCCESS;
    bool timed_out = false;
    if (!WriteFile(h_, write_buf_.data(), n, &sent, &write_ov_.ov)) {
      code = GetLastError();
      if (code == ERROR_IO_PENDING) {
        DWORD ms = INFINITE;
        if (deadline != Clock::time_point::max()) {
          auto left =
              std::chrono::floor<std::chrono::milliseconds>(deadline - kWriteCancelAhead - Clock::now())
                  .count();
          ms = static_cast<DWORD>(std::max<long long>(left, 0));
        }
        if (!WaitIo(write_ov_, ms)) {
          timed_out = open_;
          CancelIoEx(h_, &write_ov_.ov);
        }
        code = GetOverlappedResult(h_, &write_ov_.ov, &sent, TRUE) ? ERROR_SUCCESS : GetLastError();
      }
    }
    // Cancelled (a deadline, a purge, Close) or timed out: what was sent still counts. Wine ends
    // a cancelled write on a pseudo-terminal with ERROR_TIMEOUT.
    if (code != ERROR_SUCCESS && code != ERROR_OPERATION_ABORTED && code != ERROR_TIMEOUT) {
      std::lock_guard lock(core_->mutex());
      if (open_) core_->MarkGoneLocked(static_cast<int>(code));
      return;
    }
    {
      std::lock_guard lock(core_->mutex());
      // Bytes count only for the write they were taken from; one aborted or timed out meanwhile
      // has already completed with what was credited before.
      if (core_->HeadWriteLocked() == head && sent > 0) core_->WroteLocked(sent);
      if (!core_->HasQueuedWritesLocked() && (core_->MaskLocked() & EV_TXEMPTY))
        core_->RaiseLocked(EV_TXEMPTY, 0);
    }
    if (timed_out) {
      // The rest of this write is not sent: it ends at its deadline with the count above.
      std::this_thread::sleep_until(deadline);
    }
  }
}

void Win32Device::NoteLine(DWORD modem, bool modem_known, DWORD errors) {
  static_assert(MS_CTS_ON == 0x10 && MS_DSR_ON == 0x20 && MS_RING_ON == 0x40 && MS_RLSD_ON == 0x80);
  uint32_t ev = 0;
  if (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) ev |= EV_ERR;
  if (errors & CE_BREAK) ev |= EV_BREAK;
  std::lock_guard lock(core_->mutex());
  if (ev || errors) core_->RaiseLocked(ev, errors);
  if (modem_known) dsr_low_ = (modem & MS_DSR_ON) == 0;
}

void Win32Device::LineLoop() {
  int empty_waits = 0;
  DWORD last_modem = 0;
  bool modem_known = GetCommModemStatus(h_, &last_modem) != 0;
  if (modem_known) dsr_low_ = (last_modem & MS_DSR_ON) == 0;
  while (open_) {
    if (empty_waits < 3) {
      line_ov_.Rearm();
      DWORD occurred = 0;
      DWORD code = ERROR_SUCCESS;
      if (!WaitCommEvent(h_, &occurred, &line_ov_.ov)) {
        code = GetLastError();
        if (code == ERROR_IO_PENDING) {
          DWORD unused = 0;
          if (!WaitIo(line_ov_, INFINITE)) CancelIoEx(h_, &line_ov_.ov);
          code = GetOverlappedResult(h_, &line_ov_.ov, &unused, TRUE) ? ERROR_SUCCESS : GetLastError();
        }
      }
      if (!open_) return;
      if (code != ERROR_SUCCESS || occurred == 0) {
        ++empty_waits;  // three in a row: this driver's wait does not work, poll instead
        continue;
      }
      empty_waits = 0;
      DWORD errors = 0;
      COMSTAT st{};
      ClearCommError(h_, &errors, &st);
      DWORD modem = 0;
      modem_known = GetCommModemStatus(h_, &modem) != 0;
      uint32_t ev = occurred & (EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK);
      {
        std::lock_guard lock(core_->mutex());
        if (ev) core_->RaiseLocked(ev, 0);
      }
      NoteLine(modem, modem_known, errors);
      continue;
    }
    if (WaitForSingleObject(stop_, kLinePollMs) == WAIT_OBJECT_0) return;
    DWORD errors = 0;
    COMSTAT st{};
    if (!ClearCommError(h_, &errors, &st)) continue;  // the reader decides about a lost port
    DWORD modem = 0;
    const bool known = GetCommModemStatus(h_, &modem) != 0;
    uint32_t ev = 0;
    if (known && modem_known) {
      const DWORD changed = modem ^ last_modem;
      if (changed & MS_CTS_ON) ev |= EV_CTS;
      if (changed & MS_DSR_ON) ev |= EV_DSR;
      if (changed & MS_RLSD_ON) ev |= EV_RLSD;
      if ((last_modem & MS_RING_ON) && !(modem & MS_RING_ON)) ev |= EV_RING;  // trailing edge
    }
    if (known) last_modem = modem;
    modem_known = known;
    if (ev) {
      std::lock_guard lock(core_->mutex());
      core_->RaiseLocked(ev, 0);
    }
    NoteLine(modem, known, errors);
  }
}

Error Win32Device::Purge(uint32_t flags) {
  if (!open_) return NotOpenError();
  if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
    return ErrorOf(ErrorKind::kInvalidParameter);
  // The driver's own transfers are the reader's and the writer's, which keep running; the
  // callers' transfers live in the core. An aborted write stops its chunk on the line too.
  if (flags & (PURGE_TXCLEAR | PURGE_RXCLEAR)) PurgeComm(h_, flags & (PURGE_TXCLEAR | PURGE_RXCLEAR));
  {
    std::lock_guard lock(core_->mutex());
    core_->PurgeLocked(flags);
  }
  if (flags & PURGE_TXABORT) CancelIoEx(h_, &write_ov_.ov);
  return {};
}

// ---------------------------------------------------------------------------------------------
// Queries and escapes

Error Win32Device::GetCommStatus(CommStatus& status) {
  status = {};
  if (Error e = Guard()) return e;
  DWORD errors = 0;
  COMSTAT st{};
  if (!ClearCommError(h_, &errors, &st)) return Win32Error(GetLastError());
  std::lock_guard lock(core_->mutex());
  status.errors = core_->TakeErrorsLocked() | errors;
  status.hold = (st.fCtsHold ? kHoldCts : 0) | (st.fDsrHold ? kHoldDsr : 0) | (st.fRlsdHold ? kHoldRlsd : 0) |
                (st.fXoffHold ? kHoldXoff : 0) | (st.fXoffSent ? kXoffSent : 0) | (st.fEof ? kEofSeen : 0) |
                (st.fTxim ? kTxim : 0);
  status.in_queue = static_cast<uint32_t>(core_->InputCountLocked());
  status.out_queue = core_->QueuedWriteBytesLocked() + st.cbOutQue;
  return {};
}

Error Win32Device::GetModemStatus(uint32_t& status) {
  status = 0;
  if (Error e = Guard()) return e;
  if (modem_missing_) return {};
  DWORD modem = 0;
  if (!GetCommModemStatus(h_, &modem)) return Win32Error(GetLastError());
  status = modem & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
  return {};
}

Error Win32Device::Escape(uint32_t function) {
  if (Error e = Guard()) return e;
  switch (function) {
    case SETXOFF:
    case SETXON:
    case SETRTS:
    case CLRRTS:
    case SETDTR:
    case CLRDTR:
    case SETBREAK:
    case CLRBREAK:
      break;
    default:
      return ErrorOf(ErrorKind::kInvalidParameter);
  }
  if (!EscapeCommFunction(h_, function)) return Win32Error(GetLastError());
  return {};
}

Error Win32Device::TransmitChar(uint8_t byte) {
  if (Error e = Guard()) return e;
  if (!TransmitCommChar(h_, static_cast<char>(byte))) return Win32Error(GetLastError());
  std::lock_guard lock(core_->mutex());
  if (!core_->HasQueuedWritesLocked() && (core_->MaskLocked() & EV_TXEMPTY))
    core_->RaiseLocked(EV_TXEMPTY, 0);
  return {};
}

HANDLE OpenHandle(std::string_view path, DWORD flags, Error& error) {
  const std::wstring w = DevicePath(path);
  // No sharing: a second open, here or in another process, is refused with access denied.
  HANDLE h = CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) error = Win32Error(GetLastError());
  return h;
}

}  // namespace

Error OpenPlatformDevice(std::string_view path, std::unique_ptr<Device>& device) {
  device.reset();
  Error e;
  HANDLE h = OpenHandle(path, FILE_FLAG_OVERLAPPED, e);
  if (h == INVALID_HANDLE_VALUE) return e;
  auto dev = std::make_unique<Win32Device>(h, std::string(path));
  if (Error init = dev->Init()) {
    dev->Close();
    return init;
  }
  device = std::move(dev);
  return {};
}

// Windows does not say which program holds a COM port, so `holder` stays empty.
Error ProbePlatformDevice(std::string_view path, DeviceHolder* /*holder*/) {
  Error e;
  HANDLE h = OpenHandle(path, 0, e);
  if (h == INVALID_HANDLE_VALUE) return e;
  CloseHandle(h);
  return {};
}

// A port name is what the device opens: "COM5" becomes \\.\COM5 there (DevicePath above).
std::string PlatformDevicePath(const std::string& port) {
  return port;
}

}  // namespace quarlex::device
