#pragma once
// The serial device layer: the one interface through which the serial port component reaches a
// serial line. It offers what the classic comm API offers (device control block, time-outs,
// queue sizes, an event mask with a waitable event, transfers that start now and complete later,
// error and modem status, escape functions, purge), with the same numeric values, so that the
// component's rules (error codes, event masks, "device gone" detection) read the same on every
// platform. Only plain types appear here; each platform's implementation lives in its own file
// that the build chooses (linux_device.cpp, win32_device.cpp); tests have a scriptable fake in
// tests/serial/support.
//
// Threads: every Device operation may be called from any thread; a device serialises them itself.
// One thread at a time may sit in WaitEvents (the component's event thread); other threads may go
// on reading, writing and querying meanwhile. A Transfer may be checked or waited for from any
// thread, but by one thread at a time.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "serial/device/wake_event.h"

namespace quarlex::device {

// ---------------------------------------------------------------------------------------------
// Errors

// Codes of the comm API that the component's rules look for. A device puts the one that matches
// a failure into Error::win_code, so the component can decide "device gone", "invalid parameter"
// and so on without knowing the platform.
inline constexpr uint32_t kWinSuccess = 0;
inline constexpr uint32_t kWinFileNotFound = 2;
inline constexpr uint32_t kWinAccessDenied = 5;        // busy or forbidden; a transfer on a gone device
inline constexpr uint32_t kWinInvalidHandle = 6;       // the device is closed
inline constexpr uint32_t kWinGenFailure = 31;         // completing a transfer on a gone device
inline constexpr uint32_t kWinInvalidParameter = 87;   // a setting the device refuses
inline constexpr uint32_t kWinOperationAborted = 995;  // a transfer ended by Purge(PURGE_*ABORT)
inline constexpr uint32_t kWinIoIncomplete = 996;      // Transfer::Check on a pending transfer
inline constexpr uint32_t kWinIoPending = 997;
inline constexpr uint32_t kWinNotEnoughMemory = 8;

enum class ErrorKind : uint8_t {
  kNone,
  kNotFound,          // no such device
  kBusy,              // held by another process (or by another open in this one)
  kAccessDenied,      // the user may not open it
  kInvalidParameter,  // a setting the device cannot take, or took and silently changed
  kGone,              // the device vanished while open (adapter pulled, peer hung up)
  kAborted,           // a transfer ended by Purge with an abort flag, or by Close
  kNotOpen,           // the device was closed
  kIncomplete,        // Transfer::Check while still pending
  kOther,             // any other OS failure
};

// A failure carried as a value: what kind, the OS code read where the call failed (errno on
// POSIX; 0 when the failure is the layer's own verdict without an OS call), the OS text for
// it, and the matching comm API code (above). A default Error means success.
struct Error {
  ErrorKind kind = ErrorKind::kNone;
  int os_code = 0;
  std::string os_text;
  uint32_t win_code = kWinSuccess;
  // SetState that failed over the rate alone: the rate the driver would run at instead (the one
  // it rounded to, or the rate still in force when it refused the new one outright); 0 when the
  // failure was not the rate.
  uint32_t device_rate = 0;

