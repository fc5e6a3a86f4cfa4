#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QLayout>
#include <QScreen>
#include <QTest>

#include "qt/main_window.h"
#include "qt/support/stand_in_actions.h"

namespace quarlex {
namespace {

struct WindowTest : ::testing::Test, testing_support::StandInActions {
  MainWindow w{*this};
  int findToggles = 0, findNext = 0, findPrev = 0, findClose = 0, opens = 0, saves = 0, historyUp = 0;
  void FindToggle() override {
    ++findToggles;
    w.session().Store.SearchOpen ^= 1;
  }
  void FindNext() override { ++findNext; }
  void FindPrevious() override { ++findPrev; }
  void FindClose() override { ++findClose; }
  void HistoryUp() override { ++historyUp; }
  void Open() override { ++opens; }
  bool SaveClick() override {
    ++saves;
    return true;
  }
  void SetUp() override {
    w.FormCreate();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QApplication::setActiveWindow(&w);
  }
};

TEST_F(WindowTest, RegionsSitWhereTheLayoutPutsThem) {
  EXPECT_EQ(w.size(), QSize(1104, 581));
  EXPECT_EQ(w.windowTitle(), " Quarlex");
  EXPECT_EQ(w.exchange().ImageExch->geometry(), QRect(5, 38, 1055, 449));
  EXPECT_EQ(w.toolbar().PanelNpc1->geometry(), QRect(0, 0, 1104, 30));
  EXPECT_EQ(w.statusBar().PanelNpc4->geometry(), QRect(0, 551, 1104, 30));
  EXPECT_EQ(w.sendBar().PanelNpc3->geometry(), QRect(0, 501, 1104, 50));
  EXPECT_EQ(w.findPanel().MenuFind->geometry(), QRect(762, 30, 225, 55));
  EXPECT_EQ(w.frame().Msg->geometry(), QRect(679, 451, 370, 27));
  EXPECT_EQ(w.exchange().ScrollBarExch->width(), 17);
  EXPECT_EQ(w.exchange().ScrollBarExch->geometry().right(), 1103);
  EXPECT_EQ(w.exchange().ImageMiniMap->size(), QSize(19, 461));
  EXPECT_EQ(w.exchange().MemoText->size(), QSize(465, 460));
  EXPECT_EQ(w.statusBar().BtnCom->width(), 100);
  EXPECT_EQ(w.statusBar().BtnSetBr->width(), 170);
  EXPECT_EQ(w.statusBar().BtnSetCom->width(), 50);
  EXPECT_EQ(w.statusBar().PanelSpeed->width(), 130);
  EXPECT_EQ(w.statusBar().BtnConnect->width(), 137);
  EXPECT_EQ(w.sendBar().EditSend->maxLength(), 4096);
  EXPECT_EQ(w.findPanel().EditFind->maxLength(), 255);
  EXPECT_EQ(w.frame().PanelMain->palette().color(QPalette::Window), QColor(243, 243, 243));
  EXPECT_EQ(w.statusBar().PanelNpc4->palette().color(QPalette::Window), QColor(221, 221, 221));
  // Opened at the centre of the screen's work area, kept on it when the screen is smaller.
  EXPECT_EQ(w.pos(), MainWindow::CentredOrigin(w.screen()->availableGeometry(), w.size()));
  EXPECT_EQ(MainWindow::CentredOrigin(QRect(0, 0, 1920, 1080), QSize(1104, 581)), QPoint(408, 249));
  EXPECT_EQ(MainWindow::CentredOrigin(QRect(1920, 24, 1280, 1000), QSize(1104, 581)), QPoint(2008, 233));
  EXPECT_EQ(MainWindow::CentredOrigin(QRect(0, 0, 800, 600), QSize(1104, 581)), QPoint(0, 9));
}

QColor Back(const QWidget* c) {
  return c->palette().color(QPalette::Window);
}
QColor Fore(const QWidget* c) {
  return c->palette().color(QPalette::WindowText);
}
const QColor Box(0xCC, 0xCC, 0xCC);

TEST_F(WindowTest, SendBarFollowsItsTable) {
  w.sendBar().PanelNpc3->layout()->activate();
  // Left to right, 27 pixels high with 20 free below: mode button, spacer, box, line-ending
  // label, "Send", then the clear button.
  EXPECT_EQ(w.sendBar().BtnModeSend->geometry(), QRect(5, 3, 79, 27));
  const QWidget* spacer = w.sendBar().PanelNpc3->childAt(86, 10);
  ASSERT_NE(spacer, nullptr);
  EXPECT_EQ(spacer->geometry(), QRect(84, 3, 5, 27));
  EXPECT_EQ(Back(spacer), Box);
  EXPECT_EQ(w.sendBar().EditSend->x(), 89);
  for (const QWidget* c :
       {static_cast<QWidget*>(w.sendBar().EditSend), static_cast<QWidget*>(w.sendBar().PanelNpc6)}) {
    EXPECT_EQ(c->y(), 3);
    EXPECT_EQ(c->height(), 27);
  }
  EXPECT_EQ(w.sendBar().BtnSend->geometry(), QRect(935, 3, 100, 27));
  EXPECT_EQ(w.sendBar().PanelNpc10->geometry(), QRect(1040, 3, 59, 27));
  for (const ClickLabel* b : {w.sendBar().BtnModeSend, w.sendBar().BtnSend}) {
    EXPECT_EQ(Back(b), QColor(0x4A, 0x54, 0x59));
    EXPECT_EQ(Fore(b), Box);
    EXPECT_EQ(b->font().pixelSize(), 15);
  }
  EXPECT_FALSE(w.sendBar().EditSend->hasFrame());
  EXPECT_EQ(w.sendBar().EditSend->font().pixelSize(), 19);
  EXPECT_EQ(w.sendBar().EditSend->palette().color(QPalette::Text), QColor(0x3E, 0x3E, 0x3E));
  EXPECT_EQ(w.sendBar().EditSend->grab().toImage().pixelColor(1, 1), Box)
      << "the style paints the box colour";
  EXPECT_EQ(Back(w.sendBar().PanelNpc6), Box);
  EXPECT_EQ(Fore(w.sendBar().PanelNpc6), QColor(0x55, 0x55, 0x55));
  EXPECT_EQ(w.sendBar().PanelNpc6->font().pixelSize(), 11);
  // The line-ending label is its own control between the box and "Send", as wide as its text:
  // a longer ending narrows the box, so no typed text runs under the label.
  const int boxWidth = w.sendBar().EditSend->width(), labelWidth = w.sendBar().PanelNpc6->width();
  w.sendBar().PanelNpc6->setText(" +CR NL  ");
  w.sendBar().PanelNpc3->layout()->activate();
  EXPECT_GT(w.sendBar().PanelNpc6->width(), labelWidth);
  EXPECT_EQ(w.sendBar().PanelNpc6->width(), w.sendBar().PanelNpc6->sizeHint().width());
  EXPECT_EQ(w.sendBar().EditSend->width() + w.sendBar().PanelNpc6->width(), boxWidth + labelWidth);
  EXPECT_EQ(w.sendBar().EditSend->geometry().right() + 1, w.sendBar().PanelNpc6->x());
  EXPECT_EQ(w.sendBar().PanelNpc6->geometry().right() + 1, w.sendBar().BtnSend->x());
}

TEST_F(WindowTest, FindPanelFollowsItsTable) {
  w.findPanel().MenuFind->show();
  EXPECT_EQ(Back(w.findPanel().MenuFind), QColor(0xE6, 0xE6, 0xE6));
  EXPECT_FALSE(w.findPanel().EditFind->hasFrame());
  EXPECT_EQ(w.findPanel().EditFind->palette().color(QPalette::Text), QColor(0x37, 0x47, 0x4F));
  EXPECT_EQ(w.findPanel().EditFind->font().pixelSize(), 15);
  EXPECT_EQ(w.findPanel().EditFind->grab().toImage().pixelColor(1, 1), Box);
  // Pads of the box colour, 5 pixels wide, on both sides of the box.
  for (const int x : {w.findPanel().EditFind->x() - 3, w.findPanel().EditFind->geometry().right() + 3}) {
    const QWidget* pad = w.findPanel().MenuFind->childAt(x, w.findPanel().EditFind->y() + 5);
    ASSERT_NE(pad, nullptr) << x;
    EXPECT_EQ(pad->width(), 5) << x;
    EXPECT_EQ(pad->height(), w.findPanel().EditFind->height()) << x;
    EXPECT_EQ(Back(pad), Box) << x;
  }
  EXPECT_EQ(w.findPanel().LabelFind->font().pixelSize(), 13);
  EXPECT_EQ(Fore(w.findPanel().LabelFind), QColor(0x55, 0x55, 0x55));
  EXPECT_EQ(w.findPanel().BtnFindClose->text(), QString(QChar(0x00D7)));
  EXPECT_EQ(w.findPanel().BtnFindClose->font().family(), "Arial");
  EXPECT_EQ(w.findPanel().BtnFindClose->font().pixelSize(), 16);
  EXPECT_EQ(Fore(w.findPanel().BtnFindClose), QColor(0x55, 0x55, 0x55));
  EXPECT_EQ(Back(w.findPanel().BtnFindClose), QColor(0xE6, 0xE6, 0xE6));
  // The step control lies below the box on the left, its two arrows side by side.
  EXPECT_GT(w.findPanel().UpDownFind->y(), w.findPanel().EditFind->geometry().bottom());
  EXPECT_LT(w.findPanel().UpDownFind->x(), w.findPanel().EditFind->x());
  const QRect prev = w.findPanel().UpDownFind->PreviousButton()->geometry(),
              next = w.findPanel().UpDownFind->NextButton()->geometry();
  EXPECT_EQ(prev.y(), next.y());
  EXPECT_EQ(prev.right() + 1, next.x());
  EXPECT_EQ(w.findPanel().UpDownFind->PreviousButton()->arrowType(), Qt::LeftArrow);
}

TEST_F(WindowTest, TextColumnShowsNoContextMenu) {
  w.exchange().MemoText->show();
  QWidget* view = w.exchange().MemoText->viewport();
  QContextMenuEvent request(QContextMenuEvent::Mouse, QPoint(5, 5), view->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(view, &request);
  QWidget* popup = QApplication::activePopupWidget();
  if (popup) popup->close();
  EXPECT_EQ(popup, nullptr);
}

TEST_F(WindowTest, StartUpState) {
  EXPECT_FALSE(w.findPanel().MenuFind->isVisible());
  EXPECT_FALSE(w.frame().Msg->isVisible());
  EXPECT_FALSE(w.exchange().MemoText->isVisible());
  EXPECT_TRUE(w.saveMenu().save_Interval->isChecked());
  EXPECT_FALSE(w.saveMenu().save_Auto->isChecked());
  EXPECT_EQ(w.findPanel().LabelFind->text(), "0 of 0");
  EXPECT_EQ(w.statusBar().PanelSpeed->text(), "0 Bps");
  EXPECT_EQ(w.statusBar().BtnConnect->text(), "Connect");
  EXPECT_TRUE(w.frame().TimerMain->isActive());
  EXPECT_EQ(w.frame().TimerMain->interval(), 100);
  EXPECT_EQ(w.session().Store.BytesPerRow, 32);
  EXPECT_FALSE(w.session().PortConnected);
}

TEST_F(WindowTest, KeyPreviewReachesTheMapOnceWhileAnEditHasFocus) {
  w.sendBar().EditSend->setFocus();
  ASSERT_TRUE(w.sendBar().EditSend->hasFocus());
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_F, Qt::ControlModifier);
  EXPECT_EQ(findToggles, 1);
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_F, Qt::ControlModifier);
  EXPECT_EQ(findToggles, 2) << "Ctrl+F twice opens and closes";
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(findToggles, 2) << "Ctrl+Shift+F does nothing";
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_F2);
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_F3);
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_Escape);
  EXPECT_EQ(findNext + findPrev + findClose, 0) << "search keys do nothing while search is closed";
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_S, Qt::ControlModifier);
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(opens, 1);
  QTest::keyClick(w.sendBar().EditSend, Qt::Key_Up);
  EXPECT_EQ(historyUp, 1);
  // The edit still receives ordinary keys after the preview.
  QTest::keyClicks(w.sendBar().EditSend, "ab");
  EXPECT_EQ(w.sendBar().EditSend->text(), "ab");
}

