#pragma once
// A real line for the device contract suite: the far end plus the device under test. Each
// platform's file (device_rig_posix.cpp, device_rig_win32.cpp) supplies its rigs.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial/device/device.h"

namespace quarlex::device {

class Rig {
 public:
  virtual ~Rig() = default;
  virtual void PeerSend(const std::string& bytes) = 0;
  virtual std::string PeerReceive(size_t n) = 0;
  virtual void PeerHangUp() = 0;
  // Makes writes pile up: the far end stops taking bytes.
  virtual void PeerStopReading() = 0;
  // Why this line cannot show the contract case `test` (empty: it can).
  virtual std::string CannotDo(const std::string& /*test*/) const { return {}; }
  // The line gives no modem status at all, and the device must say so.
  virtual bool ModemStatusMissing() const { return false; }
  std::unique_ptr<Device> dev;
};

// Makes a rig, or returns null with the reason the line is not there.
using RigFactory = std::function<std::unique_ptr<Rig>(std::string& why_not)>;

struct Named {
  const char* name;
  RigFactory make;
};

std::vector<Named> PlatformRigs();

}  // namespace quarlex::device
