#pragma once
// Whether two paths name the same serial device, however each reaches it. One implementation
// per platform (same_device_posix.cpp, same_device_win32.cpp).
#include <string>

namespace quarlex {

bool SameDevice(const std::string& a, const std::string& b);

}  // namespace quarlex
