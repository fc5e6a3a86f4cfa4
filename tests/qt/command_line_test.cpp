// The command line: what it refuses (on stderr, exit code 2, before any window), what it prints
// and exits on, and a start whose options reach the window: port by link path, baud rate,
// Autosave, save folder, a loaded capture file and a connection made at start.
#include "qt/command_line.h"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "qt/app_wiring.h"
#include "qt/files_controller.h"
#include "qt/main_window.h"
#include "qt/port_controller.h"
#include "qt/send_controller.h"
#include "qt/support/wait.h"
#include "qt/support/wired_window.h"
#include "serial/device_pty.h"
#include "tests/app/support/store_fields.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;
using device::testing::PtyPair;

struct CommandLineTest : ::testing::Test {
  testing_support::WiredWindow scratch;
  PtyPair pty;

  CommandLineTest() { fs::create_symlink(pty.path(), scratch.LinkFolder() / "COM42"); }
  CommandLine Read(QStringList words) {
    words.prepend("quarlex");
    return ReadCommandLine(words, scratch.Roots());
  }
  std::string Path(const char* name) const { return (scratch.Root() / name).string(); }
};

TEST_F(CommandLineTest, BadArgumentsAreRefusedOnStandardErrorWithExitCodeTwo) {
  std::ofstream(Path("plain")) << "x";
  struct Case {
    QStringList words;
    const char* says;
  };
  const Case cases[] = {
      {{"--bogus"}, "Unknown option 'bogus'"},
      {{"--baud"}, "Missing value after '--baud'"},
      {{"--baud", "12000001"}, "--baud 12000001: expected a whole rate from 50 to 12000000"},
      {{"--port", "fast"}, "--port fast: expected a port number"},
      {{"--dtr", "1"}, "--dtr 1: expected on or off"},
      {{"--rts", "ON"}, "--rts ON: expected on or off"},
      {{"--port", "43"}, "no serial port COM43; the ports there are:\n  COM42  "},
      {{"--port", "/dev/null"}, "no serial port /dev/null;"},
      {{"--tap", "43"}, "--tap: no serial port COM43;"},
      {{"--port", "42", "--tap", "COM42"}, "--tap: the tap's second port must differ from --port"},
      {{"--save-folder", QString::fromStdString(Path("plain"))}, "plain: not a folder"},
      {{"--save-folder", ""}, "--save-folder: empty folder name"},
      {{QString::fromStdString(Path("missing.data"))}, "missing.data: no such file"},
      {{QString::fromStdString(Path("ports"))}, "ports: not a regular file"},
      {{QString::fromStdString(Path("plain")), QString::fromStdString(Path("plain"))},
       "one capture file at most"},
  };
  for (const Case& c : cases) {
    const CommandLine r = Read(c.words);
    const std::string words = c.words.join(' ').toStdString();
    EXPECT_FALSE(r.Start) << words;
    EXPECT_EQ(r.ExitCode, 2) << words;
    EXPECT_TRUE(r.Out.empty()) << words;
    EXPECT_EQ(r.Err.rfind("quarlex: ", 0), 0u) << r.Err;
    EXPECT_NE(r.Err.find(c.says), std::string::npos) << words << " said: " << r.Err;
  }
}

