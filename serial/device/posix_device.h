#pragma once
// The POSIX (Linux termios) serial device. Reached through OpenDevice/ProbeDevice of device.h;
// declared here for the factory and for tests of its pure helpers.
#include <cstddef>
#include <cstdint>
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
Error OpenPosixDevice(std::string_view path, std::unique_ptr<Device>& device);

// Looks for another process holding the device (a live lock file, an open descriptor), then
// opens and flocks it as above and closes it at once; TIOCEXCL is left alone because the flag
// would outlive this short open and lock out everyone else who has the line open. The look comes
// first: opening a UART raises its modem lines, which may disturb the program that holds it.
Error ProbePosixDevice(std::string_view path, DeviceHolder* holder = nullptr);

// Undoes the kernel's PARMRK marking of received bytes. With PARMRK a byte X received with a
// parity or framing error arrives as FF 00 X, a break as FF 00 00 and a real FF as FF FF. The
// decoder keeps its state between chunks, so a mark split across two reads is still understood.
struct ParmrkDecoder {
  int state = 0;  // 0 plain, 1 after FF, 2 after FF 00
  // Decodes n bytes into out (room for n). Error bytes become `error_char` when `replace`, else
  // stay as received; breaks are dropped. Each error adds CE_RXPARITY to `errors`, each break
  // CE_BREAK. Returns the count written to out.
  size_t Decode(const uint8_t* in, size_t n, uint8_t* out, uint32_t& errors, bool replace,
                uint8_t error_char);
};

// Device values without a Linux counterpart and what the POSIX device does with each.
enum class Fate : uint8_t { kRefused, kIgnored, kEmulated };
struct UnmappedValue {
  const char* value;
  Fate fate;
  const char* handling;
  bool (*present)(const Dcb&);  // does this control block ask for it?
};
extern const UnmappedValue kUnmappedValues[];
extern const size_t kUnmappedValueCount;

}  // namespace quarlex::device
