// The whole window on a pseudo-terminal pair: port discovery through the link folder, connect,
// live bytes into the capture and onto the grid, sending, disconnect, busy and permission
// messages, the line-settings menus, and a peer that hangs up.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "qt/app_wiring.h"
#include "qt/main_window.h"
#include "qt/port_controller.h"
#include "qt/send_controller.h"
#include "qt/support/wait.h"
#include "qt/support/wired_window.h"
#include "qt/times_controller.h"
#include "serial/device/device.h"
#include "serial/device/port_lock_linux.h"
#include "serial/device_pty.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;
using device::testing::PtyPair;

struct ConnectionTest : ::testing::Test {
  testing_support::WiredWindow scratch;
  const fs::path& root = scratch.Root();
  MainWindow* w = nullptr;
  AppParts parts;
  std::vector<std::string> errors;

  void Link(int number, const std::string& target) {
    fs::create_symlink(target, scratch.LinkFolder() / ("COM" + std::to_string(number)));
  }
  void Start() {
    parts = scratch.Start();
    w = scratch.Window();
    parts.port->ShowError = [this](const std::string& t) { errors.push_back(t); };
    parts.send->ShowError = [this](const std::string& t) { errors.push_back(t); };
  }
  Session& session() { return w->session(); }
};

TEST_F(ConnectionTest, ConnectReceiveSendAndDisconnect) {
  PtyPair pty;
  Link(42, pty.path());
  Start();
  EXPECT_EQ(w->statusBar().BtnCom->text(), "Port 42");
  EXPECT_TRUE(w->statusBar().BtnCom->toolTip().contains(QString::fromStdString(root.string())));
  EXPECT_EQ(w->statusBar().BtnSetBr->text(), "Baud rate 115200");
  EXPECT_TRUE(parts.port->BaudItem(br115200)->isChecked());
  EXPECT_TRUE(parts.port->DataBitsItem(dbEight)->isChecked());
  EXPECT_TRUE(parts.port->FlowItem(fcNone)->isChecked());

  parts.port->BtnConnectClick();
  ASSERT_TRUE(errors.empty()) << errors.front();
  EXPECT_TRUE(session().PortConnected);
  EXPECT_EQ(w->statusBar().BtnConnect->text(), "Disconnect");
  EXPECT_FALSE(w->statusBar().BtnCom->isEnabled());
  EXPECT_FALSE(w->statusBar().BtnSetBr->isEnabled());
  EXPECT_EQ(parts.port->ComPort.Port(), "COM42");
  // The window's port asks for a 64 KiB input queue, and the flow-control limits follow from it.
  EXPECT_EQ(parts.port->ComPort.Buffer().InputSize(), 65536);
  device::Dcb dcb;
  ASSERT_FALSE(parts.port->ComPort.Handle()->GetState(dcb));
  EXPECT_EQ(dcb.XonLim, 16384);
  EXPECT_EQ(dcb.XoffLim, 16384);

  // Random bytes, 0x00 and 0xFF included, arrive whole and in order.
  std::string data(100000, '\0');
  std::mt19937 rng(7);
  for (char& c : data) c = static_cast<char>(rng());
  data[0] = '\0';
  data[1] = '\xFF';
  pty.Send(data);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return session().Store.WriteIndex() == data.size(); }, 10000))
      << "received " << session().Store.WriteIndex() << " of " << data.size();
  EXPECT_EQ(std::memcmp(session().Store.CaptureBuffer, data.data(), data.size()), 0);
  EXPECT_EQ(session().Store.RxBytesSinceTick, data.size());

  // The next tick draws the new bytes; the 12th shows the speed.
  const QImage before = w->exchange().ImageExch->Frame().copy();
  session().TimerMainTimer();
  EXPECT_NE(w->exchange().ImageExch->Frame(), before);
  for (int i = 0; i < 11; ++i) session().TimerMainTimer();
  EXPECT_EQ(w->statusBar().PanelSpeed->text(), QString("%1 Bps").arg(data.size()));

  // A send reaches the peer and is recorded with the sent bit.
  w->sendBar().EditSend->setText("DE AD 00 FF");
  parts.send->SendClick();
  EXPECT_EQ(pty.Receive(4), std::string("\xDE\xAD\x00\xFF", 4));
  EXPECT_EQ(session().Store.CaptureBuffer[data.size()], 0xDE);
  EXPECT_EQ(session().Store.CaptureAttributes[data.size() + 3], 0x80);

  parts.port->BtnConnectClick();
  EXPECT_FALSE(session().PortConnected);
  EXPECT_EQ(w->statusBar().BtnConnect->text(), "Connect");
  EXPECT_TRUE(w->statusBar().BtnCom->isEnabled());
  EXPECT_FALSE(parts.port->ComPort.Connected());
  // The peer sees the device closed: with no slave open, the master reports a hang-up.
  pollfd p{pty.master(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  EXPECT_TRUE(errors.empty());
}

TEST_F(ConnectionTest, BusyPortIsReportedForTwelveTicksAndStaysDisconnected) {
  PtyPair pty;
  Link(7, pty.path());
  Start();
  std::unique_ptr<device::Device> holder;
  ASSERT_TRUE(device::OpenDevice(pty.path(), holder).ok());
  parts.port->BtnConnectClick();
  EXPECT_FALSE(session().PortConnected);
  EXPECT_EQ(w->statusBar().BtnConnect->text(), "Connect");
  EXPECT_FALSE(w->frame().Msg->isHidden());
  EXPECT_EQ(w->frame().Msg->text(), "COM7 is busy software or device");
  EXPECT_EQ(w->frame().Msg->palette().color(QPalette::Window), QColor(201, 79, 77));
  for (int i = 0; i < 11; ++i) session().TimerMainTimer();
  EXPECT_FALSE(w->frame().Msg->isHidden());
  session().TimerMainTimer();
  EXPECT_TRUE(w->frame().Msg->isHidden());
}

TEST_F(ConnectionTest, APortAnotherProgramOpenedWithoutALockIsBusyAndItsHolderNamed) {
  PtyPair pty;
  Link(9, pty.path());
  Start();
  {
    device::testing::OtherProcess other(pty.path(), "line-reader");
    ASSERT_TRUE(other.opened());
    parts.port->BtnConnectClick();
    EXPECT_FALSE(session().PortConnected);
    EXPECT_FALSE(parts.port->ComPort.Connected());
    EXPECT_EQ(w->frame().Msg->text(), "COM9 is busy software or device");
    const QString held = QString("Held by line-reader (PID %1)").arg(other.pid());
    EXPECT_TRUE(w->statusBar().BtnCom->toolTip().contains(held))
        << w->statusBar().BtnCom->toolTip().toStdString();
  }
  // Free again: the connection holds the line's lock file for tools that look there, and the
  // tooltip no longer names anyone.
  parts.port->BtnConnectClick();
  ASSERT_TRUE(session().PortConnected);
  EXPECT_FALSE(w->statusBar().BtnCom->toolTip().contains("Held by"));
  const fs::path lock = device::CurrentPortLockRoots().LockFolder / device::LockFileName(pty.path());
  EXPECT_EQ(device::ReadLockPid(lock), getpid());
  parts.port->BtnConnectClick();
  EXPECT_FALSE(fs::exists(lock));
}

TEST_F(ConnectionTest, PermissionDeniedSaysWhatToDo) {
  PtyPair pty;
  Link(3, pty.path());
  Start();
  // Root opens anything, so the refusal comes from a device opener that answers as Linux does
  // for a user outside the dialout group.
  auto previous = device::SetDeviceOpener([](std::string_view, std::unique_ptr<device::Device>&) {
    return device::ErrorFromErrno(EACCES, device::ErrorKind::kAccessDenied, device::kWinAccessDenied);
  });
  parts.port->BtnConnectClick();
  device::SetDeviceOpener(previous);
  EXPECT_FALSE(session().PortConnected);
  EXPECT_EQ(w->frame().Msg->text(), "COM3: permission denied (add the user to the dialout group)");
}

TEST_F(ConnectionTest, NoPortAtAllNamesPortZero) {
  Start();
  EXPECT_EQ(w->statusBar().BtnCom->text(), "Port 0");
  parts.port->BtnConnectClick();
  EXPECT_EQ(w->frame().Msg->text(), "COM0 is busy software or device");
  EXPECT_FALSE(session().PortConnected);
}

TEST_F(ConnectionTest, AVirtualPortAppearsAndVanishesOnTheButton) {
  PtyPair pty;
  Start();
  EXPECT_EQ(w->statusBar().BtnCom->text(), "Port 0");
  Link(12, pty.path());
  ASSERT_TRUE(testing_support::WaitUntil([&] { return w->statusBar().BtnCom->text() == "Port 12"; }))
      << w->statusBar().BtnCom->text().toStdString();
  fs::remove(root / "ports/COM12");
  ASSERT_TRUE(testing_support::WaitUntil([&] { return w->statusBar().BtnCom->text() == "Port 0"; }))
      << w->statusBar().BtnCom->text().toStdString();

  // Another port shows while 12 is away; when 12 is back it is selected again, so the next
  // Connect reaches the device the operator had.
  PtyPair console;
  Link(3, console.path());
  ASSERT_TRUE(testing_support::WaitUntil([&] { return w->statusBar().BtnCom->text() == "Port 3"; }))
      << w->statusBar().BtnCom->text().toStdString();
  Link(12, pty.path());
  ASSERT_TRUE(testing_support::WaitUntil([&] { return w->statusBar().BtnCom->text() == "Port 12"; }))
      << w->statusBar().BtnCom->text().toStdString();
  parts.port->BtnConnectClick();
  ASSERT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(parts.port->ComPort.Port(), "COM12");
}

TEST_F(ConnectionTest, MenuItemsSetThePortAndTheirCheckMark) {
  Start();
  parts.port->BaudItem(br9600)->trigger();
  EXPECT_EQ(parts.port->ComPort.BaudRate(), br9600);
  EXPECT_TRUE(parts.port->BaudItem(br9600)->isChecked());
  EXPECT_FALSE(parts.port->BaudItem(br115200)->isChecked());
  EXPECT_EQ(w->statusBar().BtnSetBr->text(), "Baud rate 9600");
  parts.port->StopBitsItem(sbOne5StopBits)->trigger();
  EXPECT_EQ(parts.port->ComPort.StopBits(), sbOne5StopBits);
  EXPECT_EQ(w->statusBar().BtnSetBr->text(), "Baud rate 9600") << "only baud items change a caption";
  parts.port->DataBitsItem(dbSeven)->trigger();
  EXPECT_EQ(parts.port->ComPort.DataBits(), dbSeven);
  parts.port->ParityItem(prMark)->trigger();
  EXPECT_EQ(parts.port->ComPort.Parity().Bits(), prMark);
  parts.port->FlowItem(fcHardware)->trigger();
  EXPECT_EQ(parts.port->ComPort.FlowControl().FlowControl(), fcHardware);
  EXPECT_TRUE(parts.port->FlowItem(fcHardware)->isChecked());
  EXPECT_FALSE(parts.port->FlowItem(fcNone)->isChecked());
}

// The two line-settings menus open at a point measured from the window's outer edge (its frame),
// not from the client area, whatever the button pressed.
TEST_F(ConnectionTest, LineSettingsMenusOpenFromTheWindowsOuterEdge) {
  Start();
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  const StatusWidgets& bar = w->statusBar();
  const QPoint outer = w->frameGeometry().topLeft();
  ASSERT_NE(outer, w->mapToGlobal(QPoint(0, 0))) << "the platform draws no frame: the test cannot tell";
  struct Case {
    ClickLabel* button;
    QMenu* menu;
    int dy;
  };
  for (const Case& c :
       {Case{bar.BtnSetBr, bar.PopupMenuSetBr, 35}, Case{bar.BtnSetCom, bar.PopupMenuSetCom, -59}}) {
    for (const bool right : {false, true}) {
      SCOPED_TRACE(c.menu->objectName().toStdString() + (right ? " right click" : " left click"));
      if (right)
        emit c.button->rightClicked(c.button->mapToGlobal(QPoint(5, 5)));
      else
        emit c.button->clicked();
      ASSERT_TRUE(testing_support::WaitUntil([&] { return c.menu->isVisible(); }));
      const QPoint want =
          outer + QPoint(bar.PanelNpc4->x() + c.button->x() + 25, bar.PanelNpc4->y() + c.button->y() + c.dy);
      EXPECT_EQ(c.menu->pos().x(), want.x());
      // A menu that would run off the screen is moved up by the toolkit; one that fits opens there.
      const QRect screen = c.menu->screen()->availableGeometry();
      if (want.y() + c.menu->height() <= screen.bottom() + 1) {
        EXPECT_EQ(c.menu->pos().y(), want.y());
      }
      c.menu->close();
      ASSERT_TRUE(testing_support::WaitUntil([&] { return !c.menu->isVisible(); }));
    }
  }
}

TEST_F(ConnectionTest, PeerHangUpClosesThePortWithPortDisconnected) {
  PtyPair pty;
  Link(5, pty.path());
  Start();
  parts.port->ReconnectItem()->setChecked(false);
  parts.port->BtnConnectClick();
  ASSERT_TRUE(session().PortConnected);
  pty.HangUp();
  ASSERT_TRUE(testing_support::WaitUntil([&] { return !errors.empty(); })) << "no message after the hang-up";
  EXPECT_NE(errors.front().find("Port Disconnected"), std::string::npos) << errors.front();
  EXPECT_FALSE(session().PortConnected);
  EXPECT_EQ(w->statusBar().BtnConnect->text(), "Connect");
  EXPECT_TRUE(w->statusBar().BtnCom->isEnabled());
}

// Reconnect on (the default): the far end hangs up and its link goes; the error dialog opens as
// before, and while it is open the port is linked again, reopened, and lost once more without a
// second dialog; a link made again after it is closed reopens the port too.
TEST_F(ConnectionTest, ALostPortIsReopenedWhenItsLinkIsBackWithOneDialogForManyLosses) {
  auto pty = std::make_unique<PtyPair>();
  Link(5, pty->path());
  Start();
  QAction* item = parts.port->ReconnectItem();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->text(), "Reconnect");
  EXPECT_TRUE(item->isCheckable());
  EXPECT_TRUE(item->isChecked());
  EXPECT_TRUE(w->statusBar().PopupMenuSetCom->actions().contains(item));
  const fs::path link = scratch.LinkFolder() / "COM5";
  auto waiting = [&] { return parts.port->connection().Waiting(); };
  auto connected = [&] { return parts.port->ComPort.Connected() && session().PortConnected; };
  int open = 0, most = 0;
  bool backInDialog = false, lostAgainInDialog = false;
  std::unique_ptr<PtyPair> second;
  parts.port->ShowError = [&](const std::string& text) {
    errors.push_back(text);
    most = std::max(most, ++open);
    if (errors.size() == 1) {
      // The dialog's own event loop: the port comes back and vanishes again meanwhile.
      second = std::make_unique<PtyPair>();
      fs::create_symlink(second->path(), link);
      backInDialog = testing_support::WaitUntil(connected);
      if (backInDialog) {
        second->HangUp();
        fs::remove(link);
        lostAgainInDialog = testing_support::WaitUntil(
            [&] { return waiting() && w->frame().Msg->text().endsWith("is back"); });
      }
    }
    --open;
  };
  parts.port->BtnConnectClick();
  ASSERT_TRUE(connected());
  pty->HangUp();
  fs::remove(link);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return !errors.empty() && open == 0; }));
  EXPECT_NE(errors.front().find("Port Disconnected"), std::string::npos) << errors.front();
  EXPECT_TRUE(backInDialog);
  EXPECT_TRUE(lostAgainInDialog);
  EXPECT_EQ(errors.size(), 1u) << "the second loss opened another dialog";
  EXPECT_EQ(most, 1);
  ASSERT_TRUE(waiting()) << "lost twice, still awaited";
  EXPECT_EQ(w->frame().Msg->text(), "COM5 lost, reconnecting when it is back");
  EXPECT_EQ(w->statusBar().BtnConnect->text(), "Disconnect");
  EXPECT_FALSE(w->statusBar().BtnSetBr->isEnabled());
  EXPECT_FALSE(w->statusBar().PopupMenuSetCom->actions().front()->isEnabled())
      << "the line settings wait for a disconnect";
  EXPECT_EQ(w->statusBar().BtnCom->text(), "Port 5");

  PtyPair third;
  fs::create_symlink(third.path(), link);
  ASSERT_TRUE(testing_support::WaitUntil(connected)) << w->frame().Msg->text().toStdString();
  EXPECT_TRUE(w->frame().Msg->text().startsWith("COM5 back after ")) << w->frame().Msg->text().toStdString();
  third.Send("again");
  ASSERT_TRUE(testing_support::WaitUntil([&] { return session().Store.WriteIndex() == 5; }));
  EXPECT_EQ(errors.size(), 1u);

  // The operator's Disconnect while it is awaited stops the waiting.
  third.HangUp();
  fs::remove(link);
  ASSERT_TRUE(testing_support::WaitUntil(waiting));
  parts.port->BtnConnectClick();
  EXPECT_FALSE(waiting());
  EXPECT_EQ(w->statusBar().BtnConnect->text(), "Connect");
  EXPECT_TRUE(w->statusBar().BtnSetCom->isEnabled());
}

}  // namespace
}  // namespace quarlex

