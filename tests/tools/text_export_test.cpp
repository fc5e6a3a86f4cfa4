// The text export in pieces and on a worker: the pieces make the whole text, the worker exports
// the capture as it was when the export started whatever the ring does meanwhile (a rollover
// overwriting it, new bytes, sends), and a cancelled or failed export leaves no file behind.
#include "tools/text_export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/support/fake_session_ui.h"
#include "tools/files_support.h"
#include "tools/support/posted_tasks.h"

namespace quarlex {
namespace {

using testing_support::PostedTasks;
using testing_support::ReadWhole;
using testing_support::TempDir;
using testing_support::WriteWhole;

constexpr int64_t T0 = 1'718'013'600'000'000'000;

struct TextExportTest : ::testing::Test {
  TempDir dir;
  testing::FakeSessionUi window;
  Session session{window};
  PostedTasks owner;
  std::mt19937 rng{7};

  CaptureStore& store() { return session.Store; }
  // `n` random bytes in batches of up to 100, every fifth one sent, a line event now and then.
  void Traffic(uint32_t n, int64_t time) {
    for (uint32_t done = 0; done < n;) {
      const uint32_t count = std::min<uint32_t>(n - done, 1 + rng() % 100);
      const bool sent = rng() % 5 == 0;
      const uint32_t at = store().WriteIndex();
      if (rng() % 7 == 0) store().Times.AddEvents(at, Bits(LineEvent::Framing), time);
      for (uint32_t i = 0; i < count; ++i) {
        const uint8_t b = static_cast<uint8_t>(rng());
        if (sent) {
          store().AppendSent(b);
        } else {
          store().AppendReceived(&b, 1);
        }
      }
      store().Times.AddBatch(at, count, sent ? Direction::Sent : Direction::Received, time);
      time += 1'000'000;
      done += count;
    }
  }
  // `n` received bytes in large batches, quickly: the ring's filler around what a test looks at.
  void Bulk(uint32_t n, int64_t time) {
    std::vector<uint8_t> b(1 << 16);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7);
    while (n > 0) {
      const uint32_t count = std::min<uint32_t>(n, static_cast<uint32_t>(b.size()));
      b[0] = static_cast<uint8_t>(n >> 16);
      const uint32_t at = store().WriteIndex();
      const uint32_t taken = static_cast<uint32_t>(store().AppendReceived(b.data(), count));
      store().Times.AddBatch(at, taken, Direction::Received, time);
      if (taken < count) return;
      n -= count;
    }
  }
  static SavePlan PlanOf(uint32_t from, uint32_t to) {
    SavePlan plan;
    plan.pieces[0] = {from, to - from};
    plan.count = 1;
    return plan;
  }
  std::string File(const std::string& name) {
    const auto bytes = ReadWhole(dir.Path(name));
    return {bytes.begin(), bytes.end()};
  }
  // Holds the worker until `release` is set: what is started meanwhile runs after it.
  static void Gate(TextExporter& exporter, std::atomic<bool>& release) {
    exporter.Worker().Start([&release](JobContext&) -> Answer {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return {};
    });
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const auto& m : window.messages) texts.push_back(m.text);
    return texts;
  }
};

