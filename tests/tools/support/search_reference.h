#pragma once
// A plain, slow search over a capture store, written step by step from the search rules: clear
// every attribute byte, scan from index 0 one candidate at a time, walk attribute bytes one by
// one when stepping. The randomised test holds the fast search to its results.
#include <cstdint>
#include <string>
#include <vector>

#include "app/capture_store.h"

namespace quarlex::testing {

struct ReferenceSearch {
  explicit ReferenceSearch(CaptureStore& store) : s(store) {}

  CaptureStore& s;
  std::vector<uint8_t> pattern;
  uint32_t hitCount = 0;
  uint32_t current = 0;
  std::string label = "0 of 0";
  uint32_t upDownMax = 0, upDownPos = 0;
  // The removal walks the whole attribute array. A test that knows every attribute byte from
  // some index on is zero may lower this to keep thousands of searches quick.
  uint32_t clearLimit = CaptureSize;

  static bool IsStart(uint8_t a) { return (a & 0x70) == 0x10 || (a & 0x70) == 0x40; }

  void ClearFind() {
    hitCount = 0;
    pattern.clear();
    for (uint32_t i = 0; i < clearLimit; ++i) s.CaptureAttributes[i] &= 0x8F;
  }

  void NewSearch(const std::vector<uint8_t>& p) {
    s.SearchHitState = CurrentMatch::NotChosen;
    s.SearchHitNumber = 0;
    ClearFind();
    pattern = p;
    Find();
    BringIntoView();
  }

  void Record(uint32_t start) {
    ++hitCount;
    if (s.SearchHitState == CurrentMatch::NotChosen &&
        uint64_t{start} >= uint64_t{s.BytesPerRow} * s.View.TopRow()) {
      s.SearchHitNumber = hitCount;
      current = start;
      s.SearchHitState = CurrentMatch::Chosen;
    }
  }

  void Find() {
    const uint32_t w = s.WriteIndex();
    const uint8_t* b = s.CaptureBuffer;
    uint8_t* a = s.CaptureAttributes;
    const uint32_t len = static_cast<uint32_t>(pattern.size());
    if (len >= 1) {
      hitCount = 0;
      uint32_t i = 0;
      while (i < w) {
        if (b[i] != pattern[0]) {
          ++i;
          continue;
        }
        if (len == 1) {
          Record(i);
          a[i] |= 0x40;
          ++i;
          continue;
        }
        bool ok = true;
        for (uint32_t k = 1; k < len; ++k) {
          if (i + k >= w || i + k >= 0x1FFFFFF || b[i + k] != pattern[k]) {
            ok = false;
            break;
          }
        }
        if (!ok) {
          ++i;
          continue;
        }
        Record(i);
        a[i] |= 0x10;
        for (uint32_t k = 1; k + 1 < len; ++k) a[i + k] |= 0x20;
        a[i + len - 1] |= 0x30;
        i += len;
      }
      s.SearchedUpTo = w;
    }
    if (s.SearchHitState == CurrentMatch::NotChosen && hitCount >= 1) {
      s.SearchHitNumber = 0;
      const uint64_t limit = uint64_t{s.BytesPerRow} * s.View.TopRow();
      for (uint64_t j = 0; j <= limit && j < w; ++j) {
        if (IsStart(a[j])) {
          current = static_cast<uint32_t>(j);
          ++s.SearchHitNumber;
        }
      }
    }
    if (hitCount >= 1) s.SearchHitState = CurrentMatch::Chosen;
    Show();
  }

  void Show() {
    label = std::to_string(s.SearchHitNumber) + " of " + std::to_string(hitCount);
    upDownMax = hitCount;
    upDownPos = s.SearchHitNumber;
  }

  void Step(bool next) {
    if (s.SearchHitState != CurrentMatch::Chosen) return;
    const uint8_t* a = s.CaptureAttributes;
    if (!next) {
      if (current >= 1) {
        for (int64_t j = int64_t{current} - 1; j >= 0; --j) {
          if (IsStart(a[j])) {
            current = static_cast<uint32_t>(j);
            --s.SearchHitNumber;
            break;
          }
        }
      }
    } else if (current < s.WriteIndex()) {
      for (uint32_t j = current + 1; j < s.WriteIndex() && j <= 0x1FFFFFF; ++j) {
        if (IsStart(a[j])) {
          current = j;
          ++s.SearchHitNumber;
          break;
        }
      }
    }
    BringIntoView();
    Show();
  }

  void BringIntoView() {
    const uint32_t row = current / s.BytesPerRow;
    uint32_t top = s.View.TopRow();
    if (row < top) {
      top = row;
    } else if (row > top + 15) {
      top = row - 14;
    }
    s.View.ShowRow(top);
  }
};

}  // namespace quarlex::testing