  bool ok() const { return kind == ErrorKind::kNone; }
  explicit operator bool() const { return !ok(); }  // true when there IS an error
};

// ---------------------------------------------------------------------------------------------
// Line settings: the device control block, field for field as the comm API's DCB (28 bytes)

inline constexpr uint32_t kDcbBinary = 0x0001;          // always set; no EOF processing
inline constexpr uint32_t kDcbParity = 0x0002;          // check parity of received bytes
inline constexpr uint32_t kDcbOutxCtsFlow = 0x0004;     // transmit waits for CTS
inline constexpr uint32_t kDcbOutxDsrFlow = 0x0008;     // transmit waits for DSR
inline constexpr uint32_t kDcbDtrControlMask = 0x0030;  // one of kDtrControl*
inline constexpr uint32_t kDcbDsrSensitivity = 0x0040;  // drop received bytes while DSR is low
inline constexpr uint32_t kDcbTxContinueOnXoff = 0x0080;
inline constexpr uint32_t kDcbOutX = 0x0100;            // honour XON/XOFF from the peer
inline constexpr uint32_t kDcbInX = 0x0200;             // send XON/XOFF to the peer
inline constexpr uint32_t kDcbErrorChar = 0x0400;       // replace parity-error bytes by ErrorChar
inline constexpr uint32_t kDcbNull = 0x0800;            // discard received NUL bytes
inline constexpr uint32_t kDcbRtsControlMask = 0x3000;  // one of kRtsControl*
inline constexpr uint32_t kDcbAbortOnError = 0x4000;

inline constexpr uint32_t kDtrControlDisable = 0x0000;
inline constexpr uint32_t kDtrControlEnable = 0x0010;
inline constexpr uint32_t kDtrControlHandshake = 0x0020;
inline constexpr uint32_t kRtsControlDisable = 0x0000;
inline constexpr uint32_t kRtsControlEnable = 0x1000;
inline constexpr uint32_t kRtsControlHandshake = 0x2000;
inline constexpr uint32_t kRtsControlToggle = 0x3000;

// Dcb::Parity
inline constexpr uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3, kSpaceParity = 4;
// Dcb::StopBits
inline constexpr uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;

struct Dcb {
  uint32_t DCBlength = 28;
  uint32_t BaudRate = 9600;  // bits per second, any positive value
  uint32_t Flags = kDcbBinary;
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;   // kept and read back; no Linux counterpart
  uint16_t XoffLim = 0;  // kept and read back; no Linux counterpart
  uint8_t ByteSize = 8;  // 5..8
  uint8_t Parity = kNoParity;
  uint8_t StopBits = kOneStopBit;
  uint8_t XonChar = 17;
  uint8_t XoffChar = 19;
  uint8_t ErrorChar = 0;
  uint8_t EofChar = 0;
  uint8_t EvtChar = 0;  // a received byte equal to it raises EV_RXFLAG
  uint16_t wReserved1 = 0;
  bool operator==(const Dcb&) const = default;
};
static_assert(sizeof(Dcb) == 28, "same layout as the comm API's device control block");

// Time-outs in milliseconds, as the comm API's COMMTIMEOUTS. kMaxDword stands for -1.
inline constexpr uint32_t kMaxDword = 0xFFFFFFFFu;
struct CommTimeouts {
  uint32_t ReadIntervalTimeout = kMaxDword;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
  bool operator==(const CommTimeouts&) const = default;
};

// ---------------------------------------------------------------------------------------------
// Events, errors, modem lines, escapes, purge: the comm API's values

inline constexpr uint32_t EV_RXCHAR = 0x0001;    // a byte was queued
inline constexpr uint32_t EV_RXFLAG = 0x0002;    // the event character was queued
inline constexpr uint32_t EV_TXEMPTY = 0x0004;   // the last queued output byte has been sent
inline constexpr uint32_t EV_CTS = 0x0008;       // CTS changed
inline constexpr uint32_t EV_DSR = 0x0010;       // DSR changed
inline constexpr uint32_t EV_RLSD = 0x0020;      // carrier detect changed
inline constexpr uint32_t EV_BREAK = 0x0040;     // a break was received
inline constexpr uint32_t EV_ERR = 0x0080;       // a line error (CE_FRAME, CE_OVERRUN, CE_RXPARITY)
inline constexpr uint32_t EV_RING = 0x0100;      // ring indicator
inline constexpr uint32_t EV_RX80FULL = 0x0400;  // the input queue is 80% full
inline constexpr uint32_t kAllEvents = 0x05FF;

inline constexpr uint32_t CE_RXOVER = 0x0001;   // input queue overflow: newest bytes dropped
inline constexpr uint32_t CE_OVERRUN = 0x0002;  // hardware overrun
inline constexpr uint32_t CE_RXPARITY = 0x0004;
inline constexpr uint32_t CE_FRAME = 0x0008;
inline constexpr uint32_t CE_BREAK = 0x0010;
inline constexpr uint32_t CE_TXFULL = 0x0100;
inline constexpr uint32_t CE_IOE = 0x0400;
inline constexpr uint32_t CE_MODE = 0x8000;

inline constexpr uint32_t MS_CTS_ON = 0x0010;
inline constexpr uint32_t MS_DSR_ON = 0x0020;
inline constexpr uint32_t MS_RING_ON = 0x0040;
inline constexpr uint32_t MS_RLSD_ON = 0x0080;

// Escape codes.
inline constexpr uint32_t SETXOFF = 1;  // act as if XOFF was received (stop sending)
inline constexpr uint32_t SETXON = 2;   // act as if XON was received (resume sending)
inline constexpr uint32_t SETRTS = 3;
inline constexpr uint32_t CLRRTS = 4;
inline constexpr uint32_t SETDTR = 5;
inline constexpr uint32_t CLRDTR = 6;
inline constexpr uint32_t SETBREAK = 8;
inline constexpr uint32_t CLRBREAK = 9;

// Purge flags.
inline constexpr uint32_t PURGE_TXABORT = 0x0001;  // end pending writes (kAborted)
inline constexpr uint32_t PURGE_RXABORT = 0x0002;  // end pending reads (kAborted)
inline constexpr uint32_t PURGE_TXCLEAR = 0x0004;  // drop queued output
inline constexpr uint32_t PURGE_RXCLEAR = 0x0008;  // drop queued input

// CommStatus::hold bits (the low bits of the comm API's COMSTAT flag word).
inline constexpr uint32_t kHoldCts = 0x01;   // transmit waits for CTS
inline constexpr uint32_t kHoldDsr = 0x02;   // transmit waits for DSR
inline constexpr uint32_t kHoldRlsd = 0x04;  // transmit waits for carrier
inline constexpr uint32_t kHoldXoff = 0x08;  // transmit stopped by a received XOFF
inline constexpr uint32_t kXoffSent = 0x10;  // we sent XOFF
inline constexpr uint32_t kEofSeen = 0x20;
inline constexpr uint32_t kTxim = 0x40;  // a TransmitChar byte is waiting

// What ClearCommError gives: the errors since the previous query (which it clears), hold state
// and the two queue counts. in_queue is the device's own input queue, exact at any size.
struct CommStatus {
  uint32_t errors = 0;  // CE_* bits
  uint32_t hold = 0;    // kHold* bits
  uint32_t in_queue = 0;
  uint32_t out_queue = 0;
};

// ---------------------------------------------------------------------------------------------
// Stop signal: a flag that one thread sets and another thread's wait sees at once.

class StopSignal {
 public:
  StopSignal() = default;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void Set() { event_.Set(); }      // any thread; stays set until Reset
  void Reset() { event_.Reset(); }  // any thread
  bool IsSet() const { return event_.IsSet(); }
  // What a device's wait includes so that it ends when the signal is set.
  const WakeEvent& Event() const { return event_; }

