#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include "qt/main_window.h"

namespace quarlex {
namespace {

struct WindowTest : ::testing::Test {
  MainWindow w;
  int findToggles = 0, findNext = 0, findPrev = 0, findClose = 0, opens = 0, saves = 0, historyUp = 0;
  void SetUp() override {
    w.KeyHooks[static_cast<int>(KeyAction::FindToggle)] = [this] {
      ++findToggles;
      w.session().Store.SearchOpen ^= 1;
    };
    w.KeyHooks[static_cast<int>(KeyAction::FindNext)] = [this] { ++findNext; };
    w.KeyHooks[static_cast<int>(KeyAction::FindPrevious)] = [this] { ++findPrev; };
    w.KeyHooks[static_cast<int>(KeyAction::FindClose)] = [this] { ++findClose; };
    w.KeyHooks[static_cast<int>(KeyAction::HistoryUp)] = [this] { ++historyUp; };
    w.OpenHook = [this] { ++opens; };
    w.SaveHook = [this] {
      ++saves;
      return true;
    };
    w.FormCreate();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QApplication::setActiveWindow(&w);
  }
};

TEST_F(WindowTest, RegionsSitWhereTheLayoutPutsThem) {
  EXPECT_EQ(w.size(), QSize(1104, 581));
  EXPECT_EQ(w.windowTitle(), " Quarlex");
  EXPECT_EQ(w.ImageExch->geometry(), QRect(5, 38, 1055, 449));
  EXPECT_EQ(w.PanelNpc1->geometry(), QRect(0, 0, 1104, 30));
  EXPECT_EQ(w.PanelNpc4->geometry(), QRect(0, 551, 1104, 30));
  EXPECT_EQ(w.PanelNpc3->geometry(), QRect(0, 501, 1104, 50));
  EXPECT_EQ(w.MenuFind->geometry(), QRect(762, 30, 225, 55));
  EXPECT_EQ(w.Msg->geometry(), QRect(679, 451, 370, 27));
  EXPECT_EQ(w.ScrollBarExch->width(), 17);
  EXPECT_EQ(w.ScrollBarExch->geometry().right(), 1103);
  EXPECT_EQ(w.ImageMiniMap->size(), QSize(19, 461));
  EXPECT_EQ(w.MemoText->size(), QSize(465, 460));
  EXPECT_EQ(w.BtnCom->width(), 100);
  EXPECT_EQ(w.BtnSetBr->width(), 170);
  EXPECT_EQ(w.BtnSetCom->width(), 50);
  EXPECT_EQ(w.PanelSpeed->width(), 130);
  EXPECT_EQ(w.BtnConnect->width(), 137);
  EXPECT_EQ(w.EditSend->maxLength(), 4096);
  EXPECT_EQ(w.EditFind->maxLength(), 255);
  EXPECT_EQ(w.PanelMain->palette().color(QPalette::Window), QColor(243, 243, 243));
  EXPECT_EQ(w.PanelNpc4->palette().color(QPalette::Window), QColor(221, 221, 221));
}

TEST_F(WindowTest, StartUpState) {
  EXPECT_FALSE(w.MenuFind->isVisible());
  EXPECT_FALSE(w.Msg->isVisible());
  EXPECT_FALSE(w.MemoText->isVisible());
  EXPECT_TRUE(w.save_Interval->isChecked());
  EXPECT_FALSE(w.save_Auto->isChecked());
  EXPECT_EQ(w.LabelFind->text(), "0 of 0");
  EXPECT_EQ(w.PanelSpeed->text(), "0 Bps");
  EXPECT_EQ(w.BtnConnect->text(), "Connect");
  EXPECT_TRUE(w.TimerMain->isActive());
  EXPECT_EQ(w.TimerMain->interval(), 100);
  EXPECT_EQ(w.session().Store.BytesPerRow, 32);
  EXPECT_EQ(w.session().PortConnected, 0);
}

TEST_F(WindowTest, KeyPreviewReachesTheMapOnceWhileAnEditHasFocus) {
  w.EditSend->setFocus();
  ASSERT_TRUE(w.EditSend->hasFocus());
  QTest::keyClick(w.EditSend, Qt::Key_F, Qt::ControlModifier);
  EXPECT_EQ(findToggles, 1);
  QTest::keyClick(w.EditSend, Qt::Key_F, Qt::ControlModifier);
  EXPECT_EQ(findToggles, 2) << "Ctrl+F twice opens and closes";
  QTest::keyClick(w.EditSend, Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(findToggles, 2) << "Ctrl+Shift+F does nothing";
  QTest::keyClick(w.EditSend, Qt::Key_F2);
  QTest::keyClick(w.EditSend, Qt::Key_F3);
  QTest::keyClick(w.EditSend, Qt::Key_Escape);
  EXPECT_EQ(findNext + findPrev + findClose, 0) << "search keys do nothing while search is closed";
  QTest::keyClick(w.EditSend, Qt::Key_S, Qt::ControlModifier);
  QTest::keyClick(w.EditSend, Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(opens, 1);
  QTest::keyClick(w.EditSend, Qt::Key_Up);
  EXPECT_EQ(historyUp, 1);
  // The edit still receives ordinary keys after the preview.
  QTest::keyClicks(w.EditSend, "ab");
  EXPECT_EQ(w.EditSend->text(), "ab");
}

TEST_F(WindowTest, SearchKeysWorkFromTheFindBox) {
  w.session().Store.SearchOpen = 1;
  w.MenuFind->show();
  w.EditFind->setFocus();
  QTest::keyClick(w.EditFind, Qt::Key_F3);
  QTest::keyClick(w.EditFind, Qt::Key_F2);
  QTest::keyClick(w.EditFind, Qt::Key_Escape);
  EXPECT_EQ(findNext, 1);
  EXPECT_EQ(findPrev, 1);
  EXPECT_EQ(findClose, 1);
  QTest::keyClick(w.EditFind, Qt::Key_Up);
  EXPECT_EQ(historyUp, 0) << "history keys belong to the send box only";
}

TEST_F(WindowTest, TickShowsSpeedAndHidesMessages) {
  w.session().ShowMessage("File saved", SuccessColour, 20);
  EXPECT_TRUE(w.Msg->isVisible());
  EXPECT_EQ(w.Msg->palette().color(QPalette::Window), QColor(76, 175, 80));
  w.TimerMain->stop();
  w.session().Store.RxBytesSinceTick = 11520;
  for (int i = 0; i < 12; ++i) w.session().TimerMainTimer();
  EXPECT_FALSE(w.Msg->isVisible());
  EXPECT_EQ(w.PanelSpeed->text(), "11520 Bps");
}

}  // namespace
}  // namespace quarlex
