#pragma once
// A scriptable serial line for tests of what a pseudo-terminal cannot show: modem lines, line
// errors, break, overflow, a vanishing device, a failing call with a chosen OS code. A test holds
// a FakeLine, installs an opener that hands out devices on it, and scripts the far end; the line
// records every setting applied and every byte written. The device on it behaves like the POSIX
// device as far as its callers can tell (same queue, events, transfers and time-outs).
//
// Threads: every FakeLine and FakeDevice call may come from any thread.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/device/device.h"

namespace quarlex::device {

class DeviceCore;

// The calls whose next use can be made to fail.
enum class FakeCall : uint8_t {
  kOpen,
  kSetQueueSizes,
  kSetState,
  kSetTimeouts,
  kSetEventMask,
  kWaitEvents,
  kStartRead,  // StartRead and ReadQueuedTimed
  kStartWrite,
  kPurge,
  kGetCommStatus,
  kGetModemStatus,
  kEscape,
  kTransmitChar
};

class FakeLine {
 public:
  // min_input: the smallest input queue of a device on this line (1 MiB as on the real device;
  // a test of overflow may choose less).
  explicit FakeLine(size_t min_input = 1u << 20) : min_input_(min_input) {}

  // --- the far end
  // Bytes arriving from the peer; dropped while no device is open. They count as read from the
  // line now, or at `read_at`.
  void Receive(const std::string& bytes);
  void Receive(const uint8_t* data, size_t n);
  void Receive(const uint8_t* data, size_t n, RxClock::time_point read_at);
  // Sets the modem input lines (MS_* bits); each line that changes raises its event.
  void SetModemLines(uint32_t ms_bits);
  // A line error (CE_FRAME, CE_RXPARITY, CE_OVERRUN, ...); raises EV_ERR for the line errors.
  void LineError(uint32_t ce_bits);
  // A received break: CE_BREAK and EV_BREAK.
  void Break();
  // The device vanishes (adapter pulled): pending transfers fail, later ones too.
  void Vanish();
  // The vanished device is back (re-plugged): it opens again; the device opened before it stays
  // gone.
  void Return();
  // While stalled, writes stay pending (as on a line held by flow control); Release sends them.
  void StallOutput(bool stalled);
  // The next use of `call` fails with `error` (once).
  void FailNext(FakeCall call, Error error);
  // The rate the driver sets when asked for a rate (0: it refuses that rate); without a rule
  // every rate is kept exactly.
  void SetRateRule(std::function<uint32_t(uint32_t asked)> rule);

  // --- what the device did
  struct Record {
    std::vector<Dcb> states;             // every SetState that was accepted
    std::vector<CommTimeouts> timeouts;  // every SetTimeouts
    std::vector<std::pair<uint32_t, uint32_t>> queue_sizes;
    std::vector<uint32_t> masks;    // every SetEventMask
    std::vector<uint32_t> escapes;  // every Escape function
    std::vector<uint32_t> purges;   // every Purge flag set
    std::string written;            // every byte sent, TransmitChar bytes included
    int opens = 0;
    int closes = 0;
  };
  Record Recorded() const;
  uint32_t ModemLines() const;
  bool IsOpen() const;

  // An opener for SetDeviceOpener that serves `lines` by path; other paths are kNotFound, a line
  // already open is kBusy.
  static DeviceOpener Opener(std::map<std::string, std::shared_ptr<FakeLine>> lines);

 private:
  friend class FakeDevice;
  friend Error OpenFakeDevice(const std::shared_ptr<FakeLine>&, std::unique_ptr<Device>&);
  bool TakeFailure(FakeCall call, Error& error);
  mutable std::mutex mu_;  // before the core's mutex when both are taken
  size_t min_input_;
  Record record_;
  uint32_t modem_ = 0;
  bool stalled_ = false;
  bool vanished_ = false;
  std::map<FakeCall, Error> failures_;
  std::function<uint32_t(uint32_t)> rate_rule_;
  std::shared_ptr<DeviceCore> core_;  // of the open device, if any
};

// Opens a device on `line` directly (what the opener does).
Error OpenFakeDevice(const std::shared_ptr<FakeLine>& line, std::unique_ptr<Device>& device);

}  // namespace quarlex::device
