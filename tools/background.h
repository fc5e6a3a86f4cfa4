#pragma once
// Work that must not hold up the window's thread: a promo fetch, a text export, the formatting
// of a times file. One BackgroundWorker is one thread that runs its jobs one after another, in
// the order given; each job gets a stop flag it polls, may report progress on the way, and hands
// back an answer; reports and answers run on the owner's (window's) thread, in that order.
//
// Thread rules: Start, Stop, Deliver, Finish and the destructor are the owner thread's; the job
// runs on the worker thread and must not touch what the owner changes (it works on copies); the
// answer runs on the owner thread, so it may.
//
// Answers reach the owner through its TaskQueue: the worker posts one wake-up per finished job,
// which runs every answer finished by then. A wake-up that arrives after the worker was destroyed
// finds nothing and does nothing, so the owner's queue may run it whenever it gets to it.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace quarlex {

// The owner thread's queue. Post may be called from any thread and must never run `task`
// inline; tasks run in the order posted (the Qt shell: a queued QMetaObject::invokeMethod).
class TaskQueue {
 public:
  virtual ~TaskQueue() = default;
  virtual void Post(std::function<void()> task) = 0;
};

// Set by the owner, read by a job: when set, the job ends as soon as it can.
class StopFlag {
 public:
  void Request() { stop_.store(true, std::memory_order_relaxed); }
  bool Requested() const { return stop_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> stop_{false};
};

// What runs on the owner thread for a job: a report on the way, the answer at its end.
using Answer = std::function<void()>;

// What a running job sees of its worker.
class JobContext {
 public:
  virtual ~JobContext() = default;
  // Set when the owner asked the job to stop (Stop, or the worker's end).
  virtual const StopFlag& Stop() const = 0;
  bool StopRequested() const { return Stop().Requested(); }
  // Queues `report` to run on the owner thread before the job's answer and after its earlier
  // reports. A job reports sparingly (a percentage that changed, not every line).
  virtual void Report(Answer report) = 0;
};

class BackgroundWorker {
 public:
  // Runs on the worker thread; returns its answer (empty for none).
  using Job = std::function<Answer(JobContext& job)>;

  explicit BackgroundWorker(TaskQueue& owner);
  // Asks every job to stop, lets each that is still queued run (with its flag set: a job that
  // must finish, such as writing a file, finishes; one that may give up returns at once) and
  // waits for the thread. Answers not delivered by then are dropped.
  ~BackgroundWorker();
  BackgroundWorker(const BackgroundWorker&) = delete;
  BackgroundWorker& operator=(const BackgroundWorker&) = delete;

  // Queues `job`; its number, for Stop. The thread starts with the first job.
  uint64_t Start(Job job);
  // Sets the stop flag of job `id` (queued or running); its answer still comes.
  void Stop(uint64_t id);
  // Jobs queued or running, or finished with an answer not yet delivered.
  bool Busy() const;
  // Runs the answers of the jobs finished so far (what the posted wake-up does).
  void Deliver();
  // Waits until every job queued so far has run, then delivers their answers: for a caller that
  // needs the outcome now (closing the window, opening a file just saved).
  void Finish();

 private:
  struct Task {
    uint64_t id;
    Job job;
    std::shared_ptr<StopFlag> stop;
  };
  // Shared with the wake-ups posted to the owner, which may outlive the worker.
  struct Answers {
    std::mutex mu;
    std::deque<Answer> done;
  };

  class Context;
  void Run();
  // Queues `a` for the owner and posts a wake-up for it. Worker thread.
  void Hand(Answer a);

  TaskQueue& owner_;
  const std::shared_ptr<Answers> answers_ = std::make_shared<Answers>();
  mutable std::mutex mu_;
  std::condition_variable wake_;  // the worker: a job or the end
  std::condition_variable idle_;  // Finish: a job has run
  std::deque<Task> queue_;
  std::shared_ptr<StopFlag> running_;
  uint64_t runningId_ = 0;
  uint64_t nextId_ = 1;
  bool ending_ = false;
  std::thread thread_;
};

}  // namespace quarlex
