#pragma once
// A small owner for port tests: a queue of posted calls that the test thread runs, standing in
// for the window's event loop, and a record of what reached the general exception handler.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "serial/comport.h"

namespace quarlex::test {

class TestOwner : public TComOwner {
 public:
  void Post(std::function<void()> call) override {
    {
      std::lock_guard lock(m_);
      queue_.push_back(std::move(call));
      ++posted_;
    }
    cv_.notify_all();
  }
  void HandleException(std::exception_ptr error) override { errors.push_back(error); }

  // Wakes RunUntil so it re-checks its condition (for state changed by another thread).
  void Kick() { cv_.notify_all(); }

  // Runs posted calls on the calling thread until `done` holds; false after `timeout`.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (done()) return true;
      std::function<void()> call;
      {
        std::unique_lock lock(m_);
        if (queue_.empty()) {
          // Bounded slices: a condition changed by another thread without a post is noticed.
          if (cv_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                          std::chrono::milliseconds(20))) ==
                  std::cv_status::timeout &&
              std::chrono::steady_clock::now() >= deadline)
            return done();
          if (queue_.empty()) continue;
        }
        call = std::move(queue_.front());
        queue_.pop_front();
      }
      call();
    }
  }
  // Waits, without running anything, until `n` calls are queued; false after `timeout`.
  bool WaitPending(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return queue_.size() >= n; });
  }
  // Runs what is queued now (and what those calls post), without waiting.
  void Drain() {
    for (;;) {
      std::function<void()> call;
      {
        std::lock_guard lock(m_);
        if (queue_.empty()) return;
        call = std::move(queue_.front());
        queue_.pop_front();
      }
      call();
    }
  }
  size_t Pending() {
    std::lock_guard lock(m_);
    return queue_.size();
  }
  size_t Posted() {
    std::lock_guard lock(m_);
    return posted_;
  }

  // The message of the i-th reported failure, or "" when it is not an exception.
  std::string ErrorText(size_t i) const {
    try {
      std::rethrow_exception(errors.at(i));
    } catch (const std::exception& e) {
      return e.what();
    } catch (...) {
      return "";
    }
  }
  int ErrorCode(size_t i) const {
    try {
      std::rethrow_exception(errors.at(i));
    } catch (const EComPort& e) {
      return e.Code();
    } catch (...) {
      return 0;
    }
  }

  std::vector<std::exception_ptr> errors;

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  size_t posted_ = 0;
};

}  // namespace quarlex::test
