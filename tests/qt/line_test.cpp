// The line itself from the window: rates beyond the component's named ones and "Custom…", the
// device's verdict on a rate at connect, the operator's DTR, RTS and break, the modem-line
// lamps, and sending a file.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <filesystem>
#include <string>

#include "qt/app_wiring.h"
#include "qt/main_window.h"
#include "qt/port_controller.h"
#include "qt/support/scripted_line.h"
#include "qt/support/wait.h"
#include "qt/support/wired_window.h"
#include "serial/device/device.h"
#include "serial/device_pty.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;
using device::testing::PtyPair;
using testing_support::ScriptedLine;

struct LineTest : ::testing::Test {
  testing_support::WiredWindow scratch;
  MainWindow* w = nullptr;
  AppParts parts;
  std::vector<std::string> errors;
  PtyPair pty;  // what the port map finds as COM6; a scripted line may stand in for it

  void Start() {
    fs::create_symlink(pty.path(), scratch.LinkFolder() / "COM6");
    parts = scratch.Start();
    w = scratch.Window();
    parts.port->ShowError = [this](const std::string& t) { errors.push_back(t); };
  }
  Session& session() { return w->session(); }
  PortController& port() { return *parts.port; }
  std::string Caption() { return w->statusBar().BtnSetBr->text().toStdString(); }
  std::string Message() { return w->frame().Msg->text().toStdString(); }
  uint32_t DeviceRate() {
    device::Dcb dcb;
    EXPECT_FALSE(port().ComPort.Handle()->GetState(dcb));
    return dcb.BaudRate;
  }
};

TEST_F(LineTest, BaudMenuOffersTheFastRatesAndCustomAndEachSetsThePortAndTheCaption) {
  Start();
  QStringList captions;
  for (QAction* a : w->statusBar().PopupMenuSetBr->actions())
    captions << (a->isSeparator() ? QString("-") : a->text());
  EXPECT_EQ(captions.join(' ').toStdString(),
            "4000000 3000000 2000000 1500000 1000000 921600 576000 500000 460800 256000 128000 115200 57600 "
            "56000 38400 19200 14400 9600 4800 2400 1200 600 300 110 - Custom\u2026");

  port().BaudItemOfRate(921600)->trigger();
  EXPECT_EQ(port().ComPort.BaudRate(), brCustom);
  EXPECT_EQ(port().ComPort.CustomBaudRate(), 921600);
  EXPECT_EQ(Caption(), "Baud rate 921600");
  EXPECT_TRUE(port().BaudItemOfRate(921600)->isChecked());
  port().BaudItemOfRate(57600)->trigger();
  EXPECT_EQ(port().ComPort.BaudRate(), br57600) << "a rate the component names keeps its own value";
  EXPECT_EQ(Caption(), "Baud rate 57600");

  uint32_t offered = 0;
  port().AskCustomRate = [&](uint32_t current) -> std::optional<uint32_t> {
    offered = current;
    return 31250;
  };
  port().CustomBaudItem()->trigger();
  EXPECT_EQ(offered, 57600u) << "the dialog starts from the rate in force";
  EXPECT_EQ(Caption(), "Baud rate 31250");
  EXPECT_TRUE(port().CustomBaudItem()->isChecked());
  EXPECT_FALSE(port().BaudItemOfRate(57600)->isChecked());

  // Cancelled: nothing changes, and the check mark stays with the rate in force.
  port().BaudItemOfRate(4000000)->trigger();
  port().AskCustomRate = [](uint32_t) { return std::optional<uint32_t>(); };
  port().CustomBaudItem()->trigger();
  EXPECT_EQ(port().ComPort.CustomBaudRate(), 4000000);
  EXPECT_TRUE(port().BaudItemOfRate(4000000)->isChecked());
  EXPECT_FALSE(port().CustomBaudItem()->isChecked());
  EXPECT_EQ(Caption(), "Baud rate 4000000");
}

TEST_F(LineTest, ACustomRateReachesThePseudoTerminalAndShowsAfterConnect) {
  Start();
  port().AskCustomRate = [](uint32_t) { return std::optional<uint32_t>(1234567); };
  port().CustomBaudItem()->trigger();
  port().BtnConnectClick();
  ASSERT_TRUE(errors.empty()) << errors.front();
  ASSERT_TRUE(session().PortConnected);
  EXPECT_EQ(DeviceRate(), 1234567u);
  EXPECT_EQ(Caption(), "Baud rate 1234567");
  EXPECT_TRUE(port().CustomBaudItem()->isChecked());
}

// A 48 MHz UART divides its clock by 16 and a whole divisor: 1234567 comes out as 1500000,
// 230400 as 230769.
TEST_F(LineTest, TheDevicesVerdictOnARateAtConnect) {
  ScriptedLine scripted;
  scripted.line->SetRateRule([](uint32_t asked) -> uint32_t {
    if (asked == 4000000) return 0;  // beyond the driver: refused outright
    return 3000000 / (3000000 / asked);
  });
  Start();

  // More than 2% off: refused with the rate the device would use, and the window stays
  // disconnected without an error dialog.
  port().AskCustomRate = [](uint32_t) { return std::optional<uint32_t>(1234567); };
  port().CustomBaudItem()->trigger();
  port().BtnConnectClick();
  EXPECT_TRUE(errors.empty());
  EXPECT_FALSE(session().PortConnected);
  EXPECT_FALSE(port().ComPort.Connected());
  EXPECT_EQ(w->statusBar().BtnConnect->text(), "Connect");
  EXPECT_EQ(Message(), "COM6 cannot run at 1234567 baud: the device would use 1500000 baud");

  // Refused outright: the device names the rate it runs at meanwhile.
  port().BaudItemOfRate(4000000)->trigger();
  port().BtnConnectClick();
  EXPECT_FALSE(session().PortConnected);
  EXPECT_EQ(Message().rfind("COM6 cannot run at 4000000 baud: the device would use ", 0), 0u) << Message();

  // Within 2%: the line runs at the device's rate, and the operator is told which.
  port().AskCustomRate = [](uint32_t) { return std::optional<uint32_t>(230400); };
  port().CustomBaudItem()->trigger();
  port().BtnConnectClick();
  ASSERT_TRUE(errors.empty()) << errors.front();
  ASSERT_TRUE(session().PortConnected);
  EXPECT_EQ(DeviceRate(), 230769u);
  EXPECT_EQ(Message(), "COM6 runs at 230769 baud (230400 asked)");
  EXPECT_EQ(Caption(), "Baud rate 230400");
}

}  // namespace
}  // namespace quarlex
