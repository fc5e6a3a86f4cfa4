// The tap on the whole window: two pseudo-terminal pairs as the two adapters, each peer writing
// one direction of a conversation; the window only listens.
#include <gtest/gtest.h>
#include <poll.h>

#include <QMenu>
#include <filesystem>
#include <string>

#include "qt/app_wiring.h"
#include "qt/command_line.h"
#include "qt/main_window.h"
#include "qt/port_controller.h"
#include "qt/send_controller.h"
#include "qt/support/wait.h"
#include "qt/support/wired_window.h"
#include "qt/tap_controller.h"
#include "serial/device_pty.h"
#include "tools/capture_times.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;
using device::testing::PtyPair;

// True when the peer could read something the window wrote to its port.
bool PeerGotBytes(const PtyPair& pty) {
  pollfd p{pty.master(), POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

struct TapWindowTest : ::testing::Test {
  testing_support::WiredWindow scratch;
  MainWindow* w = nullptr;
  AppParts parts;
  std::vector<std::string> errors;
  PtyPair a, b;
  void SetUp() override {
    fs::create_symlink(a.path(), scratch.LinkFolder() / "COM5");
    fs::create_symlink(b.path(), scratch.LinkFolder() / "COM7");
    parts = scratch.Start();
    w = scratch.Window();
    parts.port->ShowError = [this](const std::string& t) { errors.push_back(t); };
  }
  Session& session() { return w->session(); }
  std::string Captured() {
    std::string text;
    const CaptureStore& s = session().Store;
    for (uint32_t i = 0; i < s.WriteIndex(); ++i) {
      const bool sent = s.CaptureAttributes[i] & AttrSent;
      text += sent ? "[" : "";
      text += static_cast<char>(s.CaptureBuffer[i]);
      text += sent ? "]" : "";
    }
    return text;
  }
  bool WaitFor(const std::string& want) {
    return testing_support::WaitUntil(
        [&] {
          session().TimerMainTimer();
          return Captured() == want;
        },
        5000);
  }
};

TEST_F(TapWindowTest, BothDirectionsLandInOrderAndNothingIsWritten) {
  ASSERT_EQ(w->statusBar().BtnCom->text(), "Port 5");
  // As `quarlex --tap 7` starts it (the port button's "Tap with…" does the same).
  const CommandLine line = ReadCommandLine({"quarlex", "--tap", "7"}, scratch.Roots());
  ASSERT_TRUE(line.Start) << line.Err;
  ApplyStartOptions(*w, parts, line.Options);
  EXPECT_EQ(w->statusBar().BtnCom->text(), "Port 5 + Port 7");
  parts.port->BtnConnectClick();
  ASSERT_TRUE(errors.empty()) << errors.front();
  ASSERT_TRUE(parts.tap->Tapping());
  EXPECT_TRUE(parts.tap->PortB.Connected());
  EXPECT_EQ(RateOf(parts.tap->PortB), RateOf(parts.port->ComPort));
  EXPECT_FALSE(w->sendBar().BtnSend->isEnabled());
  EXPECT_FALSE(w->sendBar().EditSend->isEnabled());
  EXPECT_EQ(w->sendBar().BtnSend->toolTip().toStdString(), TapSendRefused);

  // Request on A, answer on B, a few times; each waits until the window has the last one, so
  // the read times are milliseconds apart.
  std::string want;
  for (int i = 0; i < 5; ++i) {
    const std::string q = "Q" + std::to_string(i), r = "R" + std::to_string(i);
    a.Send(q);
    want += q;
    ASSERT_TRUE(WaitFor(want)) << Captured();
    b.Send(r);
    want += "[" + r.substr(0, 1) + "][" + r.substr(1) + "]";
    ASSERT_TRUE(WaitFor(want)) << Captured();
  }
  // The answer's tooltip names its port and the gap to the request.
  const TapPortNames names{"Port 5", "Port 7"};
  const std::string tip = ByteTooltipText(session().Store, 2, &names);
  EXPECT_NE(tip.find("From Port 7"), std::string::npos) << tip;
  EXPECT_NE(tip.find("Answer after"), std::string::npos) << tip;

  // A send is refused, and neither peer ever saw a byte from the window.
  w->sendBar().EditSend->setText("41");
  parts.send->SendClick();
  EXPECT_EQ(Captured(), want);
  EXPECT_FALSE(PeerGotBytes(a));
  EXPECT_FALSE(PeerGotBytes(b));

  // Disconnect ends the tap on both ports and gives the send bar back.
  parts.port->BtnConnectClick();
  EXPECT_FALSE(parts.tap->PortB.Connected());
  EXPECT_EQ(session().Tap, nullptr);
  EXPECT_TRUE(w->sendBar().BtnSend->isEnabled());
  parts.tap->Choose(0);
  EXPECT_EQ(w->statusBar().BtnCom->text(), "Port 5");
}

TEST_F(TapWindowTest, BVanishingLeavesARecordingAndReconnectBringsBBack) {
  // The port button's context menu: the other ports to tap with, and "Tap off".
  emit w->statusBar().BtnCom->rightClicked(QPoint(0, 0));
  QMenu* menu = parts.tap->Menu();
  menu->hide();
  const QList<QAction*> items = menu->actions();
  ASSERT_EQ(items.size(), 2);
  EXPECT_EQ(items[0]->text(), "Tap with…");
  EXPECT_EQ(items[1]->text(), "Tap off");
  EXPECT_FALSE(items[1]->isEnabled());
  ASSERT_NE(items[0]->menu(), nullptr);
  const QList<QAction*> ports = items[0]->menu()->actions();
  ASSERT_EQ(ports.size(), 1);
  EXPECT_EQ(ports[0]->text(), "Port 7");
  ports[0]->trigger();
  EXPECT_EQ(w->statusBar().BtnCom->text(), "Port 5 + Port 7");
  parts.port->BtnConnectClick();
  ASSERT_TRUE(parts.tap->Tapping());
  b.Send("r");
  ASSERT_TRUE(WaitFor("[r]")) << Captured();
  b.HangUp();  // B's device reports the line gone
  ASSERT_TRUE(testing_support::WaitUntil([&] { return !parts.tap->PortB.Connected(); }, 5000));
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] { return w->frame().Msg->text() == "Port 7 lost; Port 5 keeps recording"; }, 5000))
      << w->frame().Msg->text().toStdString();
  a.Send("q");
  ASSERT_TRUE(WaitFor("[r]q")) << Captured();
  EXPECT_TRUE(session().PortConnected);

  // B's device back under its number (Reconnect is on): the next scan reopens it into the same
  // capture, with a reconnect event in the times.
  PtyPair again;
  fs::remove(scratch.LinkFolder() / "COM7");
  fs::create_symlink(again.path(), scratch.LinkFolder() / "COM7");
  parts.port->ScanPorts();
  ASSERT_TRUE(parts.tap->PortB.Connected());
  EXPECT_EQ(w->frame().Msg->text(), "Port 7 back, recording again");
  again.Send("s");
  ASSERT_TRUE(WaitFor("[r]q[s]")) << Captured();
  const TimeIndex& times = session().Store.Times;
  ASSERT_EQ(times.EventCount(), 2u);
  EXPECT_TRUE(Has(times.Event(0).Events, LineEvent::Disconnect));
  EXPECT_TRUE(Has(times.Event(1).Events, LineEvent::Reconnect));
  EXPECT_TRUE(errors.empty());
}

