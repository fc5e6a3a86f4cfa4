#include "ports/port_map.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "app/port_scan.h"
#include "ports/udev_linux.h"
#include "tests/app/port_tree.h"

namespace quarlex {
namespace {

using namespace testing_ports;

struct PortMapTest : ::testing::Test {
  TempDir tmp;
  SysfsTree sys{tmp.path() / "sys"};
  PortMapRoots roots;

  PortMapTest() {
    roots.Sysfs = sys.root();
    roots.Dev = "/dev";
    roots.LinkFolder = tmp.path() / "run" / "ports";
    roots.StateFile = tmp.path() / "state" / "quarlex" / "portmap";
    fs::create_directories(roots.LinkFolder);
  }

  static std::vector<std::string> Scan(PortMap& m) {
    EXPECT_TRUE(m.Refresh());
    return m.PortTexts();
  }
  void Link(int n, const std::string& target) {
    fs::create_symlink(target, roots.LinkFolder / ("COM" + std::to_string(n)));
  }
};

using List = std::vector<std::string>;

// The port with number n; a missing one fails the test instead of crashing the program.
const PortEntry& At(const PortMap& m, unsigned n) {
  static const PortEntry none;
  const PortEntry* p = m.Find(n);
  if (p == nullptr) {
    ADD_FAILURE() << "no port " << n;
    return none;
  }
  return *p;
}

TEST_F(PortMapTest, HardwarePortsAndTheirDescriptions) {
  sys.AddUart(0, 4);
  sys.AddUart(1, 0);  // reserved slot without a UART
  sys.AddUart(3, 4);
  sys.AddVirtual("tty0");
  sys.AddVirtual("console");
  sys.AddVirtual("rfcomm0");  // a bound Bluetooth serial link: no device link, still a port
  sys.AddUsbSerial("ttyUSB0", "1-2", UsbDevice{});
  UsbDevice acm{"2341", "0043", "Arduino (www.arduino.cc)", "Uno", "", "00"};
  sys.AddAcm("ttyACM0", "1-3", acm);

  PortMap m(roots);
  // ttyS0 and ttyS3 keep their fixed numbers; the others take the lowest free ones.
  EXPECT_EQ(Scan(m), (List{"COM1", "COM2", "COM3", "COM4", "COM5"}));
  ASSERT_NE(m.Find(4), nullptr);
  ASSERT_NE(m.Find(2), nullptr);
  EXPECT_EQ(At(m, 2).DevicePath, "/dev/rfcomm0");
  EXPECT_EQ(At(m, 2).Identity, "sysfs:devices/virtual/tty/rfcomm0");
  EXPECT_EQ(At(m, 4).DevicePath, "/dev/ttyS3");
  EXPECT_EQ(At(m, 4).Description, "/dev/ttyS3");

  const PortEntry* usb = nullptr;
  const PortEntry* uno = nullptr;
  for (const PortEntry& p : m.Ports()) {
    if (p.DevicePath == "/dev/ttyUSB0") usb = &p;
    if (p.DevicePath == "/dev/ttyACM0") uno = &p;
  }
  ASSERT_TRUE(usb && uno);
  // Newcomers are numbered in name order, whatever order the folder lists them in.
  EXPECT_EQ(uno->Number, 3);
  EXPECT_EQ(usb->Number, 5);  // 4 is ttyS3's
  EXPECT_EQ(usb->Identity, "usb:0403:6001:A50285BI:00");
  EXPECT_EQ(usb->Description, "/dev/ttyUSB0\nFTDI FT232R USB UART\nSerial number A50285BI\nUSB 0403:6001");
  // No serial number: keyed by where it is plugged in.
  EXPECT_EQ(uno->Identity, "sysfs:devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0");
  EXPECT_EQ(uno->Description, "/dev/ttyACM0\nArduino (www.arduino.cc) Uno\nUSB 2341:0043");
  EXPECT_EQ(m.Find(6), nullptr);
}

TEST_F(PortMapTest, UsbNumberKeptAcrossReplugAndRestart) {
  sys.AddUart(0, 4);
  UsbDevice a;  // serial A50285BI
  UsbDevice b;
  b.Serial = "B0000002";
  sys.AddUsbSerial("ttyUSB0", "1-2", a);

  {
    PortMap m(roots);
    EXPECT_EQ(Scan(m), (List{"COM1", "COM2"}));
    sys.Remove("ttyUSB0");
    EXPECT_EQ(Scan(m), (List{"COM1"}));
    // Another adapter takes the same kernel name and hub port: it is a different device.
    sys.AddUsbSerial("ttyUSB0", "1-2", b);
    EXPECT_EQ(Scan(m), (List{"COM1", "COM3"}));
    // The first one comes back on another hub port under another name: its number again.
    sys.AddUsbSerial("ttyUSB1", "1-4", a);
    EXPECT_TRUE(m.Refresh());
    ASSERT_NE(m.Find(2), nullptr);
    EXPECT_EQ(At(m, 2).DevicePath, "/dev/ttyUSB1");
    EXPECT_EQ(At(m, 3).DevicePath, "/dev/ttyUSB0");
  }
  // A restart reads the numbers back from the state file, whatever the plug order now.
  sys.Remove("ttyUSB0");
  sys.Remove("ttyUSB1");
  sys.AddUsbSerial("ttyUSB0", "1-4", b);
  PortMap again(roots);
  EXPECT_EQ(Scan(again), (List{"COM1", "COM3"}));
  EXPECT_EQ(At(again, 3).SerialNumber, "B0000002");
  EXPECT_TRUE(again.StateError().empty()) << again.StateError();
}

// Cheap adapters have no serial number: the hub port they sit in keys them, not the kernel's
// ttyUSB<n>, which depends on what else is plugged in.
TEST_F(PortMapTest, AdapterWithoutSerialKeyedByHubPort) {
  UsbDevice cheap{"1a86", "7523", "", "USB Serial", "", "00"};
  sys.AddUsbSerial("ttyUSB0", "1-2", cheap);
  PortMap m(roots);
  EXPECT_EQ(Scan(m), (List{"COM1"}));
  sys.Remove("ttyUSB0");
  sys.AddUsbSerial("ttyUSB0", "1-3", UsbDevice{});
  sys.AddUsbSerial("ttyUSB1", "1-2", cheap);
  ASSERT_EQ(Scan(m), (List{"COM1", "COM2"}));
  EXPECT_EQ(At(m, 1).DevicePath, "/dev/ttyUSB1");
  EXPECT_EQ(At(m, 1).Description, "/dev/ttyUSB1\nUSB Serial\nUSB 1a86:7523");
  // Moved to another hub port it counts as a new device.
  sys.Remove("ttyUSB1");
  sys.AddUsbSerial("ttyUSB1", "1-4", cheap);
  EXPECT_EQ(Scan(m), (List{"COM2", "COM3"}));
}

TEST_F(PortMapTest, PortsOfOneAdapterAndClonedSerialsStayApart) {
  UsbDevice quad;
  sys.AddUsbSerial("ttyUSB0", "1-2", quad, 0);
  sys.AddUsbSerial("ttyUSB1", "1-2", quad, 1);  // same interface, second port
  UsbDevice clone;                              // same ids and serial, another hub port
  sys.AddUsbSerial("ttyUSB2", "1-5", clone, 0);
  PortMap m(roots);
  EXPECT_EQ(Scan(m), (List{"COM1", "COM2", "COM3"}));
  std::set<std::string> ids;
  for (const PortEntry& p : m.Ports()) ids.insert(p.Identity);
  EXPECT_EQ(ids.size(), 3u);

  // The same three numbers for the same three devices after a restart.
  std::map<std::string, int> before;
  for (const PortEntry& p : m.Ports()) before[p.DevicePath] = p.Number;
  PortMap again(roots);
  ASSERT_TRUE(again.Refresh());
  for (const PortEntry& p : again.Ports()) EXPECT_EQ(before[p.DevicePath], p.Number) << p.DevicePath;
}

// Two windows open at once share one state file: neither hands out a number the other gave.
TEST_F(PortMapTest, TwoInstancesAgreeOnNumbers) {
  PortMap first(roots);
  PortMap second(roots);
  ASSERT_TRUE(second.Refresh());  // nothing plugged in yet
  UsbDevice x;
  x.Serial = "X";
  sys.AddUsbSerial("ttyUSB0", "1-2", x);
  EXPECT_EQ(Scan(first), (List{"COM1"}));
  sys.Remove("ttyUSB0");
  UsbDevice y;
  y.Serial = "Y";
  sys.AddUsbSerial("ttyUSB0", "1-3", y);
  // The second window never saw X, yet 1 is X's.
  EXPECT_EQ(Scan(second), (List{"COM2"}));
  sys.AddUsbSerial("ttyUSB1", "1-2", x);
  PortMap third(roots);
  ASSERT_TRUE(third.Refresh());
  EXPECT_EQ(At(third, 1).SerialNumber, "X");
  EXPECT_EQ(At(third, 2).SerialNumber, "Y");
}

TEST_F(PortMapTest, LinksOverrideHardwareAndBadLinksAreSkipped) {
  Pty pty;
  sys.AddUart(0, 4);
  sys.AddUsbSerial("ttyUSB0", "1-2", UsbDevice{});  // takes COM2
  Link(42, pty.slave());
  Link(1, pty.slave());                     // hides ttyS0
  Link(7, (tmp.path() / "gone").string());  // socat was killed: nothing behind it
  WriteFile(tmp.path() / "plain", "x");
  Link(8, (tmp.path() / "plain").string());  // not a device
  fs::create_symlink(pty.slave(), roots.LinkFolder / "COM042");
  fs::create_symlink(pty.slave(), roots.LinkFolder / "COM256");
  fs::create_symlink(pty.slave(), roots.LinkFolder / "COM0");
  fs::create_symlink(pty.slave(), roots.LinkFolder / "com9");
  WriteFile(roots.LinkFolder / "COM9", "not a link");

  PortMap m(roots);
  EXPECT_EQ(Scan(m), (List{"COM1", "COM2", "COM42"}));
  const PortEntry* v = m.Find(1);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->Source, PortEntry::Kind::Virtual);
  EXPECT_EQ(v->DevicePath, (roots.LinkFolder / "COM1").string());
  EXPECT_EQ(v->LinkTarget, pty.slave());
  EXPECT_NE(v->Description.find(pty.slave()), std::string::npos);

