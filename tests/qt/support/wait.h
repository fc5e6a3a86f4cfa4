#pragma once
// Waiting for the event loop inside a GoogleTest case. QtTest's QTRY_* macros report to a QtTest
// logger that does not run under GoogleTest and then return, so a case using them passes whatever
// happened; wait with this instead and assert on its result:
//   ASSERT_TRUE(WaitUntil([&] { return store.WriteIndex() == 18; })) << "what did not happen";
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

namespace quarlex::testing_support {

// Runs the event loop until pred() holds or timeout_ms pass; returns pred()'s last value.
template <class Pred>
bool WaitUntil(Pred pred, int timeout_ms = 5000) {
  QDeadlineTimer deadline(timeout_ms);
  while (!pred()) {
    if (deadline.hasExpired()) return pred();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

}  // namespace quarlex::testing_support
