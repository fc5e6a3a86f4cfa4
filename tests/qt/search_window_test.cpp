#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <cstring>
#include <memory>
#include <string>

#include "qt/main_window.h"
#include "qt/navigation_controller.h"
#include "qt/search_controller.h"
#include "qt/support/stand_in_actions.h"
#include "view/renderer.h"

namespace quarlex {
namespace {

struct SearchWindowTest : ::testing::Test, testing_support::StandInActions {
  MainWindow w{*this};
  SearchController* search = nullptr;
  CaptureStore& s = w.session().Store;

  void Find() override { search->tool().Find(); }
  void FindToggle() override { search->tool().BtnFindClick(); }
  void FindClose() override { search->tool().BtnFindCloseClick(); }
  void FindPrevious() override { search->tool().UpDownFindClick(FindStep::Previous); }
  void FindNext() override { search->tool().UpDownFindClick(FindStep::Next); }

  void SetUp() override {
    search =
        w.Attach(std::make_shared<SearchController>(w.session(), w.findPanel(), *w.sendBar().EditSend, w));
    w.FormCreate();
    w.frame().TimerMain->stop();  // the tests run the tick themselves
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QApplication::setActiveWindow(&w);
  }
  void Receive(const std::string& bytes) {
    s.AppendReceived(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    s.ScrollUpdate();
    w.session().TimerMainTimer();
  }
  // Rows of '.' with "AB" at the start of the given rows.
  void ReceiveRowsWithMatches(uint32_t rows, std::initializer_list<uint32_t> matchRows) {
    std::string data(rows * s.BytesPerRow, '.');
    for (uint32_t r : matchRows) data.replace(r * s.BytesPerRow, 2, "AB");
    Receive(data);
  }
  void OpenWithCtrlF() {
    w.sendBar().EditSend->setFocus();
    QTest::keyClick(w.sendBar().EditSend, Qt::Key_F, Qt::ControlModifier);
  }
  uint8_t Code(uint32_t i) const { return s.CaptureAttributes[i] & SearchHitBits; }
};

TEST_F(SearchWindowTest, TypingAPatternMarksAndCounts) {
  s.AutoScroll = 0;
  ReceiveRowsWithMatches(100, {3, 50, 90});
  OpenWithCtrlF();
  ASSERT_TRUE(w.findPanel().MenuFind->isVisible());
  ASSERT_TRUE(w.findPanel().EditFind->hasFocus());
  EXPECT_EQ(s.SearchOpen, 1);
  QTest::keyClicks(w.findPanel().EditFind, "41 4");
  EXPECT_EQ(w.findPanel().LabelFind->text(), "1 of 3") << "41 alone, before the lone 4";
  QTest::keyClicks(w.findPanel().EditFind, "2");
  EXPECT_EQ(w.findPanel().LabelFind->text(), "1 of 3");
  EXPECT_EQ(Code(3 * 32), 0x10);
  EXPECT_EQ(Code(3 * 32 + 1), 0x30);
  EXPECT_EQ(search->tool().CurrentMatchIndex(), 3u * 32);
  QTest::keyClicks(w.findPanel().EditFind, " 2e");
  EXPECT_EQ(w.findPanel().LabelFind->text(), "1 of 3");
  EXPECT_EQ(Code(3 * 32 + 1), 0x20);
  QTest::keyClicks(w.findPanel().EditFind, " 0 ");
  EXPECT_EQ(w.findPanel().LabelFind->text(), "0 of 0") << "no AB. is followed by a zero byte";
  EXPECT_EQ(Code(3 * 32), 0);
  QTest::keyClick(w.findPanel().EditFind, Qt::Key_Backspace);
  QTest::keyClick(w.findPanel().EditFind, Qt::Key_Backspace);
  EXPECT_EQ(w.findPanel().LabelFind->text(), "1 of 3");
  EXPECT_EQ(Code(3 * 32 + 2), 0x30);
}

TEST_F(SearchWindowTest, F3AndF2ScrollTheGridToEachMatch) {
  s.AutoScroll = 0;
  ReceiveRowsWithMatches(200, {3, 60, 150});
  OpenWithCtrlF();
  QTest::keyClicks(w.findPanel().EditFind, "41 42");
  ASSERT_EQ(w.findPanel().LabelFind->text(), "1 of 3");
  EXPECT_EQ(s.View.TopRow(), 0u);
  QTest::keyClick(w.findPanel().EditFind, Qt::Key_F3);
  EXPECT_EQ(w.findPanel().LabelFind->text(), "2 of 3");
  EXPECT_EQ(s.View.TopRow(), 60u - 14);
  EXPECT_EQ(s.View.ScrollBarExch().Position(), 60u - 14);
  QTest::keyClick(w.findPanel().EditFind, Qt::Key_F3);
  QTest::keyClick(w.findPanel().EditFind, Qt::Key_F3);  // no wrap past the last
  EXPECT_EQ(w.findPanel().LabelFind->text(), "3 of 3");
  EXPECT_EQ(s.View.TopRow(), 150u - 14);
  QTest::keyClick(w.findPanel().EditFind, Qt::Key_F2);
  EXPECT_EQ(w.findPanel().LabelFind->text(), "2 of 3");
  EXPECT_EQ(s.View.TopRow(), 60u) << "the match row was above the view; it becomes the top row";
  // The step control's range is the match count, its position the current match.
  EXPECT_EQ(w.findPanel().UpDownFind->Maximum(), 3u);
  EXPECT_EQ(w.findPanel().UpDownFind->Position(), 2u);
  QTest::mouseClick(w.findPanel().UpDownFind->PreviousButton(), Qt::LeftButton);
  EXPECT_EQ(w.findPanel().LabelFind->text(), "1 of 3");
  EXPECT_EQ(s.View.TopRow(), 3u);
  QTest::mouseClick(w.findPanel().UpDownFind->PreviousButton(), Qt::LeftButton);  // no wrap before the first
  EXPECT_EQ(w.findPanel().LabelFind->text(), "1 of 3");
  EXPECT_EQ(w.findPanel().UpDownFind->Position(), 1u);
  QTest::mouseClick(w.findPanel().UpDownFind->NextButton(), Qt::LeftButton);
  EXPECT_EQ(w.findPanel().LabelFind->text(), "2 of 3");
  EXPECT_EQ(w.findPanel().UpDownFind->Position(), 2u);
  EXPECT_TRUE(w.findPanel().EditFind->hasFocus()) << "stepping leaves the focus in the box";
}

TEST_F(SearchWindowTest, NewDataIsCountedWhileThePanelIsOpen) {
  s.AutoScroll = 0;
  ReceiveRowsWithMatches(20, {1});
  OpenWithCtrlF();
  QTest::keyClicks(w.findPanel().EditFind, "41 42");
  ASSERT_EQ(w.findPanel().LabelFind->text(), "1 of 1");
  Receive("..A");
  EXPECT_EQ(w.findPanel().LabelFind->text(), "1 of 1");
  Receive("B...AB");  // completes the straddling match and adds one
  EXPECT_EQ(w.findPanel().LabelFind->text(), "1 of 3");
  EXPECT_EQ(s.SearchedUpTo, s.WriteIndex());
}

TEST_F(SearchWindowTest, EmptyingTheBoxFromOutsideEndsTheSearch) {
  // What a base switch does: the box is emptied, then the hits are removed.
  ReceiveRowsWithMatches(4, {0, 2});
  OpenWithCtrlF();
  QTest::keyClicks(w.findPanel().EditFind, "41 42");
  ASSERT_EQ(w.findPanel().LabelFind->text(), "1 of 2");
  w.findPanel().EditFind->clear();
  search->tool().ClearFind();
  EXPECT_EQ(w.findPanel().LabelFind->text(), "0 of 0");
  EXPECT_EQ(Code(0), 0);
  EXPECT_EQ(Code(64), 0);
  search->tool().BaseChanged();  // with the box already empty: nothing more to do
  EXPECT_EQ(w.findPanel().EditFind->text(), "");
}

TEST_F(SearchWindowTest, EscClosesAndTheFocusGoesToTheSendBox) {
  ReceiveRowsWithMatches(4, {0, 2});
  w.sendBar().EditSend->setText("01 02");
  OpenWithCtrlF();
  QTest::keyClicks(w.findPanel().EditFind, "41 42");
  QTest::keyClick(w.findPanel().EditFind, Qt::Key_Escape);
  EXPECT_FALSE(w.findPanel().MenuFind->isVisible());
  EXPECT_TRUE(w.sendBar().EditSend->hasFocus());
  EXPECT_FALSE(w.sendBar().EditSend->hasSelectedText()) << "the next key would replace the send text";
  EXPECT_EQ(w.findPanel().EditFind->text(), "");
  EXPECT_EQ(w.findPanel().LabelFind->text(), "0 of 0");
  EXPECT_EQ(s.SearchOpen, 0);
  EXPECT_EQ(Code(0), 0);
  // Reopened with the "Find" button: an empty box, nothing searched yet.
  QTest::mouseClick(w.toolbar().BtnFind, Qt::LeftButton);
  EXPECT_TRUE(w.findPanel().MenuFind->isVisible());
  EXPECT_EQ(w.findPanel().LabelFind->text(), "0 of 0");
  QTest::mouseClick(w.findPanel().BtnFindClose, Qt::LeftButton);
  EXPECT_FALSE(w.findPanel().MenuFind->isVisible());
}

TEST_F(SearchWindowTest, ClearButtonKeepsThePatternAndSearchesAgain) {
  ReceiveRowsWithMatches(4, {0});
  OpenWithCtrlF();
  QTest::keyClicks(w.findPanel().EditFind, "41 42");
  QTest::mouseClick(w.sendBar().BtnClear, Qt::LeftButton);
  EXPECT_EQ(w.findPanel().LabelFind->text(), "0 of 0");
  EXPECT_EQ(w.findPanel().EditFind->text(), "41 42");
  Receive("ABAB");
  EXPECT_EQ(w.findPanel().LabelFind->text(), "1 of 2");
}

// The base switch through the real view toolbar: the box is emptied and the hits removed, and
// the next pattern is read in the new base.
TEST_F(SearchWindowTest, BaseSwitchOnTheToolbarClearsTheBox) {
  auto renderer = std::make_shared<Renderer>();
  w.Attach(renderer);
  w.Attach(std::make_shared<NavigationController>(w, w.session(), w.toolbar(), w.exchange(), w, *search,
                                                  *renderer));
  ReceiveRowsWithMatches(4, {0, 2});
  OpenWithCtrlF();
  QTest::keyClicks(w.findPanel().EditFind, "41 42");
  ASSERT_EQ(w.findPanel().LabelFind->text(), "1 of 2");
  QTest::mouseClick(w.toolbar().BtnViewDec, Qt::LeftButton);
  EXPECT_EQ(s.ViewBase, GridBase::Dec);
  EXPECT_EQ(w.findPanel().EditFind->text(), "");
  EXPECT_EQ(w.findPanel().LabelFind->text(), "0 of 0");
  EXPECT_EQ(Code(0), 0);
  EXPECT_EQ(Code(65), 0);
  EXPECT_EQ(search->tool().SearchPatternLength(), 0);
  w.findPanel().EditFind->setFocus();
  QTest::keyClicks(w.findPanel().EditFind, "65,66");
  EXPECT_EQ(w.findPanel().LabelFind->text(), "1 of 2");
}

}  // namespace
}  // namespace quarlex
