// Other programs holding a line without an exclusive open (lock files, open descriptors; the
// pseudo-terminal's own far end does not count), and the lock file an open device holds.
#include "serial/device/port_lock_linux.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "serial/device/linux_device.h"
#include "tests/app/port_tree.h"
#include "tests/serial/device_pty.h"

namespace quarlex::device {
namespace {

namespace fs = std::filesystem;
using testing::EndedPid;
using testing::OtherProcess;
using testing::PtyPair;
using testing_ports::TempDir;
using testing_ports::WriteFile;

std::string Ascii(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}
std::string Binary(int32_t pid) {
  return std::string(reinterpret_cast<const char*>(&pid), 4);
}

TEST(PortLock, NamesTheRealDeviceAndReadsBothPidForms) {
  PtyPair pty;
  TempDir tmp;
  fs::create_symlink(pty.path(), tmp.path() / "COM5");  // a port link names the device behind it
  EXPECT_EQ(LockFileName((tmp.path() / "COM5").string()), "LCK..pts_" + pty.path().substr(9));
  EXPECT_EQ(LockFileName((tmp.path() / "COM6").string()), "");
  const std::pair<std::string, int> cases[] = {
      {"      4242\n", 4242}, {"  17 \n", 17}, {"4242", 4242} /* four digits are text */,
      {Binary(31337), 31337}, {Binary(-5), 0}, {"", 0},
      {"abc\n", 0},           {"12 34\n", 0},  {"99999999999\n", 0},
  };
  for (const auto& [text, pid] : cases) {
    WriteFile(tmp.path() / "LCK..x", text);
    EXPECT_EQ(ReadLockPid(tmp.path() / "LCK..x"), pid) << '"' << text << '"';
  }
}

TEST(PortLock, HoldersAreFoundByLockFileAndByOpenDescriptor) {
  PtyPair pty;
  TempDir tmp;
  const PortLockRoots roots{tmp.path() / "lock", tmp.path() / "proc"};
  const fs::path lock = roots.LockFolder / LockFileName(pty.path());
  OtherProcess minicom("", "minicom");
  WriteFile(roots.Proc / std::to_string(minicom.pid()) / "comm", "minicom\n");
  for (const std::string& text : {Ascii(minicom.pid()), Binary(minicom.pid())}) {
    WriteFile(lock, text);
    const auto holder = FindDeviceHolder(pty.path(), roots);
    ASSERT_TRUE(holder);
    EXPECT_EQ(holder->pid, minicom.pid());
    EXPECT_EQ(holder->program, "minicom");
  }
  for (pid_t stale : {EndedPid(), getpid()}) {
    WriteFile(lock, Ascii(stale));
    EXPECT_FALSE(FindDeviceHolder(pty.path(), roots)) << stale;
  }

  // An open descriptor counts, unless the same process holds the master side of the same
  // pseudo-terminal: that is the line's far end (socat, a device simulator).
  const fs::path other = roots.Proc / "4242";
  WriteFile(other / "comm", "cat\n");
  fs::create_directories(other / "fd");
  fs::create_symlink("/dev/null", other / "fd/0");
  fs::create_symlink("socket:[1234]", other / "fd/1");
  EXPECT_FALSE(FindDeviceHolder(pty.path(), roots));
  fs::create_symlink(pty.path(), other / "fd/3");
  const auto holder = FindDeviceHolder(pty.path(), roots);
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->program + " " + std::to_string(holder->pid), "cat 4242");
  const int index = std::stoi(pty.path().substr(9));
  fs::create_symlink("/dev/ptmx", other / "fd/4");
  WriteFile(other / "fdinfo/4", "pos:\t0\nflags:\t02\ntty-index:\t" + std::to_string(index) + "\n");
  EXPECT_FALSE(FindDeviceHolder(pty.path(), roots)) << "the far end of the line";
  WriteFile(other / "fdinfo/4", "tty-index:\t" + std::to_string(index + 1) + "\n");
  EXPECT_TRUE(FindDeviceHolder(pty.path(), roots)) << "the master of another pseudo-terminal";
}

TEST(PortLock, AnOpenDeviceHoldsItsLockFileUntilClosed) {
  PtyPair pty;
  TempDir tmp;
  const PortLockRoots saved = CurrentPortLockRoots();
  SetPortLockRoots({tmp.path(), "/proc"});
  const fs::path lock = tmp.path() / LockFileName(pty.path());
  std::unique_ptr<Device> dev, second;
  ASSERT_TRUE(OpenLinuxDevice(pty.path(), dev).ok());
  std::ifstream in(lock);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), Ascii(getpid()));
  EXPECT_EQ(fs::status(lock).permissions(), fs::perms(0644));
  EXPECT_EQ(OpenLinuxDevice(pty.path(), second).kind, ErrorKind::kBusy);
  EXPECT_EQ(ReadLockPid(lock), getpid()) << "the refused second open leaves the first its lock";
  dev.reset();
  EXPECT_FALSE(fs::exists(lock));

  // A lock of a process that has ended is replaced; one of a live process keeps the line shut.
  WriteFile(lock, Ascii(EndedPid()));
  ASSERT_TRUE(OpenLinuxDevice(pty.path(), dev).ok());
  EXPECT_EQ(ReadLockPid(lock), getpid());
  dev.reset();
  OtherProcess tool("", "uucp-tool");
  WriteFile(lock, Ascii(tool.pid()));
  EXPECT_EQ(OpenLinuxDevice(pty.path(), dev).kind, ErrorKind::kBusy);
  EXPECT_EQ(ReadLockPid(lock), tool.pid());
  DeviceHolder holder;
  EXPECT_EQ(ProbeLinuxDevice(pty.path(), &holder).kind, ErrorKind::kBusy);
  EXPECT_EQ(holder.program, "uucp-tool");

  // A lock folder the user may not write (here: none at all) is no reason to refuse the line.
  SetPortLockRoots({tmp.path() / "missing", "/proc"});
  EXPECT_TRUE(OpenLinuxDevice(pty.path(), dev).ok());
  dev.reset();
  SetPortLockRoots(saved);
}

}  // namespace
}  // namespace quarlex::device
