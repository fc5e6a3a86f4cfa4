// Autosave loses nothing: with Autosave on, the files written during a session, concatenated in
// the order they were written, are exactly the byte stream that entered the capture, across
// many ring rollovers, with sends mixed in and a port whose queue runs ahead of the ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/support/fake_session_ui.h"
#include "tools/capture_file_system.h"
#include "tools/capture_files.h"
#include "tools/files_support.h"
#include "tools/recording.h"

namespace quarlex {
namespace {

using testing_support::ReadWhole;
using testing_support::StreamChecksum;
using testing_support::TempDir;

// The driver's input queue: bytes wait here until the session reads them, as they do while a
// full ring waits for its rollover.
struct PortQueue : ReceiveSource {
  std::vector<uint8_t> bytes;
  size_t head = 0;
  void Push(const std::vector<uint8_t>& b) {
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(head));
    head = 0;
    bytes.insert(bytes.end(), b.begin(), b.end());
  }
  void ReadQueued(uint8_t* buf, size_t n, ReceivedChunks& chunks) override {
    chunks.clear();
    ASSERT_LE(n, QueuedCount());
    std::memcpy(buf, bytes.data() + head, n);
    head += n;
  }
  size_t QueuedCount() override { return bytes.size() - head; }
  void ReadFailed(std::exception_ptr) override { ADD_FAILURE() << "the queue never fails"; }
};

struct StreamUi : FilesUi {
  SaveMode mode = SaveMode::Interval;
  std::string PortName() override { return "/dev/ttyS4"; }
  SaveMode CheckedSaveMode() override { return mode; }
  std::string ChooseFileToOpen() override { return {}; }
  void CloseFindPanel() override {}
  void Redraw() override {}
};

void RunStream(SaveMode mode, uint64_t totalBytes) {
  TempDir dir;
  testing::FakeSessionUi window;
  window.autosave = true;
  StreamUi ui;
  ui.mode = mode;
  Session session(window);
  PortQueue port;
  // Every save in the same second: the names differ only by their suffix.
  CaptureFiles files(session, ui, [] { return LocalTime{2026, 3, 4, 5, 6, 7}; });
  window.save = [&files] { return files.BtnSaveClick(); };
  session.ExeFolder = dir.Folder();
  session.Port = &port;
  session.PortConnected = true;

  std::mt19937_64 rng(20260304);
  StreamChecksum stream;
  std::vector<uint8_t> chunk;
  uint64_t produced = 0;
  while (produced < totalBytes) {
    // A burst of received bytes (up to 192 KiB, more than one staging buffer).
    const size_t n = 1 + rng() % (192 * 1024);
    chunk.resize((n + 7) & ~size_t{7});
    for (size_t i = 0; i < chunk.size(); i += 8) {
      const uint64_t r = rng();
      std::memcpy(chunk.data() + i, &r, 8);
    }
    chunk.resize(n);
    stream.Add(chunk.data(), n);
    port.Push(chunk);
    session.ComPortRxChar(n);
    produced += n;
    // Now and then the operator sends a few bytes, but only into room the ring has: what the
    // store does with a send into a full ring is the send composer's concern.
    if (rng() % 4 == 0 && session.Store.ReceiveRoom() > 64) {
      const size_t s = 1 + rng() % 32;
      for (size_t i = 0; i < s; ++i) {
        const uint8_t v = static_cast<uint8_t>(rng());
        stream.Add(&v, 1);
        session.Store.AppendSent(v);
      }
      session.Store.ScrollUpdate();
    }
    // The tick runs between receive events, as the message loop interleaves them.
    if (rng() % 3 == 0) session.TimerMainTimer();
  }
  // Whatever still waits in the queue arrives, then the window closes: the last autosave.
  while (port.QueuedCount() > 0) {
    session.TimerMainTimer();
    session.ComPortRxChar(port.QueuedCount());
  }
  ASSERT_TRUE(window.SaveClick());

  EXPECT_EQ(window.Failures(), 0);
  ASSERT_GE(window.SavedNames().size(), totalBytes / CaptureSize);
  StreamChecksum files_sum;
  for (const std::string& name : window.SavedNames()) {
    const auto bytes = ReadWhole(dir.Path(name));
    files_sum.Add(bytes.data(), bytes.size());
  }
  EXPECT_EQ(files_sum.length, stream.length);
  EXPECT_EQ(files_sum.h, stream.h);
  EXPECT_EQ(window.SavedNames().front(), "ttyS4_20260304_050607.data");
}

// A clock that moves on at every reading, the same way in every session it is given to.
struct SteppingClock : Clock {
  int64_t mono = 0;
  int64_t MonotonicNs() override { return mono += 1'234'567; }
  int64_t WallNs() override { return 1'765'000'000'000'000'000; }
};

// One stream of received bursts, sends and line events into a session; the tick between, and
// `settle` after each step.
void Feed(Session& session, PortQueue& port, uint64_t totalBytes, const std::function<void()>& settle) {
  std::mt19937_64 rng(20261210);
  std::vector<uint8_t> chunk;
  for (uint64_t produced = 0; produced < totalBytes;) {
    const size_t n = 1 + rng() % (96 * 1024);
    chunk.resize(n);
    for (uint8_t& b : chunk) b = static_cast<uint8_t>(rng() >> 13);
    port.Push(chunk);
    session.ComPortRxChar(n);
    produced += n;
    if (rng() % 4 == 0 && session.Store.ReceiveRoom() > 64) {
      const uint32_t from = session.Store.WriteIndex();
      const size_t sent = 1 + rng() % 32;
      for (size_t i = 0; i < sent; ++i) session.Store.AppendSent(static_cast<uint8_t>(rng()));
      session.RecordSent(from, sent);
    }
    if (rng() % 16 == 0) session.LineEventsReported(Bits(LineEvent::Framing));
    if (rng() % 3 == 0) session.TimerMainTimer();
    settle();
  }
  while (port.QueuedCount() > 0) {
    session.TimerMainTimer();
    session.ComPortRxChar(port.QueuedCount());
    settle();
  }
}

// Record writes the files a Full autosave of every ring writes, times included: the same stream
// into two sessions, one saving, one recording (through a writer whose small queue makes the
// recording hold in the ring what it cannot take yet), gives the same .data and .idx files under the same
// names.
TEST(FilesStreamTest, RecordWritesTheFilesAFullAutosaveWrites) {
  TempDir saved, recorded;
  const auto when = [] { return LocalTime{2026, 12, 10, 18, 0, 0}; };
  std::vector<std::string> savedNames, recordedNames;
  {
    testing::FakeSessionUi window;
    window.autosave = true;
    StreamUi ui;
    ui.mode = SaveMode::Full;
    SteppingClock clock;
    Session session(window, clock);
    PortQueue port;
    CaptureFiles files(session, ui, when);
    window.save = [&files] { return files.BtnSaveClick(); };
    session.ExeFolder = saved.Folder();
    session.Port = &port;
    session.PortConnected = true;
    Feed(session, port, (uint64_t{CaptureSize} * 3) / 2, [] {});
    ASSERT_TRUE(window.SaveClick());
    savedNames = window.SavedNames();
  }
  {
    testing::FakeSessionUi window;
    StreamUi ui;
    SteppingClock clock;
    Session session(window, clock);
    PortQueue port;
    Recording rec([&] { return recorded.Folder(); }, [] { return std::string("/dev/ttyS4"); }, when,
                  256 * 1024);
    session.Port = &port;
    session.PortConnected = true;
    rec.Start();
    session.SetRecorder(&rec);
    // The ring's rollovers must come where the other session's do, so the bytes the writer could
    // not take are handed over before the next step (the tick would do it later).
    Feed(session, port, (uint64_t{CaptureSize} * 3) / 2, [&rec] {
      while (rec.Held() > 0) {
        rec.CatchUp();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    session.SetRecorder(nullptr);
    EXPECT_EQ(rec.Stop(), "");
    EXPECT_EQ(window.saves, 0);
  }
  for (const std::string& name : capture_fs::FilesIn(recorded.Folder()))
    if (name.ends_with(".data")) recordedNames.push_back(name);
  std::sort(recordedNames.begin(), recordedNames.end());
  std::sort(savedNames.begin(), savedNames.end());
  ASSERT_EQ(recordedNames, savedNames);
  ASSERT_EQ(savedNames.size(), 2u);
  for (const std::string& name : savedNames) {
    EXPECT_TRUE(ReadWhole(recorded.Path(name)) == ReadWhole(saved.Path(name))) << name;
    const std::string idx = name.substr(0, name.size() - 5) + ".idx";
    EXPECT_TRUE(ReadWhole(recorded.Path(idx)) == ReadWhole(saved.Path(idx))) << idx;
  }
}

TEST(FilesStreamTest, IntervalAutosaveKeepsEveryByteOfOver100MiB) {
  RunStream(SaveMode::Interval, uint64_t{100} << 20);
}

TEST(FilesStreamTest, FullAutosaveKeepsEveryByteAcrossRollovers) {
  RunStream(SaveMode::Full, uint64_t{70} << 20);
}

}  // namespace
}  // namespace quarlex
