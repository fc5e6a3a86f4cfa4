#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/app/support/fake_session_ui.h"
#include "tools/capture_files.h"
#include "tools/files_support.h"

namespace quarlex {
namespace {

using testing_support::ListNames;
using testing_support::ReadWhole;
using testing_support::TempDir;
using testing_support::WriteWhole;

constexpr LocalTime July1 = {2024, 7, 1, 14, 5, 9};

using Shown = testing::FakeSessionUi::Shown;

struct FilesUiFake : FilesUi {
  std::string port = "COM3";
  SaveMode mode = SaveMode::Interval;
  std::string chosen;
  int findCloses = 0, redraws = 0, dialogs = 0;
  std::string PortName() override { return port; }
  SaveMode CheckedSaveMode() override { return mode; }
  std::string ChooseFileToOpen() override {
    ++dialogs;
    return chosen;
  }
  void CloseFindPanel() override { ++findCloses; }
  void Redraw() override { ++redraws; }
};

struct FilesTest : ::testing::Test {
  TempDir dir;
  testing::FakeSessionUi window;  // its Save button runs the real file save
  FilesUiFake ui;
  Session session{window};
  LocalTime now = July1;
  CaptureFiles files{session, ui, [this] { return now; }};
  std::mt19937_64 rng{1234};

