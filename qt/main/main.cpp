// Quarlex: a serial-port exchange monitor.
#include <QApplication>
#include <QFont>
#include <QStyleFactory>
#include <cstdio>

#include "qt/app_wiring.h"
#include "qt/close_on_signal.h"
#include "qt/command_line.h"

int main(int argc, char** argv) {
  // Read before the application object exists: --help, --version, --list-ports and bad
  // arguments must work without a display.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const quarlex::CommandLine command = quarlex::ReadCommandLine(arguments, quarlex::PortMapRoots::System());
  std::fputs(command.Out.c_str(), stdout);
  std::fputs(command.Err.c_str(), stderr);
  if (!command.Start) return command.ExitCode;

  QApplication app(argc, argv);
  QApplication::setApplicationName("Quarlex");
  QApplication::setApplicationDisplayName("Quarlex");
  // The window is designed around Segoe UI and Consolas; on Linux their metric-compatible
  // stand-ins keep the layout's text widths.
  QFont::insertSubstitutions("Segoe UI Semibold", {"Liberation Sans", "DejaVu Sans"});
  QFont::insertSubstitutions("Segoe UI", {"Liberation Sans", "DejaVu Sans"});
  QFont::insertSubstitutions("Consolas", {"Liberation Mono", "DejaVu Sans Mono"});
  if (QStyle* style = QStyleFactory::create("Fusion")) QApplication::setStyle(style);

  quarlex::Application application;
  quarlex::MainWindow& window = application.window();
  quarlex::ApplyStartOptions(window, application.parts(), command.Options);
  quarlex::CloseOnSignal::Install(window);
  window.show();
  return QApplication::exec();
}
