#include "serial/device/core_backed_device.h"

#include <mutex>

namespace quarlex::device {

CoreBackedDevice::CoreBackedDevice(size_t min_input) : core_(std::make_shared<DeviceCore>(min_input)) {}

Error CoreBackedDevice::GetState(Dcb& dcb) {
  std::lock_guard lock(core_->mutex());
  if (core_->ClosedLocked()) return NotOpenError();
  dcb = core_->StateLocked();
  return {};
}

Error CoreBackedDevice::SetTimeouts(const CommTimeouts& timeouts) {
  return core_->SetTimeouts(timeouts);
}

Error CoreBackedDevice::GetTimeouts(CommTimeouts& timeouts) {
  if (!open_) return NotOpenError();
  timeouts = core_->Timeouts();
  return {};
}

Error CoreBackedDevice::SetEventMask(uint32_t mask) {
  return core_->SetEventMask(mask);
}

Error CoreBackedDevice::GetEventMask(uint32_t& mask) {
  if (!open_) return NotOpenError();
  mask = core_->EventMask();
  return {};
}

Error CoreBackedDevice::WaitEvents(uint32_t& occurred, const StopSignal* stop, int timeout_ms) {
  return core_->WaitEvents(occurred, stop, timeout_ms);
}

Error CoreBackedDevice::SetRxEventInterval(uint32_t interval_ms) {
  return core_->SetRxEventInterval(interval_ms);
}

Error CoreBackedDevice::StartRead(uint8_t* buffer, uint32_t count, Transfer& transfer, uint32_t& bytes_now) {
  Error e = core_->StartRead(buffer, count, transfer, bytes_now);
  if (e.ok()) TookInput(bytes_now);
  return e;
}

Error CoreBackedDevice::ReadQueuedTimed(uint8_t* buffer, uint32_t count, uint32_t& bytes,
                                        std::vector<RxChunk>& chunks) {
  Error e = core_->ReadQueuedTimed(buffer, count, bytes, chunks);
  if (e.ok()) TookInput(bytes);
  return e;
}

void CoreBackedDevice::TookInput(uint32_t taken) {
  if (taken == 0) return;
  bool was_full;
  {
    std::lock_guard lock(core_->mutex());
    was_full = core_->InputRoomLocked() <= taken;
  }
  if (was_full) InputRoomMade();
}

}  // namespace quarlex::device
