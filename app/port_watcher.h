#pragma once
// TRegMonitorThread: the background thread that notices serial ports appearing and vanishing,
// so the port button follows without the operator doing anything. What it watches is the
// platform's (a PortWatchSource, one file per platform); the batching and the hand-over to the
// owner are the same everywhere.
//
// What it watches and how it sleeps on it: ports/port_watch.h.
//
// The first change opens a batch; everything else arriving within the debounce time (200 ms)
// joins it; then the owner's callback runs once. There is no periodic wake-up.
// A change that happens while the callback runs opens the next batch, so nothing is missed.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "ports/port_watch.h"

namespace quarlex {

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
