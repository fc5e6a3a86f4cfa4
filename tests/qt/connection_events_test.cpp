// The connected window on a scripted fake line standing in for the port (so on every platform):
// a failing read after a rollover closes the port, and line events reach the operator with the
// bytes' arrival times.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHelpEvent>
#include <QToolTip>
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
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
#include "tests/app/support/store_fields.h"
#include "tests/serial/support/fake_device.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;
using testing_support::ScriptedLine;

struct ScriptedConnectionTest : ::testing::Test {
  testing_support::WiredWindow scratch;
  const fs::path& root = scratch.Root();
  MainWindow* w = nullptr;
  AppParts parts;
  std::vector<std::string> errors;

  // COM6 in the port map; opening it gives the scripted line made after Start().
  void Start() {
    scratch.AddPort(6);
    parts = scratch.Start();
    w = scratch.Window();
    parts.port->ShowError = [this](const std::string& t) { errors.push_back(t); };
    parts.send->ShowError = [this](const std::string& t) { errors.push_back(t); };
  }
  Session& session() { return w->session(); }
};

// A read that fails while the tick takes the bytes a full ring left queued is handled like any
// other failure of the device: the port closes, the operator is told, the program goes on.
TEST_F(ScriptedConnectionTest, FailingReadOfQueuedBytesAfterARolloverClosesThePort) {
  Start();
  ScriptedLine scripted;
  device::FakeLine* line = scripted.line.get();
  const fs::path folder = root / "captures";
  session().ExeFolder = folder.string() + "/";
  w->saveMenu().save_Auto->setChecked(true);
  parts.port->BtnConnectClick();
  ASSERT_TRUE(session().PortConnected);
  CaptureStore& store = session().Store;
  StoreFields(store).WriteIndex = CaptureSize - 10;  // ten bytes of room left
  line->Receive(std::string(100, 'x'));
  ASSERT_TRUE(testing_support::WaitUntil([&] { return store.CaptureFull() == 1; }));
  line->FailNext(device::FakeCall::kStartRead, device::ErrorFromErrno(EIO, device::ErrorKind::kOther, 0));
  EXPECT_NO_THROW(session().TimerMainTimer());
  EXPECT_FALSE(parts.port->ComPort.Connected());
  ASSERT_TRUE(testing_support::WaitUntil([&] { return !errors.empty(); })) << "the operator is not told";
  EXPECT_NE(errors.front().find("Read"), std::string::npos) << errors.front();
  EXPECT_FALSE(session().PortConnected);
  EXPECT_EQ(w->statusBar().BtnConnect->text(), "Connect");
  std::vector<fs::path> saved;
  for (const auto& e : fs::directory_iterator(folder)) saved.push_back(e.path());
  ASSERT_EQ(saved.size(), 2u) << "the ring and its times";
  std::sort(saved.begin(), saved.end());
  EXPECT_EQ(fs::file_size(saved[0]), CaptureSize) << "the ring was saved first";
}

// Line trouble on a scripted line: counted on the port button's tooltip, told on the message
// panel, and kept with the bytes, where the grid's tooltip and the text export show it.
TEST_F(ScriptedConnectionTest, LineEventsAndArrivalTimesReachTheOperator) {
  Start();
  ScriptedLine scripted;
  device::FakeLine* line = scripted.line.get();
  parts.port->BtnConnectClick();
  ASSERT_EQ(session().PortConnected, 1);
  EXPECT_TRUE(w->statusBar().BtnCom->toolTip().endsWith("\nLine events: none"))
      << w->statusBar().BtnCom->toolTip().toStdString();

  line->LineError(device::CE_FRAME);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return session().LineCounts().Framing == 1; }));
  EXPECT_EQ(w->frame().Msg->text(), "Line: framing error");
  EXPECT_TRUE(w->statusBar().BtnCom->toolTip().endsWith("\nLine events: 1 framing error"));
  line->Receive("OK");
  ASSERT_TRUE(testing_support::WaitUntil([&] { return session().Store.WriteIndex() == 2; }));
  w->OutExchange();

  // Resting on the second byte: its cell at design scale is 30 wide from x 93 (in frame pixels).
  const qreal dpr = w->exchange().ImageExch->devicePixelRatioF();
  const double scale = w->exchange().ImageExch->Frame().width() / 1055.0;
  const QPoint at(qRound((93 + 45) * scale / dpr), qRound(10 * scale / dpr));
  QHelpEvent help(QEvent::ToolTip, at, w->exchange().ImageExch->mapToGlobal(at));
  QApplication::sendEvent(w->exchange().ImageExch, &help);
  ASSERT_TRUE(QToolTip::isVisible());
  const std::string tip = QToolTip::text().toStdString();
  EXPECT_TRUE(tip.starts_with("Position 0000001 (1)\nValue 0x4B, 75, 'K'\nReceived ")) << tip;
  EXPECT_TRUE(tip.ends_with("\nLine before it: framing error")) << tip;
  QToolTip::hideText();

  EXPECT_TRUE(w->saveMenu().PopupMenuSave->actions().contains(parts.times->ExportItem()));
  EXPECT_EQ(parts.times->ExportItem()->text(), "Export text\u2026");
  const fs::path out = root / "log.txt";
  ASSERT_TRUE(parts.times->ExportTo(out.string()));
  EXPECT_EQ(parts.times->ExportItem()->text(), "Cancel export");
  parts.times->Exporter().Finish();
  EXPECT_EQ(w->frame().Msg->text(), "Exported  log.txt");
  EXPECT_EQ(parts.times->ExportItem()->text(), "Export text\u2026");
  std::ifstream in(out);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("  LINE  0000000  framing error\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  RX    0000000  4F 4B "), std::string::npos) << text;
}

}  // namespace
}  // namespace quarlex
