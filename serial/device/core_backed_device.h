#pragma once
// The part of a device that is the same on every platform because the DeviceCore does it: the
// settings the core keeps by itself, the event wait, and reads, which take bytes from the core's
// input queue on the caller's thread. A backend derives from it and implements only what reaches
// its own line (line settings, writes, purge, queries, escapes, Close).
//
// Threads and locks: as Device. The calls implemented here take no lock but the core's mutex
// (inside the core), so they never run into a backend's own outer locks.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "serial/device/device.h"
#include "serial/device/device_core.h"

namespace quarlex::device {

class CoreBackedDevice : public Device {
 public:
  bool IsOpen() const override { return open_.load(); }
  Error GetState(Dcb& dcb) override;
  Error SetTimeouts(const CommTimeouts& timeouts) override;
  Error GetTimeouts(CommTimeouts& timeouts) override;
  Error SetEventMask(uint32_t mask) override;
  Error GetEventMask(uint32_t& mask) override;
  Error WaitEvents(uint32_t& occurred, const StopSignal* stop, int timeout_ms) override;
  Error SetRxEventInterval(uint32_t interval_ms) override;
  Error StartRead(uint8_t* buffer, uint32_t count, Transfer& transfer, uint32_t& bytes_now) override;
  Error ReadQueuedTimed(uint8_t* buffer, uint32_t count, uint32_t& bytes,
                        std::vector<RxChunk>& chunks) override;

 protected:
  // min_input: the smallest input queue this backend's line may have (see DeviceCore).
  explicit CoreBackedDevice(size_t min_input);

  // A backend's reader stops taking bytes from the line while the input queue is full. Called,
  // without any lock held, when a read has just made the first room in a full queue, so that
  // the reader goes on with the bytes the line kept meanwhile.
  virtual void InputRoomMade() = 0;
  // After a read took `taken` bytes: InputRoomMade when they made the first room.
  void TookInput(uint32_t taken);

  const std::shared_ptr<DeviceCore> core_;
  std::atomic<bool> open_{true};  // false from the moment Close begins
};

}  // namespace quarlex::device