  // A new USB device does not take a number a link holds.
  fs::remove(roots.LinkFolder / "COM42");
  Link(3, pty.slave());
  UsbDevice other;
  other.Serial = "Z9";
  sys.AddUsbSerial("ttyUSB1", "1-3", other);
  EXPECT_EQ(Scan(m), (List{"COM1", "COM2", "COM3", "COM4"}));
  EXPECT_EQ(At(m, 4).DevicePath, "/dev/ttyUSB1");

  // The link goes: the hardware behind the number shows again.
  fs::remove(roots.LinkFolder / "COM1");
  ASSERT_TRUE(m.Refresh());
  EXPECT_EQ(At(m, 1).DevicePath, "/dev/ttyS0");
}

// A link hides an adapter remembered under its number only while the link is there: the adapter
// keeps its number (in this run and in the state file) and shows under it again once the link
// has gone, so "COM5" never comes to mean another device for good.
TEST_F(PortMapTest, ALinkHidesARememberedAdapterOnlyWhileItExists) {
  Pty pty;
  WriteFile(roots.StateFile, "5 usb:0403:6001:A50285BI:00\n");
  sys.AddUsbSerial("ttyUSB0", "1-2", UsbDevice{});
  Link(5, pty.slave());
  {
    PortMap m(roots);
    EXPECT_EQ(Scan(m), (List{"COM5"}));
    EXPECT_EQ(At(m, 5).Source, PortEntry::Kind::Virtual);
    // A newcomer meanwhile takes neither the link's number nor the hidden adapter's.
    UsbDevice other;
    other.Serial = "Z9";
    sys.AddUsbSerial("ttyUSB1", "1-3", other);
    EXPECT_EQ(Scan(m), (List{"COM1", "COM5"}));
    fs::remove(roots.LinkFolder / "COM5");
    EXPECT_EQ(Scan(m), (List{"COM1", "COM5"}));
    EXPECT_EQ(At(m, 5).DevicePath, "/dev/ttyUSB0");
  }
  // Nor did the state file move it while the link was there.
  Link(5, pty.slave());
  {
    PortMap hidden(roots);
    EXPECT_EQ(Scan(hidden), (List{"COM1", "COM5"}));
  }
  fs::remove(roots.LinkFolder / "COM5");
  PortMap again(roots);
  EXPECT_EQ(Scan(again), (List{"COM1", "COM5"}));
  EXPECT_EQ(At(again, 5).DevicePath, "/dev/ttyUSB0");
}

TEST_F(PortMapTest, FolderOthersCanWriteIntoIsIgnored) {
  Pty pty;
  Link(5, pty.slave());
  PortMap m(roots);
  EXPECT_EQ(Scan(m), (List{"COM5"}));
  chmod(roots.LinkFolder.c_str(), 0777);
  EXPECT_EQ(Scan(m), List{});
}

TEST_F(PortMapTest, PrepareCreatesAPrivateFolder) {
  const fs::path folder = tmp.path() / "xdg" / "quarlex" / "ports";
  EXPECT_TRUE(PreparePortLinkFolder(folder));
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(PreparePortLinkFolder(folder));  // already there

  // A link in place of the folder is not trusted.
  const fs::path fake = tmp.path() / "fake";
  fs::create_directory_symlink(folder, fake);
  EXPECT_FALSE(PreparePortLinkFolder(fake));
}

TEST_F(PortMapTest, DamagedStateFileKeepsNumbersWithin1To255) {
  UsbDevice a;
  const std::string idA = "usb:0403:6001:A50285BI:00";
  WriteFile(roots.StateFile,
            "# header\n"
            "0 usb:zero\n"
            "300 usb:big\n"
            "-4 usb:neg\n"
            "garbage\n"
            "6\n"
            "7 " +
                idA +
                "\n"
                "7 usb:duplicate-number\n"
                "9 " +
                idA + "\n");
  sys.AddUsbSerial("ttyUSB0", "1-2", a);
  UsbDevice b;
  b.Serial = "NEW";
  sys.AddUsbSerial("ttyUSB1", "1-3", b);
  PortMap m(roots);
  ASSERT_TRUE(m.Refresh());
  ASSERT_NE(m.Find(7), nullptr);
  EXPECT_EQ(At(m, 7).Identity, idA);
  ASSERT_NE(m.Find(1), nullptr);  // nothing valid held 1
  EXPECT_EQ(At(m, 1).SerialNumber, "NEW");

  // The rewritten file holds only well-formed lines.
  std::ifstream in(roots.StateFile);
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"1 usb:0403:6001:NEW:00", "7 " + idA}));
}