  void SetUp() override {
    window.save = [this] { return files.BtnSaveClick(); };
    session.ExeFolder = dir.Folder();
  }
  CaptureStore& store() { return session.Store; }
  // Received bytes with distinct-looking values.
  std::vector<uint8_t> Receive(size_t n) {
    // Eight random bytes per draw: a full ring is 32 MiB.
    std::vector<uint8_t> b((n + 7) & ~size_t{7});
    for (size_t i = 0; i < b.size(); i += 8) {
      const uint64_t r = rng();
      std::memcpy(b.data() + i, &r, 8);
    }
    b.resize(n);
    size_t taken = 0;
    while (taken < n) {
      const size_t t = store().AppendReceived(b.data() + taken, n - taken);
      if (t == 0) break;
      taken += t;
    }
    b.resize(taken);
    return b;
  }
  std::vector<uint8_t> Ring(uint32_t from, uint32_t to) {
    return {store().CaptureBuffer + from, store().CaptureBuffer + to};
  }
  std::vector<uint8_t> Saved(const std::string& name) { return ReadWhole(dir.Path(name)); }
  const Shown& LastMessage() {
    EXPECT_FALSE(window.messages.empty());
    return window.messages.back();
  }
};

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

TEST(ExeFolderTest, ExecutableFolderWhenWritableElsePerUserFolder) {
  TempDir d;
  EXPECT_EQ(ExeFolderFor(d.Path("quarlex"), "/home/op"), d.Folder());
  EXPECT_EQ(ExeFolderFor("/no/such/folder/quarlex", "/home/op"), "/home/op/Quarlex/");
  EXPECT_EQ(ExeFolderFor("/no/such/folder/quarlex", "/home/op/"), "/home/op/Quarlex/");
  if (geteuid() != 0) {  // root may write anywhere
    ASSERT_EQ(chmod(d.Folder().c_str(), 0555), 0);
    EXPECT_EQ(ExeFolderFor(d.Path("quarlex"), "/home/op"), "/home/op/Quarlex/");
  }
  // This test program's own folder is writable (the build folder).
  EXPECT_EQ(DefaultExeFolder().back(), '/');
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
    s.WriteIndex = c.writeIndex;
    s.SavedUpTo = c.savedUpTo;
    s.CaptureFull = c.full;
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
  EXPECT_EQ(store().SavedUpTo, 1001u);
  EXPECT_EQ(store().WriteIndex, 1001u);  // the capture is untouched
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
  EXPECT_EQ(ListNames(dir.Folder()).size(), 4u);  // no temporary file left behind
}

TEST_F(FilesTest, FullRingSavesAllOfItsBytesInEitherMode) {
  Receive(CaptureSize + 10);  // the store takes exactly one ring
  ASSERT_EQ(store().CaptureFull, 1);
  ASSERT_EQ(store().WriteIndex, CaptureSize);
  ui.mode = SaveMode::Full;
  ASSERT_TRUE(files.BtnSaveClick());
  const auto full = Saved("COM3_20240701_140509.data");
  ASSERT_EQ(full.size(), size_t{CaptureSize});
  EXPECT_TRUE(full == Ring(0, CaptureSize));

  ui.mode = SaveMode::Interval;
  store().SavedUpTo = 12345;
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
  ASSERT_EQ(store().WriteIndex, 15u);
  ASSERT_EQ(store().CaptureFull, 0);
  ASSERT_TRUE(files.BtnSaveClick());
  auto expected = Ring(CaptureSize - 40, CaptureSize);
  const auto head = Ring(0, 15);
  expected.insert(expected.end(), head.begin(), head.end());
  EXPECT_EQ(Saved("COM3_20240701_140509_1.data"), expected);
  EXPECT_EQ(store().SavedUpTo, 15u);
}

TEST_F(FilesTest, FolderIsCreatedOnDemand) {
  session.ExeFolder = dir.Path("home/op/Quarlex/");
  Receive(10);
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_EQ(ReadWhole(dir.Path("home/op/Quarlex/COM3_20240701_140509.data")).size(), 10u);
}

TEST_F(FilesTest, FailedSaveReportsAndMovesNothing) {
  WriteWhole(dir.Path("plainfile"), {1, 2, 3});
  session.ExeFolder = dir.Path("plainfile/sub/");  // a folder that cannot exist
  Receive(100);
  EXPECT_FALSE(files.BtnSaveClick());
  EXPECT_EQ(LastMessage().text, "File not saved: Not a directory");
  EXPECT_EQ(LastMessage().rgb, ErrorColour);
  EXPECT_EQ(files.LastError(), "File not saved: Not a directory");
  EXPECT_EQ(store().SavedUpTo, 0u);
  EXPECT_EQ(store().WriteIndex, 100u);
}

// A write that fails half-way (the disk fills): no partial file under a capture name, and an
// earlier file of the same name is not touched.
TEST_F(FilesTest, SaveThatRunsOutOfSpaceLeavesNoPartialFile) {
  Receive(1000);
  ASSERT_TRUE(files.BtnSaveClick());
  const auto first = Saved("COM3_20240701_140509.data");
  Receive(3 << 20);

  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 1 << 20;  // files may not grow past 1 MiB: writes fail with EFBIG
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool ok = files.BtnSaveClick();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(ok);
  EXPECT_EQ(LastMessage().text, "File not saved: File too large");
  EXPECT_EQ(store().SavedUpTo, 1000u);
  EXPECT_EQ(ListNames(dir.Folder()), std::vector<std::string>{"COM3_20240701_140509.data"});
  EXPECT_EQ(Saved("COM3_20240701_140509.data"), first);
  // The next save, with room again, picks up the same range.
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_EQ(Saved("COM3_20240701_140509_1.data").size(), size_t{3 << 20});
}

TEST_F(FilesTest, FailedAutosaveOfAFullRingIsReportedOnceAndTheOperatorsSaveReleasesIt) {
  window.autosave = true;
  session.ExeFolder = "/proc/no-such-folder/";  // nothing can be created there
  Receive(CaptureSize);
  ASSERT_EQ(store().CaptureFull, 1);
  for (int i = 0; i < 5; ++i) session.TimerMainTimer();
  EXPECT_EQ(window.saves, 1);
  ASSERT_EQ(window.messages.size(), 2u);
  EXPECT_EQ(window.messages[0].text, "File not saved: No such file or directory");
  EXPECT_EQ(LastMessage().text, "Capture full, not saved: No such file or directory");
  EXPECT_EQ(LastMessage().rgb, ErrorColour);
  EXPECT_EQ(store().CaptureFull, 1);  // nothing was cleared: the ring is still unsaved

  session.ExeFolder = dir.Folder();
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_EQ(Saved("COM3_20240701_140509.data").size(), size_t{CaptureSize});
  session.TimerMainTimer();
  EXPECT_EQ(window.saves, 1) << "the operator's save is not repeated";
  EXPECT_EQ(store().CaptureFull, 0);  // the rollover went on
  EXPECT_EQ(store().WriteIndex, 0u);
}

TEST_F(FilesTest, TickAutosavesAFullRingThenClears) {
  window.autosave = true;
  const auto bytes = Receive(CaptureSize);
  session.TimerMainTimer();
  EXPECT_TRUE(Saved("COM3_20240701_140509.data") == bytes);
  EXPECT_EQ(store().CaptureFull, 0);
  EXPECT_EQ(store().WriteIndex, 0u);
  EXPECT_EQ(store().SavedUpTo, 0u);

  // A full ring the operator saved before the tick is not saved a second time.
  Receive(CaptureSize);
  ASSERT_TRUE(files.BtnSaveClick());
  session.TimerMainTimer();
  EXPECT_EQ(window.saves, 1);
  EXPECT_EQ(ListNames(dir.Folder()).size(), 2u);
  EXPECT_EQ(store().WriteIndex, 0u);
}

// ---- Loading ----

TEST_F(FilesTest, LoadReplacesTheCaptureWithPlainBytes) {
  Receive(5000);
  store().AppendSent(1);
  store().CaptureAttributes[7] = 3;
  store().SavedUpTo = 40;
  store().View.ShowRow(100);
  std::vector<uint8_t> bytes(4321);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  WriteWhole(dir.Path("x.bin"), bytes);
  ui.chosen = dir.Path("x.bin");
  files.BtnOpenClick();
  EXPECT_EQ(store().WriteIndex, 4321u);
  EXPECT_EQ(Ring(0, 4321), bytes);
  EXPECT_EQ(store().CaptureBuffer[4321], 0);  // the old capture beyond is gone
  EXPECT_EQ(store().CaptureAttributes[7], 0);
  EXPECT_EQ(store().CaptureAttributes[5000], 0);
  EXPECT_EQ(store().SavedUpTo, 0u);
  EXPECT_EQ(store().CaptureFull, 0);
  EXPECT_EQ(store().View.TopRow(), 0u);
  EXPECT_EQ(store().View.ScrollBarExch().Max(), 4321u / 32);
  EXPECT_GE(ui.redraws, 1);
  EXPECT_EQ(ui.findCloses, 0);
  EXPECT_TRUE(window.messages.empty());
}

TEST_F(FilesTest, LoadLimitsAndRefusals) {
  using R = CaptureFiles::LoadResult;
  struct Case {
    const char* what;
    std::string path;
    R result;
    uint32_t size;
    const char* message;  // nullptr: none
  };
  WriteWhole(dir.Path("empty.data"), {});
  WriteWhole(dir.Path("readonly.data"), {9, 8, 7});
  ASSERT_EQ(chmod(dir.Path("readonly.data").c_str(), 0444), 0);
  // 4 GiB + 10 bytes, sparse: taken with its real size, so the ring fills to its limit.
  {
    const int fd = open(dir.Path("huge.data").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t{4} << 30) + 10), 0);
    const uint8_t last = 0x5A;
    ASSERT_EQ(pwrite(fd, &last, 1, CaptureSize - 1), 1);
    ASSERT_EQ(pwrite(fd, &last, 1, CaptureSize), 1);
    close(fd);
  }
  ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(dir.Path("folder.data").c_str(), 0755), 0);
  const std::vector<Case> cases = {
      {"empty file", dir.Path("empty.data"), R::Loaded, 0, nullptr},
      {"read-only file", dir.Path("readonly.data"), R::Loaded, 3, nullptr},
      {"4 GiB + 10 bytes", dir.Path("huge.data"), R::LoadedFirstPart, CaptureSize,
       "First 33554432 bytes loaded, 4261412874 left out"},
      {"missing", dir.Path("missing.data"), R::NotFound, 0, "File not found"},
      {"folder", dir.Path("folder.data"), R::NotFound, 0, "File not found"},
      {"FIFO without a writer", dir.Path("fifo"), R::NotFound, 0, "File not found"},
      {"character device", "/dev/null", R::NotFound, 0, "File not found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    window.messages.clear();
    session.ClearFull();
    Receive(7);  // something that a refused load must leave in place
    EXPECT_EQ(files.LoadFile(c.path), c.result);
    EXPECT_EQ(store().WriteIndex, c.result == R::NotFound ? 7u : c.size);
    if (!c.message) {
      EXPECT_TRUE(window.messages.empty());
      continue;
    }
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].text, c.message);
    EXPECT_EQ(window.messages[0].rgb, ErrorColour);
  }
  files.LoadFile(dir.Path("huge.data"));
  EXPECT_EQ(store().CaptureBuffer[CaptureLast], 0x5A);
  EXPECT_EQ(store().CaptureFull, 1);
}

