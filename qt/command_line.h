#pragma once
// The command line, `quarlex [options] [FILE.data]`, read with the toolkit's parser before any
// window exists: --help, --version, --list-ports and a bad argument print and end the process
// without a display. What the rest asks for comes back as StartOptions and is applied to the
// wired window.
#include <QStringList>
#include <string>

#include "app/start_options.h"
#include "ports/port_map.h"

namespace quarlex {

class MainWindow;
struct AppParts;

struct CommandLine {
  bool Start = false;  // open the window with Options; otherwise print Out/Err and exit
  int ExitCode = 0;    // 0 after --help, --version and --list-ports; 2 for a bad argument
  std::string Out;     // for standard output
  std::string Err;     // for standard error
  StartOptions Options;
};

// `arguments` as the process got them, program name first. `roots` locate the serial ports
// that --port and --list-ports name (the system's in the program, scratch trees in tests).
CommandLine ReadCommandLine(const QStringList& arguments, const PortMapRoots& roots);

// Applies the options to a wired window, in the order the operator would: port, baud rate,
// Autosave, Reconnect, save folder, the file to load; the connection is made once the event loop runs,
// so its message (or error dialog) shows on the visible window.
void ApplyStartOptions(MainWindow& window, const AppParts& parts, const StartOptions& options);

}  // namespace quarlex
