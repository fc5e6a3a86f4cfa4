// The line itself from the window through a Linux pseudo-terminal: a custom rate the terminal
// takes, and sending a file, which the peer reads whole. The rest of the line's menu runs on a
// scripted line (line_menu_test.cpp).
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

struct LineTest : ::testing::Test {
  testing_support::WiredWindow scratch;
  MainWindow* w = nullptr;
  AppParts parts;
  std::vector<std::string> errors;
  PtyPair pty;  // what the port map finds as COM6

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

std::string EventsText(const CaptureStore& store) {
  std::string text;
  for (size_t i = 0; i < store.Times.EventCount(); ++i) {
    const TimedEvent e = store.Times.Event(i);
    text += std::to_string(e.Position) + " " + LineEventText(e.Events) + "; ";
  }
  return text;
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