TEST_F(CommandLineTest, HelpVersionAndPortListPrintAndExit) {
  const CommandLine help = Read({"--help"});
  EXPECT_FALSE(help.Start);
  EXPECT_EQ(help.ExitCode, 0);
  EXPECT_EQ(help.Out.rfind("Usage: quarlex [options] [FILE.data]\n", 0), 0u) << help.Out;
  for (const char* option :
       {"--port <N|DEVICE>", "--tap <N|DEVICE>", "--baud <RATE>", "--connect", "--autosave",
        "--save-folder <DIR>", "--no-reconnect", "--list-ports", "--version"}) {
    EXPECT_NE(help.Out.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(help.Out.find("-platform"), std::string::npos) << "toolkit options stay out of the help";

  const CommandLine version = Read({"--version"});
  EXPECT_FALSE(version.Start);
  EXPECT_EQ(version.Out, "quarlex 1.724\n");

  const CommandLine list = Read({"--list-ports"});
  EXPECT_FALSE(list.Start);
  EXPECT_EQ(list.ExitCode, 0);
  EXPECT_EQ(list.Out,
            "COM42  " + (scratch.LinkFolder() / "COM42").string() + "  virtual port -> " + pty.path() + "\n");
}

TEST_F(CommandLineTest, StartOptionsReachTheWindowAndConnect) {
  std::ofstream(Path("earlier.data"), std::ios::binary) << std::string("\x01\x02\x03", 3);
  const fs::path folder = scratch.Root() / "captures" / "new";
  const CommandLine r = Read({"--port", QString::fromStdString((scratch.LinkFolder() / "COM42").string()),
                              "--baud", "1500000", "--dtr", "on", "--rts", "off", "--autosave",
                              "--save-folder", QString::fromStdString(folder.string()), "--connect",
                              QString::fromStdString(Path("earlier.data")), "-platform", "offscreen"});
  ASSERT_TRUE(r.Start) << r.Err;
  EXPECT_EQ(r.Options.Port, 42u);
  EXPECT_EQ(r.Options.SaveFolder, folder.string() + "/");
  EXPECT_TRUE(r.Options.Reconnect) << "on unless asked otherwise";

  // Another port with a lower number, so the first port is not the one asked for.
  PtyPair other;
  fs::create_symlink(other.path(), scratch.LinkFolder() / "COM3");
  const AppParts parts = scratch.Start();
  MainWindow& w = *scratch.Window();
  std::vector<std::string> errors;
  parts.port->ShowError = [&](const std::string& t) { errors.push_back(t); };
  ASSERT_EQ(w.statusBar().BtnCom->text(), "Port 3");
  ApplyStartOptions(w, parts, r.Options);
  EXPECT_EQ(w.statusBar().BtnCom->text(), "Port 42");
  EXPECT_EQ(w.statusBar().BtnSetBr->text(), "Baud rate 1500000");
  EXPECT_TRUE(parts.port->BaudItemOfRate(1500000)->isChecked());
  EXPECT_TRUE(parts.port->DtrItem()->isChecked());
  EXPECT_FALSE(parts.port->RtsItem()->isChecked());
  EXPECT_TRUE(w.saveMenu().save_Auto->isChecked());
  EXPECT_TRUE(parts.port->ReconnectItem()->isChecked());
  StartOptions noReconnect = Read({"--no-reconnect"}).Options;
  EXPECT_FALSE(noReconnect.Reconnect);
  ApplyStartOptions(w, parts, noReconnect);
  EXPECT_FALSE(parts.port->ReconnectItem()->isChecked());
  EXPECT_FALSE(parts.port->connection().ReconnectOn());
  Session& s = w.session();
  EXPECT_EQ(s.Store.WriteIndex(), 3u);
  EXPECT_EQ(s.Store.CaptureBuffer[2], 3);

  ASSERT_TRUE(testing_support::WaitUntil([&] { return s.PortConnected && parts.port->ComPort.Connected(); }))
      << (errors.empty() ? std::string("not connected") : errors.front());
  EXPECT_EQ(parts.port->ComPort.Port(), "COM42");
  pty.Send("live", 4);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return s.Store.WriteIndex() == 7u; })) << s.Store.WriteIndex();

  // Ctrl+S saves into the folder named on the command line (made by the save).
  w.saveMenu().save_Full->setChecked(true);
  QKeyEvent ctrlS(QEvent::KeyPress, Qt::Key_S, Qt::ControlModifier);
  QCoreApplication::sendEvent(w.sendBar().EditSend, &ctrlS);
  parts.files->Files().FinishTimes();  // the times file is written on the files' worker
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 2u) << "the capture and its times";
  EXPECT_EQ(files[0].filename().string().rfind("COM42_", 0), 0u) << files[0];
  EXPECT_EQ(files[0].extension(), ".data");
  std::ifstream in(files[0], std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()),
            std::string("\x01\x02\x03live", 7));
}

// --record checks Record: received and sent bytes reach the recording's file in capture order as
// they are captured, a full ring rolls over into a second file without a save, and the files
// together are the stream. Unchecked, nothing more is written.
TEST_F(CommandLineTest, RecordWritesEveryByteIntoAFilePerRing) {
  const fs::path folder = scratch.Root() / "rec";
  const CommandLine r =
      Read({"--port", QString::fromStdString((scratch.LinkFolder() / "COM42").string()), "--record",
            "--save-folder", QString::fromStdString(folder.string()), "--connect", "-platform", "offscreen"});
  ASSERT_TRUE(r.Start) << r.Err;
  EXPECT_TRUE(r.Options.Record);
  const AppParts parts = scratch.Start();
  MainWindow& w = *scratch.Window();
  EXPECT_FALSE(w.saveMenu().save_Record->isChecked()) << "off by default";
  ApplyStartOptions(w, parts, r.Options);
  EXPECT_TRUE(w.saveMenu().save_Record->isChecked());
  Session& s = w.session();
  ASSERT_TRUE(testing_support::WaitUntil([&] { return s.PortConnected && parts.port->ComPort.Connected(); }));

  pty.Send("live", 4);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return s.Store.WriteIndex() == 4u; }));
  w.sendBar().EditSend->setText("41 42");
  parts.send->composer().Send();
  ASSERT_EQ(s.Store.WriteIndex(), 6u);
  // The ring is made to end two bytes on: the next four arrive over a rollover.
  StoreFields(s.Store).WriteIndex = CaptureSize - 2;
  pty.Send("wxyz", 4);
  ASSERT_TRUE(testing_support::WaitUntil([&] {
    s.TimerMainTimer();
    return s.Store.WriteIndex() == 2u && !s.Store.CaptureFull();
  })) << s.Store.WriteIndex();
  w.saveMenu().save_Record->setChecked(false);  // writes what is queued
  pty.Send("late", 4);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return s.Store.WriteIndex() == 6u; }));

  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().extension() == ".data") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].filename().string().rfind("COM42_", 0), 0u) << files[0];
  EXPECT_EQ(files[0].extension(), ".data");
  auto read = [](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(read(files[0]), "liveABwx");
  EXPECT_EQ(read(files[1]), "yz");
  // Each with its times, in full form once its file was left: the sent bytes are said as sent.
  const std::string times = read(fs::path(files[0]).replace_extension(".idx"));
  EXPECT_EQ(times.rfind("quarlex-times 1\nbytes 8\n", 0), 0u) << times;
  EXPECT_NE(times.find("\nB 4 2 S "), std::string::npos) << times;
  EXPECT_TRUE(fs::exists(fs::path(files[1]).replace_extension(".idx")));
}

}  // namespace
}  // namespace quarlex
