#pragma once
// The Linux serial device. Reached through OpenDevice/ProbeDevice of device.h; declared here for
// the factory and for tests. Its pure termios mapping is linux_termios_map.h.
#include <memory>
#include <string_view>

#include "serial/device/device.h"

namespace quarlex::device {

// Opens a tty exclusively: its UUCP lock file taken (port_lock_linux.h), then
// open(O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC), flock(LOCK_EX|LOCK_NB) (which holds even against
// root, who passes TIOCEXCL), TIOCEXCL, raw mode with CLOCAL|CREAD. The lock file is held until
// the device closes. Missing device: kNotFound (ENOENT/ENODEV/ENXIO); held elsewhere: kBusy
// (EBUSY; also a live lock file of another process); not allowed: kAccessDenied (EACCES/EPERM);
// not a terminal: kOther (ENOTTY).
Error OpenLinuxDevice(std::string_view path, std::unique_ptr<Device>& device);

// Looks for another process holding the device (a live lock file, an open descriptor), then
// opens and flocks it as above and closes it at once; TIOCEXCL is left alone because the flag
// would outlive this short open and lock out everyone else who has the line open. The look comes
// first: opening a UART raises its modem lines, which may disturb the program that holds it.
Error ProbeLinuxDevice(std::string_view path, DeviceHolder* holder = nullptr);

}  // namespace quarlex::device
