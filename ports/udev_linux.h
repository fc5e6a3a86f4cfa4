#pragma once
// libudev, the system's device database and hot-plug feed, as the port map and the port watcher
// use it: the tty devices with the names udev found for them, whether udevd runs, and a monitor
// of tty devices coming and going. Linux only.
//
// udevd announces a device after it has applied its rules (group, permissions, the links under
// /dev/serial/by-id); the kernel announces it before. So where udevd runs, its announcements and
// its record of a device tell when a port may be opened; where it does not (containers, CI),
// the kernel's announcements and sysfs are all there is.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace quarlex {

// The names udev's database holds for a device, empty where it holds none.
struct UdevNames {
  std::string Vendor;       // ID_VENDOR_FROM_DATABASE: the maker, from the USB id database
  std::string Model;        // ID_MODEL_FROM_DATABASE: the chip or product, from the same
  std::string SerialShort;  // ID_SERIAL_SHORT
  std::string ByIdLink;     // the device's link under /dev/serial/by-id (from DEVLINKS)
};

// Reads the names from a device's properties; `property` returns a property's value or null.
UdevNames NamesFromProperties(const std::function<const char*(const char*)>& property);

// Whether udevd runs: it keeps its control socket in `runDir` (/run/udev) while it does.
bool UdevdRunning(const std::filesystem::path& runDir);

// One tty device as libudev lists it.
struct UdevTty {
  std::string Name;               // kernel name: ttyUSB0, ttyS0, rfcomm0
  std::filesystem::path SysPath;  // its folder in sysfs
  bool Initialized = false;       // udev has processed it (never, while udevd does not run)
  UdevNames Names;
};

// Every tty device of the system. False when libudev cannot list them; the caller then walks
// sysfs itself.
bool ListUdevTtys(std::vector<UdevTty>& out);

// Tells when tty devices are added, removed or changed. Not thread-safe: one thread uses it.
class UdevTtyMonitor {
 public:
  // Udev: udevd's announcements, sent once its rules are applied. Kernel: the kernel's own,
  // which need no udevd.
  enum class Source { Udev, Kernel };

  UdevTtyMonitor() = default;
  ~UdevTtyMonitor();
  UdevTtyMonitor(const UdevTtyMonitor&) = delete;
  UdevTtyMonitor& operator=(const UdevTtyMonitor&) = delete;

  // Starts listening; false (nothing held) when the monitor cannot be made or bound, for
  // example where the process may not open netlink sockets.
  bool Open(Source source);
  void Close();
  // A descriptor to poll for input; -1 while closed.
  int Fd() const;
  // Reads every announcement waiting; true when one concerned a tty device, or when some were
  // lost because the socket overflowed (the caller then rescans to be sure).
  bool Drain();

 private:
  struct udev* udev_ = nullptr;
  struct udev_monitor* monitor_ = nullptr;
};

}  // namespace quarlex
