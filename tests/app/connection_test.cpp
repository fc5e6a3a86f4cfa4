// The connection against a stand-in status bar and the fake device's scripted line: what the
// operator sees when the busy check refuses the port, when the open fails after the line was
// found free, while the line is open, and when it is closed by the operator or lost.
#include "app/connection.h"

#include <gtest/gtest.h>

#include "serial/comport_error.h"
#include "tests/app/support/connection_rig.h"

namespace quarlex {
namespace {

struct ConnectionSeam : testing::ConnectionRig {
  testing::FakeLines lines;
  ConnectionSeam() {
    map[5] = Adapter("/dev/ttyUSB0", "A50285BI");
    Scan();
  }
  // The status bar of a window with no port open, its line settings shown again.
  void ExpectDisconnected(const std::string& why) {
    SCOPED_TRACE(why);
    EXPECT_FALSE(session.PortConnected);
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(lines.usb0->IsOpen()) << "the line is left free";
    EXPECT_EQ(ui.connectCaption, "Connect");
    EXPECT_TRUE(ui.buttonsEnabled);
    EXPECT_FALSE(ui.lamps.Live);
    EXPECT_EQ(ui.baudCaption, "Baud rate " + std::to_string(RateOf(port)));
    EXPECT_EQ(ui.checkedBaud, RateOf(port));
    EXPECT_FALSE(connection.StartBreak()) << "no line to break";
  }
  void ExpectConnected() {
    EXPECT_TRUE(session.PortConnected);
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(ui.connectCaption, "Disconnect");
    EXPECT_FALSE(ui.buttonsEnabled);
    EXPECT_TRUE(ui.lamps.Live);
    EXPECT_EQ(ui.holder, "") << "a free port names no holder";
  }
};

TEST_F(ConnectionSeam, ABusyCheckThatRefusesThePortLeavesItDisconnectedWithTheReason) {
  struct Case {
    const char* what;
    device::Error error;
    std::string message;
  };
  const Case cases[] = {
      {"held by another program", device::ErrorOf(device::ErrorKind::kBusy),
       "COM5 is busy software or device"},
      {"not the user's to open",
       device::ErrorFromErrno(EACCES, device::ErrorKind::kAccessDenied, device::kWinAccessDenied),
       "COM5: permission denied (add the user to the dialout group)"},
      {"listed, but its device does not open", device::ErrorOf(device::ErrorKind::kNotFound),
       "COM5 is busy software or device"},
  };
  for (const Case& c : cases) {
    lines.usb0->FailNext(device::FakeCall::kOpen, c.error);
    connection.BtnConnectClick();
    ExpectDisconnected(c.what);
    ASSERT_FALSE(sessionUi.messages.empty()) << c.what;
    EXPECT_EQ(LastMessage(), c.message) << c.what;
    EXPECT_EQ(sessionUi.messages.back().rgb, ErrorColour) << c.what;
  }
  EXPECT_TRUE(lines.usb0->Recorded().states.empty()) << "no settings reach a refused line";
  EXPECT_TRUE(owner.shown.empty()) << "a refusal is a message, not an error box";

  // A port the map lists without a device is refused the same way, without touching any line.
  map[6] = PortEntry{};
  Scan();
  table.PortIndex = 1;
  connection.BtnConnectClick();
  ExpectDisconnected("no device behind the number");
  EXPECT_EQ(LastMessage(), "COM6 is busy software or device");

  // Nothing is left stuck: the free port connects at the next click.
  table.PortIndex = 0;
  connection.BtnConnectClick();
  ExpectConnected();
}

TEST_F(ConnectionSeam, AnOpenThatFailsAfterAFreeBusyCheckRestoresTheStatusBar) {
  // The settings refused by the device: the window is told through the rethrown error.
  lines.usb0->FailNext(device::FakeCall::kSetState, device::ErrorOf(device::ErrorKind::kInvalidParameter));
  EXPECT_THROW(connection.BtnConnectClick(), EComPort);
  ExpectDisconnected("settings refused");
  EXPECT_TRUE(sessionUi.messages.empty()) << "the error box says it; no message besides";

  // A rate the device would round too far is the operator's to change: a message, no error.
  lines.usb0->SetRateRule([](uint32_t asked) { return asked == 250000 ? 262500 : asked; });
  connection.ChooseRate(250000);
  EXPECT_NO_THROW(connection.BtnConnectClick());
  ExpectDisconnected("rate refused");
  EXPECT_EQ(LastMessage(), "COM5 cannot run at 250000 baud: the device would use 262500 baud");
  EXPECT_EQ(sessionUi.messages.back().rgb, ErrorColour);

  // Rounded within the tolerance, the line opens and the message says the rate it runs at.
  lines.usb0->SetRateRule([](uint32_t asked) { return asked == 250000 ? 254000 : asked; });
  connection.BtnConnectClick();
  ExpectConnected();
  EXPECT_EQ(LastMessage(), "COM5 runs at 254000 baud (250000 asked)");
  EXPECT_EQ(sessionUi.messages.back().rgb, SuccessColour);
}

TEST_F(ConnectionSeam, TheStatusBarFollowsTheOpenLineAndIsPutBackAtDisconnectAndAtALoss) {
  connection.SetDtr(true);
  lines.usb0->SetModemLines(device::MS_CTS_ON);
  connection.BtnConnectClick();
  ExpectConnected();
  EXPECT_EQ(ui.lamps, (LineLamps{true, true, false, false, false}));
  EXPECT_EQ(lines.usb0->Recorded().escapes, std::vector<uint32_t>{device::SETDTR});

  lines.usb0->SetModemLines(device::MS_CTS_ON | device::MS_RLSD_ON);
  ASSERT_TRUE(RunUntil([&] { return ui.lamps.Dcd; }));
  const int counted = ui.lineEventCounts;
  EXPECT_TRUE(connection.StartBreak());
  EXPECT_GT(ui.lineEventCounts, counted) << "the break sent is a line event";

  // The operator's Disconnect: the lamps go dim, the break ends with the line, DTR's item keeps
  // the operator's choice for the next connect.
  connection.BtnConnectClick();
  ExpectDisconnected("operator's disconnect");
  EXPECT_TRUE(ui.dtr);
  EXPECT_TRUE(owner.shown.empty());

  // A loss with Reconnect off: one error for the window, the status bar back as after a click.
  connection.SetReconnect(false);
  connection.BtnConnectClick();
  ExpectConnected();
  lines.usb0->Vanish();
  ASSERT_TRUE(RunUntil([&] { return ui.connectCaption == "Connect"; }));
  ASSERT_EQ(owner.shown.size(), 1u);
  EXPECT_NE(owner.shown[0].find("Port Disconnected"), std::string::npos) << owner.shown[0];
  EXPECT_FALSE(connection.Waiting());
  EXPECT_FALSE(session.PortConnected);
  EXPECT_FALSE(port.Connected());
  EXPECT_TRUE(ui.buttonsEnabled);
  EXPECT_FALSE(ui.lamps.Live);
  EXPECT_EQ(ui.portCaption, "Port 5");

  // With Reconnect on the loss is awaited instead: the lamps dim, the button stays Disconnect.
  lines.usb0->Return();
  connection.SetReconnect(true);
  connection.BtnConnectClick();
  ExpectConnected();
  lines.usb0->Vanish();
  ASSERT_TRUE(RunUntil([&] { return connection.Waiting(); }));
  EXPECT_FALSE(ui.lamps.Live);
  EXPECT_EQ(ui.connectCaption, "Disconnect");
  EXPECT_FALSE(ui.buttonsEnabled);
  connection.BtnConnectClick();  // the operator gives up
  ExpectDisconnected("wait given up");
}

}  // namespace
}  // namespace quarlex
