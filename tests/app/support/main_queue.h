#pragma once
// The main thread's queue for the port watcher's hand-over, drained by the test thread standing
// in for the event loop.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "app/port_watcher.h"

namespace quarlex::testing {

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
