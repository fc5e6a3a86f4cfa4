#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/support/store_fields.h"
#include "tools/capture_files.h"
#include "tools/files_fixture.h"
#include "tools/support/posted_tasks.h"
#include "tools/times_file.h"

namespace quarlex {
namespace {

using namespace testing_support;

TEST(CaptureFileNameTest, PadsDateAndTimeAndKeepsPortName) {
  EXPECT_EQ(CaptureFileName("COM3", July1), "COM3_20240701_140509.data");
  EXPECT_EQ(CaptureFileName("COM1", {2025, 1, 5, 9, 3, 7}), "COM1_20250105_090307.data");
  EXPECT_EQ(CaptureFileName("COM12", {2031, 12, 31, 23, 59, 59}), "COM12_20311231_235959.data");
  EXPECT_EQ(CaptureFileName("COM12", {2031, 12, 31, 0, 0, 0}, 2), "COM12_20311231_000000_2.data");
}

TEST(CaptureFileNameTest, DevicePathsNeverBecomePathsOrHiddenNames) {
  EXPECT_EQ(CaptureFileName("/dev/ttyUSB0", July1), "ttyUSB0_20240701_140509.data");
  EXPECT_EQ(CaptureFileName("/dev/pts/7", July1), "7_20240701_140509.data");
  EXPECT_EQ(CaptureFileName("..", July1), "_._20240701_140509.data");
  EXPECT_EQ(CaptureFileName("my port*", July1), "my_port__20240701_140509.data");
  EXPECT_EQ(CaptureFileName("", July1), "COM1_20240701_140509.data");
}

// Ranges of each mode, as (offset, length) pairs, and where the next Interval save starts.
struct PlanCase {
  const char* what;
  SaveMode mode;
  uint32_t writeIndex, savedUpTo;
  uint8_t full;
  std::vector<std::pair<uint32_t, uint32_t>> pieces;
  uint32_t next;
};

TEST(PlanSaveTest, RangesOfEachMode) {
  constexpr uint32_t N = CaptureSize;
  const std::vector<PlanCase> cases = {
      {"interval from the start", SaveMode::Interval, 1000, 0, 0, {{0, 1000}}, 1000},
      {"interval chains", SaveMode::Interval, 1500, 1000, 0, {{1000, 500}}, 1500},
      {"interval with nothing new", SaveMode::Interval, 1000, 1000, 0, {}, 1000},
      {"full ignores the last save", SaveMode::Full, 1000, 700, 0, {{0, 1000}}, 1000},
      {"full ring, full save: every byte", SaveMode::Full, N, 4096, 1, {{0, N}}, N},
      {"full ring, interval from 0: every byte", SaveMode::Interval, N, 0, 1, {{0, N}}, N},
      {"full ring, interval from a mark", SaveMode::Interval, N, 4096, 1, {{4096, N - 4096}}, N},
      {"send wrapped the ring", SaveMode::Interval, 50, N - 100, 0, {{N - 100, 100}, {0, 50}}, 50},
      {"full ring already saved", SaveMode::Interval, N, N, 1, {}, N},
      {"odd last byte", SaveMode::Interval, N - 1, N - 2, 0, {{N - 2, 1}}, N - 1},
  };
  CaptureStore s;
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.what);
    StoreFields(s).WriteIndex = c.writeIndex;
    s.MarkSaved(c.savedUpTo);
    StoreFields(s).CaptureFull = c.full;
    const SavePlan p = PlanSave(s, c.mode);
    ASSERT_EQ(p.count, static_cast<int>(c.pieces.size()));
    for (int i = 0; i < p.count; ++i) {
      EXPECT_EQ(p.pieces[i].offset, c.pieces[i].first);
      EXPECT_EQ(p.pieces[i].length, c.pieces[i].second);
    }
    EXPECT_EQ(p.nextSavedUpTo, c.next);
  }
}

TEST_F(FilesTest, SaveWritesTheCheckedRangeUnderItsNameAndReports) {
  Receive(1000);
  store().AppendSent(0xAA);  // sent bytes are saved like received ones
  store().CaptureAttributes[3] = 2;
  ui.mode = SaveMode::Full;
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_EQ(Saved("COM3_20240701_140509.data"), Ring(0, 1001));
  EXPECT_EQ(LastMessage().text, "File  COM3_20240701_140509.data  saved");
  EXPECT_EQ(LastMessage().rgb, SuccessColour);
  EXPECT_EQ(session.MessageShown, 1);
  EXPECT_EQ(session.MessageTicks, 0);
  EXPECT_EQ(store().SavedUpTo(), 1001u);
  EXPECT_EQ(store().WriteIndex(), 1001u);  // the capture is untouched
  EXPECT_EQ(store().CaptureAttributes[3], 2);
}