 private:
  WakeEvent event_;
};

// ---------------------------------------------------------------------------------------------
// Transfers: started now, completed now or later

// One pending operation, made by a device. Device implementations derive from it; callers use
// Transfer.
class TransferOp {
 public:
  virtual ~TransferOp() = default;
  // Without blocking: true with the count when finished without error; false with the error when
  // it failed, or with kIncomplete / kWinIoIncomplete while still pending.
  virtual bool Check(uint32_t& bytes, Error& error) = 0;
  // Blocks until finished (no time limit; a write ends at its write time-out, a read at its read
  // time-outs, any transfer at Purge with an abort flag, Close, or the device vanishing).
  virtual bool Wait(uint32_t& bytes, Error& error) = 0;
  // Ends the operation now if still pending (it then finishes as kAborted).
  virtual void Cancel() = 0;
};

// The caller's record of one started read or write (the role of an OVERLAPPED record). It can be
// reused: each Start* on a device replaces what it held. Destroying or reusing it while its
// operation is pending cancels that operation, so a device never writes into a buffer its caller
// has let go; a caller should still wait for completion before releasing the buffer.
class Transfer {
 public:
  Transfer() = default;
  ~Transfer() { Reset(); }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  bool Started() const { return op_ != nullptr; }
  // GetOverlappedResult without waiting. A transfer never started reports kIncomplete.
  bool Check(uint32_t& bytes, Error& error);
  // GetOverlappedResult after waiting for completion.
  bool Wait(uint32_t& bytes, Error& error);
  // Cancels a pending operation and forgets it.
  void Reset();
  // For device implementations: binds the record to a newly started operation.
  void Attach(std::shared_ptr<TransferOp> op);

 private:
  std::shared_ptr<TransferOp> op_;
};

// ---------------------------------------------------------------------------------------------
// When received bytes were read from the line

// A device reads the clock once per read from the line, as the bytes come in, and keeps that
// time with them in its input queue. Reads from the line closer together than kRxChunkShare
// (the pieces of one burst: a pseudo-terminal hands over at most 4 KiB a read, a UART's FIFO
// a few bytes) share the first one's time, which bounds what a long queue keeps; pieces that
// a line delivers once a millisecond (a USB adapter's frames, a 16550's FIFO at 115200 baud)
// keep a time each, even with some jitter in when the reader runs.
using RxClock = std::chrono::steady_clock;
inline constexpr std::chrono::microseconds kRxChunkShare{500};

// One piece of a timed read's result: the bytes from `offset` of the buffer on, up to the next
// piece's offset (the last piece to the end of what was read), were read from the line at `time`.
struct RxChunk {
  uint32_t offset = 0;
  RxClock::time_point time{};
  bool operator==(const RxChunk&) const = default;
};

// ---------------------------------------------------------------------------------------------
// The device

class Device {
 public:
  // Closes. No thread may still be inside a call when the device is destroyed: Close first
  // (which ends every wait and transfer), let the waiters return, then destroy.
  virtual ~Device() = default;

