// The line itself from the window: rates beyond the component's named ones and "Custom…", the
// device's verdict on a rate at connect, the operator's DTR, RTS and break, the modem-line
// lamps, and sending a file.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qt/app_wiring.h"
#include "qt/main_window.h"
#include "qt/port_controller.h"
#include "qt/send_controller.h"
#include "qt/support/scripted_line.h"
#include "qt/support/wait.h"
#include "qt/support/wired_window.h"
#include "qt/times_controller.h"
#include "serial/device/device.h"
#include "serial/device_pty.h"
#include "tools/capture_times.h"

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
  // A pseudo-terminal has no DTR or RTS: the operator's choice costs the connect nothing.
  port().DtrItem()->trigger();
  port().RtsItem()->trigger();
  port().BtnConnectClick();
  ASSERT_TRUE(errors.empty()) << errors.front();
  ASSERT_TRUE(session().PortConnected);
  EXPECT_TRUE(w->statusBar().LampCts->property("live").toBool());
  EXPECT_EQ(EventsText(session().Store), "0 DTR on; 0 RTS on; ");
  port().BreakItem()->trigger();
  ASSERT_TRUE(testing_support::WaitUntil([&] { return port().BreakItem()->isEnabled(); }));
  EXPECT_TRUE(errors.empty()) << errors.front();
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

TEST_F(LineTest, DtrRtsAndBreakFromTheMenuReachTheLineAndTheTimeIndex) {
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

TEST_F(LineTest, ALineChangeTheDeviceRefusesIsReportedAndTheCheckMarkStaysWithTheLine) {
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

TEST_F(LineTest, WithHardwareFlowControlRtsBelongsToTheDriver) {
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

TEST_F(LineTest, LampsFollowTheModemLineEventsAndGoDimWhenDisconnected) {
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

// The far end of the pseudo-terminal, read on its own thread: the window's writes never wait
// for the test's loop.
class PeerReader {
 public:
  explicit PeerReader(int fd) : fd_(fd), thread_([this] { Run(); }) {}
  ~PeerReader() {
    stop_ = true;
    thread_.join();
  }
  std::string Bytes() {
    std::lock_guard lock(mu_);
    return got_;
  }
  void Clear() {
    std::lock_guard lock(mu_);
    got_.clear();
  }

 private:
  void Run() {
    char buf[65536];
    while (!stop_) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, 20) <= 0) continue;
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) {
        std::lock_guard lock(mu_);
        got_.append(buf, static_cast<size_t>(n));
      }
    }
  }
  int fd_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::string got_;
  std::thread thread_;
};

std::string Sha256(const std::string& bytes) {
  return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

std::string RandomText(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

TEST_F(LineTest, SendFileReachesThePeerExactlyAndTheCaptureHoldsItAsSent) {
  Start();
  port().BaudItemOfRate(4000000)->trigger();
  port().BtnConnectClick();
  ASSERT_TRUE(session().PortConnected);
  PeerReader peer(pty.master());
  SendController& send = *parts.send;
  EXPECT_EQ(w->sendBar().PopupMenuSend->actions().back()->text().toStdString(), "Send file\u2026");
  uint32_t from = 0;
  for (size_t size : {size_t{0}, size_t{1}, size_t{4095}, size_t{4097}, size_t{1000000}}) {
    const std::string file = RandomText(size, static_cast<unsigned>(size) + 1);
    const fs::path path = scratch.Root() / ("fw-" + std::to_string(size) + ".bin");
    std::ofstream(path, std::ios::binary) << file;
    peer.Clear();
    send.AskFile = [&] { return path.string(); };
    w->sendBar().item_SendFile->trigger();
    ASSERT_TRUE(testing_support::WaitUntil([&] { return !send.fileSender().Active(); }, 20000)) << size;
    ASSERT_TRUE(testing_support::WaitUntil([&] { return peer.Bytes().size() >= size; })) << size;
    EXPECT_EQ(Sha256(peer.Bytes()), Sha256(file)) << size;
    const CaptureStore& store = session().Store;
    ASSERT_EQ(store.WriteIndex() - from, size);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(store.CaptureBuffer + from), size), file);
    for (uint32_t i = from; i < store.WriteIndex(); ++i) ASSERT_TRUE(store.CaptureAttributes[i] & 0x80) << i;
    from = store.WriteIndex();
    EXPECT_EQ(Message().rfind("Sent fw-" + std::to_string(size) + ".bin (", 0), 0u) << Message();
  }
}

