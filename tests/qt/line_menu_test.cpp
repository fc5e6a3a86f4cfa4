// The line's menu from the window, on a scripted fake line standing in for the port (so on
// every platform): rates beyond the component's named ones and "Custom…", the device's verdict
// on a rate at connect, the operator's DTR, RTS and break, and the modem-line lamps.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qt/app_wiring.h"
#include "qt/main_window.h"
#include "qt/port_controller.h"
#include "qt/support/scripted_line.h"
#include "qt/support/wait.h"
#include "qt/support/wired_window.h"
#include "qt/times_controller.h"
#include "serial/device/device.h"
#include "tools/capture_times.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;
using testing_support::ScriptedLine;

struct LineMenuTest : ::testing::Test {
  testing_support::WiredWindow scratch;
  MainWindow* w = nullptr;
  AppParts parts;
  std::vector<std::string> errors;

  void Start() {
    scratch.AddPort(6);  // what the port map finds as COM6; the scripted line stands in for it
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

// The fake line records each escape; these are the operator's line functions among them.
std::vector<uint32_t> LineEscapes(const device::FakeLine& line) {
  std::vector<uint32_t> out;
  for (uint32_t e : line.Recorded().escapes) {
    if (e == device::SETDTR || e == device::CLRDTR || e == device::SETRTS || e == device::CLRRTS ||
        e == device::SETBREAK || e == device::CLRBREAK)
      out.push_back(e);
  }
  return out;
}

std::string EventsText(const CaptureStore& store) {
  std::string text;
  for (size_t i = 0; i < store.Times.EventCount(); ++i) {
    const TimedEvent e = store.Times.Event(i);
    text += std::to_string(e.Position) + " " + LineEventText(e.Events) + "; ";
  }
  return text;
}
TEST_F(LineMenuTest, BaudMenuOffersTheFastRatesAndCustomAndEachSetsThePortAndTheCaption) {
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

// A 48 MHz UART divides its clock by 16 and a whole divisor: 1234567 comes out as 1500000,
// 230400 as 230769.
TEST_F(LineMenuTest, TheDevicesVerdictOnARateAtConnect) {
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

TEST_F(LineMenuTest, DtrRtsAndBreakFromTheMenuReachTheLineAndTheTimeIndex) {
  ScriptedLine scripted;
  device::FakeLine& line = *scripted.line;
  Start();
  QStringList items;
  for (QAction* a : w->statusBar().PopupMenuSetCom->actions()) items << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(items.join('|').toStdString(),
            "Data bits|Stop bits|Parity|Flow control|-|Reconnect|-|DTR|RTS|Send break");
  EXPECT_FALSE(port().DtrItem()->isChecked());
  EXPECT_FALSE(port().RtsItem()->isChecked());
  EXPECT_FALSE(port().BreakItem()->isEnabled()) << "no line to break while disconnected";

  // Chosen while disconnected: nothing reaches a line until the connect, which sets it.
  port().DtrItem()->trigger();
  EXPECT_TRUE(port().DtrItem()->isChecked());
  port().BtnConnectClick();
  ASSERT_TRUE(errors.empty()) << errors.front();
  ASSERT_TRUE(session().PortConnected);
  EXPECT_EQ(LineEscapes(line), std::vector<uint32_t>{device::SETDTR});
  EXPECT_TRUE(w->statusBar().BtnSetCom->isEnabled()) << "the line items stay reachable while connected";
  for (QAction* a : w->statusBar().PopupMenuSetCom->actions()) {
    if (a->menu()) {
      EXPECT_FALSE(a->isEnabled()) << a->text().toStdString() << " waits for a disconnect";
    }
  }
  EXPECT_TRUE(port().BreakItem()->isEnabled());

  line.Receive("AB");
  ASSERT_TRUE(testing_support::WaitUntil([&] { return session().Store.WriteIndex() == 2; }));
  port().RtsItem()->trigger();
  EXPECT_EQ(LineEscapes(line), (std::vector<uint32_t>{device::SETDTR, device::SETRTS}));
  EXPECT_EQ(Message(), "Line: RTS on");

  port().BreakItem()->trigger();
  EXPECT_FALSE(port().BreakItem()->isEnabled()) << "one break at a time";
  port().BreakItem()->trigger();
  ASSERT_TRUE(testing_support::WaitUntil([&] { return port().BreakItem()->isEnabled(); }));
  EXPECT_EQ(LineEscapes(line),
            (std::vector<uint32_t>{device::SETDTR, device::SETRTS, device::SETBREAK, device::CLRBREAK}));
  line.Receive("CD");
  ASSERT_TRUE(testing_support::WaitUntil([&] { return session().Store.WriteIndex() == 4; }));
  port().DtrItem()->trigger();
  EXPECT_EQ(LineEscapes(line).back(), device::CLRDTR);

  // In the capture: DTR on before the first byte, RTS and the break between B and C, DTR off
  // after D; the break shows on the tooltip of the byte after it and in the text export.
  EXPECT_EQ(EventsText(session().Store), "0 DTR on; 2 RTS on; 2 break sent; 4 DTR off; ");
  EXPECT_NE(ByteTooltipText(session().Store, 2).find("\nLine before it: RTS on, break sent"),
            std::string::npos)
      << ByteTooltipText(session().Store, 2);
  const fs::path out = scratch.Root() / "lines.txt";
  ASSERT_TRUE(parts.times->ExportTo(out.string()));
  parts.times->Exporter().Finish();  // the export runs on its worker
  std::ifstream in(out);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t dtrOn = text.find("  LINE  0000000  DTR on\n");
  const size_t brk = text.find("  LINE  0000002  break sent\n");
  const size_t rxCd = text.find("  RX    0000002  43 44");
  EXPECT_NE(dtrOn, std::string::npos) << text;
  EXPECT_NE(brk, std::string::npos) << text;
  EXPECT_LT(brk, rxCd) << text;

  // After a disconnect the choices stay and apply at the next connect.
  port().BtnConnectClick();
  EXPECT_FALSE(port().BreakItem()->isEnabled());
  const size_t before = LineEscapes(line).size();
  port().BtnConnectClick();
  ASSERT_TRUE(session().PortConnected);
  const std::vector<uint32_t> all = LineEscapes(line);
  EXPECT_EQ(std::vector<uint32_t>(all.begin() + static_cast<long>(before), all.end()),
            std::vector<uint32_t>{device::SETRTS});
}

TEST_F(LineMenuTest, ALineChangeTheDeviceRefusesIsReportedAndTheCheckMarkStaysWithTheLine) {
  ScriptedLine scripted;
  Start();
  port().BtnConnectClick();
  ASSERT_TRUE(session().PortConnected);
  scripted.line->FailNext(device::FakeCall::kEscape, device::ErrorOf(device::ErrorKind::kOther));
  port().DtrItem()->trigger();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("EscapeCommFunction function failed", 0), 0u) << errors[0];
  EXPECT_FALSE(port().DtrItem()->isChecked());
  EXPECT_FALSE(port().connection().Dtr());
  EXPECT_EQ(session().Store.Times.EventCount(), 0u) << "no line event for a change that did not happen";
  port().DtrItem()->trigger();
  EXPECT_TRUE(port().DtrItem()->isChecked());
  EXPECT_EQ(LineEscapes(*scripted.line), std::vector<uint32_t>{device::SETDTR});
}

TEST_F(LineMenuTest, WithHardwareFlowControlRtsBelongsToTheDriver) {
  ScriptedLine scripted;
  Start();
  port().RtsItem()->trigger();
  port().FlowItem(fcHardware)->trigger();
  EXPECT_FALSE(port().RtsItem()->isEnabled());
  EXPECT_EQ(port().RtsItem()->toolTip().toStdString(), "With hardware flow control the driver drives RTS");
  port().BtnConnectClick();
  ASSERT_TRUE(session().PortConnected);
  EXPECT_TRUE(LineEscapes(*scripted.line).empty()) << "the wish waits while the driver has RTS";
  EXPECT_EQ(session().Store.Times.EventCount(), 0u);
  port().BtnConnectClick();
  port().FlowItem(fcNone)->trigger();
  EXPECT_TRUE(port().RtsItem()->isEnabled());
  EXPECT_EQ(port().RtsItem()->toolTip().toStdString(), "RTS") << "back to the item's own text";
}

TEST_F(LineMenuTest, LampsFollowTheModemLineEventsAndGoDimWhenDisconnected) {
  ScriptedLine scripted;
  device::FakeLine& line = *scripted.line;
  Start();
  const StatusWidgets& bar = w->statusBar();
  QLabel* const lamps[] = {bar.LampCts, bar.LampDsr, bar.LampDcd, bar.LampRi};
  auto lit = [&] {
    std::string s;
    for (QLabel* l : lamps) s += l->property("lit").toBool() ? '1' : '0';
    return s;
  };
  for (QLabel* l : lamps) EXPECT_FALSE(l->property("live").toBool());
  // Between ". . ." and the speed field, in the order CTS DSR DCD RI.
  EXPECT_GE(bar.LampCts->x(), bar.BtnSetCom->geometry().right());
  EXPECT_LT(bar.LampCts->x(), bar.LampDsr->x());
  EXPECT_LT(bar.LampDcd->x(), bar.LampRi->x());
  EXPECT_LE(bar.LampRi->geometry().right(), bar.PanelSpeed->x());
  EXPECT_TRUE(bar.BtnCom->toolTip().contains("\nLines: not connected\n"))
      << bar.BtnCom->toolTip().toStdString();

  line.SetModemLines(device::MS_CTS_ON);
  port().BtnConnectClick();
  ASSERT_TRUE(session().PortConnected);
  for (QLabel* l : lamps) EXPECT_TRUE(l->property("live").toBool());
  EXPECT_EQ(lit(), "1000");
  line.SetModemLines(device::MS_CTS_ON | device::MS_RLSD_ON | device::MS_DSR_ON);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return lit() == "1110"; })) << lit();
  line.SetModemLines(device::MS_DSR_ON | device::MS_RING_ON);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return lit() == "0101"; })) << lit();
  EXPECT_TRUE(bar.BtnCom->toolTip().contains("\nLines: CTS off, DSR on, DCD off, RI on\n"))
      << bar.BtnCom->toolTip().toStdString();
  line.SetModemLines(device::MS_DSR_ON);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return lit() == "0100"; })) << lit();

  port().BtnConnectClick();
  EXPECT_EQ(lit(), "0000");
  for (QLabel* l : lamps) EXPECT_FALSE(l->property("live").toBool());
  EXPECT_TRUE(bar.BtnCom->toolTip().contains("\nLines: not connected\n"));
}

}  // namespace
}  // namespace quarlex
