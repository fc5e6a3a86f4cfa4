#pragma once
// What the port watcher watches, one file per platform (port_watch_linux.cpp,
// port_watch_win32.cpp): the things that change when a serial port appears or vanishes, and the
// sleep on them. The watcher thread itself (batching, hand-over to the owner) is app/port_watcher.
//
// On Windows it sleeps on the serial-port map's registry key (RegNotifyChangeKeyValue, subkeys
// included, renewed as soon as it fires, so a change during the owner's scan is not missed) and
// on a stop event. While the key does not exist, its nearest existing parent is watched instead
// and the key is taken up as soon as it appears.
//
// On Linux it sleeps in poll() on
//  - inotify: the device folder (/dev, tty-like names only), /dev/serial/by-id once it exists,
//    and the per-user port-link folder (created if missing), where virtual ports come and go;
//  - libudev's monitor of tty devices added, removed or changed: udevd's announcements where
//    udevd runs (they come once its rules have set the group and permissions and made the
//    by-id link, so a port is not listed before the operator may open it), else the kernel's
//    own (containers, CI); where neither can be opened, inotify alone remains;
//  - an eventfd that Stop() signals.
//
// A virtual port can also vanish without its link: socat killed with SIGKILL leaves the link
// pointing at a pseudo-terminal that is gone. So /dev/pts is watched for removals too, and one
// counts as a change when it leaves a link in the port-link folder dangling (terminals opening
// and closing elsewhere cause no rescan).
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quarlex {

// Whether a name appearing or vanishing in the device folder can concern a serial port (tty*,
// rfcomm*, the serial/ folder of udev's links). Disks, loop devices and input nodes come and go
// too and need no rescan.
bool IsSerialDeviceName(std::string_view name);

struct PortWatchPaths {
  std::filesystem::path Dev = "/dev";
  std::filesystem::path ById = "/dev/serial/by-id";  // may not exist yet; watched once it does
  std::filesystem::path LinkFolder;                  // see DefaultPortLinkFolder()
  std::filesystem::path Pts = "/dev/pts";            // where virtual ports' terminals live
  bool DeviceEvents = true;                          // listen to tty devices' announcements
  std::filesystem::path UdevRunDir = "/run/udev";    // udevd runs when its control socket is here
  std::chrono::milliseconds Debounce{200};

  // Windows: the key that holds the port list (see PortMapRoots). Tests watch a key of their own.
  bool RegistryUserRoot = false;  // HKEY_CURRENT_USER instead of HKEY_LOCAL_MACHINE
  std::string RegistryKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

  // The system's folders with this user's port-link folder.
  static PortWatchPaths System();
};

// Whose announcements wake the watcher (besides its own folder watches on Linux).
enum class PortEventSource { None, Udev, Kernel, Registry };

// The platform's side of the watcher: the things watched and the sleep on them.
class PortWatchSource {
 public:
  virtual ~PortWatchSource() = default;
  enum class Wake { Stop, Change, Quiet, Broken };
  // Sleeps until something happens or `timeout` (none: no limit) has passed. Change: something
  // that may concern a serial port; Quiet: nothing that does (or the time ran out); Stop: the
  // owner asked for it; Broken: the wait itself failed and would fail again (the watcher ends
  // rather than spin).
  virtual Wake Wait(std::optional<std::chrono::milliseconds> timeout) = 0;
  // Before a batch is handed over: put back watches on things that vanished and came back.
  virtual void Rewatch() = 0;
  // Wakes Wait with Stop; from any thread.
  virtual void RequestStop() = 0;
  virtual PortEventSource Source() const = 0;
};
// Sets up this platform's watches; null (with the reason in `error`) when that fails.
std::unique_ptr<PortWatchSource> OpenPortWatchSource(const PortWatchPaths& paths, std::string& error);

}  // namespace quarlex
