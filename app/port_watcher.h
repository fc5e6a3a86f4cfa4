#pragma once
// TRegMonitorThread: the background thread that notices serial ports appearing and vanishing,
// so the port button follows without the operator doing anything.
//
// It sleeps in poll() on
//  - inotify: the device folder (/dev, tty-like names only), /dev/serial/by-id once it exists,
//    and the per-user port-link folder (created if missing), where virtual ports come and go;
//  - a kernel uevent netlink socket, for tty devices added or removed (works without udevd;
//    where the socket cannot be opened, for example in a container, inotify alone remains);
//  - an eventfd that Stop() signals.
// The first change opens a batch; everything else arriving within the debounce time (200 ms)
// joins it; then the owner's callback runs once. There is no periodic wake-up.
//
// A change that happens while the callback runs opens the next batch, so nothing is missed.
// A virtual port can also vanish without its link: socat killed with SIGKILL leaves the link
// pointing at a pseudo-terminal that is gone. So /dev/pts is watched for removals too, and one
// counts as a change when it leaves a link in the port-link folder dangling (terminals opening
// and closing elsewhere cause no rescan).
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace quarlex {

// Whether a kernel uevent message ("ACTION@DEVPATH" and NUL-separated KEY=VALUE fields) is
// about a tty device.
bool IsTtyUevent(std::string_view message);

// Whether a name appearing or vanishing in the device folder can concern a serial port (tty*,
// rfcomm*, the serial/ folder of udev's links). Disks, loop devices and input nodes come and go
// too and need no rescan.
bool IsSerialDeviceName(std::string_view name);

struct PortWatchPaths {
  std::filesystem::path Dev = "/dev";
  std::filesystem::path ById = "/dev/serial/by-id";  // may not exist yet; watched once it does
  std::filesystem::path LinkFolder;                   // see DefaultPortLinkFolder()
  std::filesystem::path Pts = "/dev/pts";             // where virtual ports' terminals live
  bool KernelEvents = true;                           // listen to tty uevents
  std::chrono::milliseconds Debounce{200};

  // The system's folders with this user's port-link folder.
  static PortWatchPaths System();
};

class TRegMonitorThread {
 public:
  using Callback = std::function<void()>;
  // Queues a task to run on the main thread and returns at once (in Qt: invokeMethod with a
  // queued connection on the main window).
  using Poster = std::function<void(std::function<void()>)>;

  // Plain mode: `onChange` runs on the watcher thread once per batch. Exceptions it throws are
  // swallowed: a failing scan must not end the watching.
  TRegMonitorThread(PortWatchPaths paths, Callback onChange);

  // Hand-over mode: per batch, `post` queues a task that runs `onChange` on the main thread,
  // and the watcher waits until that task has run, so scans never overlap and the next batch
  // waits for the scan. Stop() ends that wait too: a main thread that stops the watcher while
  // a hand-over is still queued does not deadlock, and the queued task, when the main loop gets
  // to it later, does nothing.
  TRegMonitorThread(PortWatchPaths paths, Poster post, Callback onChange);

  ~TRegMonitorThread();  // Stop()
  TRegMonitorThread(const TRegMonitorThread&) = delete;
  TRegMonitorThread& operator=(const TRegMonitorThread&) = delete;

  // Creates the port-link folder if missing, sets up the watches and starts the thread.
  // Returns false (with the reason in `error` when given) when inotify or the eventfd cannot be
  // created; the window then keeps the list it read at start-up. Call once, from the owner.
  bool Start(std::string* error = nullptr);

  // Asks the thread to end and waits for it, so nothing of the watcher outlives its owner.
  // Idempotent. Call from the owner's thread (the main thread in hand-over mode), never from
  // inside the callback. In plain mode a callback that is running finishes first.
  void Stop();
  void Terminate() { Stop(); }  // the thread class's name for the same request

  // Whether the kernel uevent socket could be opened (valid after a successful Start).
  bool KernelEventsActive() const { return netlinkFd_ >= 0; }

 private:
  struct Shared;
  void Execute();
  void EnsureWatches();
  bool ReadInotify();  // true when a relevant change was seen
  bool ReadUevents();
  bool AnyDanglingLink() const;
  void Deliver();
  void CloseAll();

  PortWatchPaths paths_;
  Poster post_;
  Callback onChange_;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  int stopFd_ = -1;
  int inotifyFd_ = -1;
  int netlinkFd_ = -1;
  int devWd_ = -1, byIdWd_ = -1, linkWd_ = -1, ptsWd_ = -1;
};

}  // namespace quarlex
