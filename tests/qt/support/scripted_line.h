#pragma once
// While it lives, every port the window opens is one scripted fake line in place of its device:
// for what a pseudo-terminal cannot show (modem lines, a driver that rounds rates, breaks).
#include <memory>
#include <string_view>

#include "serial/device/device.h"
#include "tests/serial/support/fake_device.h"

namespace quarlex::testing_support {

struct ScriptedLine {
  std::shared_ptr<device::FakeLine> line = std::make_shared<device::FakeLine>();
  device::DeviceOpener previous = device::SetDeviceOpener(
      [open = device::FakeLine::Opener({{"fake", line}})](
          std::string_view, std::unique_ptr<device::Device>& d) { return open("fake", d); });
  ~ScriptedLine() { device::SetDeviceOpener(previous); }
};

}  // namespace quarlex::testing_support
