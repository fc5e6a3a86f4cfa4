// ListSerialPorts over the Linux port map: hardware ports and COM links alike.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/port_list.h"
#include "tests/app/port_tree.h"

namespace quarlex {
namespace {

using Names = std::vector<std::string>;

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
