#pragma once
// The window thread's TaskQueue for the tools' background work: a queued call on a context
// object, so a task always runs on that object's (the window's) thread, in the order posted, and
// one still queued when the object goes is dropped by Qt.
#include <QMetaObject>
#include <QObject>
#include <functional>
#include <utility>

#include "tools/background.h"

namespace quarlex {

class WindowQueue : public TaskQueue {
 public:
  explicit WindowQueue(QObject& context) : context_(context) {}
  void Post(std::function<void()> task) override {
    QMetaObject::invokeMethod(&context_, std::move(task), Qt::QueuedConnection);
  }

 private:
  QObject& context_;
};

}  // namespace quarlex
