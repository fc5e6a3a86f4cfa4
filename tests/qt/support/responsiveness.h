#pragma once
// Whether the window's thread answers while a slow action runs: tasks are posted to it, as a
// click or a receive event would be, and the time each waits before it runs is taken.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace quarlex::testing_support {

// Posts a task to `context`'s thread, then runs `start` (so the first task is already queued, as
// a click finds the queue), then goes on posting one every 10 ms while `running()` holds (at most
// `limitMs`). Returns the longest wait in milliseconds, once every posted task has run.
template <class Start, class Running>
double LongestWaitOfPostedTask(QObject& context, Start start, Running running, int limitMs = 60000) {
  using Clock = std::chrono::steady_clock;
  auto waits = std::make_shared<std::vector<double>>();
  int posted = 0;
  auto post = [&] {
    const auto at = Clock::now();
    ++posted;
    QMetaObject::invokeMethod(
        &context,
        [waits, at] {
          waits->push_back(std::chrono::duration<double, std::milli>(Clock::now() - at).count());
        },
        Qt::QueuedConnection);
  };
  post();
  start();
  QDeadlineTimer deadline(limitMs);
  auto last = Clock::now();
  while (running() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (Clock::now() - last >= std::chrono::milliseconds(10)) {
      last = Clock::now();
      post();
    }
  }
  QDeadlineTimer drain(10000);
  while (static_cast<int>(waits->size()) < posted && !drain.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  return waits->empty() ? 1e9 : *std::max_element(waits->begin(), waits->end());
}

}  // namespace quarlex::testing_support
