#include "app/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <utility>
#include <vector>

#include "tests/app/support/fake_session_ui.h"
#include "tests/app/support/store_fields.h"

namespace quarlex {
namespace {

// A port queue: bytes wait here until the session reads them; bytes pushed with a time tell it
// as a device does (one piece per push), the others tell none.
struct FakeQueue : ReceiveSource {
  std::deque<uint8_t> q;
  std::deque<std::pair<size_t, int64_t>> pieces;  // bytes and time of each timed push, oldest first
  std::vector<size_t> readSizes;
  bool fail = false, failCount = false;
  size_t failAtRead = 0;  // the n-th read from now on fails (counted from 1); 0: none
  int failures = 0;
  void Push(size_t n, uint8_t start = 0) {
    for (size_t i = 0; i < n; ++i) q.push_back(static_cast<uint8_t>(start + i));
  }
  void PushTimed(size_t n, int64_t monotonicNs) {
    Push(n);
    pieces.emplace_back(n, monotonicNs);
  }
  void ReadQueued(uint8_t* buf, size_t n, ReceivedChunks& chunks) override {
    chunks.clear();
    if (fail || (failAtRead != 0 && --failAtRead == 0)) throw std::runtime_error("read failed");
    if (n > q.size()) throw std::logic_error("read past the queue");
    readSizes.push_back(n);
    for (size_t i = 0; i < n; ++i) {
      buf[i] = q.front();
      q.pop_front();
    }
    for (size_t done = 0; done < n && !pieces.empty();) {
      auto& [left, ns] = pieces.front();
      chunks.push_back({done, ns});
      const size_t k = std::min(left, n - done);
      done += k;
      left -= k;
      if (left == 0) pieces.pop_front();
    }
  }
  size_t QueuedCount() override {
    if (failCount) throw std::runtime_error("count failed");
    return q.size();
  }
  void ReadFailed(std::exception_ptr) override { ++failures; }
};

struct SessionTest : ::testing::Test {
  testing::FakeSessionUi ui;
  FakeQueue port;
  Session s{ui};
  bool saveOk = true;
  void SetUp() override {
    // As the files tool does: a save moves SavedUpTo to the end; a failure says why.
    ui.save = [this] {
      if (saveOk) {
        s.Store.MarkSaved(s.Store.WriteIndex());
      } else {
        s.SaveFailed("No space left on device");
      }
      return saveOk;
    };
    s.Port = &port;
    s.PortConnected = true;
  }
  void Receive(size_t n, uint8_t start = 0) {
    port.Push(n, start);
    s.ComPortRxChar(n);
  }
};

TEST_F(SessionTest, ReceiveAppendsCountsAndDoesNotDraw) {
  Receive(5, 1);
  EXPECT_EQ(s.Store.WriteIndex(), 5u);
  EXPECT_EQ(s.Store.RxBytesSinceTick, 5u);
  EXPECT_EQ(s.Store.CaptureBuffer[4], 5);
  EXPECT_EQ(ui.exchangeDraws, 0);
}

TEST_F(SessionTest, LargeEventIsReadInStagingSizedPasses) {
  Receive(200000);
  EXPECT_EQ(s.Store.WriteIndex(), 200000u);
  ASSERT_EQ(port.readSizes.size(), 4u);
  EXPECT_EQ(port.readSizes[0], ReceiveStagingSize);
  EXPECT_EQ(port.readSizes[3], 200000u - 3 * ReceiveStagingSize);
  EXPECT_EQ(s.Store.CaptureBuffer[199999], static_cast<uint8_t>(199999));
}

TEST_F(SessionTest, EventAfterDisconnectOnlyCounts) {
  s.PortConnected = false;
  port.Push(7);
  s.ComPortRxChar(7);
  EXPECT_EQ(s.Store.WriteIndex(), 0u);
  EXPECT_EQ(s.Store.RxBytesSinceTick, 7u);
  EXPECT_EQ(port.q.size(), 7u);
}

TEST_F(SessionTest, FailingReadAppendsNothingAndPropagates) {
  Receive(10);
  port.Push(4);
  port.fail = true;
  EXPECT_THROW(s.ComPortRxChar(4), std::runtime_error);
  EXPECT_EQ(s.Store.WriteIndex(), 10u);
  EXPECT_EQ(s.Store.RxBytesSinceTick, 10u);

  // A large event whose second pass fails: the first pass's bytes are in the ring, so they keep
  // their arrival time and are inside the scroll range like any other received bytes.
  port.fail = false;
  port.q.clear();
  port.Push(70000);
  port.failAtRead = 2;
  EXPECT_THROW(s.ComPortRxChar(70000), std::runtime_error);
  const uint32_t end = 10 + ReceiveStagingSize;
  EXPECT_EQ(s.Store.WriteIndex(), end);
  const TimeIndex& t = s.Store.Times;
  ASSERT_EQ(t.BatchCount(), 2u);
  EXPECT_EQ(t.Batch(1).Position, 10u);
  EXPECT_EQ(t.Batch(1).Count, ReceiveStagingSize);
  EXPECT_EQ(s.Store.View.ScrollBarExch().Max(), end / 32);
  EXPECT_EQ(s.Store.View.TopRow(), end / 32 - 14) << "Autoscroll followed them";
}

TEST_F(SessionTest, SpeedLabelEveryEleventhTick) {
  for (int t = 1; t <= 11; ++t) s.TimerMainTimer();
  EXPECT_TRUE(ui.speedTexts.empty());
  s.TimerMainTimer();  // 12th tick after start
  ASSERT_EQ(ui.speedTexts.size(), 1u);
  EXPECT_EQ(ui.speedTexts[0], "0 Bps");
  Receive(1000);
  for (int t = 0; t < 11; ++t) s.TimerMainTimer();
  ASSERT_EQ(ui.speedTexts.size(), 2u);
  EXPECT_EQ(ui.speedTexts[1], "1000 Bps");
  EXPECT_EQ(s.Store.RxBytesSinceTick, 0u);
}

TEST_F(SessionTest, MessagesHideAfter32Or12Ticks) {
  s.ShowMessage("saved", SuccessColour, 0);
  for (int t = 1; t < 32; ++t) s.TimerMainTimer();
  EXPECT_EQ(ui.hides, 0);
  s.TimerMainTimer();
  EXPECT_EQ(ui.hides, 1);
  s.ShowMessage("busy", ErrorColour, 20);
  for (int t = 1; t < 12; ++t) s.TimerMainTimer();
  EXPECT_EQ(ui.hides, 1);
  s.TimerMainTimer();
  EXPECT_EQ(ui.hides, 2);
}

TEST_F(SessionTest, TickRedrawsAfterReceivedDataOnlyAndThenMirrorsTheScrollBarOnce) {
  int mirrors = 0;
  s.Store.View.ScrollBarExch().OnMirror = [&] { ++mirrors; };
  s.TimerMainTimer();
  EXPECT_EQ(ui.exchangeDraws, 0);
  Receive(300);
  Receive(300);
  EXPECT_EQ(mirrors, 0);  // the bar on screen follows at the tick
  s.TimerMainTimer();
  EXPECT_EQ(mirrors, 1);
  EXPECT_EQ(s.Store.View.ScrollBarExch().Max(), 600u / 32);
  EXPECT_EQ(ui.exchangeDraws, 1);
  EXPECT_EQ(ui.miniMapDraws, 1);
  EXPECT_EQ(ui.finds, 0);
  s.TimerMainTimer();  // nothing new: no frame
  EXPECT_EQ(ui.exchangeDraws, 1);
  EXPECT_EQ(mirrors, 1);
  s.Store.View.MoveBar(3);  // any other change is mirrored at once
  EXPECT_EQ(mirrors, 2);
  s.Store.SearchOpen = 1;
  s.TimerMainTimer();
  EXPECT_EQ(ui.finds, 1);
}

// Bytes that arrive when the ring is full stay queued, and the rollover takes them at once.
TEST_F(SessionTest, FullRingRolloverLosesNothing) {
  ui.autosave = true;
  StoreFields(s.Store).WriteIndex = CaptureSize - 4;
  Receive(10, 100);
  EXPECT_EQ(s.Store.CaptureFull(), 1);
  EXPECT_EQ(s.Store.WriteIndex(), CaptureSize);
  EXPECT_EQ(port.q.size(), 6u);
  EXPECT_EQ(s.Store.CaptureBuffer[CaptureLast], 103);
  port.Push(2, 110);
  s.ComPortRxChar(8);  // a new event while full reads nothing
  EXPECT_EQ(port.q.size(), 8u);
  s.TimerMainTimer();
  EXPECT_EQ(ui.saves, 1);
  EXPECT_EQ(s.Store.CaptureFull(), 0);
  EXPECT_EQ(s.Store.WriteIndex(), 8u);
  EXPECT_TRUE(port.q.empty());
  for (int i = 0; i < 8; ++i) EXPECT_EQ(s.Store.CaptureBuffer[i], 104 + i);
}

TEST_F(SessionTest, RolloverWithoutAutosaveClearsWithoutSavingAndSaysSo) {
  StoreFields(s.Store).WriteIndex = CaptureSize - 1;
  Receive(1);
  s.TimerMainTimer();
  EXPECT_EQ(ui.saves, 0);
  EXPECT_EQ(s.Store.CaptureFull(), 0);
  EXPECT_EQ(s.Store.CaptureBuffer[CaptureLast], 0);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "Capture full: 32 MiB cleared, not saved");
  EXPECT_EQ(ui.messages[0].rgb, ErrorColour);