TEST_F(FilesTest, SavesInTheSameSecondGetSuffixesAndChainWithoutOverlap) {
  const auto a = Receive(300);
  ASSERT_TRUE(files.BtnSaveClick());
  const auto b = Receive(200);
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_EQ(LastMessage().text, "File  COM3_20240701_140509_1.data  saved");
  ASSERT_TRUE(files.BtnSaveClick());  // nothing new: an empty file, still reported
  EXPECT_EQ(LastMessage().text, "File  COM3_20240701_140509_2.data  saved");
  EXPECT_EQ(Saved("COM3_20240701_140509.data"), a);
  EXPECT_EQ(Saved("COM3_20240701_140509_1.data"), b);
  EXPECT_TRUE(Saved("COM3_20240701_140509_2.data").empty());
  now.second = 10;
  Receive(5);
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_EQ(Saved("COM3_20240701_140510.data").size(), 5u);
  EXPECT_EQ(ListNames(dir.Folder()).size(), 8u);  // each with its times; no temporary file left behind
  EXPECT_EQ(ListNames(dir.Folder())[7], "COM3_20240701_140510.idx");
}

TEST_F(FilesTest, FullRingSavesAllOfItsBytesInEitherMode) {
  Receive(CaptureSize + 10);  // the store takes exactly one ring
  ASSERT_EQ(store().CaptureFull(), 1);
  ASSERT_EQ(store().WriteIndex(), CaptureSize);
  ui.mode = SaveMode::Full;
  ASSERT_TRUE(files.BtnSaveClick());
  const auto full = Saved("COM3_20240701_140509.data");
  ASSERT_EQ(full.size(), size_t{CaptureSize});
  EXPECT_TRUE(full == Ring(0, CaptureSize));

  ui.mode = SaveMode::Interval;
  store().MarkSaved(12345);
  ASSERT_TRUE(files.BtnSaveClick());
  const auto rest = Saved("COM3_20240701_140509_1.data");
  ASSERT_EQ(rest.size(), size_t{CaptureSize} - 12345);
  EXPECT_TRUE(rest == Ring(12345, CaptureSize));
}

TEST_F(FilesTest, IntervalAfterASendWrapWritesTheTwoPieces) {
  Receive(CaptureSize - 40);
  ASSERT_TRUE(files.BtnSaveClick());
  Receive(30);
  for (int i = 0; i < 25; ++i) store().AppendSent(static_cast<uint8_t>(0xC0 + i));  // wraps to 15
  ASSERT_EQ(store().WriteIndex(), 15u);
  ASSERT_EQ(store().CaptureFull(), 0);
  ASSERT_TRUE(files.BtnSaveClick());
  auto expected = Ring(CaptureSize - 40, CaptureSize);
  const auto head = Ring(0, 15);
  expected.insert(expected.end(), head.begin(), head.end());
  EXPECT_EQ(Saved("COM3_20240701_140509_1.data"), expected);
  EXPECT_EQ(store().SavedUpTo(), 15u);
}

TEST_F(FilesTest, FolderIsCreatedOnDemand) {
  session.ExeFolder = dir.Path("home/op/Quarlex/");
  Receive(10);
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_EQ(ReadWhole(dir.Path("home/op/Quarlex/COM3_20240701_140509.data")).size(), 10u);
}

