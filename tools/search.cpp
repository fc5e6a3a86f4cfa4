#include "tools/search.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "serial/code_page.h"
#include "tools/byte_notation.h"

namespace quarlex {

namespace {
constexpr uint64_t HitBitsWord = 0x7070707070707070ULL;
constexpr uint64_t ResetWord = 0x8F8F8F8F8F8F8F8FULL;

bool IsMatchStart(uint8_t attr) {
  const uint8_t code = attr & SearchHitBits;
  return code == SearchHitFirst || code == SearchHitSingle;
}

// Horspool from `pos`: the byte under the pattern's last position decides how far the window
// may move without stepping over an occurrence, so the leftmost match is still found first.
template <class OnMatch>
void HorspoolMatches(const uint8_t* buf, uint32_t pos, uint32_t end, const uint8_t* pattern, uint32_t len,
                     const std::array<uint32_t, 256>& skip, OnMatch& onMatch) {
  const uint32_t last = len - 1;
  const uint8_t lastByte = pattern[last];
  while (pos <= end && end - pos >= len) {
    const uint8_t c = buf[pos + last];
    if (c == lastByte && std::memcmp(buf + pos, pattern, last) == 0) {
      onMatch(pos);
      pos += len;
    } else {
      pos += skip[c];
    }
  }
}

// Calls onMatch(start) for every non-overlapping occurrence of pattern[0, len) that lies wholly
// inside buf[from, end), left to right; after a match the search goes on behind it.
template <class OnMatch>
void ForEachMatch(const uint8_t* buf, uint32_t from, uint32_t end, const uint8_t* pattern, uint32_t len,
                  const std::array<uint32_t, 256>& skip, OnMatch onMatch) {
  if (from >= end || end - from < len) return;
  // memchr on the first byte runs far ahead of any shift table while that byte is rare, as in
  // binary traffic. Where it is common (text), every candidate costs a call; once misses come
  // closer than one per 32 bytes, patterns of four bytes or more go on with Horspool instead.
  uint32_t i = from;
  const uint32_t lastStart = end - len;
  uint32_t misses = 0;
  uint32_t missWindowStart = from;
  while (i <= lastStart) {
    const void* hit = std::memchr(buf + i, pattern[0], lastStart - i + 1);
    if (!hit) return;
    const auto s = static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - buf);
    if (len == 1 || std::memcmp(buf + s + 1, pattern + 1, len - 1) == 0) {
      onMatch(s);
      i = s + len;
      continue;
    }
    i = s + 1;
    if (len >= 4 && ++misses == 256) {
      if (i - missWindowStart < 256u * 32) {
        HorspoolMatches(buf, i, end, pattern, len, skip, onMatch);
        return;
      }
      misses = 0;
      missWindowStart = i;
    }
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
    store_.SearchHitState = 0;
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
  store_.SearchHitState = 0;
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
  const ByteNotation notation = store_.ViewBase == 2   ? ByteNotation::Decimal
                                : store_.ViewBase == 3 ? ByteNotation::Text
                                                       : ByteNotation::Hex;
  // The pattern holds at most 255 bytes; a longer text is cut there.
  patternLength_ = static_cast<uint8_t>(ReadNotation(notation, bytes, std::span(pattern_)));
  const uint32_t len = patternLength_;
  skip_.fill(len);
  for (uint32_t k = 0; k + 1 < len; ++k) skip_[pattern_[k]] = len - 1 - k;
}

void SearchTool::Find() {
  const uint32_t len = patternLength_;
  if (len >= 1) {
    const uint32_t w = store_.WriteIndex;
    // The previous scan's matches are still valid, and its count still holds, as long as no
    // byte it looked at has changed (no clear, no rewrite, the capture only grew) and the
    // current match is already chosen or there was none to choose.
    const bool resume = resumeValid_ && w >= scannedTo_ && store_.SearchedUpTo == scannedTo_ &&
                        !(store_.SearchHitState == 0 && searchHitCount_ > 0);
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
  if (store_.SearchHitState == 0 && searchHitCount_ >= 1) PickLastBeforeView();
  if (searchHitCount_ >= 1) store_.SearchHitState = 2;
  ShowCounts();
}

void SearchTool::Scan(uint32_t from, uint32_t end, uint32_t count) {
  ForEachMatch(store_.CaptureBuffer, from, end, pattern_.data(), patternLength_, skip_, [&](uint32_t s) {
    ++count;
    RecordMatch(s, count);
    MarkMatch(s);
    lastMatchEnd_ = s + patternLength_;
  });
  searchHitCount_ = count;
}

void SearchTool::RecordMatch(uint32_t start, uint32_t count) {
  const uint64_t viewStart = uint64_t{store_.BytesPerRow} * store_.TopRow;
  if (store_.SearchHitState == 0 && start >= viewStart) {
    store_.SearchHitNumber = count;
    currentMatchIndex_ = start;
    store_.SearchHitState = 2;
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

uint32_t SearchTool::HitEnd(uint32_t limit) const { return std::min(limit, hitHigh_); }

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
  const uint64_t viewStart = uint64_t{store_.BytesPerRow} * store_.TopRow;
  const uint32_t end = HitEnd(static_cast<uint32_t>(std::min<uint64_t>(viewStart + 1, store_.WriteIndex)));
  const uint8_t* a = store_.CaptureAttributes;
  for (uint32_t i = NextMatchStart(a, std::min(hitLow_, end), end); i < end; i = NextMatchStart(a, i + 1, end)) {
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
  if (store_.SearchHitState != 2) return;
  const uint8_t* a = store_.CaptureAttributes;
  if (step == FindStep::Previous) {
    if (currentMatchIndex_ >= 1) {
      const uint32_t p = PreviousMatchStart(a, std::min(hitLow_, currentMatchIndex_), currentMatchIndex_);
      if (p != currentMatchIndex_) {
        currentMatchIndex_ = p;
        --store_.SearchHitNumber;
      }
    }
  } else if (currentMatchIndex_ < store_.WriteIndex) {
    const uint32_t end = HitEnd(store_.WriteIndex);
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
  const uint32_t row = currentMatchIndex_ / store_.BytesPerRow;
  if (row < store_.TopRow) {
    store_.TopRow = row;
  } else if (row > store_.TopRow + 15) {
    store_.TopRow = row - 14;
  }
  store_.ScrollBarExch.SetPosition(store_.TopRow);
}

}  // namespace quarlex
