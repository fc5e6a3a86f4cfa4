#include "view/grid_layout.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace quarlex {
namespace {

TEST(GridLayout, FontAndMetricsFollowTheImageWidth) {
  struct Case {
    uint32_t width;
    uint8_t font;
  } cases[] = {{1055, 1}, {1308, 1}, {1309, 2}, {1319, 2}, {1571, 2},
               {1572, 3}, {1583, 3}, {2110, 3}, {700, 1}};
  for (const Case& c : cases) EXPECT_EQ(GridMetricsForWidth(c.width).FontNumber, c.font) << c.width;

  const GridMetrics design = GridMetricsForWidth(1055);
  EXPECT_EQ(design.ViewScale, 1.0f);
  EXPECT_EQ(design.CellWidth, 30.0f);
  EXPECT_EQ(design.RowHeight, 28.0f);
  EXPECT_EQ(design.GridLeft, 93.0f);
  EXPECT_EQ(design.AddressWidth, 80.0f);
  EXPECT_EQ(ByteAreaRight(design, 16), 573.0);
  EXPECT_EQ(ByteAreaRight(design, 32), 1053.0);
  EXPECT_EQ(GridBottom(design), 448.0);

  const GridMetrics wide = GridMetricsForWidth(1319);
  EXPECT_NEAR(wide.GridLeft, 116.27, 0.01);
  EXPECT_EQ(GridLeftPixel(wide.ViewScale), 117);
  EXPECT_EQ(GridLeftPixel(1.0f), 93);

  const GridMetrics none = GridMetricsForWidth(0);
  EXPECT_EQ(none.CellWidth, 0.0f);
  EXPECT_FALSE(CellOfPoint(none, 32, 0, 0));
}

TEST(GridLayout, RoundingIsToNearestWithHalvesToEven) {
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(3.5), 4);
  EXPECT_EQ(RoundHalfEven(-0.5), 0);
  EXPECT_EQ(RoundHalfEven(-1.5), -2);
  EXPECT_EQ(RoundHalfEven(116.27), 116);
  EXPECT_EQ(RoundHalfEven(116.5000001), 117);
}

TEST(GridLayout, PointsMapToCellsOnlyInsideTheByteArea) {
  const GridMetrics m = GridMetricsForWidth(1055);
  EXPECT_EQ(CellOfPoint(m, 32, 0, 0), (GridCell{0, 0}));
  EXPECT_EQ(CellOfPoint(m, 32, 29, 27), (GridCell{0, 0}));
  EXPECT_EQ(CellOfPoint(m, 32, 30, 28), (GridCell{1, 1}));
  EXPECT_EQ(CellOfPoint(m, 32, 959, 447), (GridCell{31, 15}));
  EXPECT_FALSE(CellOfPoint(m, 32, 960, 10));  // right of the last column
  EXPECT_FALSE(CellOfPoint(m, 16, 480, 10));
  EXPECT_FALSE(CellOfPoint(m, 32, 10, 448));  // below the 16th row
  EXPECT_FALSE(CellOfPoint(m, 32, -1, 10));   // in the address column

  EXPECT_EQ(IndexOfCell({5, 2}, 32, 10), 5u + 32 * 12);
  // The last row of the ring is reachable; the rows after it are not.
  const uint32_t lastRow = 0x1FFFFFF / 32;
  EXPECT_EQ(IndexOfCell({31, 0}, 32, lastRow), 0x1FFFFFFu);
  EXPECT_FALSE(IndexOfCell({0, 1}, 32, lastRow));

  EXPECT_EQ(CellOfIndex(5 + 32 * 12, 32, 10), (GridCell{5, 2}));
  EXPECT_FALSE(CellOfIndex(32 * 9, 32, 10));
  EXPECT_FALSE(CellOfIndex(32 * 26, 32, 10));
  EXPECT_EQ(RowOfIndex(479, 32), 14u);
}

TEST(GridLayout, CellTextAndItsOffsetPerBase) {
  char buf[4];
  EXPECT_EQ(CellText(GridBase::Hex, 0x0A, buf), "0A");
  EXPECT_EQ(CellText(GridBase::Hex, 0xFF, buf), "FF");
  EXPECT_EQ(CellText(GridBase::Dec, 7, buf), "7");
  EXPECT_EQ(CellText(GridBase::Dec, 42, buf), "42");
  EXPECT_EQ(CellText(GridBase::Dec, 100, buf), "100");
  EXPECT_EQ(CellText(GridBase::Dec, 255, buf), "255");
  EXPECT_EQ(CellText(GridBase::Char, 0x05, buf), std::string(1, '\x05'));
  EXPECT_EQ(CellText(static_cast<GridBase>(0), 0x41, buf), "");
  EXPECT_EQ(CellTextOffset(GridBase::Hex, 0), 6);
  EXPECT_EQ(CellTextOffset(GridBase::Dec, 7), 12);
  EXPECT_EQ(CellTextOffset(GridBase::Dec, 42), 8);
  EXPECT_EQ(CellTextOffset(GridBase::Dec, 99), 8);
  EXPECT_EQ(CellTextOffset(GridBase::Dec, 255), 4);
  EXPECT_EQ(CellTextOffset(GridBase::Char, 0xC0), 10);
}

TEST(GridLayout, AddressTextAndItsOffset) {
  char buf[9];
  EXPECT_EQ(AddressText(0, buf), "0000000");
  EXPECT_EQ(AddressText(0x1E0, buf), "00001E0");
  EXPECT_EQ(AddressText(0x1FFFFE0, buf), "1FFFFE0");
  EXPECT_EQ(AddressText(0x2000000, buf), "2000000");  // rows past the ring still have an address
  EXPECT_EQ(AddressText(0xFFFFFFFF, buf), "FFFFFFFF");
  struct Case {
    uint32_t offset;
    int dx;
  } cases[] = {{0, 11},       {0xA0, 10},     {0xAAAAA0, 6},  {0xAAAAB0, 4},
               {0xB00000, 8}, {0x1FFFFE0, 4}, {0x1000000, 11}};
  for (const Case& c : cases) EXPECT_EQ(AddressTextOffset(c.offset), c.dx) << std::hex << c.offset;
}

TEST(GridLayout, ByteAtPointNamesTheByteAClickThereWouldMark) {
  auto store = std::make_unique<CaptureStore>();
  const uint8_t bytes[10] = {};
  store->AppendReceived(bytes, sizeof bytes);
  // At design width, row 0 starts at x 93 and cells are 30 wide.
  const auto hit = ByteAtPoint(*store, 1055, 93 + 4 * 30 + 10, 5);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->Index, 4u);
  EXPECT_DOUBLE_EQ(hit->Cell.x0, 93 + 4 * 30);
  EXPECT_FALSE(ByteAtPoint(*store, 1055, 40, 5)) << "the address column";
  EXPECT_FALSE(ByteAtPoint(*store, 1055, 93 + 12 * 30 + 10, 5)) << "no byte there yet";
}

}  // namespace
}  // namespace quarlex
