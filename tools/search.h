#pragma once
// Search: finds every occurrence of a byte pattern in the capture, marks the hits in the
// attribute bytes (bits 4-6), keeps one of them current and steps through them.
//
// Results (marks, counts, the current match, label and up-down) are those of a plain scan of
// the written capture from index 0 with non-overlapping, left-to-right matches. The work is
// not: candidates are found with memchr or a vector test of their first and last byte, the
// scan that follows new data resumes where the previous one could have been incomplete, and
// removing hits touches only the range where hits were set.
//
// Main thread only, like the capture store it works on.
#include <array>
#include <cstdint>
#include <string>

#include "app/capture_store.h"

namespace quarlex {

// What search needs from the window. Implemented by the Qt controller and by tests.
class SearchUi {
 public:
  virtual ~SearchUi() = default;
  virtual std::string FindText() = 0;  // the find box, UTF-8
  // Replaces the find box text without reporting it back as a change: the search runs the
  // new-search step itself where an emptied box calls for one.
  virtual void SetFindText(const std::string& utf8) = 0;
  virtual void SetFindLabel(const std::string& text) = 0;
  virtual void SetUpDown(uint32_t maximum, uint32_t position) = 0;
  virtual void ShowFindPanel() = 0;  // visible, in front, focus to the find box
  virtual void HideFindPanel() = 0;  // behind, hidden, focus to the send box
  virtual void OutExchange() = 0;    // redraw the grid
};

enum class FindStep : uint8_t { Next = 0, Previous = 1 };

constexpr size_t SearchPatternCapacity = 255;

class SearchTool {
 public:
  SearchTool(CaptureStore& store, SearchUi& ui);

  // The "Find" button and Ctrl+F: opens the panel, or closes it when open.
  void BtnFindClick();
  // The "×" button, Esc while open, and a file load: hides the panel, empties the box and
  // removes every hit.
  void BtnFindCloseClick();
  // Every change of the find box text, and Enter in it: a new search from the present view.
  void EditFindChange();
  // The up-down arrows, F2 (previous) and F3 (next). No wrap-around at either end.
  void UpDownFindClick(FindStep step);
  // The grid's base changed: a pattern is only valid in the base it was typed in, so the box
  // is emptied and every hit removed.
  void BaseChanged();

  // Removes every hit and forgets the pattern.
  void ClearFind();
  // Reads the find box into the pattern by the notation of the grid's base.
  void StringFind();
  // Scans, marks, picks the current match, refreshes label and up-down. Run by the tick when
  // the capture has grown and by the capture clear.
  void Find();

  // The bytes below the write position were rewritten without a clear (a send wrapped the
  // ring): the next scan starts again from index 0.
  void CaptureRewritten() {
    resumeValid_ = false;
    staleHits_ = true;
  }

  // Read by the grid (the match it fills) and by the window.
  uint32_t CurrentMatchIndex() const { return currentMatchIndex_; }
  uint32_t SearchHitCount() const { return searchHitCount_; }
  uint8_t SearchPatternLength() const { return patternLength_; }
  const uint8_t* SearchPattern() const { return pattern_.data(); }
  uint8_t FindPanelShown() const { return findPanelShown_; }
  const std::string& LabelText() const { return label_; }
  uint32_t UpDownMaximum() const { return searchHitCount_; }
  uint32_t UpDownPosition() const { return store_.SearchHitNumber; }

 private:
  void Scan(uint32_t from, uint32_t end, uint32_t count);
  void RecordMatch(uint32_t start, uint32_t count);
  void MarkMatch(uint32_t start);
  void PickLastBeforeView();
  void ShowCounts();
  void BringIntoView();
  uint32_t HitEnd(uint32_t limit) const;

  CaptureStore& store_;
  SearchUi& ui_;

  uint8_t findPanelShown_ = 0;
  std::array<uint8_t, SearchPatternCapacity> pattern_{};
  uint8_t patternLength_ = 0;
  uint32_t searchHitCount_ = 0;
  uint32_t currentMatchIndex_ = 0;
  std::string label_ = "0 of 0";

  // Where the next scan may resume (see Find) and what the previous scan covered.
  bool resumeValid_ = false;
  uint32_t scannedTo_ = 0;
  uint32_t resumeAt_ = 0;
  uint32_t lastMatchEnd_ = 0;
  uint32_t lastMatchStart_ = 0;
  // Hit bits may remain from matches in bytes rewritten since the last removal.
  bool staleHits_ = false;
  // Positions [hitLow_, hitHigh_) hold every hit bit set since the last removal.
  uint32_t hitLow_ = CaptureSize;
  uint32_t hitHigh_ = 0;
};

// Index of the first match start (hit code 0x10 or 0x40) in attrs[from, end), or `end`.
uint32_t NextMatchStart(const uint8_t* attrs, uint32_t from, uint32_t end);
// Index of the last match start in attrs[low, before), or `before` when there is none.
uint32_t PreviousMatchStart(const uint8_t* attrs, uint32_t low, uint32_t before);

}  // namespace quarlex