  // Ends everything: pending transfers finish as kAborted, a pending WaitEvents returns 0, the
  // device is released. Later calls fail with kNotOpen (win_code kWinInvalidHandle).
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  // SetupComm: recommended queue sizes. The input queue is never smaller than the device's
  // minimum (64 MiB for the POSIX device: more than 3 s of a 10 MB/s line while its owner is
  // busy); it takes memory only as it fills. An impossible size fails with kInvalidParameter.
  virtual Error SetQueueSizes(uint32_t input_size, uint32_t output_size) = 0;

  // SetCommState / GetCommState. A value the platform cannot do, a combination the comm API
  // refuses (1.5 stop bits with 6-8 data bits, 2 stop bits with 5) or a value the driver did not
  // keep fails with kInvalidParameter (win_code kWinInvalidParameter); the previous settings then
  // stay in force as far as the driver allows. A rate the driver refuses or rounds by more than
  // RateKept allows fails so too, with Error::device_rate set. GetState gives the settings in
  // force, with the rate as the driver reads it back.
  virtual Error SetState(const Dcb& dcb) = 0;
  virtual Error GetState(Dcb& dcb) = 0;

  // SetCommTimeouts / GetCommTimeouts. With ReadIntervalTimeout kMaxDword and both read totals 0
  // a read completes at once with the bytes already queued (possibly 0).
  virtual Error SetTimeouts(const CommTimeouts& timeouts) = 0;
  virtual Error GetTimeouts(CommTimeouts& timeouts) = 0;

  // SetCommMask: the events WaitEvents reports. Setting the mask (any value, 0 included) ends a
  // pending WaitEvents with occurred = 0 and forgets events seen but not yet reported.
  virtual Error SetEventMask(uint32_t mask) = 0;
  virtual Error GetEventMask(uint32_t& mask) = 0;

  // WaitCommEvent + a wait for it or for `stop`: returns when an event of the mask has occurred
  // since the previous report (occurred = its EV_* bits, nonzero), when `stop` is set or the mask
  // is changed (occurred = 0), or after timeout_ms (-1: no limit; occurred = 0). Events that
  // occur while nobody waits are kept and reported by the next call. A device that vanished
  // first reports the events seen before the loss, then kGone at once on every call, so a waiting
  // loop must stop on kGone and let its owner close the port (nothing else will tell the owner
  // when no read is under way). A closed device reports kNotOpen; mask 0 kInvalidParameter.
  virtual Error WaitEvents(uint32_t& occurred, const StopSignal* stop, int timeout_ms) = 0;

  // Receive batching, which the comm API does not have: while bytes keep arriving, WaitEvents
  // reports EV_RXCHAR and EV_RXFLAG at most once per `interval_ms`, each time with everything
  // that arrived meanwhile. The first report after a quieter spell is not delayed, so no byte
  // waits longer than the interval. Any other event ends a hold at once and is reported together
  // with the held events; a call whose time-out or stop comes first leaves them for the next.
  // Received bytes are still taken from the line at once: a pseudo-terminal discards what is
  // unread when its far end closes. 0 (the default) reports every event as soon as it occurs.
  virtual Error SetRxEventInterval(uint32_t interval_ms) = 0;

  // ReadFile / WriteFile. Either the transfer completes at once (`transfer` then Checks as done,
  // and `bytes_now` holds its count) or it stays pending (bytes_now = 0) and completes later; the
  // returned Error is only for a transfer that could not start: kGone with kWinAccessDenied when
  // the device has vanished, kNotOpen when closed. Completing a transfer on a device that vanished
  // meanwhile gives kGone with kWinGenFailure. `buffer`/`data` must stay valid until completion.
  // Writes keep their order; a write that times out completes with the bytes sent so far.
  virtual Error StartRead(uint8_t* buffer, uint32_t count, Transfer& transfer, uint32_t& bytes_now) = 0;
  virtual Error StartWrite(const uint8_t* data, uint32_t count, Transfer& transfer, uint32_t& bytes_now) = 0;

