#pragma once
// TRegMonitorThread: the background thread that notices serial ports appearing and vanishing,
// so the port button follows without the operator doing anything. What it watches is the
// platform's (a PortWatchSource, one file per platform); the batching and the hand-over to the
// owner are the same everywhere.
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
#include <optional>
#include <string>
#include <string_view>
#include <thread>

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

  // Sets up the watches (on Linux creating the port-link folder if missing) and starts the
  // thread. Returns false (with the reason in `error` when given) when the platform's watch
  // cannot be set up (inotify or the eventfd; the registry key nor any parent of it opens);
  // the window then keeps the list it read at start-up. Call once, from the owner.
  bool Start(std::string* error = nullptr);

  // Asks the thread to end and waits for it, so nothing of the watcher outlives its owner.
  // Idempotent. Call from the owner's thread (the main thread in hand-over mode), never from
  // inside the callback. In plain mode a callback that is running finishes first.
  void Stop();
  void Terminate() { Stop(); }  // the thread class's name for the same request

  // Whose announcements the watcher listens to (valid after a successful Start).
  using EventSource = PortEventSource;
  EventSource DeviceEventSource() const { return source_ ? source_->Source() : EventSource::None; }

 private:
  struct Shared;
  void Execute();
  void Deliver();

  PortWatchPaths paths_;
  Poster post_;
  Callback onChange_;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<PortWatchSource> source_;
  std::thread thread_;
};

}  // namespace quarlex
