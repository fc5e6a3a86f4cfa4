#include "view/exchange_grid.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/app/support/store_fields.h"
#include "text/code_page.h"

namespace quarlex {
namespace {

// An ImageExch-like frame buffer of 0xFFRRGGBB pixels.
struct Image {
  Image(int w, int h) : width(w), height(h), pixels(size_t(w) * h, 0xFF000000u) {}
  ImageTarget Target() { return {pixels.data(), width, height, size_t(width) * 4}; }
  uint32_t At(int x, int y) const { return pixels[size_t(y) * width + x] & 0xFFFFFF; }
  int width, height;
  std::vector<uint32_t> pixels;
};

class GridTest : public ::testing::Test {
 protected:
  GridTest() : grid(surface), image(1055, 449) {}

  void Fill(uint32_t count, uint8_t value) {
    for (uint32_t i = 0; i < count; ++i) store.CaptureBuffer[i] = value;
    StoreFields(store).WriteIndex = count;
  }
  void Draw() {
    ImageTarget t = image.Target();
    grid.OutExchange(store, view, t);
  }
  CellBox Box(int column, int row) const { return CellBounds(grid.Metrics(), column, row); }
  // A point of the inset fill that neither text nor frames reach.
  uint32_t FillAt(int column, int row) const {
    const CellBox b = Box(column, row);
    return image.At(int(b.x0) + 5, int(b.y1) - 5);
  }
  // A point on the middle of the top edge of the 2-pixel frame (marker or one-byte match).
  uint32_t FrameAt(int column, int row) const {
    const CellBox b = Box(column, row);
    return image.At(int((b.x0 + b.x1) / 2), int(b.y0) + 2);
  }
  // Pixels of `color` inside a cell (or any rectangle).
  int Count(uint32_t color, double x0, double y0, double x1, double y1) const {
    int n = 0;
    for (int y = int(y0); y < int(y1); ++y)
      for (int x = int(x0); x < int(x1); ++x) n += image.At(x, y) == color;
    return n;
  }
  int CountInCell(uint32_t color, int column, int row) const {
    const CellBox b = Box(column, row);
    return Count(color, b.x0 + 1, b.y0 + 1, b.x1, b.y1);
  }
  // Leftmost column of a cell holding `color`, or -1.
  int LeftmostInCell(uint32_t color, int column, int row) const {
    const CellBox b = Box(column, row);
    for (int x = int(b.x0); x < int(b.x1); ++x)
      for (int y = int(b.y0); y < int(b.y1); ++y)
        if (image.At(x, y) == color) return x;
    return -1;
  }

