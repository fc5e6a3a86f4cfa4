#pragma once
// Who else holds a serial line on Linux, and the line's UUCP lock file.
//
// Linux serial tools mark a line they use in different ways: flock on the device (which the
// device open takes and tests), TIOCEXCL, or a UUCP lock file "LCK..<name>" in /run/lock that
// holds the owner's PID; some take no mark at all and simply open the device. Two programs
// reading one line each get part of the bytes and neither says so, so the busy probe looks for
// every one of these, and an open device holds a lock file of its own so that tools which only
// look at lock files see the line busy too.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "serial/device/device.h"

namespace quarlex::device {

// Where holders are looked for; both can point at a temporary tree.
struct PortLockRoots {
  std::filesystem::path LockFolder = "/run/lock";
  std::filesystem::path Proc = "/proc";
};

// The roots OpenDevice and ProbeDevice use: the system's unless changed. Any thread.
void SetPortLockRoots(PortLockRoots roots);
PortLockRoots CurrentPortLockRoots();

// The lock file name of a device, symbolic links resolved (port links point at the real device):
// "LCK.." and the path below /dev with '/' written as '_' (/dev/ttyUSB0 -> LCK..ttyUSB0,
// /dev/pts/3 -> LCK..pts_3). Empty when the device does not exist.
std::string LockFileName(std::string_view device_path);

// The PID a lock file names: ASCII digits, blanks around them allowed (the usual form is ten
// characters and a newline), or a 4-byte binary number as older tools write it. 0 when the file
// is missing or holds neither, or a number no Linux PID can be.
int ReadLockPid(const std::filesystem::path& file);

// Another live process holding the device: by its lock file, or by an open descriptor visible
// under roots.Proc (processes of other users usually are not; those are not reported). This
// process never counts, nor does the process holding the master side of a pseudo-terminal:
// that is the line's other end, not a second reader.
std::optional<DeviceHolder> FindDeviceHolder(std::string_view device_path, const PortLockRoots& roots);

// The lock file of an open device. Removed when destroyed and, for locks still held then, when
// the process exits normally; only while it still names this process.
class UucpLock {
 public:
  // Takes the lock for the device, atomically (written aside, then linked into place). ok() with
  // `lock` set when taken; ok() with `lock` empty when the folder cannot be written, which is
  // usual for a user on many desktops and no reason to refuse the line; kBusy, with `holder` when
  // given, when a live process holds the lock. A lock naming a process that no longer runs is
  // replaced.
  static Error Acquire(std::string_view device_path, const PortLockRoots& roots,
                       std::unique_ptr<UucpLock>& lock, DeviceHolder* holder = nullptr);
  ~UucpLock();
  UucpLock(const UucpLock&) = delete;
  UucpLock& operator=(const UucpLock&) = delete;

  const std::filesystem::path& File() const { return file_; }

 private:
  explicit UucpLock(std::filesystem::path file);
  std::filesystem::path file_;
};

}  // namespace quarlex::device
