#pragma once
// What stands in for the window around a port watcher in its tests: the window's handler of a
// batch of changes, and the main thread's queue that the watcher hands its scans to.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "app/port_scan.h"
#include "app/port_watcher.h"
#include "ports/port_map.h"

namespace quarlex::testing {

// What the window does per batch: refresh the map, rescan the table, remember the caption.
struct Window {
  // patience: how long WaitFor waits.
  Window(PortMapRoots roots, std::chrono::milliseconds patience)
      : patience(patience), map(std::move(roots)) {}

  const std::chrono::milliseconds patience;
  std::mutex mutex;
  std::condition_variable cv;
  PortMap map;
  PortTable table;
  std::string caption = "Port 0";
  int scans = 0;

  void OnChange() {
    std::lock_guard lock(mutex);
    if (map.Refresh()) table.ScanPorts(map.PortTexts());
    caption = table.PortCaption();
    ++scans;
    cv.notify_all();
  }
  bool WaitFor(const std::function<bool()>& done) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, patience, done);
  }
  bool WaitForCaption(const std::string& want) {
    return WaitFor([&] { return caption == want; });
  }
};

// The main thread's queue, drained by the test thread standing in for the event loop.

struct MainQueue {
  // patience: how long Take waits for a task.
  explicit MainQueue(std::chrono::milliseconds patience) : patience(patience) {}

  const std::chrono::milliseconds patience;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::function<void()>> tasks;

  TRegMonitorThread::Poster Poster() {
    return [this](std::function<void()> task) {
      {
        std::lock_guard lock(mutex);
        tasks.push_back(std::move(task));
      }
      cv.notify_all();
    };
  }
  // The oldest task, waiting up to `patience` for one; empty when none came.
  std::function<void()> Take() {
    std::unique_lock lock(mutex);
    if (!cv.wait_for(lock, patience, [&] { return !tasks.empty(); })) return {};
    auto task = std::move(tasks.front());
    tasks.pop_front();
    return task;
  }
};

}  // namespace quarlex::testing
