#pragma once
// Layout arithmetic of the exchange grid as small pure functions: metrics from the image width,
// where each cell and text lies, which cell a point falls on, which row holds an index. The grid
// draws with them and the hit test of navigation measures with the same numbers.
//
// The grid is laid out for an image 1055 pixels wide; every metric scales with the actual width
// (ViewScale = width / 1055): cells 30 x 28, first byte column at 93, address box 80 wide, 16 rows.
// Positions are formed from the single-precision metrics in double precision and rounded to the
// nearest pixel, halves to even. Thread-safe (no state).
#include <cstdint>
#include <optional>
#include <string_view>

#include "app/capture_store.h"

namespace quarlex {

constexpr double GridDesignWidth = 1055.0;
constexpr int GridRowCount = 16;

struct GridMetrics {
  float ViewScale = 1.0f;
  float CellWidth = 30.0f;     // 30 s
  float RowHeight = 28.0f;     // 28 s
  float GridLeft = 93.0f;      // 93 s: x of the first byte column
  float AddressWidth = 80.0f;  // 80 s: width of the address column box
  uint8_t FontNumber = 1;      // glyph font of all grid text, 1..3
};

// Font by scale: 1 below 1.24, 2 from 1.24 below 1.49, 3 from 1.49 up.
uint8_t FontNumberForScale(float viewScale);

// All metrics for an image `width` pixels wide (the device-pixel width on high-density screens).
// Width 0 gives all-zero sizes: nothing to hit, nothing visible.
GridMetrics GridMetricsForWidth(uint32_t width);

// Nearest integer, halves to even (2.5 -> 2, 3.5 -> 4), independent of the FPU rounding mode.
int RoundHalfEven(double v);

struct CellBox {
  double x0, x1, y0, y1;  // left, right, top, bottom in surface pixels
};
// Cell of column c, row r (r counted from the top visible row): c x CW + GL .. (c+1) x CW + GL.
CellBox CellBounds(const GridMetrics& m, int column, int row);
// Right edge of the byte area: BytesPerRow x CW + GL.
double ByteAreaRight(const GridMetrics& m, uint32_t bytesPerRow);
// Bottom of the grid: 16 x RH.
double GridBottom(const GridMetrics& m);

// x of the first byte column in whole pixels as clicks measure it: ceil(93 x ViewScale)
// (116.27 -> 117 at scale 1.2502).
int GridLeftPixel(float viewScale);

struct GridCell {
  uint32_t Column = 0;
  uint32_t Row = 0;  // 0 .. 15, counted from the top visible row
  bool operator==(const GridCell&) const = default;
};
// Cell under (px, py): px measured from the first byte column, py from the image top. Nothing
// outside the byte area: px < 0, px >= BytesPerRow x CW, py < 0, py >= 16 x RH.
std::optional<GridCell> CellOfPoint(const GridMetrics& m, uint32_t bytesPerRow, int px, int py);
// Capture index of a visible cell: Column + BytesPerRow x (Row + TopRow). Nothing past the ring's
// last index (0x1FFFFFF), which the scroll range can bring into view when the capture is full.
std::optional<uint32_t> IndexOfCell(GridCell cell, uint32_t bytesPerRow, uint32_t topRow);
// Grid row (counted from row 0 of the capture) that holds `index`.
constexpr uint32_t RowOfIndex(uint32_t index, uint32_t bytesPerRow) {
  return index / bytesPerRow;
}
// Visible cell of `index` with this top row, nothing when the index is not among the 16 rows.
std::optional<GridCell> CellOfIndex(uint32_t index, uint32_t bytesPerRow, uint32_t topRow);

// Cell text of byte b in base HEX ("0A"), DEC ("7", "42", "255"), CHAR (b itself), written into
// `buf` (at least 4 bytes). A value outside the three gives no text.
std::string_view CellText(GridBase viewBase, uint8_t b, char* buf);
// How far into its cell the text starts, in design pixels (multiply by ViewScale): HEX 6; DEC 12
// for one digit, 8 for two, 4 for three; CHAR 10.
int CellTextOffset(GridBase viewBase, uint8_t b);
// Baseline of the text of visible row r: r x RH + 18 s, before rounding.
double TextBaseline(const GridMetrics& m, int row);

// Address of a row's first byte: uppercase hexadecimal, zero-padded to at least 7 digits,
// written into `buf` (at least 9 bytes).
std::string_view AddressText(uint32_t offset, char* buf);
// Left of the address text in design pixels: 11, less 1 for each of the six low hexadecimal
// digits that is A..F, less 2 more if (offset & 0xFFFFFF) >= 0xAAAAAA; so wide letter digits
// still fit the box.
int AddressTextOffset(uint32_t offset);

// The byte drawn at the point (x, y) of the grid's image, in the frame's pixels, of a frame
// `frameWidth` pixels wide, with its cell: the byte a click there would mark. Nothing over the
// address column, the gaps, or a cell past the newest byte.
struct ByteHit {
  uint32_t Index = 0;
  CellBox Cell;  // in the frame's pixels
};
std::optional<ByteHit> ByteAtPoint(const CaptureStore& store, uint32_t frameWidth, int x, int y);

}  // namespace quarlex