// A program folder the user may not write (unzipped under Program Files, installed in /usr/bin):
// captures go to the per-user folder, and each save's message says where and why.
TEST_F(FilesTest, UnwritableProgramFolderSavesInTheHomeFolderAndSaysSo) {
  const std::string program = dir.Path("program"), home = dir.Path("home");
  std::filesystem::create_directories(program);
  {
    UnwritableFolder readOnly(program);
    if (!readOnly.Made()) GTEST_SKIP() << "this system lets the test write in any folder";
    const CaptureFolder chosen = CaptureFolderFor(program + "/quarlex", home);
    EXPECT_TRUE(chosen.Fallback);
    EXPECT_EQ(chosen.Path, home + "/Quarlex/");
    session.ExeFolder = chosen.Path;
    session.ExeFolderIsFallback = chosen.Fallback;
    Receive(10);
    ASSERT_TRUE(files.BtnSaveClick());
    EXPECT_EQ(LastMessage().text, "File  COM3_20240701_140509.data  saved in " + home +
                                      "/Quarlex/ (the program's folder is not writable)");
    EXPECT_EQ(LastMessage().rgb, SuccessColour);
    EXPECT_EQ(ReadWhole(home + "/Quarlex/COM3_20240701_140509.data").size(), 10u);
    EXPECT_TRUE(ListNames(program).empty());
  }
  // Writable again: the program's folder, and the message as always.
  const CaptureFolder own = CaptureFolderFor(program + "/quarlex", home);
  EXPECT_FALSE(own.Fallback);
  EXPECT_EQ(own.Path, program + "/");
  session.ExeFolder = own.Path;
  session.ExeFolderIsFallback = own.Fallback;
  now.second = 10;
  Receive(5);
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_EQ(LastMessage().text, "File  COM3_20240701_140510.data  saved");
}

TEST_F(FilesTest, TickAutosavesAFullRingThenClears) {
  window.autosave = true;
  const auto bytes = Receive(CaptureSize);
  session.TimerMainTimer();
  EXPECT_TRUE(Saved("COM3_20240701_140509.data") == bytes);
  EXPECT_EQ(store().CaptureFull(), 0);
  EXPECT_EQ(store().WriteIndex(), 0u);
  EXPECT_EQ(store().SavedUpTo(), 0u);

  // A full ring the operator saved before the tick is not saved a second time.
  Receive(CaptureSize);
  ASSERT_TRUE(files.BtnSaveClick());
  session.TimerMainTimer();
  EXPECT_EQ(window.saves, 1);
  EXPECT_EQ(ListNames(dir.Folder()).size(), 4u) << "two files, each with its times";
  EXPECT_EQ(store().WriteIndex(), 0u);
}

// ---- Loading ----