TEST_F(TapWindowTest, BRecordsOnWhileReconnectWaitsForA) {
  parts.tap->Choose(7);
  parts.port->BtnConnectClick();
  ASSERT_TRUE(parts.tap->Tapping());
  a.Send("q");
  ASSERT_TRUE(WaitFor("q")) << Captured();
  a.HangUp();  // A's device vanishes; Reconnect (on by default) waits for it
  ASSERT_TRUE(testing_support::WaitUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(w->frame().Msg->text(), "Port 5 lost; Port 7 keeps recording");
  EXPECT_EQ(w->statusBar().BtnConnect->text(), "Disconnect");
  ASSERT_TRUE(parts.tap->PortB.Connected());
  b.Send("r");
  ASSERT_TRUE(WaitFor("q[r]")) << Captured();

  // A back: into the same capture, beside B.
  PtyPair again;
  fs::remove(scratch.LinkFolder() / "COM5");
  fs::create_symlink(again.path(), scratch.LinkFolder() / "COM5");
  parts.port->ScanPorts();
  ASSERT_TRUE(testing_support::WaitUntil([&] { return parts.port->ComPort.Connected(); }));
  again.Send("Q");
  ASSERT_TRUE(WaitFor("q[r]Q")) << Captured();
  b.Send("R");
  ASSERT_TRUE(WaitFor("q[r]Q[R]")) << Captured();

  // Disconnect ends both.
  parts.port->BtnConnectClick();
  EXPECT_FALSE(parts.tap->PortB.Connected());
  EXPECT_EQ(session().Tap, nullptr);
}

}  // namespace
}  // namespace quarlex
