// Reconnect: a device that vanishes while connected is awaited and opened again, with the same
// line settings, into the same capture, once the port list shows it back; another device under
// its number is not opened; a port that comes back busy is tried again later; the operator's
// Disconnect and Reconnect turned off stop the waiting. On the fake device and on a
// pseudo-terminal behind a port link that is removed and made again.
#include "app/reconnect.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "serial/device_pty.h"
#include "tests/app/port_tree.h"
#include "tests/app/support/connection_rig.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;

TEST(ReconnectIdentity, TheUdevIdentityDecidesWhereThereIsOneElseTheNumber) {
  PortEntry adapter;
  adapter.Number = 5;
  adapter.ByIdLink = "/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0";
  adapter.SerialShort = "A50285BI";
  PortEntry other = adapter;
  other.ByIdLink = "/dev/serial/by-id/usb-FTDI_FT232R_B77-if00-port0";
  PortEntry onlySerial;
  onlySerial.Vendor = "0403";
  onlySerial.ProductId = "6001";
  onlySerial.SerialNumber = "A50285BI";
  PortEntry uart;  // ttyS: nothing names it but its number
  PortEntry link;
  link.Source = PortEntry::Kind::Virtual;
  link.LinkTarget = "/dev/pts/3";
  PortEntry otherLink = link;
  otherLink.LinkTarget = "/dev/pts/9";  // a link made again leads to a new terminal

  EXPECT_TRUE(SameIdentity(IdentityOf(adapter), IdentityOf(adapter)));
  EXPECT_FALSE(SameIdentity(IdentityOf(adapter), IdentityOf(other)));
  EXPECT_FALSE(SameIdentity(IdentityOf(adapter), IdentityOf(uart))) << "an unknown device is not the adapter";
  EXPECT_EQ(IdentityOf(onlySerial).Key, "usb:0403:6001:A50285BI");
  EXPECT_TRUE(SameIdentity(IdentityOf(uart), IdentityOf(uart)));
  EXPECT_TRUE(SameIdentity(IdentityOf(link), IdentityOf(otherLink)));
  EXPECT_FALSE(SameIdentity(IdentityOf(link), IdentityOf(adapter)))
      << "an adapter never stands in for a link";
  EXPECT_FALSE(SameIdentity(IdentityOf(uart), IdentityOf(link)));

  // Tries of a port that stays busy: a second apart at first, never more than half a minute.
  EXPECT_EQ(RetryDelayMs(1), 1000);
  EXPECT_EQ(RetryDelayMs(2), 2000);
  EXPECT_EQ(RetryDelayMs(4), 8000);
  EXPECT_EQ(RetryDelayMs(6), 30000);
  EXPECT_EQ(RetryDelayMs(1000), 30000);
}

struct ReconnectTest : testing::ConnectionRig {};
using testing::FakeLines;

