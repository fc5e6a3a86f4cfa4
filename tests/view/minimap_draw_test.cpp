#include <gtest/gtest.h>

#include <vector>

#include "tests/app/support/store_fields.h"
#include "view/minimap.h"

namespace quarlex {
namespace {

struct FakeStrip : MiniMapControl {
  int width = 19, height = 461;
  std::vector<uint32_t> pixels;
  int sized = 0, repaints = 0, top = -1, bottom = -1;
  int ControlWidth() const override { return width; }
  int ControlHeight() const override { return height; }
  void SizeBitmap() override {
    ++sized;
    pixels.assign(static_cast<size_t>(width) * height, 0xFF000000u);
  }
  ImageTarget Target() override { return {pixels.data(), width, height, static_cast<size_t>(width) * 4}; }
  void Repaint(int t, int b) override {
    ++repaints;
    top = t, bottom = b;
  }
  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x] & 0xFFFFFF; }
};

struct Redraws : ViewRedraw {
  int exchange = 0, minimap = 0;
  void OutExchange() override { ++exchange; }
  void OutMiniMap() override { ++minimap; }
};

constexpr uint32_t Background = 0xF3F3F3;
constexpr uint32_t Marker2 = 0x2196F3;
constexpr uint32_t Marker4 = 0x4CAF50;

struct MiniMapTest : ::testing::Test {
  CaptureStore s;
  Renderer r{std::make_shared<GlyphFonts>()};
  FakeStrip strip;
  Redraws redraws;
  MiniMap map{s, r, strip, redraws};
  void SetUp() override { s.View.SetLastRow(ScrollBarModel::DesignMax); }
};

TEST_F(MiniMapTest, EmptyCaptureIsPlainBackground) {
  map.OutMiniMap(true);
  EXPECT_EQ(map.MiniMapSpan, 512u);
  EXPECT_EQ(strip.sized, 1);
  EXPECT_EQ(strip.repaints, 1);
  for (int y = 0; y < 461; ++y) ASSERT_EQ(strip.At(0, y), Background) << y;
  EXPECT_EQ(strip.At(18, 460), Background);
  // The same height again: the bitmap is not sized again, and the same picture repaints nothing.
  map.OutMiniMap(true);
  EXPECT_EQ(strip.sized, 1);
  EXPECT_EQ(strip.repaints, 1);
}

TEST_F(MiniMapTest, MarkerLinesInTheWidthTheGridLeft) {
  s.BytesPerRow = 16;
  StoreFields(s).WriteIndex = 100;
  s.CaptureAttributes[50] = 0x82;
  map.OutMiniMap(true);  // span 256 on 461 rows: byte 50 on pixel row 50
  EXPECT_EQ(map.MiniMapSpan, 256u);
  EXPECT_EQ(s.MiniMapRows[50], 2);
  EXPECT_EQ(strip.At(0, 50), Marker2);
  EXPECT_EQ(strip.At(18, 50), Marker2);
  EXPECT_EQ(strip.At(0, 49), Background);
  EXPECT_EQ(strip.At(0, 51), Background);
  r.SetLineWidth(2);  // as a grid frame with a marker leaves it
  map.OutMiniMap(true);
  EXPECT_EQ(strip.At(0, 49), Marker2);
  EXPECT_EQ(strip.At(0, 50), Marker2);
}

TEST_F(MiniMapTest, NothingIsRecomputedUntilAMarkerWasDrawn) {
  StoreFields(s).WriteIndex = 1000;
  s.CaptureAttributes[10] = 4;
  map.OutMiniMap(false);
  EXPECT_EQ(s.MiniMapRows[4], 0);
  for (int y = 0; y < 461; ++y) ASSERT_EQ(strip.At(0, y), Background) << y;
  map.OutMiniMap(true);
  EXPECT_EQ(strip.At(0, 4), Marker4);  // p = 1000 / 461: byte 10 falls into row 4
}

TEST_F(MiniMapTest, ThrottledCallNeitherDrawsNorPresents) {
  StoreFields(s).WriteIndex = 461000;
  s.CaptureAttributes[1000] = 2;
  map.OutMiniMap(true);
  EXPECT_EQ(s.MiniMapBuiltAt, 461000u);
  EXPECT_EQ(strip.At(0, 0), Marker2);
  const int repaints = strip.repaints;
  s.CaptureAttributes[300000] = 4;
  StoreFields(s).WriteIndex = 461500;  // grew by less than a pixel row
  map.OutMiniMap(true);
  EXPECT_EQ(strip.repaints, repaints);
  EXPECT_EQ(strip.At(0, 299), Background);
  // A marker click resets the throttle: the next call recomputes and draws.
  s.MiniMapBuiltAt = 0;
  map.OutMiniMap(true);
  EXPECT_EQ(strip.repaints, repaints + 1);
  EXPECT_EQ(s.MiniMapRows[299], 4);
  EXPECT_EQ(strip.top, 299);  // only the new marker's row changed
  EXPECT_EQ(strip.bottom, 300);
}

TEST_F(MiniMapTest, StripTallerThanTheRowTableMapsItsFirstRowsOnly) {
  strip.height = 1300;
  StoreFields(s).WriteIndex = 2'000'000;
  s.CaptureAttributes[1'999'999] = 2;
  map.OutMiniMap(true);
  EXPECT_EQ(s.MiniMapRows[MiniMapRowCount - 1], 2);
  EXPECT_EQ(strip.At(0, 1023), Marker2);
  EXPECT_EQ(strip.At(0, 1299), Background);
}

TEST_F(MiniMapTest, PressScrollsToTheNextMarkerAndRedrawsTheGrid) {
  StoreFields(s).WriteIndex = 461000;
  s.CaptureAttributes[200000] = 1;
  map.OutMiniMap(true);
  map.ImageMiniMapMouseDown(1);
  EXPECT_EQ(s.View.TopRow(), 6242u);
  EXPECT_EQ(s.View.ScrollBarExch().Position(), 6242u);
  EXPECT_EQ(redraws.exchange, 1);
  EXPECT_EQ(redraws.minimap, 0);
  map.ImageMiniMapMouseDown(300);  // nothing after byte 300000
  EXPECT_EQ(s.View.TopRow(), 6242u);
  EXPECT_EQ(redraws.exchange, 2);
}

}  // namespace
}  // namespace quarlex
