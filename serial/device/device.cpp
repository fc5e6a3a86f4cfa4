// Parts of the device layer shared by every implementation: the transfer record, error values and the opener
// that OpenDevice goes through.
#include "serial/device/device.h"

#include <cerrno>
#include <cstring>
#include <mutex>

namespace quarlex::device {

bool Transfer::Check(uint32_t& bytes, Error& error) {
  bytes = 0;
  if (!op_) {
    error = ErrorOf(ErrorKind::kIncomplete);
    return false;
  }
  return op_->Check(bytes, error);
}

bool Transfer::Wait(uint32_t& bytes, Error& error) {
  bytes = 0;
  if (!op_) {
    error = ErrorOf(ErrorKind::kIncomplete);
    return false;
  }
  return op_->Wait(bytes, error);
}

void Transfer::Reset() {
  if (op_) op_->Cancel();
  op_.reset();
}

void Transfer::Attach(std::shared_ptr<TransferOp> op) {
  Reset();
  op_ = std::move(op);
}

Error ErrorFromErrno(int os_code, ErrorKind kind, uint32_t win_code) {
  Error e;
  e.kind = kind;
  e.os_code = os_code;
  e.os_text = std::strerror(os_code);
  e.win_code = win_code;
  return e;
}

bool RateKept(uint32_t asked, uint32_t got) {
  const uint64_t diff = got > asked ? uint64_t{got} - asked : uint64_t{asked} - got;
  return diff * 50 <= asked;
}

Error RateRefused(uint32_t device_rate) {
  Error e = ErrorOf(ErrorKind::kInvalidParameter);
  e.device_rate = device_rate;
  return e;
}

VerdictCodes VerdictCodesOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNone:
      return {};
    case ErrorKind::kNotFound:
      return {ENOENT, kWinFileNotFound};
    case ErrorKind::kBusy:
      return {EBUSY, kWinAccessDenied};
    case ErrorKind::kAccessDenied:
      return {EACCES, kWinAccessDenied};
    case ErrorKind::kInvalidParameter:
      return {EINVAL, kWinInvalidParameter};
    case ErrorKind::kGone:
    case ErrorKind::kOther:
      return {EIO, kWinGenFailure};
    case ErrorKind::kAborted:
      return {ECANCELED, kWinOperationAborted};
    case ErrorKind::kNotOpen:
      return {EBADF, kWinInvalidHandle};
    case ErrorKind::kIncomplete:
      return {EINPROGRESS, kWinIoIncomplete};
  }
  return {};
}

namespace {
std::mutex opener_mutex;
DeviceOpener& CurrentOpener() {
  static DeviceOpener opener;
  return opener;
}
DeviceOpener OpenerCopy() {
  std::lock_guard lock(opener_mutex);
  return CurrentOpener();
}
}  // namespace

DeviceOpener SetDeviceOpener(DeviceOpener opener) {
  std::lock_guard lock(opener_mutex);
  DeviceOpener previous = std::move(CurrentOpener());
  CurrentOpener() = std::move(opener);
  return previous;
}

Error OpenDevice(std::string_view path, std::unique_ptr<Device>& device) {
  device.reset();
  if (DeviceOpener opener = OpenerCopy()) return opener(path, device);
  return OpenPlatformDevice(path, device);
}

Error ProbeDevice(std::string_view path, DeviceHolder* holder) {
  if (DeviceOpener opener = OpenerCopy()) {
    std::unique_ptr<Device> device;
    Error e = opener(path, device);
    if (device) device->Close();
    return e;
  }
  return ProbePlatformDevice(path, holder);
}

}  // namespace quarlex::device
