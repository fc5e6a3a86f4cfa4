#include "tools/search.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "text/code_page.h"
#include "tools/byte_notation.h"

namespace quarlex {

namespace {
constexpr uint64_t HitBitsWord = 0x7070707070707070ULL;
constexpr uint64_t ResetWord = 0x8F8F8F8F8F8F8F8FULL;

bool IsMatchStart(uint8_t attr) {
  const uint8_t code = attr & SearchHitBits;
  return code == SearchHitFirst || code == SearchHitSingle;
}

// Patterns of two bytes or more: 16 candidate positions at a time are tested on their first and
// last byte together, with plain vector compares; only positions that pass both are compared
// in full. Two bytes that must agree are rarely both common, so this stays fast on binary
// traffic and on text alike, where a search on the first byte alone stalls on every common
// letter. Blocks of 16 bytes: one SSE2 register, the baseline of every x86-64 (and one NEON register on ARM).
using Block = uint8_t __attribute__((vector_size(16)));
constexpr uint32_t BlockSize = sizeof(Block);

void Broadcast(Block& b, uint8_t v) {
  for (uint32_t k = 0; k < BlockSize; ++k) b[k] = v;
}

template <class OnMatch>
void FirstLastMatches(const uint8_t* buf, uint32_t from, uint32_t end, const uint8_t* pattern, uint32_t len,
                      OnMatch& onMatch) {
  const uint32_t last = len - 1;
  const uint32_t lastStart = end - len;  // the last position a whole match fits behind
  Block first, final;
  Broadcast(first, pattern[0]);
  Broadcast(final, pattern[last]);
  auto matchesAt = [&](uint32_t s) {
    return len == 2 || std::memcmp(buf + s + 1, pattern + 1, len - 2) == 0;
  };
  uint32_t i = from;
  // Whole blocks: starts i .. i + 15, reading up to buf[i + 15 + last] <= buf[end - 1].
  while (i <= lastStart && lastStart - i >= BlockSize - 1) {
    if (lastStart - i >= 2 * BlockSize - 1) {
      // Two blocks without any candidate, the common case, are passed with one test.
      Block a0, b0, a1, b1;
      std::memcpy(&a0, buf + i, BlockSize);
      std::memcpy(&b0, buf + i + last, BlockSize);
      std::memcpy(&a1, buf + i + BlockSize, BlockSize);
      std::memcpy(&b1, buf + i + BlockSize + last, BlockSize);
      const auto any = ((a0 == first) & (b0 == final)) | ((a1 == first) & (b1 == final));
      uint64_t pair[2];
      std::memcpy(pair, &any, BlockSize);
      if ((pair[0] | pair[1]) == 0) {
        i += 2 * BlockSize;
        continue;
      }
    }
    Block a, b;
    std::memcpy(&a, buf + i, BlockSize);
    std::memcpy(&b, buf + i + last, BlockSize);
    const auto both = (a == first) & (b == final);
    uint64_t lanes[2];
    std::memcpy(lanes, &both, BlockSize);
    if ((lanes[0] | lanes[1]) == 0) {  // the usual case: no candidate in this block
      i += BlockSize;
      continue;
    }
    uint32_t next = i + BlockSize;
    bool found = false;
    for (int w = 0; w < 2 && !found; ++w) {
      for (uint64_t bits = lanes[w]; bits != 0;) {
        const int lane = __builtin_ctzll(bits) / 8;
        bits &= ~(uint64_t{0xFF} << (lane * 8));
        const uint32_t s = i + static_cast<uint32_t>(w * 8 + lane);
        if (matchesAt(s)) {
          onMatch(s);
          next = s + len;  // matches do not overlap: go on behind this one
          found = true;
          break;
        }
      }
    }
    i = next;
  }
  while (i <= lastStart) {
    if (buf[i] == pattern[0] && buf[i + last] == pattern[last] && matchesAt(i)) {
      onMatch(i);
      i += len;
    } else {
      ++i;
    }
  }
}

// Calls onMatch(start) for every non-overlapping occurrence of pattern[0, len) that lies wholly
// inside buf[from, end), left to right; after a match the search goes on behind it.
template <class OnMatch>
void ForEachMatch(const uint8_t* buf, uint32_t from, uint32_t end, const uint8_t* pattern, uint32_t len,
                  OnMatch onMatch) {
  if (from >= end || end - from < len) return;
  if (len >= 2) {
    FirstLastMatches(buf, from, end, pattern, len, onMatch);
    return;
  }
  for (uint32_t i = from; i < end;) {
    const void* hit = std::memchr(buf + i, pattern[0], end - i);
    if (!hit) return;
    const auto s = static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - buf);
    onMatch(s);
    i = s + 1;
  }
}
}  // namespace

