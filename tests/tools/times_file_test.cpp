#include "tools/times_file.h"

#include <gtest/gtest.h>

#include <string>

namespace quarlex {
namespace {

constexpr Direction R = Direction::Received, S = Direction::Sent;

std::vector<TimedBatch> BatchesOf(const TimeIndex& t) {
  std::vector<TimedBatch> v;
  for (size_t i = 0; i < t.BatchCount(); ++i) v.push_back(t.Batch(i));
  return v;
}

TEST(TimesFileTest, NameSitsBesideTheData) {
  EXPECT_EQ(TimesPathFor("/x/COM3_20240701_140509_1.data"), "/x/COM3_20240701_140509_1.idx");
  EXPECT_EQ(TimesPathFor("/x/capture.bin"), "/x/capture.bin.idx");
  EXPECT_EQ(TimesPathFor("/x.data/.data"), "/x.data/.data.idx");
}

// An interval save of a ring that a send wrapped: the file holds the ring's end, then its start,
// and the times file counts positions from the start of the file.
TEST(TimesFileTest, WritesExactlyTheSavedBytesAndReadsThemBack) {
  TimeIndex t;
  t.AddBatch(90, 6, R, 1'000);
  t.AddEvents(96, LineEvent::Framing | LineEvent::Dsr, 1'500);
  t.AddBatch(96, 4, S, 2'000);  // the ring's end at 100
  t.AddBatch(0, 10, R, 3'000);
  t.AddEvents(10, LineEvent::Dcd | LineEvent::DcdOn, 3'500);
  SavePlan plan;
  plan.pieces[0] = {93, 7};
  plan.pieces[1] = {0, 10};
  plan.count = 2;
  const std::string text = TimesFileText(t, plan);
  EXPECT_EQ(text,
            "quarlex-times 1\nbytes 17\nbatches 3\nevents 2\n"
            "B 0 3 R 1000\nB 3 4 S 2000\nB 7 10 R 3000\n"
            "E 3 1500 framing,dsr-off\nE 17 3500 dcd-on\nend\n");

  TimeIndex back;
  const TimesLoad r = LoadTimesText(text, 17, 17, back);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(BatchesOf(back), (std::vector<TimedBatch>{{1000, 0, 3, R}, {2000, 3, 4, S}, {3000, 7, 10, R}}));
  ASSERT_EQ(back.EventCount(), 2u);
  EXPECT_EQ(back.Event(0), (TimedEvent{1500, 3, LineEvent::Framing | LineEvent::Dsr}));
  // Of a file longer than what was loaded, entries are cut at the loaded end.
  ASSERT_TRUE(LoadTimesText(text, 17, 5, back).ok);
  EXPECT_EQ(BatchesOf(back), (std::vector<TimedBatch>{{1000, 0, 3, R}, {2000, 3, 2, S}}));
  EXPECT_EQ(back.EventCount(), 1u);
}

TEST(TimesFileTest, EventsOfThisSideOfTheLineMakeAVersion2FileThatReadsBack) {
  TimeIndex t;
  t.AddEvents(0, LineEvent::Dtr | LineEvent::DtrOn, 100);
  t.AddBatch(0, 4, S, 200);
  t.AddEvents(4, LineEvent::Rts | LineEvent::BreakSent | LineEvent::Cts, 300);
  t.AddEvents(6, Bits(LineEvent::Disconnect), 400);
  t.AddBatch(4, 2, R, 350);
  t.AddEvents(6, LineEvent::Reconnect | LineEvent::Dtr, 500);
  t.AddBatch(6, 2, R, 600);
  SavePlan plan;
  plan.pieces[0] = {0, 8};
  plan.count = 1;
  const std::string text = TimesFileText(t, plan);
  EXPECT_EQ(text,
            "quarlex-times 2\nbytes 8\nbatches 3\nevents 4\n"
            "B 0 4 S 200\nB 4 2 R 350\nB 6 2 R 600\n"
            "E 0 100 dtr-on\nE 4 300 cts-off,rts-off,break-sent\nE 6 400 disconnect\n"
            "E 6 500 dtr-off,reconnect\nend\n");
  TimeIndex back;
  const TimesLoad r = LoadTimesText(text, 8, 8, back);
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(back.EventCount(), 4u);
  EXPECT_EQ(back.Event(1), (TimedEvent{300, 4, LineEvent::Rts | LineEvent::BreakSent | LineEvent::Cts}));
  EXPECT_EQ(back.Event(3), (TimedEvent{500, 6, LineEvent::Reconnect | LineEvent::Dtr}));
  EXPECT_EQ(LineEventText(back.Event(1).Events), "CTS off, RTS off, break sent");
  EXPECT_EQ(LineEventText(back.Event(3).Events), "DTR off, device back");
}

TEST(TimesFileTest, HostileFilesAreRefusedWithoutTouchingTheIndex) {
  const std::string head = "quarlex-times 1\nbytes 10\n";
  struct Case {
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"binary", std::string("\0\xff\x01quarlex", 10)},
      {"wrong version", "quarlex-times 3\nbytes 10\nbatches 0\nevents 0\nend\n"},
      {"a newer event in a version-1 file", head + "batches 0\nevents 1\nE 5 1 dtr-on\nend\n"},
      {"another file's", "quarlex-times 1\nbytes 11\nbatches 0\nevents 0\nend\n"},
      {"truncated line", head + "batches 1\nevents 0\nB 0 5 R 12"},
      {"truncated after the entries", head + "batches 1\nevents 0\nB 0 5 R 12\n"},
      {"huge batch count", head + "batches 18446744073709551615\nevents 0\nB 0 5 R 1\nend\n"},
      {"count past 64 bits", head + "batches 99999999999999999999999\nevents 0\nend\n"},
      {"huge event count", head + "batches 0\nevents 4000000000\nE 0 1 break\nend\n"},
      {"fewer lines than counted", head + "batches 2\nevents 0\nB 0 5 R 1\nend\n"},
      {"more lines than counted", head + "batches 1\nevents 0\nB 0 5 R 1\nB 5 5 R 2\nend\n"},
      {"position past the file", head + "batches 1\nevents 0\nB 11 1 R 1\nend\n"},
      {"count past the file", head + "batches 1\nevents 0\nB 8 4294967296 R 1\nend\n"},
      {"negative position", head + "batches 1\nevents 0\nB -1 5 R 1\nend\n"},
      {"overlapping", head + "batches 2\nevents 0\nB 0 5 R 1\nB 4 2 S 2\nend\n"},
      {"empty batch", head + "batches 1\nevents 0\nB 3 0 R 1\nend\n"},
      {"unknown direction", head + "batches 1\nevents 0\nB 0 5 X 1\nend\n"},
      {"unknown flag", head + "batches 1\nevents 0\nB 0 5 R 1 twice\nend\n"},
      {"time overflow", head + "batches 1\nevents 0\nB 0 5 R 9223372036854775808\nend\n"},
      {"event past the file", head + "batches 0\nevents 1\nE 11 1 break\nend\n"},
      {"events out of order", head + "batches 0\nevents 2\nE 5 1 break\nE 4 1 ring\nend\n"},
      {"unknown event", head + "batches 0\nevents 1\nE 5 1 framing,smoke\nend\n"},
      {"no event", head + "batches 0\nevents 1\nE 5 1\nend\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TimeIndex t;
    t.AddBatch(0, 10, S, 42);
    const TimesLoad r = LoadTimesText(c.text, 10, 10, t);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(BatchesOf(t), (std::vector<TimedBatch>{{42, 0, 10, S}}));
  }
  // Windows line ends and a merged entry are fine.
  TimeIndex t;
  ASSERT_TRUE(LoadTimesText(head + "batches 1\r\nevents 0\r\nB 2 8 M 7 merged\r\nend\r\n", 10, 10, t).ok);
  EXPECT_EQ(BatchesOf(t), (std::vector<TimedBatch>{{7, 2, 8, Direction::Mixed, true}}));
}

}  // namespace
}  // namespace quarlex
