#include "qt/command_line.h"

#include <QCommandLineParser>
#include <QFile>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "qt/app_wiring.h"
#include "qt/files_controller.h"
#include "qt/main_window.h"
#include "qt/port_controller.h"
#include "qt/tap_controller.h"
#include "tools/capture_file_system.h"

#ifndef QUARLEX_VERSION
#error "QUARLEX_VERSION comes from the project's version in CMake"
#endif

namespace quarlex {

namespace fs = std::filesystem;

namespace {

CommandLine Fail(const std::string& message) {
  CommandLine c;
  c.ExitCode = 2;
  c.Err = "quarlex: " + message + "\nTry 'quarlex --help' for more information.\n";
  return c;
}

CommandLine Print(const std::string& text) {
  CommandLine c;
  c.Out = text;
  return c;
}

// An existing regular file this user may read, as the open dialog would offer it.
bool CheckCaptureFile(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    error = path + ": " + (fs::exists(path, ec) ? "not a regular file" : "no such file");
    return false;
  }
  if (!std::ifstream(path, std::ios::binary).is_open()) {
    error = path + ": not readable";
    return false;
  }
  return true;
}

// A folder that exists and takes files, or one the first save can create.
bool CheckSaveFolder(const std::string& path, std::string& error) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return true;
  if (!fs::is_directory(path, ec)) {
    error = "--save-folder " + path + ": not a folder";
    return false;
  }
  if (!capture_fs::CanWriteIn(path + "/")) {
    error = "--save-folder " + path + ": not writable";
    return false;
  }
  return true;
}

}  // namespace

