#include "view/minimap_rows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/app/support/store_fields.h"

namespace quarlex {
namespace {

// The walk as the minimap describes it, one byte at a time; the word-skipping version must
// agree with it exactly.
void WalkByteByByte(const uint8_t* attrs, uint32_t span, uint32_t height, uint8_t* rows) {
  const double p = static_cast<float>(static_cast<double>(span) / height);
  uint32_t row = 0;
  for (uint32_t j = 0; j < span; ++j) {
    if (j / p > row + 1.0 && row < MiniMapRowCount - 1) {
      ++row;
      rows[row] = 0;
    }
    if (attrs[j] & 7) rows[row] = attrs[j] & 7;
  }
}

TEST(MiniMapSpan, DependsOnWidthUntilTheCaptureIsLarger) {
  EXPECT_EQ(MiniMapSpanFor(32, 0), 512u);
  EXPECT_EQ(MiniMapSpanFor(16, 100), 256u);
  EXPECT_EQ(MiniMapSpanFor(16, 256), 256u);
  EXPECT_EQ(MiniMapSpanFor(32, 511), 512u);
  EXPECT_EQ(MiniMapSpanFor(32, 513), 513u);
  EXPECT_EQ(MiniMapSpanFor(16, CaptureLast), CaptureLast);
}

TEST(MiniMapThrottle, LargeCapturesWaitForOnePixelRowOfGrowth) {
  uint32_t builtAt = 7;
  EXPECT_TRUE(MiniMapThrottle(65534, 461, builtAt));
  EXPECT_EQ(builtAt, 7u);  // small captures never record
  builtAt = 0;
  EXPECT_TRUE(MiniMapThrottle(461000, 461, builtAt));
  EXPECT_EQ(builtAt, 461000u);
  EXPECT_FALSE(MiniMapThrottle(461000, 461, builtAt));
  EXPECT_FALSE(MiniMapThrottle(461999, 461, builtAt));  // 999 < 461999 / 461 = 1002
  EXPECT_EQ(builtAt, 461000u);
  EXPECT_TRUE(MiniMapThrottle(462002, 461, builtAt));  // 1002 >= 1002
  EXPECT_EQ(builtAt, 462002u);
  // A marker click resets builtAt: the next call recomputes at once.
  builtAt = 0;
  EXPECT_TRUE(MiniMapThrottle(462002, 461, builtAt));
  // A ring wrapped by sending: the span fell below builtAt, which counts as growth.
  EXPECT_TRUE(MiniMapThrottle(70000, 461, builtAt));
  uint32_t any = 0;
  EXPECT_FALSE(MiniMapThrottle(100, 0, any));
}

TEST(MiniMapRows, SpecimenCases) {
  std::vector<uint8_t> attrs(461000, 0);
  uint8_t rows[MiniMapRowCount] = {};
  attrs[1000] = 2;  // p = 1000: 1000 / 1000 = 1 is not above 1, so row 0
  ComputeMiniMapRows(attrs.data(), 461000, 461, rows);
  EXPECT_EQ(rows[0], 2);
  EXPECT_EQ(rows[1], 0);
  attrs[1001] = 0x81;  // sent bit ignored, marker 1; next row
  attrs[1500] = 0x33;  // search bits ignored, marker 3, later in the same row
  ComputeMiniMapRows(attrs.data(), 461000, 461, rows);
  EXPECT_EQ(rows[0], 2);
  EXPECT_EQ(rows[1], 3);

  // 16 bytes per row, 100 bytes captured: span 256 on 461 rows, byte j on row j.
  std::vector<uint8_t> small(256, 0);
  small[50] = 4;
  std::memset(rows, 9, sizeof rows);  // rows the walk does not enter keep old values
  ComputeMiniMapRows(small.data(), 256, 461, rows);
  EXPECT_EQ(rows[50], 4);
  EXPECT_EQ(rows[49], 0);
  EXPECT_EQ(rows[0], 9);  // row 0 is never cleared by the walk
  EXPECT_EQ(rows[255], 0);
  EXPECT_EQ(rows[256], 9);
}

TEST(MiniMapRows, AgreesWithTheByteWalk) {
  std::mt19937 rng(1234);
  struct Shape {
    uint32_t span, height;
  } shapes[] = {{256, 461},    {512, 461},        {513, 461},        {4097, 461},    {65535, 461},
                {100003, 333}, {1'000'000, 1023}, {1'000'000, 1024}, {2'500'001, 1}, {777'777, 577}};
  for (const Shape& sh : shapes) {
    std::vector<uint8_t> attrs(sh.span + 16, 0);
    // Scattered markers, clusters on row edges, search and sent bits as noise.
    for (int k = 0; k < 200; ++k) attrs[rng() % sh.span] = static_cast<uint8_t>(1 + rng() % 4);
    for (uint32_t j = 0; j < sh.span; j += 97) attrs[j] |= 0xF0;
    attrs[sh.span - 1] |= 3;
    attrs[sh.span] = 1;  // past the span: never mapped
    uint8_t fast[MiniMapRowCount], slow[MiniMapRowCount];
    for (size_t r = 0; r < MiniMapRowCount; ++r) fast[r] = slow[r] = static_cast<uint8_t>(r % 5);
    ComputeMiniMapRows(attrs.data(), sh.span, sh.height, fast);
    WalkByteByByte(attrs.data(), sh.span, sh.height, slow);
    for (size_t r = 0; r < MiniMapRowCount; ++r) {
      ASSERT_EQ(fast[r], slow[r]) << "span " << sh.span << " height " << sh.height << " row " << r;
    }
  }
}

TEST(MarkedScan, FirstAndLastOnUnalignedRanges) {
  std::vector<uint8_t> attrs(200, 0x70);  // search bits only: no marker anywhere
  EXPECT_FALSE(FirstMarked(attrs.data(), 0, 199));
  EXPECT_FALSE(LastMarked(attrs.data(), 0, 200));
  attrs[3] = 0x72;
  attrs[130] = 4;
  attrs[131] = 1;
  EXPECT_EQ(FirstMarked(attrs.data(), 0, 199), 3u);
  EXPECT_EQ(FirstMarked(attrs.data(), 4, 199), 130u);
  EXPECT_EQ(FirstMarked(attrs.data(), 131, 131), 131u);
  EXPECT_FALSE(FirstMarked(attrs.data(), 4, 129));
  EXPECT_FALSE(FirstMarked(attrs.data(), 5, 4));
  EXPECT_EQ(LastMarked(attrs.data(), 0, 200), 131u);
  EXPECT_EQ(LastMarked(attrs.data(), 0, 131), 130u);
  EXPECT_EQ(LastMarked(attrs.data(), 1, 130), 3u);
  EXPECT_FALSE(LastMarked(attrs.data(), 4, 130));
  EXPECT_FALSE(LastMarked(attrs.data(), 3, 3));
}

struct PressTest : ::testing::Test {
  CaptureStore s;
};

TEST_F(PressTest, FindsTheNextMarkedByte) {
  StoreFields(s).WriteIndex = 461000;  // 1000 bytes per pixel row on a 461-row strip
  s.CaptureAttributes[100] = 2;
  s.CaptureAttributes[200000] = 1;
  // Start of the capture: found in the first eight rows, so TopRow 0.
  EXPECT_EQ(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 0), 0u);
  // y 1 maps to byte 1000; the next marker is 200000: row 6250 - 8.
  EXPECT_EQ(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 1), 6242u);
  EXPECT_EQ(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 16, 461, 1), 12492u);
  // Past every marker: nothing found.
  EXPECT_FALSE(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 201));
}

