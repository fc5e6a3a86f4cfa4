// ListSerialPorts: sorted ignoring case, and an unreadable list leaves the caller's list alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/port_list.h"
#include "tests/app/port_tree.h"

namespace quarlex {
namespace {

using Names = std::vector<std::string>;

TEST(SettingsPortList, NamesAreSortedIgnoringCase) {
  Names list = {"stale"};
  ListSerialPorts(list, [] { return std::optional<Names>({"COM2", "COM10", "com3", "COM1"}); });
  EXPECT_EQ(list, (Names{"COM1", "COM10", "COM2", "com3"}));

  ListSerialPorts(list, [] { return std::optional<Names>({"b", "COMx", "comX", "A"}); });
  EXPECT_EQ(list, (Names{"A", "b", "COMx", "comX"}));  // equal but for case: source order

  ListSerialPorts(list, [] { return std::optional<Names>(Names{}); });
  EXPECT_TRUE(list.empty());  // no ports is a list too
}

TEST(SettingsPortList, UnreadableListKeepsTheCallersList) {
  Names list = {"COM4", "COM5"};
  ListSerialPorts(list, [] { return std::optional<Names>(); });
  EXPECT_EQ(list, (Names{"COM4", "COM5"}));
  ListSerialPorts(list, TPortNameSource());
  EXPECT_EQ(list, (Names{"COM4", "COM5"}));
}

// The names are those of the port map: hardware ports and COM links alike.
TEST(SettingsPortList, NamesComeFromThePortMap) {
  using namespace testing_ports;
  TempDir tmp;
  SysfsTree sys(tmp.path() / "sys");
  sys.AddUart(0, 4);
  sys.AddUart(1, 4);
  sys.AddUart(2, 0);  // an empty UART slot is no port
  PortMapRoots roots;
  roots.Sysfs = sys.root();
  roots.LinkFolder = tmp.path() / "ports";
  roots.StateFile = tmp.path() / "state" / "portmap";
  fs::create_directories(roots.LinkFolder);
  Pty pty;
  fs::create_symlink(pty.slave(), roots.LinkFolder / "COM10");

  Names list;
  ListSerialPorts(list, PortMapNames(roots));
  EXPECT_EQ(list, (Names{"COM1", "COM10", "COM2"}));

  // Without a readable sysfs the list stays as it was.
  roots.Sysfs = tmp.path() / "missing";
  ListSerialPorts(list, PortMapNames(roots));
  EXPECT_EQ(list, (Names{"COM1", "COM10", "COM2"}));
}

}  // namespace
}  // namespace quarlex
