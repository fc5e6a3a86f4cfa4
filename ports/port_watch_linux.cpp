// The watcher's Linux side: inotify on the device folders and the port-link folder, libudev's
// monitor of tty devices, and an eventfd for the stop request, all in one poll().
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "ports/port_map.h"
#include "ports/port_watch.h"
#include "ports/udev_linux.h"

namespace quarlex {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t FolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

class LinuxWatchSource : public PortWatchSource {
 public:
  explicit LinuxWatchSource(const PortWatchPaths& paths) : paths_(paths) {}
  ~LinuxWatchSource() override;
  bool Open(std::string& error);

  Wake Wait(std::optional<std::chrono::milliseconds> timeout) override;
  void Rewatch() override { EnsureWatches(); }
  void RequestStop() override;
  PortEventSource Source() const override { return monitor_.Fd() < 0 ? PortEventSource::None : source_; }

 private:
  void EnsureWatches();
  bool ReadInotify();  // true when a relevant change was seen
  bool AnyDanglingLink() const;

  PortWatchPaths paths_;
  int stopFd_ = -1;
  int inotifyFd_ = -1;
  UdevTtyMonitor monitor_;
  PortEventSource source_ = PortEventSource::None;
  int devWd_ = -1, byIdWd_ = -1, linkWd_ = -1, ptsWd_ = -1;
};

LinuxWatchSource::~LinuxWatchSource() {
  monitor_.Close();
  for (int fd : {stopFd_, inotifyFd_}) {
    if (fd >= 0) close(fd);
  }
}

bool LinuxWatchSource::Open(std::string& error) {
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) {
    error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  inotifyFd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd_ < 0) {
    error = std::string("inotify: ") + std::strerror(errno);
    return false;
  }
  if (paths_.DeviceEvents) {
    // Without udevd nobody sends udevd's announcements: listen to the kernel's instead.
    const bool udevd = UdevdRunning(paths_.UdevRunDir);
    source_ = udevd ? PortEventSource::Udev : PortEventSource::Kernel;
    if (!monitor_.Open(udevd ? UdevTtyMonitor::Source::Udev : UdevTtyMonitor::Source::Kernel)) {
      source_ = PortEventSource::None;
    }
  }
  EnsureWatches();
  return true;
}

void LinuxWatchSource::RequestStop() {
  const uint64_t one = 1;
  // The eventfd counter cannot overflow from a single write, so this cannot fail in a way
  // that leaves the thread asleep.
  [[maybe_unused]] const ssize_t n = write(stopFd_, &one, sizeof one);
}

// Adds whatever watch is missing: by-id appears with the first USB serial device, and the link
// folder may be deleted and must come back. inotify_add_watch on a path already watched returns
// the same descriptor, so calling this again is harmless.
void LinuxWatchSource::EnsureWatches() {
  if (devWd_ < 0) devWd_ = inotify_add_watch(inotifyFd_, paths_.Dev.c_str(), FolderEvents);
  if (byIdWd_ < 0 && !paths_.ById.empty()) {
    byIdWd_ = inotify_add_watch(inotifyFd_, paths_.ById.c_str(), FolderEvents);
  }
  if (ptsWd_ < 0 && !paths_.Pts.empty())
    ptsWd_ = inotify_add_watch(inotifyFd_, paths_.Pts.c_str(), IN_DELETE);
  if (linkWd_ < 0 && !paths_.LinkFolder.empty()) {
    PreparePortLinkFolder(paths_.LinkFolder);
    linkWd_ = inotify_add_watch(inotifyFd_, paths_.LinkFolder.c_str(), FolderEvents);
  }
}

bool LinuxWatchSource::ReadInotify() {
  bool relevant = false;
  alignas(inotify_event) char buf[8192];
  for (;;) {
    const ssize_t n = read(inotifyFd_, buf, sizeof buf);
    if (n <= 0) break;  // EAGAIN: drained
    for (ssize_t off = 0; off < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      if (ev->mask & IN_Q_OVERFLOW) {
        relevant = true;  // events were lost: rescan to be sure
        continue;
      }
      if (ev->mask & IN_IGNORED) {
        // The watched folder is gone; EnsureWatches puts the watch back once it exists again.
        if (ev->wd == devWd_) devWd_ = -1;
        if (ev->wd == byIdWd_) byIdWd_ = -1;
        if (ev->wd == linkWd_) linkWd_ = -1;
        if (ev->wd == ptsWd_) ptsWd_ = -1;
        relevant = true;
        continue;
      }
      if (ev->wd == devWd_) {
        if (ev->len > 0 && IsSerialDeviceName(ev->name)) relevant = true;
      } else if (ev->wd == ptsWd_) {
        if (!relevant && AnyDanglingLink()) relevant = true;
      } else {
        relevant = true;
      }
    }
  }
  return relevant;
}

bool LinuxWatchSource::AnyDanglingLink() const {
  std::error_code ec;
  for (fs::directory_iterator it(paths_.LinkFolder, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st {};
    if (it->path().filename().string().starts_with("COM") && it->is_symlink(ec) &&
        stat(it->path().c_str(), &st) != 0) {
      return true;
    }
  }
  return false;
}

PortWatchSource::Wake LinuxWatchSource::Wait(std::optional<std::chrono::milliseconds> timeout) {
  pollfd fds[3] = {{stopFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}, {monitor_.Fd(), POLLIN, 0}};
  const nfds_t count = monitor_.Fd() >= 0 ? 3 : 2;
  const int ready = poll(fds, count, timeout ? static_cast<int>(timeout->count()) : -1);
  if (ready < 0) return errno == EINTR ? Wake::Quiet : Wake::Broken;
  if (fds[0].revents != 0) return Wake::Stop;
  bool changed = false;
  if (fds[1].revents != 0) changed |= ReadInotify();
  if (count == 3 && fds[2].revents != 0) {
    if (fds[2].revents & (POLLERR | POLLHUP | POLLNVAL)) {
      // Keep watching with inotify alone rather than waking up for a dead socket forever.
      monitor_.Close();
    } else {
      changed |= monitor_.Drain();
    }
  }
  return changed ? Wake::Change : Wake::Quiet;
}

}  // namespace

bool IsSerialDeviceName(std::string_view name) {
  return name.starts_with("tty") || name.starts_with("rfcomm") || name == "serial";
}

PortWatchPaths PortWatchPaths::System() {
  PortWatchPaths p;
  p.LinkFolder = DefaultPortLinkFolder();
  return p;
}

std::unique_ptr<PortWatchSource> OpenPortWatchSource(const PortWatchPaths& paths, std::string& error) {
  auto source = std::make_unique<LinuxWatchSource>(paths);
  if (!source->Open(error)) return nullptr;
  return source;
}

}  // namespace quarlex
