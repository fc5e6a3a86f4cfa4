// The POSIX device on a pseudo-terminal pair: the slave is the device, the master the far end.
#include <stdexcept>

#include "serial/device/linux_device.h"
#include "tests/serial/device_pty.h"
#include "tests/serial/device_rig.h"

namespace quarlex::device {
namespace {

class PtyRig : public Rig {
 public:
  PtyRig() {
    Error e = OpenLinuxDevice(pty.path(), dev);
    if (e) throw std::runtime_error("open " + pty.path() + ": " + e.os_text);
  }
  void PeerSend(const std::string& bytes) override { pty.Send(bytes); }
  std::string PeerReceive(size_t n) override { return pty.Receive(n); }
  void PeerHangUp() override { pty.HangUp(); }
  void PeerStopReading() override {}  // a pty master that is not read fills up by itself
  testing::PtyPair pty;
};

}  // namespace

std::vector<Named> PlatformRigs() {
  return {{"Posix", [](std::string&) { return std::unique_ptr<Rig>(new PtyRig); }}};
}

}  // namespace quarlex::device
