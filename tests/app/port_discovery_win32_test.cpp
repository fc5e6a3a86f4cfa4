// Port discovery on Windows: the port list from a SERIALCOMM-like registry key and the watcher
// that follows it. Each test writes a key of its own under HKEY_CURRENT_USER; one also uses the
// system's key when it may write there (wine, or an administrator).
#include <gtest/gtest.h>

#include <thread>

#include "app/port_scan.h"
#include "app/port_watcher.h"
#include "ports/port_map.h"
#include "serial/port_list.h"
#include "tests/app/support/watcher_host.h"
#include "text/win32_text.h"

namespace quarlex {
namespace {

using namespace std::chrono_literals;
using win32::Wide;

constexpr auto Patience = 10s;

// A key of this test's own: HKEY_CURRENT_USER\Software\Quarlex tests\<pid>-<n>\SERIALCOMM.
struct TestKey {
  std::string parent;
  std::string path;
  explicit TestKey(HKEY root = HKEY_CURRENT_USER, std::string keyPath = "") : root(root) {
    static int n = 0;
    parent = "Software\\Quarlex tests\\" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(n++);
    path = keyPath.empty() ? parent + "\\SERIALCOMM" : keyPath;
  }
  ~TestKey() {
    if (path.starts_with(parent)) RegDeleteTreeW(root, Wide(parent).c_str());
  }
  HKEY root;
  LONG Create() {
    HKEY k = nullptr;
    const LONG rc = RegCreateKeyExW(root, Wide(path).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr);
    if (rc == ERROR_SUCCESS) RegCloseKey(k);
    return rc;
  }
  void Set(const std::string& name, const std::string& text) {
    const std::wstring w = Wide(text);
    ASSERT_EQ(RegSetKeyValueW(root, Wide(path).c_str(), Wide(name).c_str(), REG_SZ, w.c_str(),
                              static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  void SetNumber(const std::string& name, DWORD v) {
    ASSERT_EQ(RegSetKeyValueW(root, Wide(path).c_str(), Wide(name).c_str(), REG_DWORD, &v, sizeof v),
              ERROR_SUCCESS);
  }
  void Remove(const std::string& name) {
    ASSERT_EQ(RegDeleteKeyValueW(root, Wide(path).c_str(), Wide(name).c_str()), ERROR_SUCCESS);
  }
  PortMapRoots Roots() const {
    PortMapRoots r;
    r.Root = PortMapRoots::RegistryRoot::CurrentUser;
    r.RegistryKey = path;
    return r;
  }
  PortWatchPaths Watch() const {
    PortWatchPaths p;
    p.RegistryUserRoot = true;
    p.RegistryKey = path;
    p.Debounce = 50ms;
    return p;
  }
};

TEST(PortMapWin32, ListFollowsTheKeysTextsInItsOrder) {
  TestKey key;
  PortMap map(key.Roots());
  // No key at all: no ports (Windows removes it with the last port), not an unreadable list.
  ASSERT_TRUE(map.Refresh());
  EXPECT_TRUE(map.PortTexts().empty());

  ASSERT_EQ(key.Create(), ERROR_SUCCESS);
  // Names in creation order: Windows lists values in that order, wine by name.
  key.Set("\\Device\\Serial0", "COM12");
  key.Set("\\Device\\Serial1", "COM1");
  key.Set("\\Device\\Serial2", "com4");
  key.SetNumber("\\Device\\Serial3", 7);  // not text: names no port
  key.Set("\\Device\\Serial4", "COM300");
  ASSERT_TRUE(map.Refresh());
  const std::vector<std::string> texts = {"COM12", "COM1", "com4", "COM300"};
  EXPECT_EQ(map.PortTexts(), texts);
  ASSERT_EQ(map.Ports().size(), 2u);  // sorted by number; com4 and COM300 name no openable port
  EXPECT_EQ(map.Ports()[0].Number, 1);
  ASSERT_NE(map.Find(12), nullptr);
  EXPECT_EQ(map.Find(12)->DevicePath, "COM12");
  EXPECT_EQ(map.Find(12)->Description, "COM12\n\\Device\\Serial0");

  PortTable table;
  table.ScanPorts(map.PortTexts());
  EXPECT_EQ(table.PortCount, 4);
  EXPECT_EQ(table.PortCaption(), "Port 12");
  EXPECT_EQ(table.PortNumbers[3], 0);  // COM300 names no port

  // The plain list for scripts and dialogs comes from the same key, sorted ignoring case.
  std::vector<std::string> list = {"stale"};
  ListSerialPorts(list, PortMapNames(key.Roots()));
  EXPECT_EQ(list, (std::vector<std::string>{"COM1", "COM12", "COM300", "com4"}));

  key.Remove("\\Device\\Serial0");
  ASSERT_TRUE(map.Refresh());
  EXPECT_EQ(map.Find(12), nullptr);
  table.ScanPorts(map.PortTexts());
  EXPECT_EQ(table.PortCaption(), "Port 1");
}

TEST(PortWatcherWin32, PortsComingAndGoingReachTheCaptionAlsoBeforeTheKeyExists) {
  TestKey key;  // the key is created only after the watcher started: its parent is watched
  testing::Window w(key.Roots(), Patience);
  TRegMonitorThread watcher(key.Watch(), [&] { w.OnChange(); });
  ASSERT_TRUE(watcher.Start());
  EXPECT_EQ(watcher.DeviceEventSource(), PortEventSource::Registry);
  ASSERT_EQ(key.Create(), ERROR_SUCCESS);
  key.Set("\\Device\\VCP0", "COM7");
  EXPECT_TRUE(w.WaitForCaption("Port 7"));
  key.Set("\\Device\\VCP1", "COM9");
  key.Remove("\\Device\\VCP0");
  EXPECT_TRUE(w.WaitForCaption("Port 9"));
  key.Remove("\\Device\\VCP1");
  EXPECT_TRUE(w.WaitForCaption("Port 0"));
  watcher.Stop();
  watcher.Stop();
  ASSERT_TRUE(watcher.Start());  // a stopped watcher starts again
}

TEST(PortWatcherWin32, HandOverRunsScansOnTheMainThreadAndStopEndsAQueuedOne) {
  TestKey key;
  ASSERT_EQ(key.Create(), ERROR_SUCCESS);
  testing::MainQueue main(Patience);
  testing::Window w(key.Roots(), Patience);
  std::thread::id ranOn;
  std::function<void()> late;
  {
    TRegMonitorThread watcher(key.Watch(), main.Poster(), [&] {
      ranOn = std::this_thread::get_id();
      w.OnChange();
    });
    ASSERT_TRUE(watcher.Start());
    auto first = main.Take();  // the scan that covers the start
    ASSERT_TRUE(first);
    first();
    key.Set("\\Device\\Serial2", "COM3");
    auto task = main.Take();
    ASSERT_TRUE(task);
    task();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(w.caption, "Port 3");
    key.Set("\\Device\\Serial3", "COM4");
    late = main.Take();  // the watcher waits for the main thread, which stops it instead
    ASSERT_TRUE(late);
  }
  w.caption = "unchanged";
  late();  // the event loop gets to the task after the watcher is gone: it does nothing
  EXPECT_EQ(w.caption, "unchanged");
}

// The system's own key, as the window uses it by default (writable under wine, or for an
// administrator).
TEST(PortWatcherWin32, SystemSerialPortMap) {
  TestKey key(HKEY_LOCAL_MACHINE, PortMapRoots{}.RegistryKey);
  if (key.Create() != ERROR_SUCCESS) GTEST_SKIP() << "needs write access to HKEY_LOCAL_MACHINE";
  testing::Window w(PortMapRoots::System(), Patience);
  PortWatchPaths watch = PortWatchPaths::System();
  watch.Debounce = 50ms;
  TRegMonitorThread watcher(watch, [&] { w.OnChange(); });
  ASSERT_TRUE(watcher.Start());
  const std::string name = "\\Device\\QuarlexTest" + std::to_string(GetCurrentProcessId());
  key.Set(name, "COM251");
  EXPECT_TRUE(w.WaitForCaption("Port 251"));
  key.Remove(name);
  // Other ports of the system may stay listed; this one goes.
  EXPECT_TRUE(w.WaitFor([&] { return w.map.Find(251) == nullptr; }));
}

}  // namespace
}  // namespace quarlex
