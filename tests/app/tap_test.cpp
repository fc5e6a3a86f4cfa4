#include "app/tap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

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

}  // namespace
}  // namespace quarlex
