#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "tests/app/support/store_fields.h"
#include "view/navigation.h"

namespace quarlex {
namespace {

struct CountingUi : ViewRedraw {
  int exchange = 0, minimap = 0;
  void OutExchange() override { ++exchange; }
  void OutMiniMap() override { ++minimap; }
};

struct NavTest : ::testing::Test {
  CaptureStore s;
  CountingUi ui;
  std::unique_ptr<Navigation> nav;

  void SetUp() override {
    s.AutoScroll = 0;
    s.View.SetLastRow(ScrollBarModel::DesignMax);
    nav = std::make_unique<Navigation>(s, ui);
  }
  void TearDown() override { nav.reset(); }

  // A press of the right button at the centre of cell (column, row) at design scale, followed by
  // its context-menu request.
  bool RightClickCell(int column, int row) {
    nav->ImageExchMouseDown(93 + column * 30 + 15, row * 28 + 14);
    return nav->ImageExchContextPopup();
  }
};

TEST(MarkerRule, SetRemoveReplaceKeepOtherBits) {
  struct Case {
    uint8_t attr, command, expected;
  } cases[] = {
      {0x00, 1, 0x01},   // free byte, right click marker 1
      {0xB0, 3, 0xB3},   // search and sent bits survive setting
      {0x92, 2, 0x90},   // same marker by right click: removed, sent and search bits kept
      {0x41, 2, 0x40},   // other marker by right click: removed, not replaced
      {0x41, 10, 0x42},  // other marker by menu "Marker 2": replaced
      {0xC4, 12, 0xC0},  // menu choice of the colour it already has: removed
      {0x00, 12, 0x04},  // menu on a free byte: set
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ApplyMarkerCommand(c.attr, c.command), c.expected)
        << std::hex << "attr " << int(c.attr) << " command " << int(c.command);
  }
}

TEST(HitTest, DesignScale) {
  const GridMetrics m = GridMetricsForWidth(1055);  // scale 1: 30 x 28 cells
  EXPECT_EQ(GridLeftPixel(1.0f), 93);
  EXPECT_EQ(CellAt(0, 0, m, 32, 0), 0u);
  EXPECT_EQ(CellAt(29, 27, m, 32, 0), 0u);
  EXPECT_EQ(CellAt(30, 28, m, 32, 0), 33u);
  EXPECT_EQ(CellAt(959, 447, m, 32, 0), 15u * 32 + 31);
  EXPECT_EQ(CellAt(959, 0, m, 32, 10), 10u * 32 + 31);
  EXPECT_EQ(CellAt(479, 0, m, 16, 3), 3u * 16 + 15);
  // Address column, right of the last column, below the 16th row.
  EXPECT_FALSE(CellAt(-1, 5, m, 32, 0));
  EXPECT_FALSE(CellAt(960, 5, m, 32, 0));
  EXPECT_FALSE(CellAt(480, 5, m, 16, 0));
  EXPECT_FALSE(CellAt(5, 448, m, 32, 0));
}

TEST(HitTest, ScaledWindowSubtractsTheCeilingOfTheColumnOffset) {
  const GridMetrics m = GridMetricsForWidth(1319);
  const float s = m.ViewScale;  // ~1.2502
  // The column is drawn at 116.27; clicks are measured from 117.
  EXPECT_EQ(GridLeftPixel(s), 117);
  const int first = GridLeftPixel(s);
  // Cell width 37.507: pixel 37 from the offset is still column 0, 38 is column 1.
  EXPECT_EQ(CellAt(117 + 37 - first, 0, m, 32, 0), 0u);
  EXPECT_EQ(CellAt(117 + 38 - first, 0, m, 32, 0), 1u);
  // Row height 35.007: y 35 is row 0, y 36 row 1.
  EXPECT_EQ(CellAt(0, 35, m, 32, 0), 0u);
  EXPECT_EQ(CellAt(0, 36, m, 32, 0), 32u);
  // Last column ends at 32 x 37.507 = 1200.2.
  EXPECT_EQ(CellAt(1200, 0, m, 32, 0), 31u);
  EXPECT_FALSE(CellAt(1201, 0, m, 32, 0));
  EXPECT_FALSE(CellAt(0, static_cast<int>(std::ceil(16 * 28 * double(s))), m, 32, 0));
}

TEST(HitTest, CellsPastTheRingAreNotHit) {
  const GridMetrics m = GridMetricsForWidth(1055);
  const uint32_t topRow = CaptureLast / 32;  // the bar's maximum at a full ring
  EXPECT_EQ(CellAt(31 * 30, 0, m, 32, topRow), CaptureLast);
  EXPECT_FALSE(CellAt(0, 28, m, 32, topRow));
  EXPECT_FALSE(CellAt(0, 0, m, 16, 0xFFFFFFFFu));  // no wrap of the index either
}

TEST_F(NavTest, RightClickMarksThenSecondRemoves) {
  EXPECT_FALSE(RightClickCell(3, 2));
  EXPECT_EQ(s.CaptureAttributes[2 * 32 + 3], 1);
  EXPECT_EQ(ui.exchange, 1);
  EXPECT_EQ(ui.minimap, 1);
  EXPECT_EQ(nav->MarkerCommand, 0);
  RightClickCell(3, 2);
  EXPECT_EQ(s.CaptureAttributes[2 * 32 + 3], 0);
}

TEST_F(NavTest, RightClickWithAnotherColourRemovesMenuReplaces) {
  s.View.ShowRow(4);
  const uint32_t index = 4 * 32 + 5 * 32 + 7;
  s.CaptureAttributes[index] = 0x81;  // sent byte with marker 1
  nav->CheckedMarker = 2;
  RightClickCell(7, 5);
  EXPECT_EQ(s.CaptureAttributes[index], 0x80);

  s.CaptureAttributes[index] = 0x81;
  nav->LeftCtrl.Press(false);
  ASSERT_TRUE(RightClickCell(7, 5));  // menu opens, nothing changed yet
  EXPECT_EQ(s.CaptureAttributes[index], 0x81);
  EXPECT_EQ(ui.exchange, 1);
  nav->ColorClick(2);
  EXPECT_EQ(s.CaptureAttributes[index], 0x82);
  EXPECT_EQ(nav->CheckedMarker, 2);
  nav->ColorClick(2);  // the colour the byte already has: removed
  EXPECT_EQ(s.CaptureAttributes[index], 0x80);
}

TEST_F(NavTest, MenuChoiceBecomesTheRightClickColour) {
  nav->LeftCtrl.Press(false);
  ASSERT_TRUE(RightClickCell(0, 0));
  nav->ColorClick(4);
  EXPECT_EQ(s.CaptureAttributes[0], 4);
  nav->LeftCtrl.Release();
  EXPECT_FALSE(RightClickCell(1, 0));
  EXPECT_EQ(s.CaptureAttributes[1], 4);
}

TEST_F(NavTest, CtrlHeldThroughASecondRightClickIsNotNewlyPressed) {
  nav->LeftCtrl.Press(false);
  ASSERT_TRUE(RightClickCell(0, 0));
  nav->LeftCtrl.Press(true);  // auto-repeat while held
  EXPECT_FALSE(RightClickCell(0, 0));
  EXPECT_EQ(s.CaptureAttributes[0], 1);
  // Released and pressed again: the menu again.
  nav->LeftCtrl.Release();
  nav->LeftCtrl.Press(false);
  EXPECT_TRUE(RightClickCell(0, 0));
  // Pressed and released before the click: not down, so a plain right click.
  nav->LeftCtrl.Release();
  nav->LeftCtrl.Press(false);
  nav->LeftCtrl.Release();
  EXPECT_FALSE(RightClickCell(2, 0));
  EXPECT_EQ(s.CaptureAttributes[2], 1);
}

TEST_F(NavTest, ClickOutsideTheCellsRedrawsAndResetsTheMiniMapThrottle) {
  s.MiniMapBuiltAt = 500000;
  nav->ImageExchMouseDown(50, 10);  // address column
  EXPECT_FALSE(nav->ImageExchContextPopup());
  nav->ImageExchMouseDown(93 + 15, 449);  // below the 16th row
  nav->ImageExchContextPopup();
  nav->ImageExchMouseDown(1054, 10);  // right of the last column
  nav->ImageExchContextPopup();
  for (uint32_t i = 0; i < 16 * 32 + 64; ++i) ASSERT_EQ(s.CaptureAttributes[i], 0) << i;
  EXPECT_EQ(s.MiniMapBuiltAt, 0u);
  EXPECT_EQ(ui.exchange, 3);
  EXPECT_EQ(ui.minimap, 3);
}

TEST_F(NavTest, ClicksPastTheRingEndChangeNothing) {
  s.View.SetLastRow(CaptureLast / 32);
  s.View.ShowRow(CaptureLast / 32);
  s.CaptureBuffer[CaptureLast] = 0x41;
  RightClickCell(31, 0);
  EXPECT_EQ(s.CaptureAttributes[CaptureLast], 1);
  RightClickCell(0, 1);  // would be index 0x2000000 + 0
  nav->ImageExchMouseDown(93 + 15, 28 * 15 + 3);
  nav->ImageExchDblClick();
  for (int v = 0; v < 256; ++v) EXPECT_EQ(s.ValueHighlight[v], 0) << v;
  nav->ImageExchMouseDown(93 + 31 * 30 + 3, 3);
  nav->ImageExchDblClick();
  EXPECT_EQ(s.ValueHighlight[0x41], 1);
}

TEST_F(NavTest, DoubleClickTogglesTheValueHighlight) {
  s.CaptureBuffer[40] = 0x41;  // row 1, column 8
  StoreFields(s).WriteIndex = 41;
  nav->ImageExchMouseDown(93 + 8 * 30 + 1, 28 + 1);
  nav->ImageExchDblClick();
  EXPECT_EQ(s.ValueHighlight[0x41], 1);
  EXPECT_EQ(ui.exchange, 1);
  EXPECT_EQ(ui.minimap, 1);
  nav->ImageExchDblClick();
  EXPECT_EQ(s.ValueHighlight[0x41], 0);
  // An empty cell toggles the value the ring holds there: 0 after a clear.
  nav->ImageExchMouseDown(93 + 5, 28 * 10);
  nav->ImageExchDblClick();
  EXPECT_EQ(s.ValueHighlight[0], 1);
}

TEST_F(NavTest, HighlightUsesThePressNotTheLastRightClick) {
  s.CaptureBuffer[0] = 7;
  s.CaptureBuffer[1] = 9;
  RightClickCell(0, 0);  // MarkerClickX/Y at cell 0
  nav->ImageExchMouseDown(93 + 30 + 2, 2);
  nav->ImageExchDblClick();
  EXPECT_EQ(s.ValueHighlight[9], 1);
  EXPECT_EQ(s.ValueHighlight[7], 0);
  // And the menu choice uses the point of the right click that opened it, not a later press.
  nav->LeftCtrl.Press(false);
  ASSERT_TRUE(RightClickCell(5, 5));
  nav->ImageExchMouseDown(93 + 2, 2);
  nav->ColorClick(3);
  EXPECT_EQ(s.CaptureAttributes[5 * 32 + 5], 3);
}

TEST_F(NavTest, OperatorScrollIsTakenIntoTopRow) {
  s.View.SetLastRow(100);
  nav->ScrollBarExchScroll(ScrollKind::LineDown);
  s.View.MoveBar(1);
  EXPECT_EQ(s.View.TopRow(), 1u);
  EXPECT_FALSE(nav->ScrollByOperator);
  EXPECT_EQ(ui.exchange, 1);
  // A position set by the program alone neither moves TopRow nor draws.
  s.View.MoveBar(40);
  EXPECT_EQ(s.View.TopRow(), 1u);
  EXPECT_EQ(ui.exchange, 1);
  // The bar's own top / bottom commands do not count as operator scrolls.
  nav->ScrollBarExchScroll(ScrollKind::Top);
  nav->ScrollBarExchScroll(ScrollKind::EndScroll);
  s.View.MoveBar(0);
  EXPECT_EQ(s.View.TopRow(), 1u);
  for (ScrollKind k : {ScrollKind::PageUp, ScrollKind::PageDown, ScrollKind::ThumbTrack,
                       ScrollKind::ThumbPosition, ScrollKind::LineUp}) {
    nav->ScrollByOperator = false;
    nav->ScrollBarExchScroll(k);
    EXPECT_TRUE(nav->ScrollByOperator);
  }
}

TEST_F(NavTest, PendingOperatorScrollTakesTheAutoscrollPosition) {
  // The arrow clicked with the thumb already at the bottom: no change, the flag stays.
  s.AutoScroll = 1;
  for (int i = 0; i < 20 * 32; ++i) s.AppendSent(1);
  s.ScrollUpdate();
  EXPECT_EQ(s.View.TopRow(), 6u);
  s.View.ShowRow(0);  // a view left behind
  s.View.MoveBar(s.View.ScrollBarExch().Max());
  nav->ScrollBarExchScroll(ScrollKind::LineDown);
  s.View.MoveBar(s.View.ScrollBarExch().Max() + 1);
  EXPECT_TRUE(nav->ScrollByOperator);
  const int before = ui.exchange;
  for (int i = 0; i < 32; ++i) s.AppendSent(1);
  s.ScrollUpdate();
  EXPECT_EQ(s.View.TopRow(), 7u);
  EXPECT_EQ(ui.exchange, before + 1);
  EXPECT_FALSE(nav->ScrollByOperator);
}

TEST_F(NavTest, WheelMovesTwoRowsWithinTheBar) {
  s.View.SetLastRow(100);
  s.View.ShowRow(1);
  nav->ScrollByOperator = true;
  nav->FormMouseWheelUp();
  EXPECT_EQ(s.View.TopRow(), 0u);  // -1 clamped to 0
  EXPECT_FALSE(nav->ScrollByOperator);
  EXPECT_EQ(ui.exchange, 1);
  nav->FormMouseWheelDown();
  nav->FormMouseWheelDown();
  EXPECT_EQ(s.View.TopRow(), 4u);
  EXPECT_EQ(s.View.ScrollBarExch().Position(), 4u);
  s.View.SetLastRow(0);
  nav->FormMouseWheelDown();
  EXPECT_EQ(s.View.TopRow(), 0u);
}

}  // namespace
}  // namespace quarlex
