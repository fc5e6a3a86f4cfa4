#include "qt/close_on_signal.h"

#include <QApplication>
#include <QWidget>

namespace quarlex {

CloseOnSignal* CloseOnSignal::Install(QWidget& window) {
  return new CloseOnSignal(window);
}

void CloseOnSignal::CloseWindows() {
  window_.close();
  // An open modal dialog (an error box, the file dialog) is a window too and runs an event loop
  // of its own: closed as well, so the last window is gone and the program ends.
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->isVisible()) w->close();
  }
}

}  // namespace quarlex