TEST_F(TextExportTest, PiecesMakeTheWholeTextInOrderAndTheSinkCanStopIt) {
  Traffic(330'000, T0);
  const SavePlan plan = PlanOf(0, store().WriteIndex());
  const std::string whole = ExportText(store(), plan, GridBase::Dec, "COM3");
  ASSERT_GT(whole.size(), 2 * ExportChunkBytes);
  std::string joined;
  std::vector<uint64_t> done;
  EXPECT_TRUE(
      ExportTextTo(SourceOf(store()), plan, GridBase::Dec, "COM3", [&](std::string_view t, uint64_t d) {
        joined += t;
        done.push_back(d);
        return true;
      }));
  EXPECT_EQ(joined, whole);
  EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
  EXPECT_EQ(done.back(), plan.Total());
  EXPECT_LT(done.front(), plan.Total());

  int calls = 0;
  EXPECT_FALSE(ExportTextTo(SourceOf(store()), plan, GridBase::Dec, "COM3",
                            [&](std::string_view, uint64_t) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2) << "nothing formed after the sink said stop";

  // The copy an export reads gives the same text: two pieces with odd ends, and the sent bit
  // changing from byte to byte (the copy packs it eight to a byte).
  for (uint32_t p = 0; p < 60'000; ++p)
    if (rng() % 3 == 0) store().CaptureAttributes[p] ^= AttrSent;
  SavePlan two;
  two.pieces[0] = {1'003, 60'000 - 1'003 - 5};
  two.pieces[1] = {7, 990};
  two.count = 2;
  const CaptureCopy copy(store(), two);
  std::string fromCopy;
  EXPECT_TRUE(ExportTextTo(copy.Source(), two, GridBase::Hex, "COM3", [&](std::string_view t, uint64_t) {
    fromCopy += t;
    return true;
  }));
  EXPECT_EQ(fromCopy, ExportText(store(), two, GridBase::Hex, "COM3"));
}

// A rollover (the ring saved and cleared, new bytes written over its start) and further traffic
// while the export waits and runs do not reach the file: it shows the capture as it was.
TEST_F(TextExportTest, TheFileShowsTheCaptureAsItWasWhenTheExportStarted) {
  window.autosave = true;
  Bulk(CaptureSize - 400'005, T0);
  const uint32_t from = store().WriteIndex();  // not on a multiple of 8: the packed sent bits' ends
  Traffic(400'005, T0 + 1'000'000'000'000);
  ASSERT_EQ(store().CaptureFull(), 1);
  // The newest bytes lie at the ring's end: each of its bytes is overwritten by the rollover.
  const SavePlan plan = PlanOf(from, CaptureSize);
  const std::string expected = ExportText(store(), plan, GridBase::Hex, "COM3");

  TextExporter exporter(owner, session);
  std::atomic<bool> release{false};
  Gate(exporter, release);
  ASSERT_TRUE(exporter.Start(plan, GridBase::Hex, "COM3", dir.Folder(), "log.txt"));
  EXPECT_FALSE(exporter.Start(plan, GridBase::Hex, "COM3", dir.Folder(), "other.txt")) << "one at a time";
  session.TimerMainTimer();  // saves the full ring and clears it
  ASSERT_EQ(store().WriteIndex(), 0u);
  Bulk(CaptureSize - 1, T0 + 2'000'000'000'000);
  release = true;
  // More traffic over the same bytes while the export runs (ThreadSanitizer sees any shared read).
  for (int64_t t = T0 + 3'000'000'000'000; exporter.Running(); t += 1'000'000) {
    std::memset(store().CaptureBuffer + from, 0xEE, CaptureSize - from);
    std::memset(store().CaptureAttributes + from, AttrSent, CaptureSize - from);
    store().Times.AddBatch(from, 100, Direction::Sent, t);
    store().Times.AddEvents(from + 100, Bits(LineEvent::Break), t);
    owner.RunPosted();
  }
  EXPECT_EQ(File("log.txt"), expected);
  EXPECT_EQ(window.messages.back().text, "Exported  log.txt");
  EXPECT_EQ(window.messages.back().rgb, SuccessColour);
  // The progress: from 0 % up in whole steps, each shown once, never 100 % before the end.
  std::vector<int> percents;
  const std::string head = "Exporting  log.txt  ";
  for (const std::string& t : Messages())
    if (t.starts_with(head)) percents.push_back(std::stoi(t.substr(head.size())));
  ASSERT_GE(percents.size(), 3u);
  EXPECT_EQ(percents.front(), 0);
  for (size_t i = 1; i < percents.size(); ++i) {
    EXPECT_GT(percents[i], percents[i - 1]);
    EXPECT_EQ(percents[i] % TextExporter::ProgressStep, 0);
    EXPECT_LT(percents[i], 100);
  }
}

TEST_F(TextExportTest, CancelAndFailureLeaveNoFileAndKeepAnEarlierOne) {
  Traffic(300'000, T0);
  const SavePlan plan = PlanOf(0, store().WriteIndex());
  WriteWhole(dir.Path("log.txt"), {'o', 'l', 'd'});
  TextExporter exporter(owner, session);
  std::vector<bool> ended;
  exporter.Ended = [&](bool written) { ended.push_back(written); };

  std::atomic<bool> release{false};
  Gate(exporter, release);
  ASSERT_TRUE(exporter.Start(plan, GridBase::Char, "COM3", dir.Folder(), "log.txt"));
  exporter.Cancel();
  release = true;
  ASSERT_TRUE(owner.RunUntil([&] { return !exporter.Running(); }));
  EXPECT_EQ(window.messages.back().text, "Export cancelled, partial file removed");
  EXPECT_EQ(window.messages.back().rgb, ErrorColour);
  EXPECT_EQ(File("log.txt"), "old");
  EXPECT_EQ(testing_support::ListNames(dir.Folder()), std::vector<std::string>{"log.txt"})
      << "no temporary file";

  ASSERT_TRUE(exporter.Start(plan, GridBase::Char, "COM3", dir.Path("gone/"), "log.txt"));
  exporter.Finish();
  EXPECT_FALSE(exporter.Running());
  // The system's own text for the missing folder follows ("No such file or directory" on Linux).
  const std::string failed = window.messages.back().text;
  EXPECT_TRUE(failed.starts_with("Not exported: ") && failed.size() > 20) << failed;
  EXPECT_EQ(window.messages.back().rgb, ErrorColour);
  EXPECT_EQ(ended, (std::vector<bool>{false, false}));

  // Cancel after the export ended does nothing; the next one runs whole, in the room made
  // ahead while the operator chose the file.
  exporter.Cancel();
  exporter.Prepare();
  ASSERT_TRUE(owner.RunUntil([&] { return exporter.Prepared(); }));
  ASSERT_TRUE(exporter.Start(plan, GridBase::Char, "COM3", dir.Folder(), "log.txt"));
  EXPECT_FALSE(exporter.Prepared()) << "the room went to this export";
  exporter.Finish();
  EXPECT_EQ(File("log.txt"), ExportText(store(), plan, GridBase::Char, "COM3"));
  EXPECT_EQ(ended.back(), true);
  exporter.Prepare();
  exporter.Unprepare();  // the dialog cancelled before the room was ready: it is not kept
  exporter.Finish();
  EXPECT_FALSE(exporter.Prepared());
}

}  // namespace
}  // namespace quarlex