  // A ring the operator saved in full loses nothing when it is cleared: nothing to say.
  StoreFields(s.Store).WriteIndex = CaptureSize - 1;
  Receive(1);
  s.Store.MarkSaved(CaptureSize);
  s.TimerMainTimer();
  EXPECT_EQ(s.Store.CaptureFull(), 0);
  EXPECT_EQ(ui.messages.size(), 1u);
  // Nor does one that Autosave saved.
  ui.autosave = true;
  StoreFields(s.Store).WriteIndex = CaptureSize - 1;
  Receive(1);
  s.TimerMainTimer();
  EXPECT_EQ(ui.saves, 1);
  EXPECT_EQ(ui.messages.size(), 1u);
}

// "Blocked" is a full ring whose autosave failed. It keeps every byte (no send overwrites it,
// unchecking Autosave does not discard it), says so until it is resolved, retries quietly, and
// goes on by itself once saving works again, taking what waited in the queue.
TEST_F(SessionTest, BlockedRolloverKeepsTheRingSaysSoAndGoesOnOnceSavingWorks) {
  ui.autosave = true;
  saveOk = false;
  StoreFields(s.Store).WriteIndex = CaptureSize - 1;
  Receive(1, 42);
  s.TimerMainTimer();
  ASSERT_EQ(s.RolloverBlocked, 1);
  ASSERT_FALSE(ui.messages.empty());
  EXPECT_EQ(ui.messages.back().text, "Capture full, not saved: No space left on device");

  EXPECT_EQ(s.Store.CaptureBuffer[CaptureLast], 42);

  ui.autosave = false;  // the operator unchecks Autosave: still nothing is discarded
  for (int t = 0; t < 120; ++t) s.TimerMainTimer();
  EXPECT_EQ(s.Store.CaptureFull(), 1);
  EXPECT_EQ(ui.hides, 0) << "the panel keeps saying the ring waits";
  EXPECT_EQ(ui.messages.back().text, "Capture full, not saved: No space left on device");
  EXPECT_EQ(ui.saves, 1) << "the tick retries only while Autosave is checked";

  ui.autosave = true;
  port.Push(3, 7);
  for (int t = 0; t < Session::AutosaveRetryTicks - 1; ++t) s.TimerMainTimer();
  EXPECT_EQ(ui.saves, 1);
  EXPECT_EQ(s.Store.CaptureFull(), 1);
  s.TimerMainTimer();
  EXPECT_EQ(ui.saves, 2) << "one quiet retry every AutosaveRetryTicks";

  saveOk = true;  // room on the disk again
  for (int t = 0; t < Session::AutosaveRetryTicks; ++t) s.TimerMainTimer();
  EXPECT_EQ(ui.saves, 3);
  EXPECT_EQ(s.RolloverBlocked, 0);
  EXPECT_EQ(s.Store.WriteIndex(), 3u) << "the queued bytes came in after the clear";
  EXPECT_EQ(s.Store.CaptureBuffer[0], 7);
}

// A read that fails while the tick takes the queued bytes (after a rollover, or after a save
// released a blocked one) is a device failure: the port is told, the tick and the program go on,
// the capture keeps what it had.
TEST_F(SessionTest, FailingReadOfQueuedBytesIsAPortFailureNotAnEscapingException) {
  ui.autosave = true;
  StoreFields(s.Store).WriteIndex = CaptureSize - 2;
  Receive(6);
  port.fail = true;
  EXPECT_NO_THROW(s.TimerMainTimer());
  EXPECT_EQ(port.failures, 1);
  EXPECT_EQ(ui.saves, 1);
  EXPECT_EQ(s.Store.WriteIndex(), 0u);
  EXPECT_FALSE(s.PortConnected) << "the port closed: nothing may go on as if it were open";
  s.PortConnected = true;  // the operator connects again

  saveOk = false;
  port.fail = false;
  Receive(CaptureSize);
  s.TimerMainTimer();
  ASSERT_EQ(s.RolloverBlocked, 1);
  s.Store.MarkSaved(CaptureSize);
  port.fail = true;
  EXPECT_NO_THROW(s.TimerMainTimer());
  EXPECT_EQ(port.failures, 2);
  s.PortConnected = true;

  port.fail = false;
  saveOk = true;
  Receive(CaptureSize + 1);
  port.failCount = true;  // asking how much is queued fails too
  EXPECT_NO_THROW(s.TimerMainTimer());
  EXPECT_EQ(port.failures, 3);
}

// Clear (or Open) of a full ring: what waited in the queue comes in at the next tick, not only
// with a receive event that may never come while the peer waits for the line.
TEST_F(SessionTest, QueuedBytesComeInAfterAFullRingIsCleared) {
  StoreFields(s.Store).WriteIndex = CaptureSize - 1;
  Receive(4, 20);
  ASSERT_EQ(s.Store.CaptureFull(), 1);
  s.ClearFull();
  s.TimerMainTimer();
  EXPECT_EQ(s.Store.WriteIndex(), 3u);
  EXPECT_EQ(s.Store.CaptureBuffer[0], 21);
}

// A send that would wrap, with Autosave on, saves first; when that fails the send is refused,
// but nothing is blocked: the ring is not full, and when it fills it rolls over as usual.
TEST_F(SessionTest, FailedSaveBeforeAWrappingSendRefusesItWithoutBlocking) {
  ui.autosave = true;
  saveOk = false;
  StoreFields(s.Store).WriteIndex = CaptureSize - 2;
  EXPECT_FALSE(s.MakeRoomForSend(3));
  EXPECT_EQ(s.RolloverBlocked, 0);
  EXPECT_EQ(s.Store.WriteIndex(), CaptureSize - 2);
  EXPECT_EQ(ui.messages.back().text, "Not sent, capture not saved: No space left on device");
  saveOk = true;
  Receive(4, 1);
  ASSERT_EQ(s.Store.CaptureFull(), 1);
  s.TimerMainTimer();
  EXPECT_EQ(ui.saves, 2);
  EXPECT_EQ(s.Store.CaptureFull(), 0);
  EXPECT_EQ(s.Store.WriteIndex(), 2u);
}

TEST_F(SessionTest, ClearWithSearchOpenResetsStepsAndReruns) {
  s.Store.SearchOpen = 1;
  s.Store.SearchHitNumber = 5;
  s.Store.SearchHitState = CurrentMatch::Chosen;
  s.ClearFull();
  EXPECT_EQ(ui.finds, 1);
  EXPECT_EQ(s.Store.SearchHitNumber, 0u);
  EXPECT_EQ(s.Store.SearchHitState, CurrentMatch::NotChosen);
  EXPECT_EQ(ui.exchangeDraws, 1);
}

TEST_F(SessionTest, KeyboardMap) {
  const KeyModifiers none, ctrl{true, false, false}, ctrlShift{true, true, false};
  EXPECT_EQ(s.MapKey(Key::F2, none, false), KeyAction::None);
  EXPECT_EQ(s.MapKey(Key::Escape, none, false), KeyAction::None);
  EXPECT_EQ(s.MapKey(Key::F, ctrl, true), KeyAction::FindToggle);
  EXPECT_EQ(s.MapKey(Key::F, ctrlShift, false), KeyAction::None);
  EXPECT_EQ(s.MapKey(Key::S, ctrl, false), KeyAction::Save);
  EXPECT_EQ(s.MapKey(Key::O, ctrl, false), KeyAction::Open);
  EXPECT_EQ(s.MapKey(Key::Up, none, true), KeyAction::HistoryUp);
  EXPECT_EQ(s.MapKey(Key::Up, none, false), KeyAction::None);
  s.Store.SearchOpen = 1;
  EXPECT_EQ(s.MapKey(Key::F2, none, false), KeyAction::FindPrevious);
  EXPECT_EQ(s.MapKey(Key::F3, ctrl, true), KeyAction::FindNext);
  EXPECT_EQ(s.MapKey(Key::Escape, none, true), KeyAction::FindClose);
}

}  // namespace
}  // namespace quarlex

