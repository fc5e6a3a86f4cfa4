#include "app/capture_store.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "tests/app/support/store_fields.h"

namespace quarlex {
namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t first = 1) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

TEST(CaptureStore, StartsEmptyWithViewDefaults) {
  CaptureStore s;
  EXPECT_EQ(s.WriteIndex(), 0u);
  EXPECT_EQ(s.BytesPerRow, 32);
  EXPECT_EQ(s.ViewBase, GridBase::Hex);
  EXPECT_EQ(s.AutoScroll, 1);
  EXPECT_EQ(s.CaptureBuffer[CaptureLast], 0);
  EXPECT_EQ(s.CaptureAttributes[12345], 0);
}

TEST(CaptureStore, AppendKeepsOrderAndLeavesAttributes) {
  CaptureStore s;
  s.CaptureAttributes[2] = 0x03;  // a marker set before the byte arrived stays
  auto in = Bytes(5, 10);
  EXPECT_EQ(s.AppendReceived(in.data(), in.size()), 5u);
  s.ScrollUpdate();
  EXPECT_EQ(s.WriteIndex(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(s.CaptureBuffer[i], 10 + i);
  EXPECT_EQ(s.CaptureAttributes[2], 0x03);
  EXPECT_EQ(s.View.ScrollBarExch().Max(), 0u);
}

TEST(CaptureStore, FullRingStopsAtLastSlotAndNeverOverwrites) {
  CaptureStore s;
  StoreFields(s).WriteIndex = 0x1FFFFFE;
  s.ScrollSeenIndex = 0x1FFFFFE;
  s.CaptureBuffer[0] = 0xAA;  // oldest data, unsaved
  auto in = Bytes(3, 1);
  EXPECT_EQ(s.AppendReceived(in.data(), 3), 2u);
  EXPECT_EQ(s.CaptureFull(), 1);
  EXPECT_EQ(s.WriteIndex(), CaptureSize) << "a full ring counts all of its bytes";
  EXPECT_EQ(s.CaptureBuffer[0x1FFFFFE], 1);
  EXPECT_EQ(s.CaptureBuffer[0x1FFFFFF], 2);
  EXPECT_EQ(s.CaptureBuffer[0], 0xAA);
  EXPECT_EQ(s.AppendReceived(in.data(), 3), 0u) << "a full ring takes nothing until the rollover";
  EXPECT_EQ(s.ReceiveRoom(), 0u);
  s.AppendSent(0x55);
  EXPECT_EQ(s.CaptureBuffer[0], 0xAA) << "nor a sent byte";
  EXPECT_EQ(s.WriteIndex(), CaptureSize);
  s.View.ShowRow(500);
  s.ScrollUpdate();
  EXPECT_EQ(s.View.ScrollBarExch().Max(), CaptureSize / 32);
  EXPECT_EQ(s.View.TopRow(), CaptureSize / 32 - 14) << "the view follows to the ring's last row";
}

TEST(CaptureStore, SentBytesWrapWithoutFullFlagAndKeepMarkers) {
  CaptureStore s;
  StoreFields(s).WriteIndex = CaptureLast;
  s.CaptureAttributes[CaptureLast] = 0x02;
  s.AppendSent(0x7E);
  EXPECT_EQ(s.WriteIndex(), 0u);
  EXPECT_EQ(s.CaptureFull(), 0);
  EXPECT_EQ(s.CaptureBuffer[CaptureLast], 0x7E);
  EXPECT_EQ(s.CaptureAttributes[CaptureLast], 0x82);
}

// Autoscroll keeps the written row 14 rows below the top, from 480 bytes on (32 per row).
TEST(CaptureStore, AutoscrollFollowsFromRow15) {
  CaptureStore s;
  std::vector<uint8_t> one(1, 0x55);
  for (uint32_t n = 1; n <= 2000; ++n) {
    s.AppendReceived(one.data(), 1);
    s.ScrollUpdate();
    const uint32_t expected = n < 480 ? 0 : n / 32 - 14;
    ASSERT_EQ(s.View.TopRow(), expected) << "after " << n << " bytes";
    ASSERT_EQ(s.View.ScrollBarExch().Max(), n / 32);
    ASSERT_EQ(s.View.ScrollBarExch().Position(), s.View.TopRow());
  }
}

TEST(CaptureStore, OperatorScrolledUpIsPulledBackButScrolledDownIsLeft) {
  CaptureStore s;
  auto in = Bytes(64 * 32);
  s.AppendReceived(in.data(), in.size());
  s.ScrollUpdate();
  EXPECT_EQ(s.View.TopRow(), 64u - 14u);
  s.View.ShowRow(10);  // operator scrolled up
  s.AppendReceived(in.data(), 1);
  s.ScrollUpdate();
  EXPECT_EQ(s.View.TopRow(), 50u);
  s.View.ShowRow(60);  // view below the write row minus 12: left alone
  s.AppendReceived(in.data(), 1);
  s.ScrollUpdate();
  EXPECT_EQ(s.View.TopRow(), 60u);
}

TEST(CaptureStore, AutoscrollOffMovesOnlyOnWrap) {
  CaptureStore s;
  s.AutoScroll = 0;
  auto in = Bytes(32 * 100);
  s.AppendReceived(in.data(), in.size());
  s.ScrollUpdate();
  EXPECT_EQ(s.View.TopRow(), 0u);
  EXPECT_EQ(s.View.ScrollBarExch().Max(), 100u);
}

TEST(CaptureStore, ClearStorageWipesEverythingButViewChoices) {
  CaptureStore s;
  s.BytesPerRow = 16;
  s.ViewBase = GridBase::Char;
  auto in = Bytes(1000);
  s.AppendReceived(in.data(), in.size());
  s.CaptureAttributes[5] = 0x81;
  s.ValueHighlight[7] = 1;
  s.MiniMapRows[3] = 2;
  s.MarkSaved(100);
  s.SearchedUpTo = 900;
  s.View.ShowRow(4);
  s.RxBytesSinceTick = 77;
  s.ScrollUpdate();
  s.ClearStorage();
  EXPECT_EQ(s.WriteIndex(), 0u);
  EXPECT_EQ(s.CaptureBuffer[999], 0);
  EXPECT_EQ(s.CaptureAttributes[5], 0);
  EXPECT_EQ(s.ValueHighlight[7], 0);
  EXPECT_EQ(s.MiniMapRows[3], 0);
  EXPECT_EQ(s.SavedUpTo(), 0u);
  EXPECT_EQ(s.SearchedUpTo, 0u);
  EXPECT_EQ(s.View.TopRow(), 0u);
  EXPECT_EQ(s.View.ScrollBarExch().Max(), 0u);
  EXPECT_EQ(s.View.ScrollBarExch().Position(), 0u);
  EXPECT_EQ(s.RxBytesSinceTick, 77u);
  EXPECT_EQ(s.BytesPerRow, 16);
  EXPECT_EQ(s.ViewBase, GridBase::Char);
}

}  // namespace
}  // namespace quarlex