namespace quarlex {
namespace {

TEST_F(ConnectionTest, ClosingWhileConnectedWithAutosaveSavesAndClosesThePort) {
  PtyPair pty;
  Link(8, pty.path());
  Start();
  const fs::path folder = root / "captures";
  fs::create_directories(folder);
  session().ExeFolder = folder.string() + "/";
  w->saveMenu().save_Auto->setChecked(true);
  parts.port->BtnConnectClick();
  ASSERT_TRUE(session().PortConnected);
  pty.Send("$GPGGA,123519*47\r\n");
  ASSERT_TRUE(testing_support::WaitUntil([&] { return session().Store.WriteIndex() == 18u; }))
      << "received " << session().Store.WriteIndex();
  w->close();
  EXPECT_FALSE(parts.port->ComPort.Connected());
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].extension(), ".data");
  EXPECT_EQ(files[1].stem(), files[0].stem()) << "the times beside the bytes";
  EXPECT_EQ(files[0].filename().string().rfind("COM8_", 0), 0u) << files[0];
  std::ifstream in(files[0], std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(saved, "$GPGGA,123519*47\r\n");
  pollfd p{pty.master(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_TRUE(p.revents & POLLHUP) << "the peer sees the port closed";
}

}  // namespace
}  // namespace quarlex