uint32_t NextMatchStart(const uint8_t* attrs, uint32_t from, uint32_t end) {
  uint32_t i = from;
  while (i < end) {
    if (end - i >= 8) {
      uint64_t w;
      std::memcpy(&w, attrs + i, 8);
      if ((w & HitBitsWord) == 0) {
        i += 8;
        continue;
      }
    }
    if (IsMatchStart(attrs[i])) return i;
    ++i;
  }
  return end;
}

uint32_t PreviousMatchStart(const uint8_t* attrs, uint32_t low, uint32_t before) {
  uint32_t i = before;
  while (i > low) {
    if (i - low >= 8) {
      uint64_t w;
      std::memcpy(&w, attrs + i - 8, 8);
      if ((w & HitBitsWord) == 0) {
        i -= 8;
        continue;
      }
    }
    --i;
    if (IsMatchStart(attrs[i])) return i;
  }
  return before;
}

SearchTool::SearchTool(CaptureStore& store, SearchUi& ui) : store_(store), ui_(ui) {}

void SearchTool::BtnFindClick() {
  findPanelShown_ ^= 1;
  if (findPanelShown_) {
    ui_.ShowFindPanel();
    store_.SearchOpen = 1;
    store_.SearchHitState = CurrentMatch::NotChosen;
  } else {
    BtnFindCloseClick();
  }
}

void SearchTool::BtnFindCloseClick() {
  ui_.HideFindPanel();
  if (!ui_.FindText().empty()) {
    ui_.SetFindText("");
    EditFindChange();
  }
  store_.SearchOpen = 0;
  findPanelShown_ = 0;
  ClearFind();
}

void SearchTool::EditFindChange() {
  store_.SearchHitState = CurrentMatch::NotChosen;
  store_.SearchHitNumber = 0;
  ClearFind();
  StringFind();
  Find();
  BringIntoView();
  ui_.OutExchange();
}

void SearchTool::BaseChanged() {
  if (!ui_.FindText().empty()) {
    ui_.SetFindText("");
    EditFindChange();
  }
  ClearFind();
}

void SearchTool::ClearFind() {
  searchHitCount_ = 0;
  patternLength_ = 0;
  resumeValid_ = false;
  const uint32_t high = std::min(hitHigh_, CaptureSize);
  if (hitLow_ < high) {
    uint8_t* a = store_.CaptureAttributes;
    uint32_t i = hitLow_;
    for (; high - i >= 8; i += 8) {
      uint64_t w;
      std::memcpy(&w, a + i, 8);
      if ((w & HitBitsWord) == 0) continue;  // untouched words stay clean in the cache
      w &= ResetWord;
      std::memcpy(a + i, &w, 8);
    }
    for (; i < high; ++i) a[i] &= SearchResetMask;
  }
  hitLow_ = CaptureSize;
  hitHigh_ = 0;
  staleHits_ = false;
}

void SearchTool::StringFind() {
  const std::string bytes = CodePageFromUtf8(ui_.FindText());
  if (bytes.empty()) return;
  const ByteNotation notation = store_.ViewBase == GridBase::Dec    ? ByteNotation::Decimal
                                : store_.ViewBase == GridBase::Char ? ByteNotation::Text
                                                                    : ByteNotation::Hex;
  // The pattern holds at most 255 bytes; a longer text is cut there.
  patternLength_ = static_cast<uint8_t>(ReadNotation(notation, bytes, std::span(pattern_)));
}

void SearchTool::Find() {
  const uint32_t len = patternLength_;
  if (len >= 1) {
    const uint32_t w = store_.WriteIndex();
    // The previous scan's matches are still valid, and its count still holds, as long as no
    // byte it looked at has changed (no clear, no rewrite, the capture only grew) and the
    // current match is already chosen or there was none to choose.
    const bool resume = resumeValid_ && w >= scannedTo_ && store_.SearchedUpTo == scannedTo_ &&
                        !(store_.SearchHitState == CurrentMatch::NotChosen && searchHitCount_ > 0);
    if (resume) {
      Scan(resumeAt_, w, searchHitCount_);
    } else {
      lastMatchEnd_ = 0;
      Scan(0, w, 0);
    }
    store_.SearchedUpTo = w;
    scannedTo_ = w;
    resumeValid_ = true;
    // Candidates before the later of these were decided on bytes that can no longer change;
    // from there on a candidate may have failed only because the capture ended.
    const uint32_t undecided = w + 1 >= len ? w + 1 - len : 0;
    resumeAt_ = std::max(lastMatchEnd_, undecided);
  }
  if (store_.SearchHitState == CurrentMatch::NotChosen && searchHitCount_ >= 1) PickLastBeforeView();
  if (searchHitCount_ >= 1) store_.SearchHitState = CurrentMatch::Chosen;
  ShowCounts();
}

