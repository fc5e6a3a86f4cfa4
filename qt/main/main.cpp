// Quarlex: a serial-port exchange monitor.
#include <QApplication>
#include <QFont>
#include <QStyleFactory>

#include "qt/app_wiring.h"
#include "qt/main_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Quarlex");
  QApplication::setApplicationDisplayName("Quarlex");
  // The window is designed around Segoe UI and Consolas; on Linux their metric-compatible
  // stand-ins keep the layout's text widths.
  QFont::insertSubstitutions("Segoe UI Semibold", {"Liberation Sans", "DejaVu Sans"});
  QFont::insertSubstitutions("Segoe UI", {"Liberation Sans", "DejaVu Sans"});
  QFont::insertSubstitutions("Consolas", {"Liberation Mono", "DejaVu Sans Mono"});
  if (QStyle* style = QStyleFactory::create("Fusion")) QApplication::setStyle(style);

  quarlex::MainWindow window;
  quarlex::WireApplication(window);
  window.show();
  return QApplication::exec();
}