CommandLine ReadCommandLine(const QStringList& arguments, const PortMapRoots& roots) {
  QCommandLineParser parser;
  // Qt's own options (-platform, -display) are single-dash words; read them so, not as letters.
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  parser.setApplicationDescription(
      "Quarlex: a serial-port exchange monitor. Connect to a serial port and watch every byte in a\n"
      "HEX/DEC/CHAR grid; send bytes; mark and search bytes; save the capture as .data files.");
  const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
  const QCommandLineOption version({"v", "version"}, "Show the program's version and exit.");
  const QCommandLineOption port(
      "port",
      "The port to show on the port button: its number N (or COM<N>) or its device path (/dev/ttyUSB0, "
      "/dev/serial/by-id/...).",
      "N|DEVICE");
  const QCommandLineOption baud("baud", "The baud rate: any whole rate from 50 to 12000000 bits per second.",
                                "RATE");
  const QCommandLineOption dtr("dtr", "DTR on or off from the first connect on (default off).", "on|off");
  const QCommandLineOption rts(
      "rts", "RTS on or off from the first connect on (default off; not with hardware flow control).",
      "on|off");
  const QCommandLineOption tap(
      "tap",
      "Tap a link: a second port, listening beside --port (or the first port), its bytes shown as the other "
      "direction. Its number N (or COM<N>) or its device path.",
      "N|DEVICE");
  const QCommandLineOption connect("connect", "Connect to the port at start.");
  const QCommandLineOption autosave("autosave",
                                    "Save automatically whenever the 32 MiB capture fills, and at exit.");
  const QCommandLineOption record(
      "record",
      "Record: write every byte received and sent to the save folder as it arrives, a file per 32 MiB.");
  const QCommandLineOption saveFolder(
      "save-folder", "Where capture files go (default: the program's folder when writable, else ~/Quarlex).",
      "DIR");
  const QCommandLineOption noReconnect(
      "no-reconnect",
      "Do not reopen a device that vanished while connected once it is back (Reconnect off).");
  const QCommandLineOption listPorts("list-ports", "List the serial ports (COM<n>  device  names) and exit.");
  QList<QCommandLineOption> options{help,    version,  port,   tap,        baud,        dtr,      rts,
                                    connect, autosave, record, saveFolder, noReconnect, listPorts};
  for (const char* qtOption : {"platform", "display", "style"}) {
    QCommandLineOption o(qtOption, "", "value");
    o.setFlags(QCommandLineOption::HiddenFromHelp);
    options << o;
  }
  parser.addOptions(options);
  parser.addPositionalArgument("FILE.data", "A capture file to load, as Ctrl+O would.", "[FILE.data]");

  if (!parser.parse(arguments)) return Fail(parser.errorText().toStdString());
  if (parser.isSet(help)) {
    // The parser names the program by the path it was started with (or a placeholder before
    // the application object exists); the usage line names the command a user types.
    QString text = parser.helpText();
    text.replace(0, text.indexOf(" [options]"), "Usage: quarlex");
    return Print(text.toStdString());
  }
  if (parser.isSet(version)) return Print(std::string("quarlex ") + QUARLEX_VERSION + "\n");

  const QStringList files = parser.positionalArguments();
  if (files.size() > 1) return Fail("one capture file at most, got " + std::to_string(files.size()));

  CommandLine c;
  StartOptions& o = c.Options;
  std::string error;
  // The port map is read only when an option needs it: reading it numbers new devices.
  std::optional<PortMap> map;
  const auto readMap = [&]() -> bool {
    map.emplace(roots);
    return map->Refresh();
  };
  if (parser.isSet(listPorts)) {
    if (!readMap()) {
      c.ExitCode = 1;
      c.Err = "quarlex: cannot read the serial ports from " + (roots.Sysfs / "class" / "tty").string() + "\n";
      return c;
    }
    return Print(ListPortsText(*map));
  }
  if (parser.isSet(port)) {
    PortArgument arg;
    if (!ParsePortArgument(parser.value(port).toStdString(), arg, error)) return Fail(error);
    if (!readMap()) return Fail("cannot read the serial ports");
    o.Port = ResolvePort(*map, arg, error);
    if (o.Port == 0) return Fail(error);
  }
  if (parser.isSet(tap)) {
    PortArgument arg;
    if (!ParsePortArgument(parser.value(tap).toStdString(), arg, error)) return Fail("--tap: " + error);
    if (!map && !readMap()) return Fail("cannot read the serial ports");
    o.TapPort = ResolvePort(*map, arg, error);
    if (o.TapPort == 0) return Fail("--tap: " + error);
    if (o.TapPort == o.Port) return Fail("--tap: the tap's second port must differ from --port");
  }
  if (parser.isSet(baud)) {
    uint32_t rate = 115200;
    if (!ParseBaudArgument(parser.value(baud).toStdString(), rate, error)) return Fail(error);
    o.Baud = rate;
  }
  for (const auto& [option, name, wish] :
       {std::tuple{&dtr, "dtr", &o.Dtr}, std::tuple{&rts, "rts", &o.Rts}}) {
    if (!parser.isSet(*option)) continue;
    bool on = false;
    if (!ParseOnOffArgument(name, parser.value(*option).toStdString(), on, error)) return Fail(error);
    *wish = on;
  }
  if (parser.isSet(saveFolder)) {
    const std::string dir = parser.value(saveFolder).toStdString();
    if (dir.empty()) return Fail("--save-folder: empty folder name");
    if (!CheckSaveFolder(dir, error)) return Fail(error);
    std::error_code ec;
    o.SaveFolder = fs::absolute(dir, ec).lexically_normal().string();
    if (o.SaveFolder.back() != '/') o.SaveFolder += '/';
  }
  if (!files.isEmpty()) {
    o.File = QFile::encodeName(files.front()).toStdString();
    if (!CheckCaptureFile(o.File, error)) return Fail(error);
  }
  o.Connect = parser.isSet(connect);
  o.Autosave = parser.isSet(autosave);
  o.Record = parser.isSet(record);
  o.Reconnect = !parser.isSet(noReconnect);
  c.Start = true;
  return c;
}

void ApplyStartOptions(MainWindow& window, const AppParts& parts, const StartOptions& options) {
  if (options.Port != 0) parts.port->SelectPort(options.Port);
  if (options.TapPort != 0) parts.tap->Choose(options.TapPort);
  if (options.Baud) parts.port->connection().ChooseRate(*options.Baud);
  if (options.Dtr) parts.port->connection().SetDtr(*options.Dtr);
  if (options.Rts) parts.port->connection().SetRts(*options.Rts);
  if (options.Autosave) window.saveMenu().save_Auto->setChecked(true);
  if (!options.Reconnect) parts.port->ReconnectItem()->setChecked(false);
  if (!options.SaveFolder.empty()) {
    window.session().ExeFolder = options.SaveFolder;
    window.session().ExeFolderIsFallback = false;  // the operator's own choice
  }
  // Before anything is recorded or loaded: a recording left unfinished there is made whole.
  parts.files->CompleteUnfinishedRecordings();
  if (options.Record) window.saveMenu().save_Record->setChecked(true);
  if (!options.File.empty()) parts.files->Files().LoadFile(options.File);
  if (options.Connect) {
    QTimer::singleShot(0, parts.port, [port = parts.port] { port->BtnConnectClick(); });
  }
}

}  // namespace quarlex
