#include "tools/background.h"

#include <exception>
#include <utility>

#include "serial/thread_name.h"

namespace quarlex {

class BackgroundWorker::Context : public JobContext {
 public:
  Context(BackgroundWorker& worker, const StopFlag& stop) : worker_(worker), stop_(stop) {}
  const StopFlag& Stop() const override { return stop_; }
  void Report(Answer report) override { worker_.Hand(std::move(report)); }

 private:
  BackgroundWorker& worker_;
  const StopFlag& stop_;
};

BackgroundWorker::BackgroundWorker(TaskQueue& owner) : owner_(owner) {}

BackgroundWorker::~BackgroundWorker() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ending_ = true;
    for (Task& t : queue_) t.stop->Request();
    if (running_) running_->Request();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

uint64_t BackgroundWorker::Start(Job job) {
  std::lock_guard<std::mutex> lock(mu_);
  const uint64_t id = nextId_++;
  queue_.push_back({id, std::move(job), std::make_shared<StopFlag>()});
  if (!thread_.joinable())
    thread_ = std::thread([this] {
      NameThisThread(thread_role::kWorker);
      Run();
    });
  wake_.notify_one();
  return id;
}

void BackgroundWorker::Stop(uint64_t id) {
  std::lock_guard<std::mutex> lock(mu_);
  if (running_ && runningId_ == id) running_->Request();
  for (Task& t : queue_)
    if (t.id == id) t.stop->Request();
}

bool BackgroundWorker::Busy() const {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!queue_.empty() || running_) return true;
  }
  std::lock_guard<std::mutex> lock(answers_->mu);
  return !answers_->done.empty();
}

void BackgroundWorker::Deliver() {
  // One at a time, the lock released while it runs: an answer may start the next job.
  for (;;) {
    Answer a;
    {
      std::lock_guard<std::mutex> lock(answers_->mu);
      if (answers_->done.empty()) return;
      a = std::move(answers_->done.front());
      answers_->done.pop_front();
    }
    if (a) a();
  }
}

void BackgroundWorker::Finish() {
  {
    std::unique_lock<std::mutex> lock(mu_);
    idle_.wait(lock, [this] { return queue_.empty() && !running_; });
  }
  Deliver();
}

void BackgroundWorker::Hand(Answer a) {
  {
    std::lock_guard<std::mutex> lock(answers_->mu);
    answers_->done.push_back(std::move(a));
  }
  // The wake-up holds the answers weakly: it may run after the worker is gone, and then finds
  // nothing. The worker is destroyed on the owner thread, where the wake-up runs too.
  owner_.Post([answers = std::weak_ptr<Answers>(answers_), this] {
    if (answers.lock()) Deliver();
  });
}

void BackgroundWorker::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    wake_.wait(lock, [this] { return ending_ || !queue_.empty(); });
    if (queue_.empty()) return;  // ending, and nothing left to run
    Task task = std::move(queue_.front());
    queue_.pop_front();
    running_ = task.stop;
    runningId_ = task.id;
    lock.unlock();
    Answer answer;
    try {
      Context context(*this, *task.stop);
      answer = task.job(context);
    } catch (...) {
      // Shown where every other failure is: on the owner thread, as the job's answer.
      answer = [error = std::current_exception()] { std::rethrow_exception(error); };
    }
    Hand(std::move(answer));
    task.job = nullptr;  // what the job held goes here, off the owner thread
    lock.lock();
    running_.reset();
    runningId_ = 0;
    idle_.notify_all();
  }
}

}  // namespace quarlex
