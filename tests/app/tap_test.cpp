#include "app/tap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "app/session.h"
#include "app/tap_capture.h"
#include "tests/app/support/fake_session_ui.h"
#include "tests/app/support/store_fields.h"

namespace quarlex {
namespace {

constexpr int64_t Hold = TapMerger::DefaultHoldBackNs;
constexpr TapSide A = TapSide::A;
constexpr TapSide B = TapSide::B;

struct Out {
  TapSide side;
  std::string bytes;
  int64_t timeNs;
  bool operator==(const Out&) const = default;
};

// Collects what the merger releases; takes at most `room` bytes when room is set.
struct Capture {
  std::vector<Out> out;
  size_t room = SIZE_MAX;
  size_t Release(TapMerger& m, int64_t now) {
    return m.Release(now, [this](TapSide side, const uint8_t* data, size_t count, int64_t t) {
      const size_t n = std::min(count, room);
      room -= n;
      if (n > 0) out.push_back({side, std::string(reinterpret_cast<const char*>(data), n), t});
      return n;
    });
  }
};

void Add(TapMerger& m, TapSide side, const std::string& bytes, int64_t t) {
  m.Add(side, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), t);
}

TEST(TapMerger, ReleasesInReadOrderWhateverOrderTheHandOversCameIn) {
  TapMerger m;
  Capture c;
  // A's event hands over two pieces before B's event hands over its two.
  Add(m, A, "q1", 10);
  Add(m, A, "q2", 30);
  EXPECT_EQ(c.Release(m, 31), 0u);  // B may still hold something older
  Add(m, B, "r1", 20);
  Add(m, B, "r2", 40);
  EXPECT_EQ(c.Release(m, 41), 6u);
  EXPECT_EQ(c.out, (std::vector<Out>{{A, "q1", 10}, {B, "r1", 20}, {A, "q2", 30}}));
  // B's newest waits for word of A past it: the hold-back, or A heard beyond it.
  EXPECT_EQ(m.Pending(B), 2u);
  EXPECT_EQ(c.Release(m, 40 + Hold - 1), 0u);
  m.Heard(A, 41);
  EXPECT_EQ(c.Release(m, 42), 2u);
  EXPECT_EQ(c.out.back(), (Out{B, "r2", 40}));
  EXPECT_EQ(m.Pending(), 0u);
  EXPECT_EQ(m.LatePieces(), 0u);
}

TEST(TapMerger, EqualTimesPutAFirst) {
  TapMerger m;
  Capture c;
  Add(m, B, "b", 100);
  Add(m, A, "a", 100);
  c.Release(m, 101);
  ASSERT_EQ(c.out.size(), 1u);
  EXPECT_EQ(c.out[0], (Out{A, "a", 100}));
  // A may still deliver another piece read at 100 (pieces close together share a time), which
  // belongs before B's: B waits until A is known to be past it.
  m.Heard(A, 100);
  EXPECT_EQ(c.Release(m, 101), 0u);
  Add(m, A, "A", 100);
  c.Release(m, 101);
  m.Heard(A, 101);
  c.Release(m, 102);
  EXPECT_EQ(c.out, (std::vector<Out>{{A, "a", 100}, {A, "A", 100}, {B, "b", 100}}));

  // The other way round A goes as soon as B is known up to its own time.
  TapMerger n;
  Capture d;
  Add(n, A, "a", 5);
  n.Heard(B, 5);
  EXPECT_EQ(d.Release(n, 6), 1u);
}

TEST(TapMerger, OneSilentSideHoldsTheOtherOnlyForTheHoldBack) {
  TapMerger m;
  Capture c;
  Add(m, A, "x", 1000);
  Add(m, A, "y", 2000);
  EXPECT_EQ(c.Release(m, 1000 + Hold - 1), 0u);
  EXPECT_EQ(c.Release(m, 1000 + Hold), 1u);
  EXPECT_EQ(c.Release(m, 2000 + Hold), 1u);
  EXPECT_EQ(c.out, (std::vector<Out>{{A, "x", 1000}, {A, "y", 2000}}));

  // A side that is closed or gone is not waited for at all, until it delivers again.
  Add(m, A, "z", 3000);
  m.SetSilent(B, true);
  EXPECT_EQ(c.Release(m, 3000), 1u);
  Add(m, B, "w", 4000);
  Add(m, A, "v", 5000);
  EXPECT_EQ(c.Release(m, 5000), 1u);  // B's piece: A is past it; A's own waits for B again
  EXPECT_EQ(m.Pending(A), 1u);
}

TEST(TapMerger, APieceLaterThanTheHoldBackIsPlacedAtOnceNotDropped) {
  TapMerger m;
  Capture c;
  Add(m, A, "req", 10);
  c.Release(m, 10 + Hold);
  // B's answer read before A's request reaches the merger only now (its port was held up).
  Add(m, B, "old", 5);
  EXPECT_EQ(c.Release(m, 11 + Hold), 3u);
  EXPECT_EQ(c.out, (std::vector<Out>{{A, "req", 10}, {B, "old", 5}}));  // its own read time kept
  EXPECT_EQ(m.LatePieces(), 1u);
}

TEST(TapMerger, APieceTheSinkTakesInPartWaitsFirstInLine) {
  TapMerger m;
  Capture c;
  Add(m, A, "abcd", 1);
  Add(m, B, "ef", 2);
  m.Heard(A, 3);
  c.room = 3;  // a ring with room for three bytes
  EXPECT_EQ(c.Release(m, 3), 3u);
  EXPECT_EQ(m.Pending(), 3u);
  c.room = SIZE_MAX;
  EXPECT_EQ(c.Release(m, 3), 3u);
  EXPECT_EQ(c.out, (std::vector<Out>{{A, "abc", 1}, {A, "d", 1}, {B, "ef", 2}}));
  EXPECT_EQ(m.LatePieces(), 0u);  // the rest of a piece is not late
}

TEST(TapMerger, OnePortsPiecesKeepTheirOrderEvenWhenATimeGoesBack) {
  TapMerger m;
  Capture c;
  Add(m, A, "1", 50);
  Add(m, A, "2", 40);  // taken as read at 50
  m.SetSilent(B, true);
  c.Release(m, 50);
  EXPECT_EQ(c.out, (std::vector<Out>{{A, "12", 50}}));
}

// Two streams handed over in random batches, released as the window would between them: every
// byte comes out once, in time order (A first on ties), with each side's bytes in order.
TEST(TapMerger, RandomHandOversComeOutInTimeOrder) {
  std::mt19937 rng(29);
  for (int round = 0; round < 200; ++round) {
    struct Piece {
      TapSide side;
      std::string bytes;
      int64_t t;
    };
    std::vector<Piece> sides[2];
    for (int s = 0; s < 2; ++s) {
      int64_t t = 0;
      for (int i = 0, n = 1 + static_cast<int>(rng() % 30); i < n; ++i) {
        t += static_cast<int64_t>(rng() % 3) * 1000;  // equal times too
        sides[s].push_back(
            {static_cast<TapSide>(s), std::string(1 + rng() % 4, static_cast<char>('a' + i % 26)), t});
      }
    }
    TapMerger m(20'000);
    Capture c;
    size_t next[2] = {0, 0};
    while (next[0] < sides[0].size() || next[1] < sides[1].size()) {
      // One side's event: a few of its pieces, then the side is heard up to its newest one.
      int s = static_cast<int>(rng() % 2);
      if (next[s] == sides[s].size()) s = 1 - s;
      int64_t newest = 0;
      for (size_t k = 1 + rng() % 3; k > 0 && next[s] < sides[s].size(); --k, ++next[s]) {
        const Piece& p = sides[s][next[s]];
        Add(m, p.side, p.bytes, p.t);
        newest = p.t;
      }
      if (rng() % 2) m.Heard(static_cast<TapSide>(s), newest);
      // The clock stays below the hold-back past any undelivered piece.
      c.Release(m, 0);
    }
    m.SetSilent(A, true);
    m.SetSilent(B, true);
    c.Release(m, 0);
    std::vector<std::tuple<int64_t, int, std::string>> want;
    for (int s = 0; s < 2; ++s)
      for (const Piece& p : sides[s]) want.emplace_back(p.t, s, p.bytes);
    std::stable_sort(want.begin(), want.end(), [](const auto& x, const auto& y) {
      return std::tie(std::get<0>(x), std::get<1>(x)) < std::tie(std::get<0>(y), std::get<1>(y));
    });
    std::string wantBytes, gotBytes;
    for (const auto& [t, s, bytes] : want) wantBytes += std::to_string(s) + bytes;
    for (const Out& o : c.out) gotBytes += std::to_string(static_cast<int>(o.side)) + o.bytes;
    // Neighbouring pieces of one side and time come out as one: compare byte by byte with sides.
    auto expand = [](const std::string& tagged) {
      std::string r;
      char side = '0';
      for (char ch : tagged) {
        if (ch == '0' || ch == '1') {
          side = ch;
        } else {
          r += side;
          r += ch;
        }
      }
      return r;
    };
    ASSERT_EQ(expand(gotBytes), expand(wantBytes)) << "round " << round;
    EXPECT_EQ(m.LatePieces(), 0u);
  }
}

struct FakeClock : Clock {
  int64_t mono = 0, wall = 1'700'000'000'000'000'000;
  int64_t MonotonicNs() override { return mono; }
  int64_t WallNs() override { return wall; }
};

// One port's input queue: pieces with the time its device read them.
struct TimedQueue : ReceiveSource {
  std::deque<std::pair<std::string, int64_t>> pieces;
  bool fail = false;
  int failures = 0;
  void Push(const std::string& bytes, int64_t t) { pieces.emplace_back(bytes, t); }
  void ReadQueued(uint8_t* buf, size_t n, ReceivedChunks& chunks) override {
    chunks.clear();
    if (fail) throw std::runtime_error("read failed");
    for (size_t done = 0; done < n;) {
      if (pieces.empty()) throw std::logic_error("read past the queue");
      auto& [bytes, t] = pieces.front();
      const size_t k = std::min(bytes.size(), n - done);
      chunks.push_back({done, t});
      std::memcpy(buf + done, bytes.data(), k);
      done += k;
      bytes.erase(0, k);
      if (bytes.empty()) pieces.pop_front();
    }
  }
  size_t QueuedCount() override {
    size_t n = 0;
    for (const auto& p : pieces) n += p.first.size();
    return n;
  }
  void ReadFailed(std::exception_ptr) override { ++failures; }
};

constexpr int64_t Ms = 1'000'000;

struct TapCaptureTest : ::testing::Test {
  testing::FakeSessionUi ui;
  FakeClock clock;
  Session s{ui, clock};
  TimedQueue a, b;
  TapCapture tap{s, clock, "Port 5", "Port 7"};
  void SetUp() override {
    s.Port = &a;
    s.Tap = &tap;
    s.PortConnected = true;
    s.Connected();
    tap.SetSource(A, &a);
    tap.SetSource(B, &b);
  }
  // The capture as text, B's bytes (the sent bit) in brackets.
  std::string Captured() const {
    std::string text;
    for (uint32_t i = 0; i < s.Store.WriteIndex(); ++i) {
      const bool sent = s.Store.CaptureAttributes[i] & AttrSent;
      text += sent ? "[" : "";
      text += static_cast<char>(s.Store.CaptureBuffer[i]);
      text += sent ? "]" : "";
    }
    return text;
  }
};

TEST_F(TapCaptureTest, BothPortsLandInReadOrderWithTheirDirectionsAndTimes) {
  a.Push("Q", 10 * Ms);
  a.Push("q", 30 * Ms);
  b.Push("R", 20 * Ms);
  b.Push("r", 40 * Ms);
  clock.mono = 41 * Ms;
  s.ComPortRxChar(2);  // A's event: B's queue is taken too
  // The newest piece waits: A was heard only up to the pass's start less the slack.
  EXPECT_EQ(Captured(), "Q[R]q");
  clock.mono = 43 * Ms;
  s.TimerMainTimer();
  EXPECT_EQ(Captured(), "Q[R]q[r]");
  EXPECT_EQ(s.Store.RxBytesSinceTick, 4u);
  const TimeIndex& t = s.Store.Times;
  ASSERT_EQ(t.BatchCount(), 4u);
  const int64_t at0 = s.ArrivalTimeOf(0);
  EXPECT_EQ(t.Batch(1), (TimedBatch{at0 + 20 * Ms, 1, 1, Direction::Sent}));
  EXPECT_EQ(t.Batch(2), (TimedBatch{at0 + 30 * Ms, 2, 1, Direction::Received}));
  EXPECT_EQ(*t.PreviousOtherDirection(3), 2u);  // "answer after" measures from A's last batch
}

TEST_F(TapCaptureTest, BsBytesStopAtTheEndOfTheRingInsteadOfWrapping) {
  StoreFields(s.Store).WriteIndex = CaptureSize - 3;
  b.Push("abcde", 1 * Ms);
  clock.mono = 10 * Ms;
  s.ComPortRxChar(5);
  EXPECT_EQ(s.Store.WriteIndex(), CaptureSize);
  EXPECT_EQ(s.Store.CaptureFull(), 1);
  EXPECT_EQ(s.Store.CaptureBuffer[CaptureLast], 'c');
  EXPECT_EQ(s.Store.CaptureAttributes[0], 0) << "nothing wrapped over the ring's start";
  // The rest waits in the port's queue, and comes after the rollover (no Autosave here: the
  // full ring is cleared).
  EXPECT_EQ(b.QueuedCount(), 2u);
  s.TimerMainTimer();
  EXPECT_EQ(Captured(), "[d][e]");
}

TEST_F(TapCaptureTest, ALostPortLeavesTheOtherRecording) {
  a.Push("1", 1 * Ms);
  b.fail = true;
  b.Push("x", 2 * Ms);
  clock.mono = 10 * Ms;
  s.ComPortRxChar(1);
  EXPECT_EQ(b.failures, 1);
  EXPECT_FALSE(tap.Open(B));
  ASSERT_FALSE(ui.messages.empty());
  EXPECT_EQ(ui.messages.back().text, "Port 7 lost; Port 5 keeps recording");
  ASSERT_EQ(s.Store.Times.EventCount(), 1u);
  EXPECT_TRUE(Has(s.Store.Times.Event(0).Events, LineEvent::Disconnect));
  // A is not held back for the lost side, and a second loss report says nothing more.
  a.Push("2", 11 * Ms);
  clock.mono = 11 * Ms;
  s.ComPortRxChar(1);
  EXPECT_EQ(Captured(), "12");
  tap.Lost(B);
  EXPECT_EQ(ui.messages.size(), 1u);
  // Back again (Reconnect), into the same capture.
  b.fail = false;
  tap.SetSource(B, &b);
  b.pieces.clear();
  b.Push("y", 12 * Ms);
  a.Push("3", 13 * Ms);
  clock.mono = 20 * Ms;
  s.ComPortRxChar(1);
  EXPECT_EQ(Captured(), "12[y]3");
}

TEST_F(TapCaptureTest, ASendIsRefusedWhileTapping) {
  EXPECT_FALSE(s.MakeRoomForSend(4));
  ASSERT_FALSE(ui.messages.empty());
  EXPECT_EQ(ui.messages.back().text, TapSendRefused);
  s.Tap = nullptr;
  EXPECT_TRUE(s.MakeRoomForSend(4));
}

}  // namespace
}  // namespace quarlex
