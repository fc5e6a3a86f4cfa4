#include "app/start_options.h"

#include <gtest/gtest.h>

#include "tests/app/port_tree.h"

namespace quarlex {
namespace {

using namespace testing_ports;

TEST(StartOptionValues, PortAndBaudTexts) {
  struct Case {
    const char* text;
    unsigned number;   // 0: not a number
    const char* path;  // nullptr: rejected when number is 0 too
  };
  const Case ports[] = {
      {"9", 9, ""},
      {"COM42", 42, ""},
      {"255", 255, ""},
      {"256", 0, nullptr},
      {"0", 0, nullptr},
      {"007", 0, nullptr},
      {"COM", 0, nullptr},
      {"com3", 0, nullptr},
      {"ttyUSB0", 0, nullptr},
      {"-1", 0, nullptr},
      {"/dev/ttyUSB0", 0, "/dev/ttyUSB0"},
      {"./COM3", 0, "./COM3"},
  };
  for (const Case& c : ports) {
    PortArgument arg;
    std::string error;
    const bool ok = ParsePortArgument(c.text, arg, error);
    EXPECT_EQ(ok, c.number != 0 || c.path != nullptr) << c.text;
    EXPECT_EQ(arg.Number, c.number) << c.text;
    if (c.path != nullptr) {
      EXPECT_EQ(arg.Path, c.path) << c.text;
    }
    if (!ok) {
      EXPECT_NE(error.find(c.text), std::string::npos) << error;
    }
  }

  uint32_t rate = 0;
  std::string error;
  for (const auto& [text, want] :
       std::initializer_list<std::pair<const char*, uint32_t>>{{"110", 110},
                                                               {"256000", 256000},
                                                               {"921600", 921600},
                                                               {"31250", 31250},
                                                               {"50", 50},
                                                               {"12000000", 12000000},
                                                               {"0001200", 1200}}) {
    EXPECT_TRUE(ParseBaudArgument(text, rate, error)) << text;
    EXPECT_EQ(rate, want);
  }
  // Outside the range a line can run at, or not a whole number.
  for (const char* bad : {"0", "49", "12000001", "99999999999", "9600baud", "", "115200 ", "-9600", "1e6"}) {
    EXPECT_FALSE(ParseBaudArgument(bad, rate, error)) << bad;
    EXPECT_NE(error.find("from 50 to 12000000"), std::string::npos) << error;
  }
}

TEST(StartOptionValues, PortsNamedByNumberOrByAnyPathToTheirDevice) {
  TempDir tmp;
  SysfsTree sys{tmp.path() / "sys"};
  sys.AddUsbSerial("ttyUSB0", "1-2", UsbDevice{});
  PortMapRoots roots;
  roots.Sysfs = sys.root();
  roots.Dev = tmp.path() / "dev";
  roots.LinkFolder = tmp.path() / "ports";
  roots.StateFile = tmp.path() / "portmap";
  fs::create_directories(roots.Dev);
  WriteFile(roots.Dev / "ttyUSB0", "");  // stands for the device node
  fs::create_directories(roots.LinkFolder);
  Pty pty;
  fs::create_symlink(pty.slave(), roots.LinkFolder / "COM7");
  // A stable-name link, as udev makes under /dev/serial/by-id.
  fs::create_symlink(pty.slave(), tmp.path() / "usb-Demo_Board_0001-if00");

  PortMap map(roots);
  ASSERT_TRUE(map.Refresh());
  const auto resolve = [&](const std::string& text, std::string& error) {
    PortArgument arg;
    EXPECT_TRUE(ParsePortArgument(text, arg, error)) << text;
    return ResolvePort(map, arg, error);
  };
  std::string error;
  EXPECT_EQ(resolve("7", error), 7u);
  EXPECT_EQ(resolve((tmp.path() / "usb-Demo_Board_0001-if00").string(), error), 7u);
  EXPECT_EQ(resolve(pty.slave(), error), 7u);
  EXPECT_EQ(resolve((roots.Dev / "ttyUSB0").string(), error), 1u);

  for (const std::string& unknown :
       {std::string("8"), std::string("/dev/null"), (tmp.path() / "none").string()}) {
    error.clear();
    EXPECT_EQ(resolve(unknown, error), 0u) << unknown;
    EXPECT_NE(error.find("COM1  " + (roots.Dev / "ttyUSB0").string()), std::string::npos) << error;
    EXPECT_NE(error.find("COM7  " + (roots.LinkFolder / "COM7").string()), std::string::npos) << error;
  }

  EXPECT_EQ(ListPortsText(map),
            "COM1  " + (roots.Dev / "ttyUSB0").string() + "  FTDI FT232R USB UART A50285BI\n" + "COM7  " +
                (roots.LinkFolder / "COM7").string() + "  virtual port -> " + pty.slave() + "\n");
  PortMap empty(PortMapRoots{tmp.path() / "nosys", "/dev", {}, {}});
  EXPECT_EQ(ResolvePort(empty, PortArgument{3, ""}, error), 0u);
  EXPECT_NE(error.find("there are no serial ports"), std::string::npos) << error;
}

}  // namespace
}  // namespace quarlex
