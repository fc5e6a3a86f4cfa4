#include "app/view_position.h"

#include <gtest/gtest.h>

namespace quarlex {
namespace {

// One view walked through every kind of move. After each step TopRow, the bar's position and
// range, and how many change notifications the bar has sent so far.
TEST(ViewPosition, MovesPutTheBarOnTopRowClampedToItsRange) {
  using V = ViewPosition;
  struct Step {
    void (*move)(V&);
    uint32_t top, position, max;
    int changes;
    const char* what;
  } steps[] = {
      // clang-format off
      {[](V& v) { v.SetLastRow(100); },                  0,   0, 100,  0, "range of 100 rows"},
      {[](V& v) { v.ShowRow(40); },                     40,  40, 100,  1, "show a row"},
      {[](V& v) { v.ShowRow(40); },                     40,  40, 100,  1, "the same row again is no change"},
      {[](V& v) { v.ShowRow(250); },                   250, 100, 100,  2, "past the range: bar at its end"},
      {[](V& v) { v.ScrollBy(-2); },                    98,  98, 100,  3, "the wheel starts from the bar"},
      {[](V& v) { v.ScrollBy(-500); },                   0,   0, 100,  4, "wheel above the top"},
      {[](V& v) { v.ScrollBy(500); },                  100, 100, 100,  5, "wheel below the bottom"},
      {[](V& v) { v.BringIntoView(90); },               90,  90, 100,  6, "a row above the view: on top"},
      {[](V& v) { v.BringIntoView(105); },              90,  90, 100,  6, "the last visible row: no move"},
      {[](V& v) { v.BringIntoView(106); },              92,  92, 100,  7, "a row below: on the follow row"},
      {[](V& v) { v.MoveBar(-3); },                     92,   0, 100,  8, "the operator's bar moves alone"},
      {[](V& v) { v.TakeBarPosition(); },                0,   0, 100,  8, "until it is taken"},
      {[](V& v) { v.MoveBar(7); v.BringIntoView(3); },   0,   0, 100, 10, "the bar back on TopRow"},
      {[](V& v) { v.ShowRow(10); v.MoveBar(3); },       10,   3, 100, 12, "the bar apart from TopRow"},
      {[](V& v) { v.FollowEnd(13 * 32 + 31, 32); },     10,  10, 100, 13, "too few rows: the bar comes back"},
      {[](V& v) { v.FollowEnd(100 * 32, 32); },         86,  86, 100, 14, "following the end"},
      {[](V& v) { v.FollowEnd(99 * 16 + 15, 16); },     85,  85, 100, 15, "following at 16 bytes a row"},
      {[](V& v) { v.SetLastRow(50); },                  85,  50,  50, 16, "shorter range pulls the bar only"},
      {[](V& v) { v.Reset(); },                          0,   0,   0, 17, "empty capture"},
      // clang-format on
  };
  ViewPosition v;
  int changes = 0;
  v.ScrollBarExch().OnChange = [&] { ++changes; };
  for (const Step& s : steps) {
    s.move(v);
    EXPECT_EQ(v.TopRow(), s.top) << s.what;
    EXPECT_EQ(v.ScrollBarExch().Position(), s.position) << s.what;
    EXPECT_EQ(v.ScrollBarExch().Max(), s.max) << s.what;
    EXPECT_EQ(changes, s.changes) << s.what;
  }
}

TEST(ViewPosition, FollowRowAndFollowPoint) {
  EXPECT_FALSE(ViewPosition::FollowTopRow(14 * 32 - 1, 32)) << "write row 13";
  EXPECT_EQ(ViewPosition::FollowTopRow(14 * 32, 32), 0u);
  EXPECT_EQ(ViewPosition::FollowTopRow(0x2000000, 16), 0x200000u - 14);  // full ring, 16 a row

  ViewPosition v;
  v.ShowRow(20);
  // Top row 20: the write position reaches the follow point at the start of row 32.
  EXPECT_FALSE(v.WriteRowReachedFollowPoint(32 * 32 - 1, 32));
  EXPECT_TRUE(v.WriteRowReachedFollowPoint(32 * 32, 32));
  EXPECT_TRUE(v.WriteRowReachedFollowPoint(0x2000000, 32)) << "far below the view";
  EXPECT_FALSE(v.WriteRowReachedFollowPoint(32 * 16 - 1, 16));
}

}  // namespace
}  // namespace quarlex