TEST_F(PortMapTest, FullTableReusesTheNumberOfAnAbsentDevice) {
  std::string state;
  for (int n = 1; n <= 255; ++n) state += std::to_string(n) + " usb:old:" + std::to_string(n) + "\n";
  WriteFile(roots.StateFile, state);
  sys.AddUart(0, 4);  // COM1 is fixed, so the newcomer cannot have it
  sys.AddUsbSerial("ttyUSB0", "1-2", UsbDevice{});
  PortMap m(roots);
  EXPECT_EQ(Scan(m), (List{"COM1", "COM2"}));
  for (const PortEntry& p : m.Ports()) {
    EXPECT_GE(p.Number, 1);
  }
  // The displaced owner's line is gone; the file still has 255 distinct numbers.
  std::ifstream in(roots.StateFile);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("usb:old:2\n"), std::string::npos);
  EXPECT_NE(text.find("2 usb:0403:6001:A50285BI:00\n"), std::string::npos);
}

TEST_F(PortMapTest, FixedUartOutranksARememberedNumber) {
  WriteFile(roots.StateFile, "2 usb:0403:6001:A50285BI:00\n");
  sys.AddUart(1, 4);  // ttyS1 is COM2
  sys.AddUsbSerial("ttyUSB0", "1-2", UsbDevice{});
  PortMap m(roots);
  EXPECT_EQ(Scan(m), (List{"COM1", "COM2"}));
  EXPECT_EQ(At(m, 2).DevicePath, "/dev/ttyS1");
  EXPECT_EQ(At(m, 1).DevicePath, "/dev/ttyUSB0");
}

