// Navigation in the fully wired window: a marker set with the mouse shows in the grid's frame and
// on the minimap strip; a press on the strip brings it back into view. The window's keys, wheel
// and shared buttons reach the controllers the wiring bound them to.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>
#include <filesystem>

#include "qt/about_panel.h"
#include "qt/app_wiring.h"
#include "qt/main_window.h"
#include "qt/navigation_controller.h"
#include "qt/support/wired_window.h"
#include "tools/about_server.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;

struct NavWiredTest : ::testing::Test {
  testing_support::WiredWindow scratch;
  MainWindow* w = nullptr;
  AppParts parts;

  void SetUp() override {
    parts = scratch.Start();
    w = scratch.Window();
  }

  void RightClick(QPoint at) {
    QTest::mousePress(w->exchange().ImageExch, Qt::RightButton, Qt::NoModifier, at);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, at, w->exchange().ImageExch->mapToGlobal(at));
    QApplication::sendEvent(w->exchange().ImageExch, &menu);
    QTest::mouseRelease(w->exchange().ImageExch, Qt::RightButton, Qt::NoModifier, at);
  }
};

TEST_F(NavWiredTest, MarkerShowsInTheGridAndOnTheStripAndThePressFindsIt) {
  CaptureStore& s = w->session().Store;
  for (int i = 0; i < 40000; ++i) s.AppendSent(static_cast<uint8_t>(i));
  s.ScrollUpdate();
  const uint32_t top = s.View.TopRow();
  ASSERT_GT(top, 100u);  // following the newest data
  w->OutExchange();

  // Cell (3, 2) of the view at design scale: x 183 .. 213, y 56 .. 84; its 2-pixel marker frame
  // runs along y 58 (pixels 57 and 58).
  RightClick(QPoint(93 + 3 * 30 + 15, 2 * 28 + 14));
  const uint32_t index = (top + 2) * 32 + 3;
  ASSERT_EQ(s.CaptureAttributes[index] & 7, 1);
  EXPECT_EQ(w->exchange().ImageExch->Frame().pixelColor(183 + 15, 58), QColor(233, 30, 99));

  // The strip maps 40,000 bytes onto 461 rows; the marked byte's row carries marker 1's line.
  const int row = static_cast<int>(index * 461ull / 40000);
  bool lit = false;
  for (int y = row - 2; y <= row + 2; ++y)
    lit = lit || w->exchange().ImageMiniMap->Frame().pixelColor(5, y) == QColor(233, 30, 99);
  EXPECT_TRUE(lit) << "row " << row;

  // Scroll away to the top, then press the strip above the marker: the marker comes back on the
  // ninth visible row.
  s.AutoScroll = 0;
  s.View.ShowRow(0);
  QTest::mouseClick(w->exchange().ImageMiniMap, Qt::LeftButton, Qt::NoModifier, QPoint(5, row - 3));
  EXPECT_EQ(s.View.TopRow(), index / 32 - 8);
  EXPECT_EQ(w->exchange().ScrollBarExch->value(), static_cast<int>(index / 32 - 8));
}

TEST_F(NavWiredTest, KeysWheelAndSharedButtonsReachTheirControllers) {
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  QApplication::setActiveWindow(w);
  const FindWidgets& find = w->findPanel();
  CaptureStore& s = w->session().Store;
  w->sendBar().EditSend->setFocus();
  QTest::keyClick(w->sendBar().EditSend, Qt::Key_F, Qt::ControlModifier);
  EXPECT_TRUE(find.MenuFind->isVisible());
  EXPECT_TRUE(find.EditFind->hasFocus());
  QTest::keyClick(find.EditFind, Qt::Key_Escape);
  EXPECT_FALSE(find.MenuFind->isVisible());
  EXPECT_EQ(s.SearchOpen, 0);
  QTest::mouseClick(w->toolbar().BtnFind, Qt::LeftButton);
  EXPECT_TRUE(find.MenuFind->isVisible());
  QTest::mouseClick(find.BtnFindClose, Qt::LeftButton);
  EXPECT_FALSE(find.MenuFind->isVisible());

  // The wheel over the text column scrolls the grid, two rows a notch.
  for (int i = 0; i < 4000; ++i) s.AppendSent(static_cast<uint8_t>(i));
  s.ScrollUpdate();
  s.AutoScroll = 0;
  s.View.ShowRow(0);
  const QPointF at(10, 10);
  QWheelEvent down(at, w->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                   Qt::NoScrollPhase, false);
  QApplication::sendEvent(w->exchange().ImageMiniMap, &down);
  EXPECT_EQ(s.View.TopRow(), 2u);

  // The left Ctrl key, seen by the window's filter, makes a right click open the marker menu.
  QTest::keyPress(w, Qt::Key_Control);
  QTest::mousePress(w->exchange().ImageExch, Qt::RightButton, Qt::ControlModifier, QPoint(108, 14));
  QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(108, 14),
                         w->exchange().ImageExch->mapToGlobal(QPoint(108, 14)), Qt::ControlModifier);
  QApplication::sendEvent(w->exchange().ImageExch, &menu);
  QTest::mouseRelease(w->exchange().ImageExch, Qt::RightButton, Qt::ControlModifier, QPoint(108, 14));
  EXPECT_TRUE(w->exchange().PopupMenuImgExch->isVisible());
  w->exchange().PopupMenuImgExch->hide();
  QTest::keyRelease(w, Qt::Key_Control);
}

