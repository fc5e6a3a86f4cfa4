#pragma once
// Win32 failures as device errors: the code from GetLastError (which is already the comm API
// code the component looks for) with the system's text for it.
#include <cstdint>

#include "serial/device/device.h"

namespace quarlex::device {

// The kind that fits a Win32 code (file not found: kNotFound; access denied or sharing
// violation: kBusy; invalid parameter: kInvalidParameter; aborted: kAborted; ...).
ErrorKind KindOfWin32Code(uint32_t code);
Error Win32Error(uint32_t code);
Error Win32Error(uint32_t code, ErrorKind kind);

}  // namespace quarlex::device
