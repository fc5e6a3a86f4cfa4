// Each test program keeps its lines' lock files in a folder of its own: a lock a crashed run left
// in the system's folder (whose PID a live process may carry now) must not decide a test.
#include <stdlib.h>

#include <filesystem>

#include "serial/device/port_lock_linux.h"

namespace {

struct PrivateLockFolder {
  std::filesystem::path folder;
  PrivateLockFolder() {
    char tmpl[] = "/tmp/quarlex-locks-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;  // the device then goes on without lock files
    folder = tmpl;
    quarlex::device::SetPortLockRoots({folder, quarlex::device::CurrentPortLockRoots().Proc});
  }
  ~PrivateLockFolder() {
    std::error_code ec;
    if (!folder.empty()) std::filesystem::remove_all(folder, ec);
  }
} const private_lock_folder;

}  // namespace
