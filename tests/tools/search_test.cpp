#include "tools/search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/fake_tool_ui.h"
#include "support/search_reference.h"
#include "tests/app/support/fake_session_ui.h"
#include "tests/app/support/store_fields.h"

namespace quarlex {
namespace {

using Bytes = std::vector<uint8_t>;

void Append(CaptureStore& s, const std::string& bytes) {
  std::memcpy(s.CaptureBuffer + s.WriteIndex(), bytes.data(), bytes.size());
  StoreFields(s).WriteIndex += static_cast<uint32_t>(bytes.size());
}

Bytes Codes(const CaptureStore& s, uint32_t from, uint32_t count) {
  Bytes out;
  for (uint32_t i = from; i < from + count; ++i) out.push_back(s.CaptureAttributes[i] & SearchHitBits);
  return out;
}

struct SearchTest : ::testing::Test {
  testing::FakeSessionUi sessionUi;  // the session's tick and clear run the tool's Find through it
  Session session{sessionUi};
  CaptureStore& s = session.Store;
  testing::FakeSearchUi ui;
  SearchTool tool{s, ui};
  void SetUp() override {
    sessionUi.find = [this] { tool.Find(); };
  }

  void Open() {
    if (!tool.FindPanelShown()) tool.BtnFindClick();
  }
  void Type(const std::string& text, GridBase base = GridBase::Char) {
    Open();
    s.ViewBase = base;
    ui.text = text;
    tool.EditFindChange();
  }
  void Receive(const std::string& bytes) {
    Append(s, bytes);
    session.TimerMainTimer();
  }
};

TEST_F(SearchTest, HexPatternMarksEveryMatch) {
  Append(s, "ABAB");
  Type("41 42", GridBase::Hex);
  EXPECT_EQ(Codes(s, 0, 5), (Bytes{0x10, 0x30, 0x10, 0x30, 0}));
  EXPECT_EQ(ui.label, "1 of 2");
  EXPECT_EQ(ui.upDownMax, 2u);
  EXPECT_EQ(ui.upDownPos, 1u);
  EXPECT_EQ(tool.CurrentMatchIndex(), 0u);
  EXPECT_EQ(s.SearchedUpTo, 4u);
  EXPECT_TRUE(ui.panelVisible);
}

TEST_F(SearchTest, MatchShapesAndNoOverlap) {
  Append(s, "AAA.xyz.qwert.qwertqwert");
  Type("AA");
  EXPECT_EQ(Codes(s, 0, 3), (Bytes{0x10, 0x30, 0}));
  Type("xyz");
  EXPECT_EQ(Codes(s, 3, 5), (Bytes{0, 0x10, 0x20, 0x30, 0}));
  EXPECT_EQ(Codes(s, 0, 3), (Bytes{0, 0, 0}));  // the earlier search's hits are gone
  Type("qwert");                                // long enough for the shift-table search
  EXPECT_EQ(Codes(s, 8, 16), (Bytes{0x10, 0x20, 0x20, 0x20, 0x30, 0, 0x10, 0x20, 0x20, 0x20, 0x30, 0x10, 0x20,
                                    0x20, 0x20, 0x30}));
  EXPECT_EQ(ui.label, "1 of 3");
  Type("A");
  EXPECT_EQ(Codes(s, 0, 4), (Bytes{0x40, 0x40, 0x40, 0}));
}

TEST_F(SearchTest, DecimalAndHexPrefixesReadLikeTheSendBox) {
  Append(s, "zAB");
  Type("65,66", GridBase::Dec);
  EXPECT_EQ(ui.label, "1 of 1");
  EXPECT_EQ(tool.CurrentMatchIndex(), 1u);
  Type("0x41 0x42", GridBase::Hex);
  EXPECT_EQ(ui.label, "1 of 1");
  Type("4", GridBase::Hex);  // a lone digit is no byte
  EXPECT_EQ(tool.SearchPatternLength(), 0);
  EXPECT_EQ(ui.label, "0 of 0");
  Append(s, "\x04");
  Type("4 ", GridBase::Hex);
  EXPECT_EQ(tool.SearchPatternLength(), 1);
  EXPECT_EQ(ui.label, "1 of 1");
}

TEST_F(SearchTest, LongTextIsCutAt255Bytes) {
  Type(std::string(300, 'q'));
  EXPECT_EQ(tool.SearchPatternLength(), 255);
}

TEST_F(SearchTest, NewDataIsFollowedAndTheCurrentMatchStays) {
  Append(s, "ABC--AB");
  Type("ABC");
  EXPECT_EQ(ui.label, "1 of 1");
  Receive("C");  // completes the straddling match
  EXPECT_EQ(ui.label, "1 of 2");
  EXPECT_EQ(Codes(s, 5, 3), (Bytes{0x10, 0x20, 0x30}));
  Receive("ABCABC");
  EXPECT_EQ(ui.label, "1 of 4");
  EXPECT_EQ(tool.CurrentMatchIndex(), 0u);
  EXPECT_EQ(s.SearchedUpTo, s.WriteIndex());
}

TEST_F(SearchTest, NothingFoundYetThenTheFirstMatchInViewBecomesCurrent) {
  s.BytesPerRow = 16;
  Append(s, std::string(64, '.'));
  Type("#");
  EXPECT_EQ(ui.label, "0 of 0");
  s.View.ShowRow(2);
  Receive(std::string(2, '.') + "#");
  EXPECT_EQ(ui.label, "1 of 1");
  EXPECT_EQ(tool.CurrentMatchIndex(), 66u);
}

TEST_F(SearchTest, ViewPastEveryMatchPicksTheLastOne) {
  s.BytesPerRow = 16;
  std::string data(400, '.');
  for (uint32_t at : {5u, 40u, 70u}) data[at] = '#';
  Append(s, data);
  s.View.ShowRow(10);
  Type("#");
  EXPECT_EQ(ui.label, "3 of 3");
  EXPECT_EQ(tool.CurrentMatchIndex(), 70u);
  EXPECT_EQ(s.View.TopRow(), 4u);  // brought into view
}

TEST_F(SearchTest, SteppingStopsAtBothEndsButStillShowsTheMatch) {
  s.BytesPerRow = 16;
  std::string data(2000, '.');
  for (uint32_t at : {10u, 900u, 1900u}) data.replace(at, 2, "##");
  Append(s, data);
  Type("##");
  tool.UpDownFindClick(FindStep::Previous);
  EXPECT_EQ(ui.label, "1 of 3");
  EXPECT_EQ(tool.CurrentMatchIndex(), 10u);
  tool.UpDownFindClick(FindStep::Next);
  EXPECT_EQ(ui.label, "2 of 3");
  EXPECT_EQ(s.View.TopRow(), 900u / 16 - 14);
  EXPECT_EQ(s.View.ScrollBarExch().Position(), s.View.TopRow());
  tool.UpDownFindClick(FindStep::Next);
  tool.UpDownFindClick(FindStep::Next);
  EXPECT_EQ(ui.label, "3 of 3");
  EXPECT_EQ(tool.CurrentMatchIndex(), 1900u);
  s.View.ShowRow(0);
  tool.UpDownFindClick(FindStep::Next);
  EXPECT_EQ(ui.label, "3 of 3");
  EXPECT_EQ(s.View.TopRow(), 1900u / 16 - 14);
  tool.UpDownFindClick(FindStep::Previous);
  tool.UpDownFindClick(FindStep::Previous);
  EXPECT_EQ(s.View.TopRow(), 0u);  // the first match's row is above the view: it becomes the top row
  EXPECT_EQ(ui.upDownPos, 1u);
}

TEST_F(SearchTest, StepsDoNothingWithoutMatches) {
  Append(s, "....");
  Type("#");
  const int redraws = ui.redraws;
  tool.UpDownFindClick(FindStep::Next);
  EXPECT_EQ(ui.label, "0 of 0");
  EXPECT_EQ(ui.redraws, redraws);
}

TEST_F(SearchTest, MarkersAndSentBitsSurvive) {
  Append(s, "ABAB");
  s.CaptureAttributes[0] = 0x83;
  s.CaptureAttributes[3] = 0x04;
  Type("AB");
  EXPECT_EQ(s.CaptureAttributes[0], 0x93);
  EXPECT_EQ(s.CaptureAttributes[3], 0x34);
  tool.ClearFind();
  EXPECT_EQ(s.CaptureAttributes[0], 0x83);
  EXPECT_EQ(s.CaptureAttributes[3], 0x04);
}

TEST_F(SearchTest, BaseSwitchAndCloseRemoveEverything) {
  Append(s, "ABAB");
  Type("AB");
  tool.BaseChanged();
  EXPECT_EQ(ui.text, "");
  EXPECT_EQ(ui.label, "0 of 0");
  EXPECT_EQ(Codes(s, 0, 4), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(s.SearchOpen, 1);

  Type("AB");
  tool.BtnFindClick();  // second press closes
  EXPECT_FALSE(ui.panelVisible);
  EXPECT_EQ(ui.text, "");
  EXPECT_EQ(ui.label, "0 of 0");
  EXPECT_EQ(s.SearchOpen, 0);
  EXPECT_EQ(tool.FindPanelShown(), 0);
  EXPECT_EQ(Codes(s, 0, 4), (Bytes{0, 0, 0, 0}));
  // Closed: the tick does not search.
  Receive("AB");
  EXPECT_EQ(Codes(s, 4, 2), (Bytes{0, 0}));
}

TEST_F(SearchTest, CaptureClearKeepsThePatternAndSearchesAgain) {
  Append(s, "xAB");
  Type("AB");
  session.ClearFull();
  EXPECT_EQ(ui.label, "0 of 0");
  EXPECT_EQ(tool.SearchPatternLength(), 2);
  Receive("ABAB");
  EXPECT_EQ(ui.label, "1 of 2");
  EXPECT_EQ(tool.CurrentMatchIndex(), 0u);
}

TEST_F(SearchTest, RewrittenCaptureIsScannedAgainFromTheStart) {
  Append(s, "AB..AB..AB");
  Type("AB");
  EXPECT_EQ(ui.label, "1 of 3");
  // A send wrapped the ring: the old bytes below the write position are gone.
  StoreFields(s).WriteIndex = 0;
  Append(s, "..........AB");
  tool.CaptureRewritten();
  session.TimerMainTimer();
  EXPECT_EQ(tool.SearchHitCount(), 1u);
}

// --- The fast search against the plain scan, over random captures ---------------------------

struct Pair {
  std::unique_ptr<CaptureStore> fast = std::make_unique<CaptureStore>();
  std::unique_ptr<CaptureStore> ref = std::make_unique<CaptureStore>();
  uint32_t extent = 0;  // every index at or above this is untouched in both

  void Zero() {
    for (CaptureStore* st : {fast.get(), ref.get()}) {
      std::memset(st->CaptureBuffer, 0, extent);
      std::memset(st->CaptureAttributes, 0, extent);
      StoreFields(*st).WriteIndex = st->SearchedUpTo = 0;
      st->View.ShowRow(0);
      st->SearchHitState = CurrentMatch::NotChosen;
      st->SearchHitNumber = 0;
    }
  }
  void Append(const std::string& bytes, const Bytes& attrs) {
    for (CaptureStore* st : {fast.get(), ref.get()}) {
      for (size_t i = 0; i < bytes.size(); ++i) {
        st->CaptureBuffer[st->WriteIndex()] = static_cast<uint8_t>(bytes[i]);
        st->CaptureAttributes[st->WriteIndex()] |= attrs[i];
        ++StoreFields(*st).WriteIndex;
      }
    }
    extent = std::max(extent, fast->WriteIndex());
  }
};

std::string Describe(const CaptureStore& s) {
  std::string d = "capture \"";
  for (uint32_t i = 0; i < s.WriteIndex() && i < 400; ++i) d += static_cast<char>(s.CaptureBuffer[i]);
  return d + "\" W=" + std::to_string(s.WriteIndex()) + " top=" + std::to_string(s.View.TopRow()) +
         " bpr=" + std::to_string(s.BytesPerRow);
}

void ExpectSame(const Pair& p, const SearchTool& tool, const testing::FakeSearchUi& ui,
                const testing::ReferenceSearch& r, const std::string& where) {
  const CaptureStore& f = *p.fast;
  const CaptureStore& g = *p.ref;
  SCOPED_TRACE(where + " " + Describe(g));
  for (uint32_t i = 0; i < std::min(p.extent + 16, CaptureSize); ++i) {
    ASSERT_EQ(f.CaptureAttributes[i], g.CaptureAttributes[i]) << "attribute at " << i;
  }
  ASSERT_EQ(tool.SearchHitCount(), r.hitCount);
  ASSERT_EQ(f.SearchHitNumber, g.SearchHitNumber);
  ASSERT_EQ(f.SearchHitState, g.SearchHitState);
  ASSERT_EQ(tool.CurrentMatchIndex(), r.current);
  ASSERT_EQ(ui.label, r.label);
  ASSERT_EQ(ui.upDownMax, r.upDownMax);
  ASSERT_EQ(ui.upDownPos, r.upDownPos);
  ASSERT_EQ(f.SearchedUpTo, g.SearchedUpTo);
  ASSERT_EQ(f.View.TopRow(), g.View.TopRow());
}

TEST(SearchRandomTest, SameResultsAsThePlainScan) {
  Pair p;
  std::mt19937 rng(20261209);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  const Bytes attrChoices{0, 0, 0, 0, 0x01, 0x04, 0x80, 0x82};

  for (int round = 0; round < 400; ++round) {
    p.Zero();
    testing::FakeSearchUi ui;
    SearchTool tool(*p.fast, ui);
    testing::ReferenceSearch r(*p.ref);
    // Captures here stay below 64 KiB: nothing above holds an attribute bit.
    r.clearLimit = 1 << 16;
    const std::string alphabet = std::string("ABC").substr(0, 1 + pick(3));
    const uint8_t bpr = pick(2) ? 16 : 32;
    p.fast->BytesPerRow = p.ref->BytesPerRow = bpr;

    auto randomBytes = [&](uint32_t n) {
      std::string b;
      Bytes a;
      for (uint32_t i = 0; i < n; ++i) {
        b += alphabet[pick(static_cast<uint32_t>(alphabet.size()))];
        a.push_back(attrChoices[pick(static_cast<uint32_t>(attrChoices.size()))]);
      }
      p.Append(b, a);
    };
    Bytes pattern;
    auto newPattern = [&] {
      pattern.clear();
      const uint32_t len = 1 + pick(8);
      for (uint32_t i = 0; i < len; ++i)
        pattern.push_back(static_cast<uint8_t>(alphabet[pick(alphabet.size())]));
      // Typed in one of the three bases; the reference gets the bytes.
      const uint8_t base = static_cast<uint8_t>(1 + pick(3));
      std::string text;
      for (uint8_t b : pattern) {
        if (base == 1)
          text += (pick(2) ? "0x" : "") +
                  std::string{"0123456789ABCDEF"[b >> 4], "0123456789abcdef"[b & 15]} + " ";
        if (base == 2) text += std::to_string(b) + (pick(2) ? "," : " ");
        if (base == 3) text += static_cast<char>(b);
      }
      p.fast->ViewBase = static_cast<GridBase>(base);
      ui.text = text;
    };
    auto setTop = [&] {
      const uint32_t top = pick(p.fast->WriteIndex() / bpr + 3);
      p.fast->View.ShowRow(top);
      p.ref->View.ShowRow(top);
    };
    auto tick = [&] {
      if (p.fast->SearchedUpTo < p.fast->WriteIndex()) {
        tool.Find();
        r.Find();
      }
    };

    randomBytes(pick(600));
    setTop();
    newPattern();
    tool.BtnFindClick();
    p.ref->SearchOpen = 1;
    p.ref->SearchHitState = CurrentMatch::NotChosen;
    tool.EditFindChange();
    r.NewSearch(pattern);
    ASSERT_LT(p.extent, r.clearLimit);
    ExpectSame(p, tool, ui, r, "round " + std::to_string(round) + " first search");
    if (HasFatalFailure()) return;

    for (int step = 0; step < 25; ++step) {
      const uint32_t action = pick(100);
      std::string what;
      if (action < 40) {
        what = "append";
        randomBytes(pick(4) == 0 ? 0 : pick(pick(2) ? 3 : 60));
        tick();
      } else if (action < 55) {
        what = "scroll";
        setTop();
      } else if (action < 75) {
        const bool next = pick(2);
        what = next ? "next" : "previous";
        tool.UpDownFindClick(next ? FindStep::Next : FindStep::Previous);
        r.Step(next);
      } else if (action < 82) {
        what = "enter";
        tool.EditFindChange();
        r.NewSearch(pattern);
      } else if (action < 88) {
        what = "new pattern";
        newPattern();
        tool.EditFindChange();
        r.NewSearch(pattern);
      } else if (action < 94) {
        what = "clear";
        p.Zero();
        tool.Find();
        r.Find();
      } else {
        // A send wrapped the ring and rewrote the bytes from index 0; old hit bits stay.
        what = "rewrite";
        const uint32_t old = p.fast->WriteIndex();
        StoreFields(*p.fast).WriteIndex = StoreFields(*p.ref).WriteIndex = 0;
        randomBytes(pick(old + 40));
        tool.CaptureRewritten();
        tick();
      }
      ExpectSame(p, tool, ui, r,
                 "round " + std::to_string(round) + " step " + std::to_string(step) + " " + what);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(SearchRandomTest, CaptureUpToTheLastSlotOfTheRing) {
  Pair p;
  testing::FakeSearchUi ui;
  SearchTool tool(*p.fast, ui);
  testing::ReferenceSearch r(*p.ref);
  std::mt19937 rng(7);
  const uint32_t start = CaptureLast - 300;
  for (CaptureStore* st : {p.fast.get(), p.ref.get()}) StoreFields(*st).WriteIndex = start;
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes += "AB"[rng() % 2];
  bytes.replace(bytes.size() - 2, 2, "AA");
  p.Append(bytes, Bytes(bytes.size(), 0));
  ASSERT_EQ(p.fast->WriteIndex(), CaptureLast);
  p.fast->View.ShowRow(start / 32);
  p.ref->View.ShowRow(start / 32);
  tool.BtnFindClick();
  p.ref->SearchOpen = 1;
  p.fast->ViewBase = GridBase::Char;
  for (const char* pat : {"AA", "A", "BAB", "ABBA"}) {
    ui.text = pat;
    tool.EditFindChange();
    r.NewSearch(Bytes(pat, pat + std::strlen(pat)));
    for (int k = 0; k < 40; ++k) {
      tool.UpDownFindClick(k < 30 ? FindStep::Next : FindStep::Previous);
      r.Step(k < 30);
    }
    p.extent = CaptureLast;
    ExpectSame(p, tool, ui, r, pat);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace quarlex
