#include "app/same_device.h"

namespace quarlex {

namespace {

// "\\.\COM3", "//./com3" and "COM3" name one device: its name without the device-namespace
// prefix, in capitals (Windows device names ignore case).
std::string DeviceName(std::string path) {
  for (const char* prefix : {"\\\\.\\", "//./", "\\\\?\\"}) {
    if (path.rfind(prefix, 0) == 0) path.erase(0, 4);
  }
  for (char& c : path) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return path;
}

}  // namespace

bool SameDevice(const std::string& a, const std::string& b) {
  return !a.empty() && DeviceName(a) == DeviceName(b);
}

}  // namespace quarlex