  Renderer surface;
  CaptureStore store;
  GridViewState view;
  ExchangeGrid grid;
  Image image;
};

TEST_F(GridTest, EmptyCaptureShowsBackgroundLinesAndAddressesOnly) {
  Draw();
  EXPECT_EQ(grid.Metrics().FontNumber, 1);
  EXPECT_EQ(image.At(1054, 448), GridBackground.Value());  // the whole image is painted
  EXPECT_EQ(image.At(1053, 200), GridLineColor.Value());   // right outline of the byte area
  EXPECT_EQ(image.At(500, 448), GridLineColor.Value());    // bottom outline
  EXPECT_EQ(image.At(123, 10), GridLineColor.Value());     // line between columns 0 and 1
  EXPECT_EQ(image.At(100, 28), GridLineColor.Value());     // line between rows 0 and 1
  EXPECT_EQ(image.At(80, 100), GridLineColor.Value());     // address box
  EXPECT_EQ(image.At(86, 100), GridBackground.Value());    // gap between the boxes
  EXPECT_EQ(FillAt(3, 3), GridBackground.Value());
  for (int r = 0; r < 16; ++r) {
    EXPECT_EQ(CountInCell(CellTextColor.Value(), 0, r), 0) << r;
    EXPECT_GT(Count(AddressTextColor.Value(), 1, r * 28 + 1, 80, r * 28 + 28), 20) << r;  // address text
  }
  // 16 lines of 32 spaces.
  std::string expected;
  for (int r = 0; r < 16; ++r) expected += std::string(32, ' ') + (r < 15 ? "\r\n" : "");
  EXPECT_EQ(grid.MemoText(), expected);
}

TEST_F(GridTest, TextOnlyBelowWriteIndexButFillsOnEveryCell) {
  for (uint32_t i = 0; i < 64; ++i) store.CaptureBuffer[i] = 0x88;
  StoreFields(store).WriteIndex = 5;
  store.CaptureAttributes[7] = AttrSent;  // a sent byte past the write position (a wrapped send)
  Draw();
  for (int c = 0; c < 5; ++c) EXPECT_GT(CountInCell(CellTextColor.Value(), c, 0), 10) << c;
  for (int c = 5; c < 32; ++c) EXPECT_EQ(CountInCell(CellTextColor.Value(), c, 0), 0) << c;
  EXPECT_EQ(FillAt(7, 0), SentFill.Value());
  EXPECT_EQ(CountInCell(CellTextColor.Value(), 0, 1), 0);
}

TEST_F(GridTest, SentAndHighlightFillsWithTheirTextColours) {
  Fill(64, 0x30);
  store.CaptureBuffer[2] = 0x41;
  store.CaptureBuffer[3] = 0x41;
  store.CaptureAttributes[1] = AttrSent;
  store.CaptureAttributes[3] = AttrSent;  // sent and highlighted: the highlight covers
  store.ValueHighlight[0x41] = 1;
  Draw();
  EXPECT_EQ(FillAt(0, 0), GridBackground.Value());
  EXPECT_EQ(FillAt(1, 0), SentFill.Value());
  EXPECT_EQ(FillAt(2, 0), HighlightFill.Value());
  EXPECT_EQ(FillAt(3, 0), HighlightFill.Value());
  EXPECT_GT(CountInCell(CellTextColor.Value(), 1, 0), 10);
  EXPECT_GT(CountInCell(HighlightTextColor.Value(), 2, 0), 10);
  EXPECT_EQ(CountInCell(CellTextColor.Value(), 2, 0), 0);
  EXPECT_EQ(CountInCell(HighlightTextColor.Value(), 0, 0), 0);
  // The fill is the cell inset by one pixel: grid lines stay visible around it.
  const CellBox b = Box(2, 0);
  EXPECT_EQ(image.At(int(b.x0), 10), GridLineColor.Value());
  EXPECT_EQ(image.At(int(b.x0) + 1, 10), HighlightFill.Value());
  EXPECT_EQ(image.At(int(b.x1) - 2, 10), HighlightFill.Value());
  EXPECT_EQ(image.At(int(b.x1), 10), GridLineColor.Value());
}

TEST_F(GridTest, EachMarkerDrawsItsFrameAndIsSeen) {
  Fill(64, 0x10);
  for (uint8_t k = 1; k <= 4; ++k) store.CaptureAttributes[32 + k] = k;
  EXPECT_FALSE(grid.MarkerSeen);
  Draw();
  EXPECT_TRUE(grid.MarkerSeen);
  for (int k = 1; k <= 4; ++k) {
    EXPECT_EQ(FrameAt(k, 1), MarkerColors[k].Value()) << k;
    const CellBox b = Box(k, 1);
    // Two pixels wide, lying inside the cell: the left edge covers x0 + 1 and x0 + 2.
    EXPECT_EQ(image.At(int(b.x0) + 1, 42), MarkerColors[k].Value());
    EXPECT_EQ(image.At(int(b.x0) + 2, 42), MarkerColors[k].Value());
    EXPECT_EQ(image.At(int(b.x0) + 3, 42), GridBackground.Value());
    EXPECT_EQ(FillAt(k, 1), GridBackground.Value());
  }
  EXPECT_EQ(FrameAt(0, 1), GridBackground.Value());

  // MarkerSeen stays set once a marked cell was drawn.
  for (uint8_t k = 1; k <= 4; ++k) store.CaptureAttributes[32 + k] = 0;
  Draw();
  EXPECT_TRUE(grid.MarkerSeen);
  EXPECT_EQ(FrameAt(1, 1), GridBackground.Value());
}

TEST_F(GridTest, CurrentOneByteMatchCoversAMarker) {
  Fill(64, 0x41);
  store.CaptureAttributes[10] = 1 | SearchHitSingle;  // marked and the current match
  store.CaptureAttributes[20] = 2 | SearchHitSingle;  // marked, another match
  view = {10, 1};
  Draw();
  EXPECT_EQ(FillAt(10, 0), CurrentMatchFillColor.Value());
  EXPECT_EQ(FrameAt(10, 0), SearchFrameColor.Value());
  EXPECT_EQ(CountInCell(MarkerColors[1].Value(), 10, 0), 0);  // hidden under fill and frame
  EXPECT_EQ(FillAt(20, 0), GridBackground.Value());
  EXPECT_EQ(FrameAt(20, 0), SearchFrameColor.Value());
  EXPECT_FALSE(grid.CurrentMatchFill);
}

TEST_F(GridTest, MultiByteMatchesGetBracketsAndOnlyTheCurrentOneIsFilled) {
  Fill(200, 0x41);
  const uint8_t three[] = {SearchHitFirst, SearchHitInner, SearchHitLast};
  for (int k = 0; k < 3; ++k) {
    store.CaptureAttributes[40 + k] = three[k];  // current match, row 1 columns 8..10
    store.CaptureAttributes[70 + k] = three[k];  // another, row 2 columns 6..8
  }
  view = {40, 3};
  Draw();
  for (int c = 8; c <= 10; ++c) EXPECT_EQ(FillAt(c, 1), CurrentMatchFillColor.Value()) << c;
  for (int c = 6; c <= 8; ++c) EXPECT_EQ(FillAt(c, 2), GridBackground.Value()) << c;
  EXPECT_EQ(FillAt(11, 1), GridBackground.Value());
  EXPECT_FALSE(grid.CurrentMatchFill);
  // The bracket's top bar runs across the cells and over the grid lines between them.
  const CellBox first = Box(6, 2), last = Box(8, 2);
  for (int x = int(first.x0) + 1; x <= int(last.x1) - 2; ++x)
    EXPECT_EQ(image.At(x, int(first.y0) + 2), SearchFrameColor.Value()) << x;
  // The first byte's bracket is closed on the left, open on the right; the last byte's is the reverse.
  EXPECT_EQ(image.At(int(first.x0) + 2, int(first.y0) + 14), SearchFrameColor.Value());
  EXPECT_EQ(image.At(int(first.x1) - 2, int(first.y0) + 14), GridBackground.Value());
  EXPECT_EQ(image.At(int(last.x1) - 2, int(last.y0) + 14), SearchFrameColor.Value());
  EXPECT_EQ(image.At(int(last.x0) + 2, int(last.y0) + 14), GridBackground.Value());
}

TEST_F(GridTest, CurrentMatchFillFollowsTheMatchAcrossFrames) {
  Fill(2000, 0x41);
  // A current match of 4 bytes starting on the last cell of row 15 (index 511).
  const uint32_t start = 32 * 15 + 31;
  const uint8_t four[] = {SearchHitFirst, SearchHitInner, SearchHitInner, SearchHitLast};
  for (int k = 0; k < 4; ++k) store.CaptureAttributes[start + k] = four[k];
  store.CaptureAttributes[start + 10] = SearchHitSingle;   // row 16, column 9: an ordinary match
  store.CaptureAttributes[32 * 17 + 7] = SearchHitSingle;  // row 17, column 7: another
  view = {start, 4};
  Draw();
  EXPECT_EQ(FillAt(31, 15), CurrentMatchFillColor.Value());
  EXPECT_TRUE(grid.CurrentMatchFill);  // the match runs on below the view

  // Scrolled so that the frame starts inside the current match: its fill carries on at the top.
  store.View.ShowRow(16);
  Draw();
  for (int c = 0; c < 3; ++c) EXPECT_EQ(FillAt(c, 0), CurrentMatchFillColor.Value()) << c;
  EXPECT_EQ(FillAt(3, 0), GridBackground.Value());
  EXPECT_EQ(FillAt(9, 0), GridBackground.Value());  // the later one-byte match is not current
  EXPECT_EQ(FrameAt(9, 0), SearchFrameColor.Value());

  // A frame that starts past the current match must not inherit the fill that the previous
  // frame left on (its match ran past the bottom): the first match it meets is an ordinary one.
  store.View.ShowRow(0);
  Draw();
  ASSERT_TRUE(grid.CurrentMatchFill);
  store.View.ShowRow(17);
  Draw();
  EXPECT_EQ(FillAt(7, 0), GridBackground.Value());
  EXPECT_EQ(FrameAt(7, 0), SearchFrameColor.Value());
}

TEST_F(GridTest, TextIsPlacedByBaseAndScale) {
  Fill(3, 0);
  store.CaptureBuffer[0] = 7;
  store.CaptureBuffer[1] = 42;
  store.CaptureBuffer[2] = 255;
  store.ViewBase = GridBase::Dec;
  Draw();
  const GlyphFonts& g = surface.Glyphs();
  const uint32_t ink = CellTextColor.Value();
  EXPECT_EQ(LeftmostInCell(ink, 0, 0), 93 + 12 + g.At(1, '7').Left);
  EXPECT_EQ(LeftmostInCell(ink, 1, 0), 123 + 8 + g.At(1, '4').Left);
  EXPECT_EQ(LeftmostInCell(ink, 2, 0), 153 + 4 + g.At(1, '2').Left);

  store.ViewBase = GridBase::Hex;
  Draw();
  EXPECT_EQ(LeftmostInCell(ink, 1, 0), 123 + 6 + g.At(1, '2').Left);

  // At width 1583 (scale 1.5005) the third font is used and positions scale with it.
  image = Image(1583, 674);
  Draw();
  EXPECT_EQ(grid.Metrics().FontNumber, 3);
  const CellBox b = Box(1, 0);
  EXPECT_EQ(LeftmostInCell(ink, 1, 0),
            RoundHalfEven(b.x0 + 6 * grid.Metrics().ViewScale) + g.At(3, '2').Left);
  EXPECT_EQ(FillAt(5, 5), GridBackground.Value());
  EXPECT_EQ(image.At(1582, 673), GridBackground.Value());
}

TEST_F(GridTest, CharViewDrawsControlBytesInTheCellButSpacesInTheTextColumn) {
  const uint8_t bytes[] = {'H', 'i', 0x05, 0xC0, 0xA9, 0x7F};
  for (size_t i = 0; i < sizeof bytes; ++i) store.CaptureBuffer[i] = bytes[i];
  StoreFields(store).WriteIndex = sizeof bytes;
  store.ViewBase = GridBase::Char;
  store.BytesPerRow = 16;
  Draw();
  // The font's glyph for code point 5 is drawn; nothing for the space past WriteIndex.
  EXPECT_GT(CountInCell(CellTextColor.Value(), 2, 0), 0);
  EXPECT_EQ(CountInCell(CellTextColor.Value(), 6, 0), 0);

  // Bytes from 0x20 up stand for themselves in the code page: 0xC0 is the Cyrillic A.
  std::string first = std::string("Hi \xC0\xA9\x7F") + std::string(10, ' ');
  std::string expected = first;
  for (int r = 1; r < 16; ++r) expected += "\r\n" + std::string(16, ' ');
  EXPECT_EQ(grid.MemoText(), expected);
  EXPECT_EQ(MemoTextOf(store), expected);
  EXPECT_EQ(grid.MemoTextUtf8().substr(0, 8), "Hi \xD0\x90\xC2\xA9\x7F");
}

TEST_F(GridTest, RowsPastTheRingAreEmptyAndNeverRead) {
  StoreFields(store).WriteIndex = CaptureLast;
  store.View.ShowRow(CaptureLast / 32);  // the ring's last row on top, 15 rows beyond it
  store.ValueHighlight[0] = 1;           // a cell of the ring holding 0 is yellow
  store.CaptureAttributes[CaptureLast] = 3;
  Draw();
  EXPECT_EQ(FillAt(0, 0), HighlightFill.Value());
  EXPECT_EQ(FrameAt(31, 0), MarkerColors[3].Value());
  EXPECT_EQ(FillAt(0, 1), GridBackground.Value());
  EXPECT_EQ(FillAt(31, 15), GridBackground.Value());
  // Addresses go on past the ring: row 1 is 0x2000000.
  EXPECT_GT(Count(AddressTextColor.Value(), 1, 29, 80, 56), 20);
  const std::string& memo = grid.MemoText();
  ASSERT_EQ(memo.size(), 16u * 32 + 15 * 2);
  EXPECT_EQ(memo.substr(34, 32), std::string(32, ' '));
}

TEST_F(GridTest, WidthChangeRecomputesMetricsAndTheFrameFollowsTheImage) {
  Draw();
  EXPECT_EQ(grid.LastGridWidth, 1055);
  EXPECT_FALSE(grid.WidthChanged(1055));
  EXPECT_TRUE(grid.WidthChanged(1319));
  image = Image(1319, 561);
  Draw();
  EXPECT_EQ(grid.Metrics().FontNumber, 2);
  EXPECT_EQ(grid.GridImageWidth, 1319);
  EXPECT_EQ(grid.GridImageHeight, 561);
  // Height alone changed: metrics stay, but the frame still covers the whole image.
  image = Image(1319, 600);
  Draw();
  EXPECT_EQ(grid.Metrics().FontNumber, 2);
  EXPECT_EQ(image.At(1000, 599), GridBackground.Value());
}

}  // namespace
}  // namespace quarlex
