#pragma once
// SIGTERM (shutdown, kill), SIGINT (Ctrl+C in the terminal that started the program) and SIGHUP
// (logout, a closed terminal) close the window the normal way: the close autosave runs, the port
// is closed and its lock removed. The handler only writes one byte into a pipe; the window is
// closed later, from the event loop, which watches the pipe. A second of these signals before
// the process has ended ends it at once with the signal's default action, so a close that hangs
// (a save to a stalled disk, an error box nobody answers) can still be ended.
// On Windows the same holds for the console's Ctrl+C, Ctrl+Break, its closing, logoff and
// shutdown (SetConsoleCtrlHandler), when the program has a console.
// Main thread only. One watcher at a time; it restores the previous handlers when it goes.
// One implementation file per platform (close_on_signal_<platform>.cpp).
#include <QObject>

class QSocketNotifier;
class QWidget;

namespace quarlex {

class CloseOnSignal : public QObject {
  Q_OBJECT
 public:
  // Installs the handlers; the watcher is a child of `window` and lives as long as it does.
  static CloseOnSignal* Install(QWidget& window);
  ~CloseOnSignal() override;

 private:
  explicit CloseOnSignal(QWidget& window);
  void SignalArrived();
  // Closes the window and every other visible top-level window.
  void CloseWindows();

  QWidget& window_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace quarlex