TEST_F(WindowTest, SearchKeysWorkFromTheFindBox) {
  w.session().Store.SearchOpen = 1;
  w.findPanel().MenuFind->show();
  w.findPanel().EditFind->setFocus();
  QTest::keyClick(w.findPanel().EditFind, Qt::Key_F3);
  QTest::keyClick(w.findPanel().EditFind, Qt::Key_F2);
  QTest::keyClick(w.findPanel().EditFind, Qt::Key_Escape);
  EXPECT_EQ(findNext, 1);
  EXPECT_EQ(findPrev, 1);
  EXPECT_EQ(findClose, 1);
  QTest::keyClick(w.findPanel().EditFind, Qt::Key_Up);
  EXPECT_EQ(historyUp, 0) << "history keys belong to the send box only";
}

TEST_F(WindowTest, TickShowsSpeedAndHidesMessages) {
  w.session().ShowMessage("File saved", SuccessColour, 20);
  EXPECT_TRUE(w.frame().Msg->isVisible());
  EXPECT_EQ(w.frame().Msg->palette().color(QPalette::Window), QColor(76, 175, 80));
  w.frame().TimerMain->stop();
  w.session().Store.RxBytesSinceTick = 11520;
  for (int i = 0; i < 12; ++i) w.session().TimerMainTimer();
  EXPECT_FALSE(w.frame().Msg->isVisible());
  EXPECT_EQ(w.statusBar().PanelSpeed->text(), "11520 Bps");
}

}  // namespace
}  // namespace quarlex
