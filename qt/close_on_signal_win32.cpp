// Windows: the console's control events. The handler runs on a thread of its own that the
// system starts; it queues the close on the main thread. For a closing console, logoff and
// shutdown the system ends the process as soon as the handler returns, so the handler waits
// until the windows were closed (the system allows it a few seconds). A program started without
// a console gets none of these events; its session's end reaches the toolkit as window messages.
#include <windows.h>

#include <QMetaObject>
#include <QWidget>
#include <atomic>
#include <functional>

#include "qt/close_on_signal.h"

namespace quarlex {

namespace {

CloseOnSignal* g_watcher = nullptr;
std::function<void()> g_arrived;  // runs SignalArrived on the main thread
std::atomic<bool> g_seen{false};
HANDLE g_closed = nullptr;  // set once the windows were closed

BOOL WINAPI OnConsoleEvent(DWORD type) {
  // The second event before the process has ended gets the default action: the process ends.
  if (g_seen.exchange(true) || !g_watcher) return FALSE;
  QMetaObject::invokeMethod(g_watcher, g_arrived, Qt::QueuedConnection);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
    WaitForSingleObject(g_closed, INFINITE);
  return TRUE;
}

}  // namespace

CloseOnSignal::CloseOnSignal(QWidget& window) : QObject(&window), window_(window) {
  if (g_watcher) return;
  g_closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_closed) return;
  g_watcher = this;
  g_arrived = [this] { SignalArrived(); };
  g_seen = false;
  if (!SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
    g_watcher = nullptr;
    CloseHandle(g_closed);
    g_closed = nullptr;
  }
}

CloseOnSignal::~CloseOnSignal() {
  if (g_watcher != this) return;
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_watcher = nullptr;
  SetEvent(g_closed);  // a handler still waiting may return: the window is gone
  g_arrived = nullptr;
}

void CloseOnSignal::SignalArrived() {
  CloseWindows();
  SetEvent(g_closed);
}

}  // namespace quarlex
