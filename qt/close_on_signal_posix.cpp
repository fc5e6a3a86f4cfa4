// POSIX signals: the handler writes one byte into a pipe that the event loop watches.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QWidget>
#include <cerrno>

#include "qt/close_on_signal.h"

namespace quarlex {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_seen = 0;
struct sigaction g_previous[kSignalCount];
bool g_installed[kSignalCount] = {};

// Async-signal-safe calls only.
void OnSignal(int sig) {
  if (g_seen) {
    // The first one has not ended the program: this one does, as if nobody had handled it.
    // All three are blocked while a handler runs, so the raised signal arrives on return.
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  g_seen = 1;
  const int saved = errno;
  const char byte = static_cast<char>(sig);
  [[maybe_unused]] const ssize_t n = write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

CloseOnSignal::CloseOnSignal(QWidget& window) : QObject(&window), window_(window) {
  // Without the pipe the signals keep their default action: the program still ends.
  if (g_pipe[0] >= 0 || pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  g_seen = 0;
  notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { SignalArrived(); });

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) sigaddset(&action.sa_mask, s);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < kSignalCount; ++i) {
    // A signal ignored when the program started stays ignored: started with nohup, the
    // program is meant to outlive the terminal; started in the background by a shell, Ctrl+C
    // in that terminal is not meant for it.
    if (sigaction(kSignals[i], nullptr, &g_previous[i]) != 0 || g_previous[i].sa_handler == SIG_IGN) continue;
    g_installed[i] = sigaction(kSignals[i], &action, nullptr) == 0;
  }
}

CloseOnSignal::~CloseOnSignal() {
  if (!notifier_) return;
  for (int i = 0; i < kSignalCount; ++i) {
    if (g_installed[i]) sigaction(kSignals[i], &g_previous[i], nullptr);
    g_installed[i] = false;
  }
  delete notifier_;
  close(g_pipe[0]);
  close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
  g_seen = 0;
}

void CloseOnSignal::SignalArrived() {
  char bytes[16];
  while (read(g_pipe[0], bytes, sizeof bytes) > 0) {
  }
  notifier_->setEnabled(false);
  CloseWindows();
}

}  // namespace quarlex
