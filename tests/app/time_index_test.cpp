#include "app/time_index.h"

#include <gtest/gtest.h>

namespace quarlex {
namespace {

constexpr Direction R = Direction::Received, S = Direction::Sent;

// Every position of [from, to) is held by exactly the entry that says so, in ring order.
void ExpectCovered(const TimeIndex& t, uint32_t from, uint32_t to) {
  for (uint32_t p = from; p < to; ++p) {
    const auto at = t.BatchAt(p);
    ASSERT_TRUE(at) << "position " << p;
    const TimedBatch b = t.Batch(*at);
    ASSERT_TRUE(b.Position <= p && p < b.Position + b.Count) << "position " << p;
  }
}

TEST(TimeIndexTest, FindsBatchesAnswersAndEvents) {
  TimeIndex t;
  t.AddBatch(0, 5, S, 1000);
  t.AddEvents(5, Bits(LineEvent::Framing), 1500);
  t.AddBatch(5, 3, R, 2000);
  t.AddBatch(8, 4, R, 3000);
  t.AddEvents(12, LineEvent::Cts | LineEvent::CtsOn, 3500);
  ASSERT_EQ(t.BatchCount(), 3u);
  EXPECT_EQ(t.Batch(1), (TimedBatch{2000, 5, 3, R, false}));
  EXPECT_EQ(t.BatchAt(4), 0u);
  EXPECT_EQ(t.BatchAt(9), 2u);
  EXPECT_FALSE(t.BatchAt(12));
  EXPECT_EQ(t.PreviousOtherDirection(2), 0u);  // the answer's request, not its first part
  EXPECT_FALSE(t.PreviousOtherDirection(0));
  ASSERT_EQ(t.EventsBetween(0, 6).size(), 1u);
  EXPECT_EQ(t.EventsBetween(12, 13).front().Events, LineEvent::Cts | LineEvent::CtsOn);
  EXPECT_EQ(LineEventText(LineEvent::Framing | LineEvent::Cts), "framing error, CTS off");
  t.Clear();
  EXPECT_EQ(t.BatchCount() + t.EventCount(), 0u);
  EXPECT_FALSE(t.BatchAt(0));
}

TEST(TimeIndexTest, ASendThatWrapsTheRingDropsAndShortensWhatItOverwrites) {
  TimeIndex t;
  t.AddBatch(0, 100, R, 1);
  t.AddEvents(100, Bits(LineEvent::Break), 2);
  t.AddBatch(100, 50, R, 3);
  t.AddEvents(150, Bits(LineEvent::Parity), 4);
  t.AddBatch(150, 10, S, 5);                    // the ring's end is at 160 here
  t.AddEvents(0, Bits(LineEvent::Overrun), 6);  // that send ended exactly at the end
  t.AddBatch(0, 120, S, 7);
  ASSERT_EQ(t.BatchCount(), 3u);
  EXPECT_EQ(t.Batch(0), (TimedBatch{3, 120, 30, R, false})) << "kept the upper part, with its time";
  EXPECT_EQ(t.Batch(2).TimeNs, 7);
  ExpectCovered(t, 0, 160);
  EXPECT_EQ(t.Batch(*t.BatchAt(50)).TimeNs, 7);
  // Events in ring order: the new one at 0, the old break under new bytes is gone.
  const auto events = t.EventsBetween(0, 200);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].Events, Bits(LineEvent::Overrun));
  EXPECT_EQ(events[1].Position, 150u);
  // Around again: the first run is gone entirely.
  t.AddBatch(120, 40, S, 8);
  t.AddBatch(0, 1, R, 9);
  EXPECT_EQ(t.Batch(0).TimeNs, 7);
  EXPECT_EQ(t.Batch(*t.BatchAt(0)).TimeNs, 9);
  EXPECT_EQ(t.EventsBetween(0, 200).size(), 0u) << "the overrun came before a byte now overwritten";
}

TEST(TimeIndexTest, AFullTableMergesEvenlyAndStaysBounded) {
  struct Case {
    const char* what;
    Direction (*dir)(uint32_t);
    uint32_t gapEvery;  // a stretch without times after every n-th batch (0: none)
  };
  const Case cases[] = {
      {"one direction", [](uint32_t) { return R; }, 0},
      {"bursts of 7 each way", [](uint32_t i) { return (i / 7) % 2 ? S : R; }, 0},
      {"alternating byte by byte", [](uint32_t i) { return i % 2 ? S : R; }, 0},
      {"stretches without times", [](uint32_t) { return R; }, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TimeIndex t(64, 8);
    uint32_t pos = 0;
    for (uint32_t i = 0; i < 5000; ++i) {
      if (c.gapEvery && i % c.gapEvery == 0) ++pos;
      t.AddBatch(pos, 1, c.dir(i), int64_t{i} * 10);
      t.AddEvents(pos + 1, Bits(LineEvent::Framing), int64_t{i} * 10);
      ++pos;
      ASSERT_LE(t.BatchCount(), 64u);
      ASSERT_LE(t.EventCount(), 8u);
    }
    EXPECT_LE(t.UsedBytes(), t.ReservedBytes());
    if (!c.gapEvery) {
      ExpectCovered(t, 0, pos);
      EXPECT_EQ(t.Batch(0).TimeNs, 0) << "merged entries keep their first batch's time";
      if (c.dir(0) != c.dir(1)) {
        EXPECT_EQ(t.Batch(0).Dir, Direction::Mixed);
      }
    } else {
      ExpectCovered(t, t.Batch(0).Position, t.Batch(0).Position + 1);
      EXPECT_GT(t.Batch(0).Position, 0u) << "unmergeable: the oldest went";
    }
    for (size_t i = 1; i < t.BatchCount(); ++i) ASSERT_LT(t.Batch(i - 1).TimeNs, t.Batch(i).TimeNs);
  }
  // Resolution is even: no entry holds more than the granule, which is no coarser than needed
  // (64 entries of 64 bytes hold 4096 bytes, fewer than these 5000).
  TimeIndex t(64, 8);
  for (uint32_t i = 0; i < 5000; ++i) t.AddBatch(i, 1, R, i);
  EXPECT_EQ(t.Granule(), 128u);
  for (size_t i = 0; i < t.BatchCount(); ++i) ASSERT_LE(t.Batch(i).Count, t.Granule());
}

TEST(TimeIndexTest, RestoredEntriesOutOfOrderAreLeftOut) {
  TimeIndex t;
  t.AddBatch(0, 9, S, 1);
  t.Clear();
  t.RestoreBatch({10, 0, 5, R, true});
  t.RestoreBatch({20, 3, 5, S, false});  // overlaps the first
  t.RestoreBatch({30, 5, 0, S, false});  // empty
  t.RestoreBatch({40, 5, 5, S, false});
  t.RestoreEvent({50, 7, Bits(LineEvent::Break)});
  t.RestoreEvent({60, 2, Bits(LineEvent::Break)});  // below the previous event: not a wrap here
  t.RestoreEvent({70, 9, 0});
  ASSERT_EQ(t.BatchCount(), 2u);
  EXPECT_EQ(t.Batch(0), (TimedBatch{10, 0, 5, R, true}));
  ASSERT_EQ(t.EventCount(), 1u);
  EXPECT_EQ(t.Event(0).Position, 7u);
  ExpectCovered(t, 0, 10);
}

}  // namespace
}  // namespace quarlex