void SearchTool::Scan(uint32_t from, uint32_t end, uint32_t count) {
  ForEachMatch(store_.CaptureBuffer, from, end, pattern_.data(), patternLength_, [&](uint32_t s) {
    ++count;
    RecordMatch(s, count);
    MarkMatch(s);
    lastMatchEnd_ = s + patternLength_;
  });
  searchHitCount_ = count;
}

void SearchTool::RecordMatch(uint32_t start, uint32_t count) {
  const uint64_t viewStart = uint64_t{store_.BytesPerRow} * store_.View.TopRow();
  if (store_.SearchHitState == CurrentMatch::NotChosen && start >= viewStart) {
    store_.SearchHitNumber = count;
    currentMatchIndex_ = start;
    store_.SearchHitState = CurrentMatch::Chosen;
  }
}

void SearchTool::MarkMatch(uint32_t s) {
  uint8_t* a = store_.CaptureAttributes;
  const uint32_t len = patternLength_;
  if (len == 1) {
    a[s] |= SearchHitSingle;
  } else {
    a[s] |= SearchHitFirst;
    for (uint32_t k = 1; k + 1 < len; ++k) a[s + k] |= SearchHitInner;
    a[s + len - 1] |= SearchHitLast;
  }
  hitLow_ = std::min(hitLow_, s);
  hitHigh_ = std::max(hitHigh_, s + len);
  lastMatchStart_ = s;
}

uint32_t SearchTool::HitEnd(uint32_t limit) const {
  return std::min(limit, hitHigh_);
}

void SearchTool::PickLastBeforeView() {
  // Every match lies before the top visible row: the current one becomes the last match up to
  // and including the first byte of that row, with its ordinal.
  if (!staleHits_) {
    // Every hit bit belongs to this scan's matches, all of which start before the view.
    store_.SearchHitNumber = searchHitCount_;
    currentMatchIndex_ = lastMatchStart_;
    return;
  }
  // Bits left by scans of bytes that have since been rewritten count too: walk them.
  store_.SearchHitNumber = 0;
  const uint64_t viewStart = uint64_t{store_.BytesPerRow} * store_.View.TopRow();
  const uint32_t end = HitEnd(static_cast<uint32_t>(std::min<uint64_t>(viewStart + 1, store_.WriteIndex())));
  const uint8_t* a = store_.CaptureAttributes;
  for (uint32_t i = NextMatchStart(a, std::min(hitLow_, end), end); i < end;
       i = NextMatchStart(a, i + 1, end)) {
    currentMatchIndex_ = i;
    ++store_.SearchHitNumber;
  }
}

void SearchTool::ShowCounts() {
  label_ = std::to_string(store_.SearchHitNumber) + " of " + std::to_string(searchHitCount_);
  ui_.SetFindLabel(label_);
  ui_.SetUpDown(searchHitCount_, store_.SearchHitNumber);
}

void SearchTool::UpDownFindClick(FindStep step) {
  if (store_.SearchHitState != CurrentMatch::Chosen) return;
  const uint8_t* a = store_.CaptureAttributes;
  if (step == FindStep::Previous) {
    if (currentMatchIndex_ >= 1) {
      const uint32_t p = PreviousMatchStart(a, std::min(hitLow_, currentMatchIndex_), currentMatchIndex_);
      if (p != currentMatchIndex_) {
        currentMatchIndex_ = p;
        --store_.SearchHitNumber;
      }
    }
  } else if (currentMatchIndex_ < store_.WriteIndex()) {
    const uint32_t end = HitEnd(store_.WriteIndex());
    const uint32_t from = currentMatchIndex_ + 1;
    if (from < end) {
      const uint32_t n = NextMatchStart(a, from, end);
      if (n < end) {
        currentMatchIndex_ = n;
        ++store_.SearchHitNumber;
      }
    }
  }
  BringIntoView();
  ShowCounts();
  ui_.OutExchange();
}

void SearchTool::BringIntoView() {
  store_.View.BringIntoView(currentMatchIndex_ / store_.BytesPerRow);
}

}  // namespace quarlex