  // Takes at most `count` bytes that are queued now, at once and whatever the time-outs say,
  // together with when they were read from the line: `chunks` is replaced by one entry per
  // piece, oldest first, the first at offset 0 (none when no byte was taken). While a read
  // started earlier is still pending it takes nothing: queued bytes go to that read first, in
  // order. Fails as StartRead fails to start (kNotOpen; kGone with kWinAccessDenied once the
  // device has vanished and nothing is queued any more).
  virtual Error ReadQueuedTimed(uint8_t* buffer, uint32_t count, uint32_t& bytes,
                                std::vector<RxChunk>& chunks) = 0;

  // PurgeComm: PURGE_* flags; 0 does nothing.
  virtual Error Purge(uint32_t flags) = 0;
  // ClearCommError: errors since the previous call (cleared by this one), hold state, queues.
  virtual Error GetCommStatus(CommStatus& status) = 0;
  // GetCommModemStatus: MS_* bits.
  virtual Error GetModemStatus(uint32_t& status) = 0;
  // True when the line gives no modem status at all (a virtual COM port whose driver answers
  // the query as not supported): GetModemStatus then succeeds with every input line low, and
  // the window says so once instead of failing the connect.
  virtual bool ModemStatusMissing() const { return false; }
  // EscapeCommFunction: one of the escape codes; others fail with kInvalidParameter.
  virtual Error Escape(uint32_t function) = 0;
  // TransmitCommChar: sends one byte ahead of output queued by pending writes.
  virtual Error TransmitChar(uint8_t byte) = 0;
};

// CreateFile on a device path (such as /dev/ttyUSB0): exclusive, read and write, no sharing.
// Fails with kNotFound, kBusy or kAccessDenied (distinct os_code each) or kOther.
Error OpenDevice(std::string_view path, std::unique_ptr<Device>& device);

// Who holds a device that the busy probe found taken, as far as the platform can tell: the
// program's name (may be empty) and its process id; pid 0 when nothing is known.
struct DeviceHolder {
  std::string program;
  int pid = 0;
};

// The busy probe: an exclusive open followed at once by a close, after a look for other
// programs that hold the device without an exclusive open. ok() when the device is free; when it
// is busy and `holder` is given, it is filled where the platform can tell who holds it.
Error ProbeDevice(std::string_view path, DeviceHolder* holder = nullptr);

// The platform's own opener and probe, defined once per platform by its backend file
// (linux_device.cpp: a tty path such as /dev/ttyUSB0; win32_device.cpp: a \\.\COM<n> path).
// OpenDevice and ProbeDevice call them unless a test has installed an opener.
Error OpenPlatformDevice(std::string_view path, std::unique_ptr<Device>& device);
Error ProbePlatformDevice(std::string_view path, DeviceHolder* holder);
// The device path a bare port name stands for on this platform: a name under /dev on Linux
// ("ttyUSB0" -> "/dev/ttyUSB0"), the name itself on Windows ("COM5", opened as \\.\COM5). A
// text containing a path separator is a path already and comes back unchanged.
std::string PlatformDevicePath(const std::string& port);

// How OpenDevice and ProbeDevice reach devices; tests install one that hands out fakes. Passing
// an empty opener restores the platform's own. Returns the previous opener (empty: the
// platform's). Not thread-safe against concurrent opens; install it before opening.
using DeviceOpener = std::function<Error(std::string_view path, std::unique_ptr<Device>& device)>;
DeviceOpener SetDeviceOpener(DeviceOpener opener);

// A driver that runs a rate within 2% of the asked one keeps the line working (each side's
// sampling stays inside a bit); further off it would garble bytes, so SetState refuses it.
bool RateKept(uint32_t asked, uint32_t got);
// SetState's refusal of a rate: kInvalidParameter with the rate the device would use.
Error RateRefused(uint32_t device_rate);

// Error helpers for implementations: an Error from an errno value read at the failure.
Error ErrorFromErrno(int os_code, ErrorKind kind, uint32_t win_code);
// The layer's own verdict (no OS call failed), with the codes that fit it. Its os_code is this
// platform's own number for it: errno on POSIX, the comm API code on Windows, so a report such as
// "(Error: 87)" reads as the system's other failures there do.
Error ErrorOf(ErrorKind kind);
// The errno value and the comm API code of each kind of verdict, for the platforms' ErrorOf.
struct VerdictCodes {
  int errno_code = 0;
  uint32_t win_code = kWinSuccess;
};
VerdictCodes VerdictCodesOf(ErrorKind kind);

}  // namespace quarlex::device
