#include "app/port_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>

#include "serial/port_map.h"

namespace quarlex {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t FolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                  IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

bool IsSerialDeviceName(std::string_view name) {
  return name.starts_with("tty") || name.starts_with("rfcomm") || name == "serial";
}

struct TRegMonitorThread::Shared {
  std::mutex mutex;
  std::condition_variable cv;
  bool stopping = false;
};

PortWatchPaths PortWatchPaths::System() {
  PortWatchPaths p;
  p.LinkFolder = DefaultPortLinkFolder();
  return p;
}

TRegMonitorThread::TRegMonitorThread(PortWatchPaths paths, Callback onChange)
    : paths_(std::move(paths)), onChange_(std::move(onChange)), shared_(std::make_shared<Shared>()) {}

TRegMonitorThread::TRegMonitorThread(PortWatchPaths paths, Poster post, Callback onChange)
    : paths_(std::move(paths)),
      post_(std::move(post)),
      onChange_(std::move(onChange)),
      shared_(std::make_shared<Shared>()) {}

TRegMonitorThread::~TRegMonitorThread() { Stop(); }

bool TRegMonitorThread::Start(std::string* error) {
  const auto fail = [&](const char* what) {
    if (error != nullptr) *error = std::string(what) + ": " + std::strerror(errno);
    CloseAll();
    return false;
  };
  if (thread_.joinable()) return true;
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) return fail("eventfd");
  inotifyFd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd_ < 0) return fail("inotify");
  if (paths_.DeviceEvents) {
    // Without udevd nobody sends udevd's announcements: listen to the kernel's instead.
    const bool udevd = UdevdRunning(paths_.UdevRunDir);
    source_ = udevd ? EventSource::Udev : EventSource::Kernel;
    if (!monitor_.Open(udevd ? UdevTtyMonitor::Source::Udev : UdevTtyMonitor::Source::Kernel)) {
      source_ = EventSource::None;
    }
  }
  EnsureWatches();
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = false;
  }
  thread_ = std::thread([this] { Execute(); });
  return true;
}

void TRegMonitorThread::Stop() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
  }
  shared_->cv.notify_all();
  if (thread_.joinable()) {
    const uint64_t one = 1;
    // The eventfd counter cannot overflow from a single write, so this cannot fail in a way
    // that leaves the thread asleep.
    [[maybe_unused]] const ssize_t n = write(stopFd_, &one, sizeof one);
    thread_.join();
  }
  CloseAll();
}

void TRegMonitorThread::CloseAll() {
  monitor_.Close();
  for (int* fd : {&stopFd_, &inotifyFd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  devWd_ = byIdWd_ = linkWd_ = ptsWd_ = -1;
}

// Adds whatever watch is missing: by-id appears with the first USB serial device, and the link
// folder may be deleted and must come back. inotify_add_watch on a path already watched returns
// the same descriptor, so calling this again is harmless.
void TRegMonitorThread::EnsureWatches() {
  if (devWd_ < 0) devWd_ = inotify_add_watch(inotifyFd_, paths_.Dev.c_str(), FolderEvents);
  if (byIdWd_ < 0 && !paths_.ById.empty()) {
    byIdWd_ = inotify_add_watch(inotifyFd_, paths_.ById.c_str(), FolderEvents);
  }
  if (ptsWd_ < 0 && !paths_.Pts.empty()) ptsWd_ = inotify_add_watch(inotifyFd_, paths_.Pts.c_str(), IN_DELETE);
  if (linkWd_ < 0 && !paths_.LinkFolder.empty()) {
    PreparePortLinkFolder(paths_.LinkFolder);
    linkWd_ = inotify_add_watch(inotifyFd_, paths_.LinkFolder.c_str(), FolderEvents);
  }
}

bool TRegMonitorThread::ReadInotify() {
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

bool TRegMonitorThread::AnyDanglingLink() const {
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

void TRegMonitorThread::Execute() {
  using Clock = std::chrono::steady_clock;
  bool pending = false;
  Clock::time_point due;
  for (;;) {
    pollfd fds[3] = {{stopFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}, {monitor_.Fd(), POLLIN, 0}};
    const nfds_t count = monitor_.Fd() >= 0 ? 3 : 2;
    int timeout = -1;
    if (pending) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
      timeout = left > 0 ? static_cast<int>(left) : 0;
    }
    const int ready = poll(fds, count, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;  // poll itself broke: end rather than spin; the list stays as last scanned
    }
    if (fds[0].revents != 0) return;
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
    if (changed && !pending) {
      pending = true;
      due = Clock::now() + paths_.Debounce;
    }
    if (pending && Clock::now() >= due) {
      pending = false;
      EnsureWatches();
      Deliver();
    }
  }
}

void TRegMonitorThread::Deliver() {
  if (!post_) {
    try {
      onChange_();
    } catch (...) {
      // A scan that failed leaves the list as it was; the next change tries again.
    }
    return;
  }
  struct Task {
    bool done = false;
  };
  auto task = std::make_shared<Task>();
  auto shared = shared_;
  try {
    post_([shared, task, onChange = onChange_] {
      // Runs on the main thread, as does Stop(), so the flag cannot change under us.
      bool stopping = false;
      {
        std::lock_guard lock(shared->mutex);
        stopping = shared->stopping;
      }
      if (!stopping) {
        try {
          onChange();
        } catch (...) {
        }
      }
      {
        std::lock_guard lock(shared->mutex);
        task->done = true;
      }
      shared->cv.notify_all();
    });
  } catch (...) {
    return;  // could not queue: try again with the next change
  }
  std::unique_lock lock(shared->mutex);
  shared->cv.wait(lock, [&] { return task->done || shared->stopping; });
}

}  // namespace quarlex
