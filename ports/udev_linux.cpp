#include "ports/udev_linux.h"

#include <libudev.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

namespace quarlex {

namespace {

constexpr std::string_view ByIdFolder = "/dev/serial/by-id/";

struct UdevUnref {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};

}  // namespace

UdevNames NamesFromProperties(const std::function<const char*(const char*)>& property) {
  const auto text = [&](const char* name) {
    const char* v = property(name);
    return v != nullptr ? std::string(v) : std::string();
  };
  UdevNames n;
  n.Vendor = text("ID_VENDOR_FROM_DATABASE");
  n.Model = text("ID_MODEL_FROM_DATABASE");
  n.SerialShort = text("ID_SERIAL_SHORT");
  // DEVLINKS lists every link udev made for the device, separated by blanks; the by-id one is
  // the name that stays the same whichever USB socket the adapter is plugged into.
  const std::string links = text("DEVLINKS");
  for (size_t start = 0; start < links.size();) {
    const size_t end = std::min(links.find(' ', start), links.size());
    const std::string_view link = std::string_view(links).substr(start, end - start);
    if (link.size() > ByIdFolder.size() && link.starts_with(ByIdFolder)) {
      n.ByIdLink = std::string(link);
      break;
    }
    start = end + 1;
  }
  return n;
}

bool UdevdRunning(const std::filesystem::path& runDir) {
  return access((runDir / "control").c_str(), F_OK) == 0;
}

bool ListUdevTtys(std::vector<UdevTty>& out) {
  out.clear();
  std::unique_ptr<udev, UdevUnref> u(udev_new());
  if (!u) return false;
  std::unique_ptr<udev_enumerate, UdevUnref> e(udev_enumerate_new(u.get()));
  if (!e || udev_enumerate_add_match_subsystem(e.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(e.get()) < 0) {
    return false;
  }
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
    std::unique_ptr<udev_device, UdevUnref> d(
        udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
    if (!d) continue;  // gone since the scan
    UdevTty t;
    const char* name = udev_device_get_sysname(d.get());
    if (name == nullptr) continue;
    t.Name = name;
    t.SysPath = udev_device_get_syspath(d.get());
    t.Initialized = udev_device_get_is_initialized(d.get()) > 0;
    t.Names = NamesFromProperties([&](const char* p) { return udev_device_get_property_value(d.get(), p); });
    out.push_back(std::move(t));
  }
  return true;
}

UdevTtyMonitor::~UdevTtyMonitor() {
  Close();
}

bool UdevTtyMonitor::Open(Source source) {
  Close();
  udev_ = udev_new();
  if (udev_ == nullptr) return false;
  monitor_ = udev_monitor_new_from_netlink(udev_, source == Source::Udev ? "udev" : "kernel");
  if (monitor_ == nullptr || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor_) < 0) {
    Close();
    return false;
  }
  // A burst of plugging must not overflow the socket; a larger buffer is asked for, and an
  // overflow that happens anyway still triggers a rescan (Drain).
  udev_monitor_set_receive_buffer_size(monitor_, 1 << 20);
  return true;
}

void UdevTtyMonitor::Close() {
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
  monitor_ = nullptr;
  udev_ = nullptr;
}

int UdevTtyMonitor::Fd() const {
  return monitor_ != nullptr ? udev_monitor_get_fd(monitor_) : -1;
}

bool UdevTtyMonitor::Drain() {
  bool relevant = false;
  for (;;) {
    // The filter drops other subsystems (and, for the kernel source, messages not sent by the
    // kernel) inside libudev; what comes back is a tty device.
    errno = 0;
    std::unique_ptr<udev_device, UdevUnref> d(udev_monitor_receive_device(monitor_));
    if (d) {
      relevant = true;
      continue;
    }
    if (errno == ENOBUFS) {
      relevant = true;
      continue;
    }
    if (errno == EINTR) continue;
    return relevant;  // EAGAIN: drained (or a read error: the next poll tells)
  }
}

}  // namespace quarlex