TEST_F(ReconnectTest, AVanishedAdapterIsReopenedWithItsSettingsIntoTheSameCapture) {
  FakeLines lines;
  map[5] = Adapter("/dev/ttyUSB0", "A50285BI");
  Scan();
  port.SetBaudRate(br9600);
  port.SetDataBits(dbSeven);
  connection.BtnConnectClick();
  ASSERT_TRUE(session.PortConnected);
  lines.usb0->Receive("before|");
  ASSERT_TRUE(RunUntil([&] { return session.Store.WriteIndex() == 7; }));

  lines.usb0->Vanish();
  map.erase(5);
  ASSERT_TRUE(RunUntil([&] { return connection.Waiting(); })) << "the loss did not reach the connection";
  ASSERT_EQ(owner.shown.size(), 1u);
  EXPECT_NE(owner.shown[0].find("Port Disconnected"), std::string::npos)
      << "reported as before: " << owner.shown[0];
  EXPECT_FALSE(session.PortConnected) << "nothing is received or sent meanwhile";
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(ui.connectCaption, "Disconnect") << "the operator can stop the waiting";
  EXPECT_FALSE(ui.buttonsEnabled);
  EXPECT_EQ(LastMessage(), "COM5 lost, reconnecting when it is back");
  EXPECT_EQ(ui.rescans, std::vector<int>{1000}) << "one look in case its return was seen first";
  Scan();  // the list without it: still waiting, and the button names the port awaited
  EXPECT_TRUE(connection.Waiting());
  EXPECT_EQ(ui.portCaption, "Port 5");

  clock.mono += 3'250'000'000;
  lines.usb0->Return();
  map[5] = Adapter("/dev/ttyUSB0", "A50285BI");
  Scan();
  EXPECT_FALSE(connection.Waiting());
  ASSERT_TRUE(port.Connected());
  EXPECT_TRUE(session.PortConnected);
  EXPECT_EQ(LastMessage(), "COM5 back after 3.2 s, reconnected");
  EXPECT_EQ(sessionUi.messages.back().rgb, SuccessColour);
  EXPECT_EQ(ui.rescans.back(), 0) << "no try left pending";
  const device::FakeLine::Record record = lines.usb0->Recorded();
  EXPECT_EQ(record.opens, 2 + 2) << "a busy check and an open each time";
  ASSERT_FALSE(record.states.empty());
  EXPECT_EQ(record.states.back().BaudRate, 9600u);
  EXPECT_EQ(record.states.back().ByteSize, 7);

  lines.usb0->Receive("after");
  ASSERT_TRUE(RunUntil([&] { return session.Store.WriteIndex() == 12; }));
  EXPECT_EQ(Captured(), "before|after");
  const std::vector<TimedEvent> events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].Events, Bits(LineEvent::Disconnect));
  EXPECT_EQ(events[0].Position, 7u);
  EXPECT_EQ(events[1].Events, Bits(LineEvent::Reconnect));
  EXPECT_EQ(events[1].Position, 7u);
  EXPECT_EQ(events[1].TimeNs - events[0].TimeNs, 3'250'000'000);
  EXPECT_EQ(owner.shown.size(), 1u) << "the return is no error";

  // It may vanish again, as often as it likes.
  lines.usb0->Vanish();
  ASSERT_TRUE(RunUntil([&] { return connection.Waiting(); }));
  lines.usb0->Return();
  Scan();
  EXPECT_TRUE(port.Connected());
}

// A board that resets when unplugged comes back with its lines off: the operator's DTR goes on
// again, and the lamps show the lines of the device that is there.
TEST_F(ReconnectTest, TheOperatorsDtrAndTheLampsComeBackWithTheDevice) {
  FakeLines lines;
  map[5] = Adapter("/dev/ttyUSB0", "A50285BI");
  Scan();
  connection.SetDtr(true);
  lines.usb0->SetModemLines(device::MS_CTS_ON);
  connection.BtnConnectClick();
  ASSERT_TRUE(session.PortConnected);
  EXPECT_EQ(lines.usb0->Recorded().escapes, std::vector<uint32_t>{device::SETDTR});
  EXPECT_EQ(ui.lamps, (LineLamps{true, true, false, false, false}));

  lines.usb0->Vanish();
  map.erase(5);
  ASSERT_TRUE(RunUntil([&] { return connection.Waiting(); }));
  EXPECT_FALSE(ui.lamps.Live) << "no lines to show while the device is away";
  lines.usb0->Return();
  lines.usb0->SetModemLines(device::MS_DSR_ON);
  map[5] = Adapter("/dev/ttyUSB0", "A50285BI");
  Scan();
  ASSERT_TRUE(port.Connected());
  EXPECT_EQ(lines.usb0->Recorded().escapes, (std::vector<uint32_t>{device::SETDTR, device::SETDTR}));
  EXPECT_EQ(ui.lamps, (LineLamps{true, false, true, false, false}));
  std::string kinds;
  for (const TimedEvent& e : Events()) kinds += LineEventText(e.Events) + "; ";
  EXPECT_EQ(kinds, "DTR on; device lost; device back; DTR on; ");
  EXPECT_EQ(LastMessage(), "COM5 back after 0.0 s, reconnected");
}