namespace quarlex {
namespace {

TEST_F(SessionTest, SendIntoAFullRingRollsOverFirst) {
  ui.autosave = true;
  StoreFields(s.Store).WriteIndex = CaptureSize - 2;
  Receive(2, 9);
  ASSERT_EQ(s.Store.CaptureFull(), 1);
  EXPECT_TRUE(s.MakeRoomForSend(3));
  EXPECT_EQ(ui.saves, 1) << "the full ring is saved before sent bytes could overwrite it";
  EXPECT_EQ(s.Store.CaptureFull(), 0);
  EXPECT_EQ(s.Store.WriteIndex(), 0u);
}

TEST_F(SessionTest, SendThatWouldWrapRollsOverOnlyWithAutosave) {
  StoreFields(s.Store).WriteIndex = CaptureSize - 2;
  EXPECT_TRUE(s.MakeRoomForSend(3));
  EXPECT_EQ(s.Store.WriteIndex(), CaptureSize - 2) << "without Autosave the ring simply wraps";
  ui.autosave = true;
  EXPECT_TRUE(s.MakeRoomForSend(1));
  EXPECT_EQ(ui.saves, 0) << "what ends before the last slot needs no rollover";
  // A send ending on the last slot wraps the write position to 0 without filling the ring: the
  // ring would look empty, and the next bytes would overwrite it unsaved.
  EXPECT_TRUE(s.MakeRoomForSend(2));
  EXPECT_EQ(ui.saves, 1);
  EXPECT_EQ(s.Store.WriteIndex(), 0u);
  StoreFields(s.Store).WriteIndex = CaptureSize - 2;
  EXPECT_TRUE(s.MakeRoomForSend(3));
  EXPECT_EQ(ui.saves, 2);
  EXPECT_EQ(s.Store.WriteIndex(), 0u);
}

// A recorder that keeps what it was handed; its files are the pieces between rings.
struct FakeRecorder : CaptureRecorder {
  std::vector<std::vector<uint8_t>> files{{}};
  std::string trouble;
  void Record(const uint8_t* ring, uint32_t from, size_t count) override {
    files.back().insert(files.back().end(), ring + from, ring + from + count);
  }
  std::string NextRing() override {
    files.emplace_back();
    return {};
  }
  void CatchUp() override {}
  std::string Trouble() override { return trouble; }
  void BatchAdded(uint32_t, uint32_t, Direction, int64_t) override {}
  void EventsAdded(uint32_t, LineEvents, int64_t) override {}
};

// With Record on every byte the ring takes, received or sent (also a send that wraps), reaches
// the recorder in capture order; a full ring rolls over without a save into a new file, except
// while the recording fails: then the ring is kept and the panel says what is not on disk, until
// the recording catches up. Bytes from before Record was turned on are saved the usual way.
TEST_F(SessionTest, RecordTakesEveryCapturedByteAndRollsOverIntoANewFile) {
  FakeRecorder rec;
  s.SetRecorder(&rec);
  Receive(5, 10);
  const uint8_t sent[] = {0xA0, 0xA1};
  const uint32_t from = s.Store.WriteIndex();
  for (uint8_t b : sent) s.Store.AppendSent(b);
  s.RecordSent(from, 2);
  Receive(3, 20);
  ASSERT_EQ(rec.files.size(), 1u);
  EXPECT_EQ(rec.files[0], (std::vector<uint8_t>{10, 11, 12, 13, 14, 0xA0, 0xA1, 20, 21, 22}));

  // The ring fills: no save, a new file, the ring cleared and the queued bytes taken.
  StoreFields(s.Store).WriteIndex = CaptureSize - 2;
  Receive(4, 30);
  s.TimerMainTimer();
  EXPECT_EQ(ui.saves, 0);
  ASSERT_EQ(rec.files.size(), 2u);
  EXPECT_EQ(rec.files[0].size(), 12u);
  EXPECT_EQ(rec.files[1], (std::vector<uint8_t>{32, 33}));
  EXPECT_EQ(s.Store.WriteIndex(), 2u);
  EXPECT_TRUE(ui.messages.empty()) << "nothing was lost: " << ui.messages.back().text;

  // The disk fails: the panel says so, and a full ring waits for the recording to catch up.
  rec.trouble = "Recording: 6 bytes not on disk (No space left on device)";
  s.TimerMainTimer();
  ASSERT_FALSE(ui.messages.empty());
  EXPECT_EQ(ui.messages.back().text, rec.trouble);
  EXPECT_FALSE(s.MakeRoomForSend(CaptureSize)) << "a wrapping send would clear bytes not on disk";
  StoreFields(s.Store).WriteIndex = CaptureSize - 1;
  Receive(3, 40);
  for (int t = 0; t < 3; ++t) s.TimerMainTimer();
  EXPECT_EQ(s.RolloverBlocked, 1);
  EXPECT_EQ(s.Store.CaptureFull(), 1);
  EXPECT_EQ(s.Store.CaptureBuffer[CaptureLast], 40);
  EXPECT_EQ(ui.messages.back().text, "Capture full, not saved: " + rec.trouble);
  EXPECT_EQ(rec.files.size(), 2u);
  rec.trouble.clear();
  s.TimerMainTimer();
  EXPECT_EQ(s.RolloverBlocked, 0);
  ASSERT_EQ(rec.files.size(), 3u);
  EXPECT_EQ(rec.files[2], (std::vector<uint8_t>{41, 42}));
  EXPECT_EQ(ui.saves, 0);

  // A wrapping send starts a new ring and file too.
  StoreFields(s.Store).WriteIndex = CaptureSize - 2;
  EXPECT_TRUE(s.MakeRoomForSend(3));
  EXPECT_EQ(s.Store.WriteIndex(), 0u);
  EXPECT_EQ(rec.files.size(), 4u);

  // Record off: nothing more reaches the recorder.
  s.SetRecorder(nullptr);
  Receive(2);
  EXPECT_TRUE(rec.files[3].empty());

  // Turned on in the middle of a ring: that ring is autosaved as before, the next one recorded.
  Receive(2);
  s.SetRecorder(&rec);
  ui.autosave = true;
  StoreFields(s.Store).WriteIndex = CaptureSize - 1;
  Receive(2, 50);
  s.TimerMainTimer();
  EXPECT_EQ(ui.saves, 1);
  EXPECT_EQ(rec.files.back(), (std::vector<uint8_t>{51}));
}

}  // namespace
}  // namespace quarlex