TEST_F(FilesTest, UnreadableFileIsNotFound) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  WriteWhole(dir.Path("secret.data"), {1, 2});
  ASSERT_EQ(chmod(dir.Path("secret.data").c_str(), 0000), 0);
  EXPECT_EQ(files.LoadFile(dir.Path("secret.data")), CaptureFiles::LoadResult::NotFound);
}

TEST_F(FilesTest, CancelledDialogChangesNothingAndOpenSearchIsClosedByALoad) {
  Receive(10);
  ui.chosen.clear();
  files.BtnOpenClick();
  EXPECT_EQ(ui.dialogs, 1);
  EXPECT_EQ(store().WriteIndex, 10u);
  EXPECT_TRUE(window.messages.empty());

  store().SearchOpen = 1;
  WriteWhole(dir.Path("a.data"), {1, 2, 3});
  ui.chosen = dir.Path("a.data");
  files.BtnOpenClick();
  EXPECT_EQ(ui.findCloses, 1);
  EXPECT_EQ(store().WriteIndex, 3u);
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

// The program's own file of a full ring loads back whole, and a loaded full ring is shown, not
// rolled over: only new bytes (queued ones, or a send) make it roll over.
TEST_F(FilesTest, FullRingFileLoadsBackWholeAndRollsOverOnlyForNewBytes) {
  struct Queue : ReceiveSource {
    std::vector<uint8_t> q;
    void ReadQueued(uint8_t* buf, size_t n) override {
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
  ASSERT_EQ(store().WriteIndex, 0u);

  ASSERT_EQ(files.LoadFile(dir.Path("COM3_20240701_140509.data")), CaptureFiles::LoadResult::Loaded);
  EXPECT_EQ(store().WriteIndex, CaptureSize);
  EXPECT_EQ(store().CaptureFull, 1);
  EXPECT_TRUE(Ring(0, CaptureSize) == ring);
  EXPECT_EQ(store().View.ScrollBarExch().Max(), CaptureSize / 32);
  for (int i = 0; i < 40; ++i) session.TimerMainTimer();
  EXPECT_EQ(window.saves, 0) << "a loaded ring is not autosaved for its own sake";
  EXPECT_EQ(store().WriteIndex, CaptureSize);

  port.q = {0xA1, 0xA2};
  session.ComPortRxChar(2);  // the receive event finds no room
  session.TimerMainTimer();
  EXPECT_EQ(window.saves, 1);
  EXPECT_TRUE(Saved("COM3_20240701_140509_1.data") == ring) << "autosaved on the way out";
  EXPECT_EQ(store().WriteIndex, 2u);
  EXPECT_EQ(store().CaptureBuffer[1], 0xA2);
}

}  // namespace
}  // namespace quarlex
