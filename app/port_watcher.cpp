#include "app/port_watcher.h"

#include <condition_variable>
#include <mutex>

#include "serial/thread_name.h"

namespace quarlex {

struct TRegMonitorThread::Shared {
  std::mutex mutex;
  std::condition_variable cv;
  bool stopping = false;
};

TRegMonitorThread::TRegMonitorThread(PortWatchPaths paths, Callback onChange)
    : paths_(std::move(paths)), onChange_(std::move(onChange)), shared_(std::make_shared<Shared>()) {}

TRegMonitorThread::TRegMonitorThread(PortWatchPaths paths, Poster post, Callback onChange)
    : paths_(std::move(paths)),
      post_(std::move(post)),
      onChange_(std::move(onChange)),
      shared_(std::make_shared<Shared>()) {}

TRegMonitorThread::~TRegMonitorThread() {
  Stop();
}

bool TRegMonitorThread::Start(std::string* error) {
  if (thread_.joinable()) return true;
  std::string why;
  source_ = OpenPortWatchSource(paths_, why);
  if (!source_) {
    if (error != nullptr) *error = why;
    return false;
  }
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = false;
  }
  thread_ = std::thread([this] {
    NameThisThread(thread_role::kWatch);
    Execute();
  });
  return true;
}

void TRegMonitorThread::Stop() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
  }
  shared_->cv.notify_all();
  if (thread_.joinable()) {
    source_->RequestStop();
    thread_.join();
  }
  source_.reset();
}

void TRegMonitorThread::Execute() {
  using Clock = std::chrono::steady_clock;
  bool pending = false;
  Clock::time_point due;
  for (;;) {
    std::optional<std::chrono::milliseconds> timeout;
    if (pending) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
      timeout = left.count() > 0 ? left : std::chrono::milliseconds(0);
    }
    switch (source_->Wait(timeout)) {
      case PortWatchSource::Wake::Stop:
      case PortWatchSource::Wake::Broken:
        return;  // a broken wait ends the watching rather than spin; the list stays as last scanned
      case PortWatchSource::Wake::Change:
        if (!pending) {
          pending = true;
          due = Clock::now() + paths_.Debounce;
        }
        break;
      case PortWatchSource::Wake::Quiet:
        break;
    }
    if (pending && Clock::now() >= due) {
      pending = false;
      source_->Rewatch();
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
