#pragma once
// The exchange grid: draws the visible 16 rows of the capture (an address column and BytesPerRow
// cells per row in HEX, DEC or CHAR) through the renderer and presents the frame into the image
// the window shows (ImageExch); fills the text column (MemoText) with the same 16 rows.
//
// Reads from the capture store: CaptureBuffer, CaptureAttributes, WriteIndex, TopRow,
// BytesPerRow, ViewBase, ValueHighlight. Per cell, in this order (later covers earlier):
//   sent fill (attribute bit 7), highlight fill (ValueHighlight of the value), marker frame
//   (bits 0..2), current-match fill and search bracket (bits 4..6), text (only below WriteIndex).
// Cells whose index lies past the ring's last position are drawn empty and never read.
//
// Usage by the window (main thread only):
//   ExchangeGrid grid(renderer);
//   // ImageExch's width changed (FormPaint: grid.WidthChanged(w)) -> size its image, then:
//   ImageTarget t{reinterpret_cast<uint32_t*>(img.bits()), img.width(), img.height(), img.bytesPerLine()};
//   grid.OutExchange(store, viewState, t);   // img is QImage::Format_RGB32, device pixels
//   imageExch->update(); memoText->setPlainText(QString::fromStdString(grid.MemoTextUtf8()));
//   navigation.Metrics = {grid.Metrics().ViewScale, grid.Metrics().CellWidth, grid.Metrics().RowHeight};
// On a high-density screen the image is the control's size in device pixels; the metrics follow
// that width, so the grid is sharp and the larger fonts are chosen.
#include <cstdint>
#include <string>
#include <vector>

#include "app/capture_store.h"
#include "view/grid_layout.h"
#include "view/renderer.h"

namespace quarlex {

// Search state the grid needs, filled by the window from the search tool before each frame:
//   CurrentMatchIndex  = SearchTool::CurrentMatchIndex()
//   CurrentMatchLength = SearchTool::SearchHitCount() ? SearchTool::SearchPatternLength() : 0
// The walk fills from the match byte at CurrentMatchIndex to the next last (or only) match byte.
// The length only tells whether a frame whose first cell lies inside the current match starts
// with the fill on; with 0 it never does.
struct GridViewState {
  uint32_t CurrentMatchIndex = 0;
  uint32_t CurrentMatchLength = 0;
};

// Grid colours.
struct Rgb {
  uint8_t r, g, b;
  constexpr uint32_t Value() const { return uint32_t{r} << 16 | uint32_t{g} << 8 | b; }
};
constexpr Rgb GridBackground{243, 243, 243};
constexpr Rgb GridLineColor{204, 204, 204};
constexpr Rgb SentFill{205, 244, 205};
constexpr Rgb HighlightFill{255, 249, 196};
constexpr Rgb MarkerColors[5] = {{0, 0, 0}, {233, 30, 99}, {33, 150, 243}, {255, 152, 0}, {76, 175, 80}};
constexpr Rgb CurrentMatchFillColor{221, 238, 255};
constexpr Rgb SearchFrameColor{145, 196, 234};
constexpr Rgb CellTextColor{85, 85, 85};
constexpr Rgb HighlightTextColor{38, 50, 56};
constexpr Rgb AddressTextColor{119, 119, 119};
constexpr Rgb MemoTextColor{95, 95, 95};

// The text column's content as bytes of the program's code page: 16 lines of BytesPerRow
// characters separated by CR LF, none after the last. Byte b below 0x20 (and any cell past the
// ring) shows as a space; otherwise the character U+00bb converted into the code page, with '?'
// for characters the code page cannot hold. Written into `out`, whose capacity is reused.
void BuildMemoText(const CaptureStore& store, std::string& out);
std::string MemoTextOf(const CaptureStore& store);

class ExchangeGrid {
 public:
  explicit ExchangeGrid(Renderer& renderer);

  // Draws the complete grid and presents it into `target` (whose size is ImageExch's size).
  // Metrics are recomputed when the target's width differs from the last frame's. Returns the
  // rows of the target that changed.
  ChangedRows OutExchange(const CaptureStore& store, const GridViewState& view, ImageTarget& target);

  // FormPaint's test: a frame is due because ImageExch's width changed since the last one.
  bool WidthChanged(uint32_t width) const { return width != LastGridWidth; }

  const GridMetrics& Metrics() const { return metrics_; }
  // MemoText of the last frame, in the program's code page and as UTF-8 for the toolkit.
  const std::string& MemoText() const { return memoText_; }
  std::string MemoTextUtf8() const;

  // Owned state, named as the window's design names it.
  uint16_t GridImageWidth = 0, GridImageHeight = 0;  // the frame size
  uint16_t LastGridWidth = 0;                        // ImageExch width at the last frame
  bool MarkerSeen = false;        // a frame has drawn a marked cell; never cleared (minimap reads it)
  bool CurrentMatchFill = false;  // the cell walk is inside the current match

 private:
  void DrawCell(const CaptureStore& store, const GridViewState& view, uint64_t index, int column, int row);

  Renderer& renderer_;
  GridMetrics metrics_;
  std::string memoText_;
  std::vector<Vertex> lines_;
};

}  // namespace quarlex
