#include <sys/stat.h>

#include "app/same_device.h"

namespace quarlex {

// Two paths reach the same port when they lead to the same character device (a by-id link and
// its /dev/ttyUSB node; a port link and its terminal) or, for anything else, to the same file.
bool SameDevice(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  if (S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode)) return sa.st_rdev == sb.st_rdev;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace quarlex
