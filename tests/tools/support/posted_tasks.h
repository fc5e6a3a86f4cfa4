#pragma once
// The owner thread's queue as the tests hold it: tasks posted from any thread wait here until
// the test runs them on its own thread, as the window's event loop would.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "tools/background.h"

namespace quarlex::testing_support {

class PostedTasks : public TaskQueue {
 public:
  void Post(std::function<void()> task) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      tasks_.push_back(std::move(task));
    }
    posted_.notify_all();
  }
  // Runs the tasks posted so far, in order; how many ran.
  int RunPosted() {
    std::deque<std::function<void()>> now;
    {
      std::lock_guard<std::mutex> lock(mu_);
      now.swap(tasks_);
    }
    for (auto& t : now) t();
    return static_cast<int>(now.size());
  }
  // Runs posted tasks until `done()` holds or `ms` pass; done()'s last value.
  template <class Pred>
  bool RunUntil(Pred done, int ms = 10000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      if (RunPosted() == 0) {
        std::unique_lock<std::mutex> lock(mu_);
        if (!posted_.wait_until(lock, until, [this] { return !tasks_.empty(); })) return done();
      }
    }
    return true;
  }
  size_t Waiting() {
    std::lock_guard<std::mutex> lock(mu_);
    return tasks_.size();
  }

 private:
  std::mutex mu_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace quarlex::testing_support