namespace quarlex {
namespace {

struct FakeClock : Clock {
  int64_t mono = 500, wall = 1'700'000'000'000'000'000;
  int64_t MonotonicNs() override { return mono; }
  int64_t WallNs() override { return wall; }
};

struct TimedSessionTest : ::testing::Test {
  testing::FakeSessionUi ui;
  FakeQueue port;
  FakeClock clock;
  Session s{ui, clock};
  void SetUp() override {
    s.Port = &port;
    s.PortConnected = true;
    s.Connected();
  }
};

TEST_F(TimedSessionTest, BatchesAndSendsAreTimedFromTheConnectAndFollowTheRing) {
  const int64_t t0 = clock.wall;
  clock.mono += 7;
  port.Push(70000);
  s.ComPortRxChar(70000);           // read in two passes, recorded as the one batch it was
  clock.wall -= 3'600'000'000'000;  // the wall clock is stepped back: gaps stay exact
  clock.mono += 12'400'000;
  const uint32_t from = s.Store.WriteIndex();
  for (uint8_t b : {1, 2, 3}) s.Store.AppendSent(b);
  s.RecordSent(from, 3);
  const TimeIndex& t = s.Store.Times;
  ASSERT_EQ(t.BatchCount(), 2u);
  EXPECT_EQ(t.Batch(0), (TimedBatch{t0 + 7, 0, 70000, Direction::Received, false}));
  EXPECT_EQ(t.Batch(1), (TimedBatch{t0 + 12'400'007, 70000, 3, Direction::Sent, false}));
  // A send that wraps the ring is recorded in two parts.
  StoreFields(s.Store).WriteIndex = CaptureSize - 1;
  s.Store.AppendSent(4);
  s.Store.AppendSent(5);
  s.RecordSent(CaptureSize - 1, 2);
  EXPECT_EQ(t.Batch(*t.BatchAt(0)).Count, 1u);
  EXPECT_EQ(t.Batch(*t.BatchAt(CaptureSize - 1)).Dir, Direction::Sent);
  s.ClearFull();
  EXPECT_EQ(t.BatchCount(), 0u);
}

// The index says when the device read each piece from the line, not when the session got it.
TEST_F(TimedSessionTest, ReceivedPiecesKeepTheTimesTheDeviceReadThemAt) {
  const int64_t wall = clock.wall;  // at connect, with the monotonic clock at 500
  port.PushTimed(5, 1'000);
  port.PushTimed(3, 2'500);
  port.PushTimed(70000, 9'000);  // read in two staging passes: still one piece, one entry
  clock.mono = 50'000'000;       // the event reaches the session much later
  s.ComPortRxChar(70008);
  const TimeIndex& t = s.Store.Times;
  ASSERT_EQ(t.BatchCount(), 3u);
  EXPECT_EQ(t.Batch(0), (TimedBatch{wall + 500, 0, 5, Direction::Received, false}));
  EXPECT_EQ(t.Batch(1), (TimedBatch{wall + 2'000, 5, 3, Direction::Received, false}));
  EXPECT_EQ(t.Batch(2), (TimedBatch{wall + 8'500, 8, 70000, Direction::Received, false}));
  // A ring with room for only part of a piece: the part taken is recorded, the rest waits with
  // its time for the rollover.
  s.ClearFull();
  StoreFields(s.Store).WriteIndex = CaptureSize - 4;
  port.PushTimed(10, 60'000'000);
  s.ComPortRxChar(10);
  ASSERT_EQ(t.BatchCount(), 1u);
  EXPECT_EQ(t.Batch(0), (TimedBatch{wall + 59'999'500, CaptureSize - 4, 4, Direction::Received, false}));
  s.ClearFull();
  s.ComPortRxChar(port.q.size());
  ASSERT_EQ(t.BatchCount(), 1u);
  EXPECT_EQ(t.Batch(0), (TimedBatch{wall + 59'999'500, 0, 6, Direction::Received, false}));
}

TEST_F(TimedSessionTest, LineEventsAreCountedRecordedWhereTheyHappenedAndShownBriefly) {
  port.Push(4);
  s.ComPortRxChar(4);
  s.LineEventsReported(LineEvent::Framing | LineEvent::Break);
  s.LineEventsReported(Bits(LineEvent::Framing));
  EXPECT_EQ(ui.messages.back().text, "Line: framing error");
  EXPECT_EQ(s.MessageTicks, 0) << "an error stays up as long as other failures";
  // Modem lines: the state the port reports as it opens is no change, nor is a repeated state.
  EXPECT_FALSE(s.LineEventsReported(Bits(LineEvent::Dcd)));
  EXPECT_TRUE(s.LineEventsReported(LineEvent::Dcd | LineEvent::DcdOn));
  EXPECT_FALSE(s.LineEventsReported(LineEvent::Dcd | LineEvent::DcdOn));
  EXPECT_EQ(ui.messages.back().text, "Line: DCD on");
  EXPECT_EQ(s.MessageTicks, 20);
  EXPECT_EQ(LineEventCountsText(s.LineCounts()),
            "Line events: 2 framing errors, 1 break, 1 modem-line change");
  ASSERT_EQ(s.Store.Times.EventCount(), 3u);
  EXPECT_EQ(s.Store.Times.Event(0).Position, 4u);
  s.RolloverBlocked = 1;
  s.LineEventsReported(Bits(LineEvent::Overrun));
  EXPECT_EQ(ui.messages.size(), 3u) << "the panel keeps saying the ring waits for a save";
  s.Connected();
  EXPECT_EQ(LineEventCountsText(s.LineCounts()), "Line events: none");
}

}  // namespace
}  // namespace quarlex
