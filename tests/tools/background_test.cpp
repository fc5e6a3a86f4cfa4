#include "tools/background.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tools/support/posted_tasks.h"

namespace quarlex {
namespace {

using namespace std::chrono_literals;
using testing_support::PostedTasks;

// Waits (bounded) until `pred` holds, without running posted tasks.
template <class Pred>
bool Eventually(Pred pred) {
  for (int i = 0; i < 2000 && !pred(); ++i) std::this_thread::sleep_for(5ms);
  return pred();
}

TEST(BackgroundWorkerTest, JobsRunInOrderOffTheOwnerThreadAndAnswersOnlyWhereTheOwnerRunsThem) {
  PostedTasks owner;
  std::vector<std::string> seen;  // owner thread only
  std::atomic<int> ran{0};
  const std::thread::id me = std::this_thread::get_id();
  std::atomic<bool> onOwnerThread{false};
  {
    BackgroundWorker worker(owner);
    for (int i = 0; i < 3; ++i) {
      worker.Start([&, i](JobContext&) -> Answer {
        if (std::this_thread::get_id() == me) onOwnerThread = true;
        // Each job sees the one before it finished: they run one after another.
        EXPECT_EQ(ran.load(), i);
        ++ran;
        return [&seen, i] { seen.push_back("answer " + std::to_string(i)); };
      });
    }
    ASSERT_TRUE(Eventually([&] { return ran == 3; }));
    EXPECT_TRUE(seen.empty()) << "an answer ran outside the owner's queue";
    EXPECT_TRUE(worker.Busy()) << "answers wait for the owner";
    ASSERT_TRUE(owner.RunUntil([&] { return seen.size() == 3; }));
    EXPECT_FALSE(worker.Busy());
  }
  EXPECT_FALSE(onOwnerThread);
  EXPECT_EQ(seen, (std::vector<std::string>{"answer 0", "answer 1", "answer 2"}));
}

TEST(BackgroundWorkerTest, StopEndsTheRunningJobAndItsAnswerStillComes) {
  PostedTasks owner;
  BackgroundWorker worker(owner);
  std::atomic<bool> started{false};
  bool stoppedAnswer = false;
  const uint64_t id = worker.Start([&](JobContext& job) -> Answer {
    started = true;
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (!job.StopRequested() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    const bool stopped = job.StopRequested();
    return [&stoppedAnswer, stopped] { stoppedAnswer = stopped; };
  });
  // A second job waits behind it and is not stopped.
  bool secondStopped = true;
  worker.Start([&](JobContext& job) -> Answer {
    const bool s = job.StopRequested();
    return [&secondStopped, s] { secondStopped = s; };
  });
  ASSERT_TRUE(Eventually([&] { return started.load(); }));
  const auto asked = std::chrono::steady_clock::now();
  worker.Stop(id);
  worker.Finish();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
  EXPECT_TRUE(stoppedAnswer);
  EXPECT_FALSE(secondStopped);
  EXPECT_FALSE(worker.Busy());
}

TEST(BackgroundWorkerTest, DestructionLetsQueuedJobsEndStoppedAndLateWakeUpsDoNothing) {
  PostedTasks owner;
  std::atomic<int> stoppedRuns{0}, runs{0};
  bool answered = false;
  {
    BackgroundWorker worker(owner);
    for (int i = 0; i < 4; ++i) {
      worker.Start([&](JobContext& job) -> Answer {
        // The first one is running when the worker goes; it gives up only when told.
        while (runs == 0 && !job.StopRequested()) std::this_thread::sleep_for(1ms);
        ++runs;
        if (job.StopRequested()) ++stoppedRuns;
        return [&answered] { answered = true; };
      });
    }
  }
  // Every job ran (a job that must finish, a file write, is not dropped), each told to stop.
  EXPECT_EQ(runs, 4);
  EXPECT_EQ(stoppedRuns, 4);
  // The wake-ups the jobs posted arrive after the worker is gone: they find nothing to run.
  EXPECT_GT(owner.RunPosted(), 0);
  EXPECT_FALSE(answered);
}

TEST(BackgroundWorkerTest, FinishWaitsForEveryQueuedJobAndDeliversAtOnce) {
  PostedTasks owner;
  BackgroundWorker worker(owner);
  std::vector<int> order;
  for (int i = 0; i < 3; ++i) {
    worker.Start([&order, i](JobContext&) -> Answer {
      std::this_thread::sleep_for(20ms);
      return [&order, i] { order.push_back(i); };
    });
  }
  worker.Finish();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  // The posted wake-ups that follow deliver nothing twice.
  owner.RunPosted();
  EXPECT_EQ(order.size(), 3u);
  // An answer may start the next job.
  worker.Start([&](JobContext&) -> Answer {
    return
        [&] { worker.Start([&order](JobContext&) -> Answer { return [&order] { order.push_back(9); }; }); };
  });
  ASSERT_TRUE(owner.RunUntil([&] { return order.size() == 4; }));
  EXPECT_EQ(order.back(), 9);
}

TEST(BackgroundWorkerTest, ReportsRunOnTheOwnerThreadBeforeTheAnswerInOrder) {
  PostedTasks owner;
  BackgroundWorker worker(owner);
  std::vector<int> seen;  // owner thread only
  std::atomic<bool> reported{false};
  worker.Start([&](JobContext& job) -> Answer {
    for (int i = 1; i <= 3; ++i) job.Report([&seen, i] { seen.push_back(i); });
    reported = true;
    return [&seen] { seen.push_back(100); };
  });
  ASSERT_TRUE(Eventually([&] { return reported.load(); }));
  EXPECT_TRUE(seen.empty()) << "a report ran outside the owner's queue";
  ASSERT_TRUE(owner.RunUntil([&] { return seen.size() == 4; }));
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 100}));
}

TEST(BackgroundWorkerTest, AJobsExceptionIsRethrownWhereItsAnswerRuns) {
  PostedTasks owner;
  BackgroundWorker worker(owner);
  worker.Start([](JobContext&) -> Answer { throw std::runtime_error("disk on fire"); });
  EXPECT_THROW(worker.Finish(), std::runtime_error);
  bool later = false;
  worker.Start([&](JobContext&) -> Answer { return [&] { later = true; }; });
  worker.Finish();
  EXPECT_TRUE(later) << "the worker goes on after a failed job";
}

}  // namespace
}  // namespace quarlex