// While the About panel is open it covers the window: the wheel over its page scrolls the page,
// and the grid behind it stays where it was. Closed again, the wheel scrolls the grid.
TEST_F(NavWiredTest, OverTheOpenAboutPanelTheWheelScrollsItsPageNotTheGrid) {
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  CaptureStore& s = w->session().Store;
  for (int i = 0; i < 4000; ++i) s.AppendSent(static_cast<uint8_t>(i));
  s.ScrollUpdate();
  s.AutoScroll = 0;
  s.View.ShowRow(0);
  parts.about->Address = "127.0.0.1:" + std::to_string(testing_support::PromoServer::ClosedPort());
  parts.about->BtnAboutClick();
  ASSERT_TRUE(w->frame().PanelAbout->isVisible());
  QString page;
  for (int i = 0; i < 300; ++i) page += QString("<p>Offer %1</p>").arg(i);
  parts.about->WebBrowser->setHtml(page);
  QScrollBar* pageBar = parts.about->WebBrowser->verticalScrollBar();
  ASSERT_GT(pageBar->maximum(), 0);
  ASSERT_EQ(pageBar->value(), 0);

  auto wheelDown = [](QWidget* over) {
    const QPointF at(20, 20);
    QWheelEvent down(at, over->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                     Qt::NoScrollPhase, false);
    QApplication::sendEvent(over, &down);
  };
  wheelDown(parts.about->WebBrowser->viewport());
  EXPECT_GT(pageBar->value(), 0) << "the page did not scroll";
  EXPECT_EQ(s.View.TopRow(), 0u) << "the hidden grid scrolled";
  wheelDown(parts.about->PanelInner);
  EXPECT_EQ(s.View.TopRow(), 0u);

  parts.about->AboutClose();
  wheelDown(w->exchange().ImageMiniMap);
  EXPECT_EQ(s.View.TopRow(), 2u);
}

// Tab into the send box leaves its text as it was (no select-all on focus), and Tab never
// reaches the About page while the panel is hidden.
TEST_F(NavWiredTest, TabIntoTheSendBoxSelectsNothingAndNeverReachesTheHiddenAboutPage) {
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  QApplication::setActiveWindow(w);
  QLineEdit* send = w->sendBar().EditSend;
  send->setText("01 02 03");
  send->setCursorPosition(2);
  w->exchange().MemoText->setFocus();
  send->setFocus(Qt::TabFocusReason);
  EXPECT_TRUE(send->hasFocus());
  EXPECT_FALSE(send->hasSelectedText()) << send->selectedText().toStdString();
  EXPECT_EQ(send->cursorPosition(), 2);

  // With the find panel open, Tab goes between the find box and the send box; round the chain.
  QTest::mouseClick(w->toolbar().BtnFind, Qt::LeftButton);
  ASSERT_TRUE(w->findPanel().MenuFind->isVisible());
  bool reachedSend = false;
  for (int i = 0; i < 30; ++i) {
    QWidget* before = QApplication::focusWidget();
    ASSERT_NE(before, nullptr);
    QTest::keyClick(before, Qt::Key_Tab);
    QWidget* now = QApplication::focusWidget();
    ASSERT_NE(now, nullptr);
    EXPECT_FALSE(w->frame().PanelAbout->isAncestorOf(now))
        << "Tab reached " << now->metaObject()->className() << " on the hidden About panel";
    if (now == send && before != send) {
      reachedSend = true;
      EXPECT_FALSE(send->hasSelectedText()) << "Tab selected " << send->selectedText().toStdString();
    }
  }
  EXPECT_TRUE(reachedSend);
}

}  // namespace
}  // namespace quarlex
