#include "app/port_watcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "app/port_scan.h"
#include "ports/port_map.h"
#include "ports/udev_linux.h"
#include "tests/app/port_tree.h"
#include "tests/app/support/watcher_host.h"

namespace quarlex {
namespace {

using namespace testing_ports;
using namespace std::chrono_literals;

// Generous: the watcher answers within about 200 ms; a loaded machine may need longer.
constexpr auto Patience = 10s;

TEST(PortWatcherFilters, DeviceNames) {
  for (const char* name : {"ttyUSB0", "ttyACM12", "ttyS3", "ttyAMA0", "rfcomm0", "serial"}) {
    EXPECT_TRUE(IsSerialDeviceName(name)) << name;
  }
  for (const char* name : {"sda1", "loop7", "input", "hidraw0", "serial0x", ""}) {
    EXPECT_FALSE(IsSerialDeviceName(name)) << name;
  }
}

struct PortWatcherTest : ::testing::Test {
  TempDir tmp;
  SysfsTree sys{tmp.path() / "sys"};
  PortWatchPaths paths;
  PortMapRoots roots;

  PortWatcherTest() {
    fs::create_directories(tmp.path() / "dev");
    paths.Dev = tmp.path() / "dev";
    paths.ById = tmp.path() / "dev" / "serial" / "by-id";
    paths.LinkFolder = tmp.path() / "run" / "quarlex" / "ports";  // not there yet
    paths.DeviceEvents = false;  // the host's own devices must not wake these tests
    roots.Sysfs = sys.root();
    roots.LinkFolder = paths.LinkFolder;
    roots.StateFile = tmp.path() / "portmap";
  }
};

TEST_F(PortWatcherTest, LinkAppearingAndVanishingReachesTheCaption) {
  Pty pty;
  testing::Window w(roots, Patience);
  TRegMonitorThread watcher(paths, [&] { w.OnChange(); });
  std::string error;
  ASSERT_TRUE(watcher.Start(&error)) << error;

  // The folder socat links into now exists, private to this user.
  struct stat st {};
  ASSERT_EQ(stat(paths.LinkFolder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  fs::create_symlink(pty.slave(), paths.LinkFolder / "COM42");
  EXPECT_TRUE(w.WaitFor([&] { return w.caption == "Port 42"; })) << w.caption;

  fs::remove(paths.LinkFolder / "COM42");
  EXPECT_TRUE(w.WaitFor([&] { return w.caption == "Port 0"; })) << w.caption;
  watcher.Stop();
}

// socat killed with SIGKILL: its terminal goes, its link stays. The port must still vanish.
TEST_F(PortWatcherTest, PortVanishesWhenItsTerminalGoesButTheLinkStays) {
  testing::Window w(roots, Patience);
  TRegMonitorThread watcher(paths, [&] { w.OnChange(); });  // watches the real /dev/pts
  ASSERT_TRUE(watcher.Start());
  auto pty = std::make_unique<Pty>();
  fs::create_symlink(pty->slave(), paths.LinkFolder / "COM9");
  ASSERT_TRUE(w.WaitFor([&] { return w.caption == "Port 9"; })) << w.caption;
  pty.reset();
  EXPECT_TRUE(w.WaitFor([&] { return w.caption == "Port 0"; })) << w.caption;
  EXPECT_TRUE(fs::is_symlink(paths.LinkFolder / "COM9"));
}

TEST_F(PortWatcherTest, DeviceNodesAndLateByIdFolderAreWatched) {
  testing::Window w(roots, Patience);
  TRegMonitorThread watcher(paths, [&] { w.OnChange(); });
  ASSERT_TRUE(watcher.Start());

  // A USB adapter is plugged in: sysfs entry first, then the node under /dev.
  sys.AddUsbSerial("ttyUSB0", "1-2", UsbDevice{});
  WriteFile(paths.Dev / "ttyUSB0", "");
  EXPECT_TRUE(w.WaitFor([&] { return w.caption == "Port 1"; })) << w.caption;

  // udev makes /dev/serial/by-id only with the first such device; once it exists it is watched.
  int before = 0;
  {
    std::lock_guard lock(w.mutex);
    before = w.scans;
  }
  fs::create_directories(paths.ById);
  ASSERT_TRUE(w.WaitFor([&] { return w.scans > before; }));
  {
    std::lock_guard lock(w.mutex);
    before = w.scans;
  }
  fs::create_symlink("../../ttyUSB0", paths.ById / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  EXPECT_TRUE(w.WaitFor([&] { return w.scans > before; }));
}

TEST_F(PortWatcherTest, RecreatesADeletedLinkFolderAndKeepsWatching) {
  Pty pty;
  testing::Window w(roots, Patience);
  TRegMonitorThread watcher(paths, [&] { w.OnChange(); });
  ASSERT_TRUE(watcher.Start());
  fs::remove(paths.LinkFolder);
  // Deleting the folder is itself a change; the watcher puts the folder back.
  ASSERT_TRUE(w.WaitFor([&] { return w.scans >= 1; }));
  ASSERT_TRUE(fs::is_directory(paths.LinkFolder));
  fs::create_symlink(pty.slave(), paths.LinkFolder / "COM3");
  EXPECT_TRUE(w.WaitFor([&] { return w.caption == "Port 3"; })) << w.caption;
}

TEST_F(PortWatcherTest, FailingCallbackDoesNotEndTheWatching) {
  std::mutex m;
  std::condition_variable cv;
  int calls = 0;
  TRegMonitorThread watcher(paths, [&] {
    {
      std::lock_guard lock(m);
      ++calls;
    }
    cv.notify_all();
    throw std::runtime_error("scan failed");
  });
  ASSERT_TRUE(watcher.Start());
  fs::create_directories(paths.LinkFolder / "COM1");
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, Patience, [&] { return calls == 1; }));
  }
  fs::remove(paths.LinkFolder / "COM1");
  std::unique_lock lock(m);
  EXPECT_TRUE(cv.wait_for(lock, Patience, [&] { return calls == 2; }));
}

TEST_F(PortWatcherTest, StopsCleanly) {
  {
    TRegMonitorThread never(paths, [] {});  // never started: destruction must not hang
  }
  TRegMonitorThread watcher(paths, [] {});
  ASSERT_TRUE(watcher.Start());
  watcher.Stop();
  watcher.Stop();  // again: nothing left to do
  // A stopped watcher can be started again.
  ASSERT_TRUE(watcher.Start());
}

TEST_F(PortWatcherTest, HandOverRunsTheScanOnTheMainThread) {
  Pty pty;
  testing::MainQueue main(Patience);
  std::thread::id ranOn;
  int scans = 0;
  TRegMonitorThread watcher(paths, main.Poster(), [&] {
    ranOn = std::this_thread::get_id();
    ++scans;
  });
  ASSERT_TRUE(watcher.Start());
  fs::create_symlink(pty.slave(), paths.LinkFolder / "COM4");
  auto task = main.Take();
  ASSERT_TRUE(task);
  task();
  EXPECT_EQ(scans, 1);
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  // The watcher waited for that scan and then goes on with the next change.
  fs::remove(paths.LinkFolder / "COM4");
  task = main.Take();
  ASSERT_TRUE(task);
  task();
  EXPECT_EQ(scans, 2);
}

TEST_F(PortWatcherTest, StopWhileAHandOverIsQueuedDoesNotDeadlock) {
  Pty pty;
  testing::MainQueue main(Patience);
  int scans = 0;
  std::function<void()> late;
  {
    TRegMonitorThread watcher(paths, main.Poster(), [&] { ++scans; });
    ASSERT_TRUE(watcher.Start());
    fs::create_symlink(pty.slave(), paths.LinkFolder / "COM4");
    late = main.Take();  // the watcher now waits for the main thread...
    ASSERT_TRUE(late);
    watcher.Stop();  // ...which stops it instead of running the task
  }
  late();  // the event loop gets to the task after the watcher is gone: it does nothing
  EXPECT_EQ(scans, 0);
}

// Where udevd runs its announcements are listened to, else the kernel's; a kernel announcement
// of a tty device (made here by asking the kernel to repeat one, which needs root) wakes the
// watcher with no file changing anywhere.
TEST_F(PortWatcherTest, DeviceAnnouncementsFromUdevdWhereItRunsElseFromTheKernel) {
  const fs::path run = tmp.path() / "run-udev";
  fs::create_directories(run);
  paths.DeviceEvents = true;
  paths.UdevRunDir = run;
  EXPECT_FALSE(UdevdRunning(run));
  {
    TRegMonitorThread watcher(paths, [] {});
    ASSERT_TRUE(watcher.Start());
    EXPECT_EQ(watcher.DeviceEventSource(), TRegMonitorThread::EventSource::Kernel);
  }
  WriteFile(run / "control", "");
  EXPECT_TRUE(UdevdRunning(run));
  {
    TRegMonitorThread watcher(paths, [] {});
    ASSERT_TRUE(watcher.Start());
    EXPECT_EQ(watcher.DeviceEventSource(), TRegMonitorThread::EventSource::Udev);
  }
  fs::remove(run / "control");

  const char* uevent = "/sys/class/tty/tty/uevent";  // /dev/tty: present on every system
  if (geteuid() != 0 || access(uevent, W_OK) != 0)
    GTEST_SKIP() << "needs root to make the kernel announce a device";
  testing::Window w(roots, Patience);
  TRegMonitorThread watcher(paths, [&] { w.OnChange(); });
  ASSERT_TRUE(watcher.Start());
  ASSERT_EQ(watcher.DeviceEventSource(), TRegMonitorThread::EventSource::Kernel);
  std::ofstream(uevent) << "change\n";
  EXPECT_TRUE(w.WaitFor([&] { return w.scans > 0; }));
}

}  // namespace
}  // namespace quarlex