// At 115200 baud a megabyte takes a minute and a half: meanwhile the receive path and the grid
// go on, and Cancel stops the send with the capture holding exactly what the peer got.
TEST_F(LineTest, WhileAFileGoesOutBytesKeepArrivingAndCancelStopsIt) {
  Start();
  port().BtnConnectClick();
  ASSERT_TRUE(session().PortConnected);
  PeerReader peer(pty.master());
  SendController& send = *parts.send;
  const std::string file = RandomText(1000000, 3);
  const fs::path path = scratch.Root() / "image.bin";
  std::ofstream(path, std::ios::binary) << file;
  send.SendFile(path.string());
  ASSERT_TRUE(send.fileSender().Active());
  EXPECT_FALSE(w->sendBar().BtnSendCancel->isHidden());
  ASSERT_TRUE(testing_support::WaitUntil([&] { return send.fileSender().Sent() > 0; }));

  pty.Send("live");
  const CaptureStore& store = session().Store;
  auto received = [&] {
    std::string r;
    for (uint32_t i = 0; i < store.WriteIndex(); ++i)
      if (!(store.CaptureAttributes[i] & 0x80)) r += static_cast<char>(store.CaptureBuffer[i]);
    return r;
  };
  ASSERT_TRUE(testing_support::WaitUntil([&] { return received() == "live"; })) << received();
  EXPECT_TRUE(send.fileSender().Active()) << "the bytes came in while the file was going out";
  ASSERT_EQ(session().ReceivedSinceDraw, 1);
  session().TimerMainTimer();
  EXPECT_EQ(session().ReceivedSinceDraw, 0) << "the tick drew the grid";

  QTest::mouseClick(w->sendBar().BtnSendCancel, Qt::LeftButton);
  EXPECT_FALSE(send.fileSender().Active());
  EXPECT_TRUE(w->sendBar().BtnSendCancel->isHidden());
  const size_t sent = send.fileSender().Sent();
  EXPECT_LT(sent, file.size());
  EXPECT_EQ(Message().rfind("Sending image.bin cancelled after ", 0), 0u) << Message();
  std::string capturedSent;
  for (uint32_t i = 0; i < store.WriteIndex(); ++i)
    if (store.CaptureAttributes[i] & 0x80) capturedSent += static_cast<char>(store.CaptureBuffer[i]);
  EXPECT_EQ(capturedSent, file.substr(0, capturedSent.size()));
  ASSERT_TRUE(testing_support::WaitUntil([&] { return peer.Bytes().size() >= capturedSent.size(); }));
  QTest::qWait(50);  // nothing more may follow
  EXPECT_EQ(peer.Bytes(), capturedSent);
}

TEST_F(LineTest, SendFileRefusesWhatCannotGo) {
  Start();
  SendController& send = *parts.send;
  send.SendFile(scratch.Root().string());
  EXPECT_EQ(Message(), scratch.Root().filename().string() + " is a folder, not sent");
  const fs::path small = scratch.Root() / "small.bin";
  std::ofstream(small) << "x";
  send.SendFile(small.string());
  EXPECT_EQ(Message(), "Connect first to send small.bin");
  EXPECT_FALSE(send.fileSender().Active());

  // A file dropped on the send box goes the same way.
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString((scratch.Root() / "none.bin").string()))});
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w->sendBar().EditSend, &enter);
  EXPECT_TRUE(enter.isAccepted()) << "the send box takes a file";
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w->sendBar().EditSend, &drop);
  EXPECT_EQ(Message(), "none.bin cannot be read: No such file or directory");
}

}  // namespace
}  // namespace quarlex