TEST_F(PressTest, SmallCaptureMapsOntoTheWidthSpan) {
  StoreFields(s).WriteIndex = 40;
  s.CaptureAttributes[100] = 3;
  // span 512 on 461 rows: y 18 maps to 19.99 -> 19; the scan stops after WriteIndex + 1 = 41.
  EXPECT_FALSE(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 18));
  StoreFields(s).WriteIndex = 200;
  EXPECT_EQ(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 18), 0u);  // row 3 - 8 < 0
  // A press mapping beyond WriteIndex + 1 looks at that one byte only.
  StoreFields(s).WriteIndex = 10;
  EXPECT_FALSE(
      MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 90));  // maps to 99; 100 unseen
  s.CaptureAttributes[99] = 1;
  EXPECT_EQ(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 90), 0u);
}

TEST_F(PressTest, MarkersJustPastWriteIndex) {
  StoreFields(s).WriteIndex = 100000;
  s.CaptureAttributes[100001] = 1;
  EXPECT_EQ(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 460), 100001u / 32 - 8);
  s.CaptureAttributes[100001] = 0;
  s.CaptureAttributes[100002] = 1;
  EXPECT_FALSE(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 460));
}

TEST_F(PressTest, FullRingScanStopsAtTheLastIndex) {
  StoreFields(s).WriteIndex = CaptureLast;
  EXPECT_FALSE(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 0));
  EXPECT_FALSE(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 460));
  EXPECT_FALSE(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 100000));
  s.CaptureAttributes[CaptureLast] = 4;
  EXPECT_EQ(MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 460), CaptureLast / 32 - 8);
}

}  // namespace
}  // namespace quarlex