TEST_F(ReconnectTest, AnotherAdapterUnderTheNumberIsNotOpened) {
  FakeLines lines;
  map[5] = Adapter("/dev/ttyUSB0", "A50285BI");
  Scan();
  connection.BtnConnectClick();
  ASSERT_TRUE(port.Connected());
  lines.usb0->Vanish();
  ASSERT_TRUE(RunUntil([&] { return connection.Waiting(); }));

  map[5] = Adapter("/dev/ttyUSB1", "B77");
  Scan();
  EXPECT_TRUE(connection.Waiting());
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(lines.usb1->Recorded().opens, 0) << "not even its busy check";
  EXPECT_EQ(LastMessage(), "COM5: another device has the number now, not opened");
  const size_t said = sessionUi.messages.size();
  Scan();
  EXPECT_EQ(sessionUi.messages.size(), said) << "said once, not at every scan";

  // A port link under the number is no stand-in either.
  PortEntry link;
  link.Source = PortEntry::Kind::Virtual;
  link.DevicePath = "/dev/ttyUSB1";
  map[5] = link;
  Scan();
  EXPECT_FALSE(port.Connected());

  lines.usb0->Return();
  map[5] = Adapter("/dev/ttyUSB0", "A50285BI");
  Scan();
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(port.Port(), "COM5");
}

TEST_F(ReconnectTest, APortBackButBusyOrRefusedIsTriedAgainLaterWithTheReason) {
  FakeLines lines;
  map[5] = Adapter("/dev/ttyUSB0", "A50285BI");
  Scan();
  connection.BtnConnectClick();
  lines.usb0->Vanish();
  ASSERT_TRUE(RunUntil([&] { return connection.Waiting(); }));
  lines.usb0->Return();

  lines.usb0->FailNext(device::FakeCall::kOpen, device::ErrorOf(device::ErrorKind::kBusy));
  Scan();
  EXPECT_TRUE(connection.Waiting());
  EXPECT_EQ(LastMessage(), "COM5 is back but busy, retrying in 1 s");
  EXPECT_EQ(ui.rescans.back(), 1000);

  lines.usb0->FailNext(
      device::FakeCall::kOpen,
      device::ErrorFromErrno(EACCES, device::ErrorKind::kAccessDenied, device::kWinAccessDenied));
  Scan();  // the rescan asked for
  EXPECT_EQ(LastMessage(),
            "COM5 is back but permission denied (add the user to the dialout group), retrying in 2 s");
  EXPECT_EQ(ui.rescans.back(), 2000);

  lines.usb0->FailNext(device::FakeCall::kOpen, device::ErrorOf(device::ErrorKind::kNotFound));
  Scan();  // listed before its device opens
  EXPECT_EQ(LastMessage(), "COM5 is back but not ready, retrying in 4 s");

  // The busy check passes, the open itself fails (the line settings refused, say).
  lines.usb0->FailNext(device::FakeCall::kSetState, device::ErrorOf(device::ErrorKind::kInvalidParameter));
  Scan();
  EXPECT_TRUE(connection.Waiting());
  EXPECT_FALSE(port.Connected());
  EXPECT_FALSE(session.PortConnected);
  EXPECT_TRUE(LastMessage().starts_with("COM5 is back but did not open: ")) << LastMessage();
  EXPECT_TRUE(LastMessage().ends_with(", retrying in 8 s")) << LastMessage();
  EXPECT_FALSE(lines.usb0->IsOpen()) << "a failed open leaves the line free";

  Scan();
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(ui.rescans.back(), 0);
  EXPECT_TRUE(LastMessage().starts_with("COM5 back after ")) << LastMessage();
}

TEST_F(ReconnectTest, DisconnectOrReconnectOffStopsTheWaiting) {
  FakeLines lines;
  map[5] = Adapter("/dev/ttyUSB0", "A50285BI");
  Scan();
  connection.BtnConnectClick();
  lines.usb0->Vanish();
  ASSERT_TRUE(RunUntil([&] { return connection.Waiting(); }));
  connection.BtnConnectClick();
  EXPECT_FALSE(connection.Waiting());
  EXPECT_EQ(ui.connectCaption, "Connect");
  EXPECT_TRUE(ui.buttonsEnabled);
  EXPECT_EQ(ui.rescans.back(), 0);
  lines.usb0->Return();
  Scan();
  EXPECT_FALSE(port.Connected()) << "the operator stopped it";
  EXPECT_FALSE(session.PortConnected);

  // Connected again; Reconnect turned off while it waits.
  connection.BtnConnectClick();
  ASSERT_TRUE(port.Connected());
  lines.usb0->Vanish();
  ASSERT_TRUE(RunUntil([&] { return connection.Waiting(); }));
  connection.SetReconnect(false);
  EXPECT_FALSE(connection.Waiting());
  EXPECT_EQ(ui.connectCaption, "Connect");
  lines.usb0->Return();
  Scan();
  EXPECT_FALSE(port.Connected());

  // With Reconnect off from the start a loss disconnects, as it always did.
  connection.BtnConnectClick();
  ASSERT_TRUE(port.Connected());
  lines.usb0->Vanish();
  ASSERT_TRUE(RunUntil([&] { return ui.connectCaption == "Connect"; }));
  EXPECT_FALSE(connection.Waiting());
  EXPECT_FALSE(session.PortConnected);
  EXPECT_TRUE(ui.buttonsEnabled);
}