TEST_F(FilesTest, LoadReplacesTheCaptureWithPlainBytes) {
  Receive(5000);
  store().AppendSent(1);
  store().CaptureAttributes[7] = 3;
  store().MarkSaved(40);
  store().View.ShowRow(100);
  std::vector<uint8_t> bytes(4321);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  WriteWhole(dir.Path("x.bin"), bytes);
  ui.chosen = dir.Path("x.bin");
  files.BtnOpenClick();
  EXPECT_EQ(store().WriteIndex(), 4321u);
  EXPECT_EQ(Ring(0, 4321), bytes);
  EXPECT_EQ(store().CaptureBuffer[4321], 0);  // the old capture beyond is gone
  EXPECT_EQ(store().CaptureAttributes[7], 0);
  EXPECT_EQ(store().CaptureAttributes[5000], 0);
  EXPECT_EQ(store().SavedUpTo(), 0u);
  EXPECT_EQ(store().CaptureFull(), 0);
  EXPECT_EQ(store().View.TopRow(), 0u);
  EXPECT_EQ(store().View.ScrollBarExch().Max(), 4321u / 32);
  EXPECT_GE(ui.redraws, 1);
  EXPECT_EQ(ui.findCloses, 0);
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(FilesTest, CancelledDialogChangesNothingAndOpenSearchIsClosedByALoad) {
  Receive(10);
  ui.chosen.clear();
  files.BtnOpenClick();
  EXPECT_EQ(ui.dialogs, 1);
  EXPECT_EQ(store().WriteIndex(), 10u);
  EXPECT_TRUE(window.messages.empty());

  store().SearchOpen = 1;
  WriteWhole(dir.Path("a.data"), {1, 2, 3});
  ui.chosen = dir.Path("a.data");
  files.BtnOpenClick();
  EXPECT_EQ(ui.findCloses, 1);
  EXPECT_EQ(store().WriteIndex(), 3u);
}

TEST_F(FilesTest, SavedFileLoadsBackAsTheSameBytes) {
  Receive(777);
  store().AppendSent(0xEE);
  ui.mode = SaveMode::Full;
  ASSERT_TRUE(files.BtnSaveClick());
  const auto before = Ring(0, 778);
  ASSERT_EQ(files.LoadFile(dir.Path("COM3_20240701_140509.data")), CaptureFiles::LoadResult::Loaded);
  EXPECT_EQ(Ring(0, 778), before);
  EXPECT_EQ(store().CaptureAttributes[777], 0);  // the sent bit is not stored
}

TEST_F(FilesTest, EverySaveWritesItsTimesBesideItAndLoadReadsThemWhenSound) {
  Receive(300);
  store().Times.AddBatch(0, 300, Direction::Received, 1'000);
  ASSERT_TRUE(files.BtnSaveClick());
  Receive(20);
  store().Times.AddBatch(300, 20, Direction::Received, 2'000);
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_EQ(LastMessage().text, "File  COM3_20240701_140509_1.data  saved");
  const auto idx = Saved("COM3_20240701_140509_1.idx");
  EXPECT_EQ(std::string(idx.begin(), idx.end()),
            "quarlex-times 1\nbytes 20\nbatches 1\nevents 0\nB 0 20 R 2000\nend\n");

  const std::string data = dir.Path("COM3_20240701_140509.data");
  ASSERT_EQ(files.LoadFile(data), CaptureFiles::LoadResult::Loaded);
  ASSERT_EQ(store().Times.BatchCount(), 1u);
  EXPECT_EQ(store().Times.Batch(0), (TimedBatch{1'000, 0, 300, Direction::Received, false}));

  const size_t shown = window.messages.size();
  ASSERT_TRUE(std::filesystem::remove(dir.Path("COM3_20240701_140509.idx")));
  ASSERT_EQ(files.LoadFile(data), CaptureFiles::LoadResult::Loaded);
  EXPECT_EQ(window.messages.size(), shown) << "a capture without times is no news";
  EXPECT_EQ(store().Times.BatchCount(), 0u);

  struct Damage {
    std::string text;
    uintmax_t size;
    std::string message;
  };
  const Damage damages[] = {
      {"quarlex-times 1\nbytes 301\n", 0, "COM3_20240701_140509.idx damaged (line 2, made for another file)"},
      {"", 100 << 20, "COM3_20240701_140509.idx: too large"},
  };
  for (const Damage& d : damages) {
    WriteWhole(dir.Path("COM3_20240701_140509.idx"), {d.text.begin(), d.text.end()});
    if (d.size) {
      std::filesystem::resize_file(dir.Path("COM3_20240701_140509.idx"), d.size);
    }
    ASSERT_EQ(files.LoadFile(data), CaptureFiles::LoadResult::Loaded);
    EXPECT_EQ(LastMessage().text, "Times not loaded: " + d.message);
    EXPECT_EQ(store().WriteIndex(), 300u) << "the bytes load all the same";
    EXPECT_EQ(store().Times.BatchCount(), 0u);
  }
}

// The times file of a save written on a worker, as the window has it: the save returns (and
// says so) before the file is formatted, from the index as it was at the save, whatever the
// ring does meanwhile.
struct TimesInBackgroundTest : FilesTest {
  PostedTasks owner;
  BackgroundWorker worker{owner};
  std::atomic<bool> release{false};
  void SetUp() override {
    FilesTest::SetUp();
    files.WriteTimesOn(&worker);
  }
  // Holds the worker until `release` is set: the times of a save made meanwhile wait behind it.
  void Gate() {
    worker.Start([this](JobContext&) -> Answer {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return {};
    });
  }
  std::string Text(const std::string& name) {
    const auto b = Saved(name);
    return {b.begin(), b.end()};
  }
};

TEST_F(TimesInBackgroundTest, TheTimesAsSavedAreWrittenWhileTheRingRollsOver) {
  window.autosave = true;
  for (uint32_t at = 0; at < CaptureSize; at += 4096) {
    Receive(4096);
    store().Times.AddBatch(at, 4096, at % 3 ? Direction::Received : Direction::Sent, 1'000 + at);
    if (at % 40960 == 0) store().Times.AddEvents(at + 4096, Bits(LineEvent::Break), 1'000 + at);
  }
  SavePlan plan;
  plan.pieces[0] = {0, CaptureSize};
  plan.count = 1;
  const std::string expected = TimesFileText(store().Times, plan);
  Gate();
  session.TimerMainTimer();  // the autosave, then the rollover clears the ring and its index
  EXPECT_EQ(LastMessage().text, "File  COM3_20240701_140509.data  saved");
  EXPECT_TRUE(files.TimesPending());
  EXPECT_FALSE(std::filesystem::exists(dir.Path("COM3_20240701_140509.idx")));
  ASSERT_EQ(store().WriteIndex(), 0u);
  release = true;
  // New batches where the saved ones were, while the file is formatted.
  while (files.TimesPending()) {
    const uint32_t at = store().WriteIndex();
    Receive(100);
    store().Times.AddBatch(at, 100, Direction::Received, 5);
    owner.RunPosted();
  }
  EXPECT_EQ(Text("COM3_20240701_140509.idx"), expected);
  EXPECT_EQ(LastMessage().text, "File  COM3_20240701_140509.data  saved") << "no news after the times";
}

TEST_F(TimesInBackgroundTest, ATimesFileThatFailsIsReportedWhenItFailsAndOpenWaitsForOne) {
  ui.mode = SaveMode::Full;
  Receive(300);
  store().Times.AddBatch(0, 300, Direction::Received, 1'000);
  Gate();
  ASSERT_TRUE(files.BtnSaveClick());
  std::filesystem::remove_all(dir.Folder());
  release = true;
  files.FinishTimes();
  // The system's own text for the missing folder follows ("No such file or directory" on Linux).
  const std::string failed = LastMessage().text;
  EXPECT_TRUE(failed.starts_with("File  COM3_20240701_140509.data  saved, times not: ") && failed.size() > 56)
      << failed;
  EXPECT_EQ(LastMessage().rgb, ErrorColour);

  // Opening the file just saved finds its times, though the worker had not written them yet.
  std::filesystem::create_directories(dir.Folder());
  release = false;
  Gate();
  ASSERT_TRUE(files.BtnSaveClick());
  std::thread opener([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    release = true;
  });
  const auto loaded = files.LoadFile(dir.Path("COM3_20240701_140509.data"));
  opener.join();
  ASSERT_EQ(loaded, CaptureFiles::LoadResult::Loaded);
  ASSERT_EQ(store().Times.BatchCount(), 1u);
  EXPECT_EQ(store().Times.Batch(0), (TimedBatch{1'000, 0, 300, Direction::Received, false}));
}

// The program's own file of a full ring loads back whole, and a loaded full ring is shown, not
// rolled over: only new bytes (queued ones, or a send) make it roll over.
TEST_F(FilesTest, FullRingFileLoadsBackWholeAndRollsOverOnlyForNewBytes) {
  struct Queue : ReceiveSource {
    std::vector<uint8_t> q;
    void ReadQueued(uint8_t* buf, size_t n, ReceivedChunks& chunks) override {
      chunks.clear();
      std::memcpy(buf, q.data(), n);
      q.erase(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(n));
    }
    size_t QueuedCount() override { return q.size(); }
    void ReadFailed(std::exception_ptr) override { ADD_FAILURE(); }
  } port;
  session.Port = &port;
  session.PortConnected = true;
  window.autosave = true;
  const auto ring = Receive(CaptureSize);
  ui.mode = SaveMode::Full;
  ASSERT_TRUE(files.BtnSaveClick());
  ASSERT_EQ(Saved("COM3_20240701_140509.data").size(), size_t{CaptureSize});
  session.TimerMainTimer();  // the saved ring rolls over
  ASSERT_EQ(store().WriteIndex(), 0u);

  ASSERT_EQ(files.LoadFile(dir.Path("COM3_20240701_140509.data")), CaptureFiles::LoadResult::Loaded);
  EXPECT_EQ(store().WriteIndex(), CaptureSize);
  EXPECT_EQ(store().CaptureFull(), 1);
  EXPECT_TRUE(Ring(0, CaptureSize) == ring);
  EXPECT_EQ(store().View.ScrollBarExch().Max(), CaptureSize / 32);
  for (int i = 0; i < 40; ++i) session.TimerMainTimer();
  EXPECT_EQ(window.saves, 0) << "a loaded ring is not autosaved for its own sake";
  EXPECT_EQ(store().WriteIndex(), CaptureSize);

  port.q = {0xA1, 0xA2};
  session.ComPortRxChar(2);  // the receive event finds no room
  session.TimerMainTimer();
  EXPECT_EQ(window.saves, 1);
  EXPECT_TRUE(Saved("COM3_20240701_140509_1.data") == ring) << "autosaved on the way out";
  EXPECT_EQ(store().WriteIndex(), 2u);
  EXPECT_EQ(store().CaptureBuffer[1], 0xA2);
}

}  // namespace
}  // namespace quarlex
