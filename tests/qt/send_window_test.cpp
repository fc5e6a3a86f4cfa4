#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qt/main_window.h"
#include "qt/search_controller.h"
#include "qt/send_controller.h"
#include "qt/support/stand_in_actions.h"
#include "tests/app/support/store_fields.h"

namespace quarlex {
namespace {

struct ListPort : SendPort {
  std::vector<std::vector<uint8_t>> writes;
  bool fail = false;
  void Write(const uint8_t* data, size_t count) override {
    if (fail) throw std::runtime_error("Write error (Error: 5)");
    writes.emplace_back(data, data + count);
  }
};

struct SendWindowTest : ::testing::Test, testing_support::StandInActions {
  MainWindow w{*this};
  SendController* send = nullptr;
  SearchController* search = nullptr;  // when a test attaches one
  ListPort port;
  std::vector<std::string> errors;
  CaptureStore& s = w.session().Store;

  void HistoryUp() override { send->composer().HistoryUp(); }
  void HistoryDown() override { send->composer().HistoryDown(); }
  void Find() override {
    if (search) search->tool().Find();
  }
  void FindToggle() override {
    if (search) search->tool().BtnFindClick();
  }

  void SetUp() override {
    send = w.Attach(std::make_shared<SendController>(w.session(), w.sendBar(), w, w));
    send->ShowError = [this](const std::string& e) { errors.push_back(e); };
    send->SetPort(&port);
    w.FormCreate();
    w.session().PortConnected = true;  // start-up leaves the port disconnected
    w.frame().TimerMain->stop();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QApplication::setActiveWindow(&w);
    w.sendBar().EditSend->setFocus();
  }
};

TEST_F(SendWindowTest, EnterSendsRecordsAndKeepsTheText) {
  QTest::keyClicks(w.sendBar().EditSend, "0x41 42");
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_Return);
  ASSERT_EQ(port.writes.size(), 1u);
  EXPECT_EQ(port.writes[0], (std::vector<uint8_t>{0x41, 0x42}));
  EXPECT_EQ(s.WriteIndex(), 2u);
  EXPECT_EQ(s.CaptureAttributes[1], 0x80);
  EXPECT_EQ(w.sendBar().EditSend->text(), "0x41 42");
  QTest::mouseClick(w.sendBar().BtnSend, Qt::LeftButton);
  EXPECT_EQ(port.writes.size(), 2u);
  EXPECT_EQ(send->composer().HistoryCount(), 1);
}

TEST_F(SendWindowTest, ModeButtonAndLineEndingMenu) {
  QTest::mouseClick(w.sendBar().BtnModeSend, Qt::LeftButton);
  EXPECT_EQ(w.sendBar().BtnModeSend->text(), "Text");
  w.sendBar().str_CRNL->trigger();
  EXPECT_TRUE(w.sendBar().str_CRNL->isChecked());
  EXPECT_FALSE(w.sendBar().str_None->isChecked());
  EXPECT_EQ(w.sendBar().PanelNpc6->text(), " +CR NL  ");
  EXPECT_EQ(w.sendBar().str_CRNL->text(), QString::fromUtf8("CR и NL "));
  w.sendBar().EditSend->insert(QString::fromUtf8("Жa"));  // typed through an input method
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_Enter);
  ASSERT_EQ(port.writes.size(), 1u);
  EXPECT_EQ(port.writes[0], (std::vector<uint8_t>{0xC6, 'a', 0x0D, 0x0A}));
  QTest::mouseClick(w.sendBar().BtnModeSend, Qt::LeftButton);
  QTest::mouseClick(w.sendBar().BtnModeSend, Qt::LeftButton);
  EXPECT_EQ(w.sendBar().BtnModeSend->text(), "Hex");
}

TEST_F(SendWindowTest, UpAndDownRecallEarlierTexts) {
  for (const char* t : {"01", "02", "03"}) {
    w.sendBar().EditSend->setText(t);
    QTest::keyClick(w.sendBar().EditSend, Qt::Key_Return);
  }
  w.sendBar().EditSend->setText("draft");
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_Up);
  EXPECT_EQ(w.sendBar().EditSend->text(), "03");
  EXPECT_EQ(w.sendBar().EditSend->cursorPosition(), 2);
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_Up);
  EXPECT_EQ(w.sendBar().EditSend->text(), "02");
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_Down);
  EXPECT_EQ(w.sendBar().EditSend->text(), "03");
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_Down);
  EXPECT_EQ(w.sendBar().EditSend->text(), "01");
}

TEST_F(SendWindowTest, DisconnectedSendDoesNothing) {
  w.session().PortConnected = false;
  QTest::keyClicks(w.sendBar().EditSend, "41");
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_Return);
  EXPECT_TRUE(port.writes.empty());
  EXPECT_EQ(s.WriteIndex(), 0u);
  EXPECT_EQ(send->composer().HistoryCount(), 0);
}

TEST_F(SendWindowTest, FailedWriteIsReportedAndTheBytesStayRecorded) {
  port.fail = true;
  QTest::keyClicks(w.sendBar().EditSend, "41 42");
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_Return);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Write error (Error: 5)");
  EXPECT_EQ(s.WriteIndex(), 2u);
}

TEST_F(SendWindowTest, SendThatWrapsTheRingMakesSearchStartOver) {
  search = w.Attach(std::make_shared<SearchController>(w.session(), w.findPanel(), *w.sendBar().EditSend, w));
  auto* send2 = w.Attach(std::make_shared<SendController>(w.session(), w.sendBar(), w, w, &search->tool()));
  send2->SetPort(&port);
  std::string ab(64, '.');
  ab.replace(10, 2, "AB");
  s.AppendReceived(reinterpret_cast<const uint8_t*>(ab.data()), ab.size());
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_F, Qt::ControlModifier);
  QTest::keyClicks(w.findPanel().EditFind, "41 42");
  ASSERT_EQ(w.findPanel().LabelFind->text(), "1 of 1");
  StoreFields(s).WriteIndex = CaptureLast;
  s.ScrollSeenIndex = CaptureLast;
  w.sendBar().EditSend->setText("41 42 2E 2E");
  send2->SendClick();
  ASSERT_EQ(s.WriteIndex(), 3u);
  // The ring now holds new bytes from index 0; once the capture grows past the old scan, the
  // tick's pass must count what is there now, not the AB that used to be at 10.
  const std::string dots(100, '.');
  s.AppendReceived(reinterpret_cast<const uint8_t*>(dots.data()), dots.size());
  w.session().TimerMainTimer();
  EXPECT_EQ(s.SearchedUpTo, 103u);
  EXPECT_EQ(search->tool().SearchHitCount(), 0u);
}

}  // namespace
}  // namespace quarlex