TEST_F(PortMapTest, UnwritableStateIsReportedAndNumbersStillHold) {
  roots.StateFile = tmp.path() / "file-not-folder" / "portmap";
  WriteFile(tmp.path() / "file-not-folder", "x");
  sys.AddUsbSerial("ttyUSB0", "1-2", UsbDevice{});
  PortMap m(roots);
  EXPECT_EQ(Scan(m), (List{"COM1"}));
  EXPECT_FALSE(m.StateError().empty());
  UsbDevice b;
  b.Serial = "B";
  sys.AddUsbSerial("ttyUSB1", "1-3", b);
  EXPECT_EQ(Scan(m), (List{"COM1", "COM2"}));
}

TEST_F(PortMapTest, UnreadableSysfsKeepsThePreviousList) {
  sys.AddUsbSerial("ttyUSB0", "1-2", UsbDevice{});
  PortMap m(roots);
  ASSERT_TRUE(m.Refresh());
  fs::remove_all(sys.root() / "class");
  EXPECT_FALSE(m.Refresh());
  EXPECT_EQ(m.PortTexts(), (List{"COM1"}));
}

TEST_F(PortMapTest, DefaultFoldersFollowTheEnvironment) {
  const char* run = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = run ? run : "";
  setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(DefaultPortLinkFolder(), fs::path("/run/user/1000/quarlex/ports"));
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(DefaultPortLinkFolder(), fs::path("/tmp/quarlex-" + std::to_string(getuid()) + "/ports"));
  if (run) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

// What the window does with the map: the list feeds the scan, the number finds the tooltip.
TEST_F(PortMapTest, FeedsTheScan) {
  Pty pty;
  sys.AddUart(0, 4);
  Link(42, pty.slave());
  PortMap m(roots);
  PortTable t;
  ASSERT_TRUE(m.Refresh());
  t.ScanPorts(m.PortTexts());
  t.BtnComClick();
  EXPECT_EQ(t.PortCaption(), "Port 42");
  EXPECT_EQ(At(m, t.SelectedPort).LinkTarget, pty.slave());
}

TEST(PortNamesTest, DeviceStringsAndTheUdevDatabase) {
  const auto entry = [](std::string manufacturer, std::string product, std::string serial,
                        std::string vendorDb, std::string modelDb, std::string serialShort,
                        std::string byId) {
    PortEntry p;
    p.DevicePath = "/dev/ttyUSB0";
    p.Vendor = "1a86";
    p.ProductId = "7523";
    p.Manufacturer = std::move(manufacturer);
    p.Product = std::move(product);
    p.SerialNumber = std::move(serial);
    p.VendorFromDatabase = std::move(vendorDb);
    p.ModelFromDatabase = std::move(modelDb);
    p.SerialShort = std::move(serialShort);
    p.ByIdLink = std::move(byId);
    return p;
  };
  struct Case {
    PortEntry p;
    const char* names;
    const char* description;
  };
  const Case cases[] = {
      // An adapter that reports only "USB Serial": the database names its maker and chip.
      {entry("", "USB Serial", "", "QinHeng Electronics", "CH340 serial converter", "",
             "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0"),
       "QinHeng Electronics CH340 serial converter",
       "/dev/ttyUSB0\n/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0\nUSB Serial\n"
       "QinHeng Electronics CH340 serial converter\nUSB 1a86:7523"},
      // Its own strings where it has them; the serial number as udev reads it when sysfs has none.
      {entry("FTDI", "FT232R USB UART", "", "Future Technology Devices International, Ltd",
             "FT232 Serial (UART) IC", "A50285BI", ""),
       "FTDI FT232 Serial (UART) IC A50285BI",
       "/dev/ttyUSB0\nFTDI FT232R USB UART\nFuture Technology Devices International, Ltd FT232 Serial (UART) "
       "IC\n"
       "Serial number A50285BI\nUSB 1a86:7523"},
      // No udev record (no udevd): the device's strings alone, said once.
      {entry("Prolific", "USB-Serial Controller", "X1", "", "", "", ""), "Prolific USB-Serial Controller X1",
       "/dev/ttyUSB0\nProlific USB-Serial Controller\nSerial number X1\nUSB 1a86:7523"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PortNames(c.p), c.names);
    EXPECT_EQ(DescribePort(c.p), c.description);
  }
  PortEntry uart;
  uart.DevicePath = "/dev/ttyS0";
  EXPECT_EQ(PortNames(uart), "");
  EXPECT_EQ(DescribePort(uart), "/dev/ttyS0");

  const std::map<std::string, std::string> properties = {
      {"ID_VENDOR_FROM_DATABASE", "Future Technology Devices International, Ltd"},
      {"ID_MODEL_FROM_DATABASE", "FT232 Serial (UART) IC"},
      {"ID_SERIAL_SHORT", "A50285BI"},
      {"DEVLINKS",
       "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0 "
       "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 /dev/gps0"}};
  const UdevNames n = NamesFromProperties([&](const char* name) -> const char* {
    auto it = properties.find(name);
    return it == properties.end() ? nullptr : it->second.c_str();
  });
  EXPECT_EQ(n.Vendor, "Future Technology Devices International, Ltd");
  EXPECT_EQ(n.Model, "FT232 Serial (UART) IC");
  EXPECT_EQ(n.SerialShort, "A50285BI");
  EXPECT_EQ(n.ByIdLink, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  const UdevNames none = NamesFromProperties([](const char*) -> const char* { return nullptr; });
  EXPECT_TRUE(none.Vendor.empty() && none.Model.empty() && none.SerialShort.empty() && none.ByIdLink.empty());
  const UdevNames folderOnly = NamesFromProperties([](const char* name) -> const char* {
    return std::string(name) == "DEVLINKS" ? "/dev/serial/by-id/" : nullptr;
  });
  EXPECT_TRUE(folderOnly.ByIdLink.empty());
}

// libudev cannot be pointed at a scratch tree, so the two lists are compared on this system's
// own devices: the same ports, numbers and identities either way. Where udevd runs, devices it
// has not finished with are left out; this machine's database is taken as udevd's by giving the
// map a run folder with a control socket.
TEST(PortMapSources, UdevListAgreesWithTheSysfsWalk) {
  TempDir tmp;
  const auto read = [&](PortMapRoots::DeviceList list, const fs::path& runDir, const char* state) {
    PortMapRoots roots;
    roots.Devices = list;
    roots.UdevRunDir = runDir;
    roots.StateFile = tmp.path() / state;
    PortMap map(roots);
    EXPECT_TRUE(map.Refresh());
    std::vector<std::string> ports;
    for (const PortEntry& p : map.Ports()) {
      ports.push_back(std::to_string(p.Number) + " " + p.DevicePath + " " + p.Identity);
    }
    return ports;
  };
  const fs::path noUdevd = tmp.path() / "no-udevd";
  const std::vector<std::string> walked = read(PortMapRoots::DeviceList::Sysfs, noUdevd, "a");
  EXPECT_EQ(read(PortMapRoots::DeviceList::Udev, noUdevd, "b"), walked);

  const fs::path udevd = tmp.path() / "udevd";
  WriteFile(udevd / "control", "");
  const std::vector<std::string> finished = read(PortMapRoots::DeviceList::Udev, udevd, "c");
  if (UdevdRunning("/run/udev")) {
    EXPECT_EQ(finished, walked);  // udevd has long finished with the devices present
  } else {
    EXPECT_TRUE(finished.empty()) << "no device has a udev record here, so none is ready";
  }
}

}  // namespace
}  // namespace quarlex
