// Navigation in the fully wired window: a marker set with the mouse shows in the grid's frame and
// on the minimap strip; a press on the strip brings it back into view.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QTest>
#include <filesystem>

#include "qt/app_wiring.h"
#include "qt/main_window.h"
#include "qt/support/wired_window.h"
#include "qt/navigation_controller.h"

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
    QTest::mousePress(w->ImageExch, Qt::RightButton, Qt::NoModifier, at);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, at, w->ImageExch->mapToGlobal(at));
    QApplication::sendEvent(w->ImageExch, &menu);
    QTest::mouseRelease(w->ImageExch, Qt::RightButton, Qt::NoModifier, at);
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
  EXPECT_EQ(w->ImageExch->Frame().pixelColor(183 + 15, 58), QColor(233, 30, 99));

  // The strip maps 40,000 bytes onto 461 rows; the marked byte's row carries marker 1's line.
  const int row = static_cast<int>(index * 461ull / 40000);
  bool lit = false;
  for (int y = row - 2; y <= row + 2; ++y) lit = lit || w->ImageMiniMap->Frame().pixelColor(5, y) == QColor(233, 30, 99);
  EXPECT_TRUE(lit) << "row " << row;

  // Scroll away to the top, then press the strip above the marker: the marker comes back on the
  // ninth visible row.
  s.AutoScroll = 0;
  s.View.ShowRow(0);
  QTest::mouseClick(w->ImageMiniMap, Qt::LeftButton, Qt::NoModifier, QPoint(5, row - 3));
  EXPECT_EQ(s.View.TopRow(), index / 32 - 8);
  EXPECT_EQ(w->ScrollBarExch->value(), static_cast<int>(index / 32 - 8));
}

}  // namespace
}  // namespace quarlex