TEST_F(ReconnectTest, AFailureThatIsNoLossDisconnectsAsBefore) {
  FakeLines lines;
  map[5] = Adapter("/dev/ttyUSB0", "A50285BI");
  Scan();
  connection.BtnConnectClick();
  ASSERT_TRUE(port.Connected());
  // A read of queued bytes that fails: the device did not vanish.
  lines.usb0->FailNext(device::FakeCall::kStartRead,
                       device::ErrorFromErrno(EIO, device::ErrorKind::kOther, 0));
  lines.usb0->Receive("x");
  ASSERT_TRUE(RunUntil([&] { return !owner.shown.empty(); }));
  EXPECT_FALSE(connection.Waiting());
  EXPECT_EQ(ui.connectCaption, "Connect");
}

// The port link stands for a pseudo-terminal: the far end hangs up, the link goes, and a new
// terminal is linked under the same name.
TEST_F(ReconnectTest, APortLinkMadeAgainUnderTheSameNameIsReopened) {
  using testing_ports::TempDir;
  TempDir tmp;
  PortMapRoots roots;
  roots.Sysfs = tmp.path() / "sys";
  fs::create_directories(roots.Sysfs / "class" / "tty");
  roots.LinkFolder = tmp.path() / "ports";
  roots.StateFile = tmp.path() / "state";
  fs::create_directories(roots.LinkFolder);
  PortMap ports(roots);
  auto scan = [&] {
    ASSERT_TRUE(ports.Refresh());
    map.clear();
    for (const PortEntry& e : ports.Ports()) map[e.Number] = e;
    Scan();
  };
  const fs::path link = roots.LinkFolder / "COM7";

  auto first = std::make_unique<device::testing::PtyPair>();
  fs::create_symlink(first->path(), link);
  scan();
  connection.BtnConnectClick();
  ASSERT_TRUE(port.Connected()) << LastMessage();
  first->Send("one,");
  ASSERT_TRUE(RunUntil([&] { return session.Store.WriteIndex() == 4; }));

  // A hang-up flushes what the terminal holds, in the kernel, so the far end waits until its
  // bytes were read before it hangs up.
  first->Send("two,");
  ASSERT_TRUE(RunUntil([&] { return session.Store.WriteIndex() == 8; }));
  first->HangUp();
  fs::remove(link);
  ASSERT_TRUE(RunUntil([&] { return connection.Waiting(); }));
  scan();
  EXPECT_TRUE(connection.Waiting());

  device::testing::PtyPair second;
  fs::create_symlink(second.path(), link);
  scan();
  ASSERT_TRUE(port.Connected()) << LastMessage();
  EXPECT_TRUE(LastMessage().starts_with("COM7 back after ")) << LastMessage();
  second.Send("three");
  ASSERT_TRUE(RunUntil([&] { return session.Store.WriteIndex() == 13; }));
  EXPECT_EQ(Captured(), "one,two,three");

  // Made again while another program holds the new terminal: busy, tried again once it is free.
  second.HangUp();
  fs::remove(link);
  ASSERT_TRUE(RunUntil([&] { return connection.Waiting(); }));
  device::testing::PtyPair third;
  fs::create_symlink(third.path(), link);
  {
    std::unique_ptr<device::Device> holder;
    ASSERT_TRUE(device::OpenDevice(third.path(), holder).ok());
    scan();
    EXPECT_TRUE(connection.Waiting());
    EXPECT_TRUE(LastMessage().starts_with("COM7 is back but busy")) << LastMessage();
    EXPECT_TRUE(LastMessage().ends_with(", retrying in 1 s")) << LastMessage();
  }
  scan();
  EXPECT_TRUE(port.Connected()) << LastMessage();
}

}  // namespace
}  // namespace quarlex
