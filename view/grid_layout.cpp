#include "view/grid_layout.h"

#include <cmath>

#include "app/capture_store.h"

namespace quarlex {

uint8_t FontNumberForScale(float viewScale) {
  uint8_t font = 1;
  if (viewScale >= 1.24f) font = 2;
  if (viewScale >= 1.49f) font = 3;
  return font;
}

GridMetrics GridMetricsForWidth(uint32_t width) {
  GridMetrics m;
  m.ViewScale = static_cast<float>(width) / 1055.0f;
  m.CellWidth = 30.0f * m.ViewScale;
  m.RowHeight = 28.0f * m.ViewScale;
  m.GridLeft = 93.0f * m.ViewScale;
  m.AddressWidth = 80.0f * m.ViewScale;
  m.FontNumber = FontNumberForScale(m.ViewScale);
  return m;
}

int RoundHalfEven(double v) {
  const double f = std::floor(v);
  const double diff = v - f;
  double r = f;
  if (diff > 0.5 || (diff == 0.5 && std::fmod(f, 2.0) != 0.0)) r = f + 1.0;
  if (r > 2e9) return 2000000000;
  if (r < -2e9) return -2000000000;
  return static_cast<int>(r);
}

CellBox CellBounds(const GridMetrics& m, int column, int row) {
  const double cw = m.CellWidth, rh = m.RowHeight, gl = m.GridLeft;
  return {column * cw + gl, (column + 1) * cw + gl, row * rh, (row + 1) * rh};
}

double ByteAreaRight(const GridMetrics& m, uint32_t bytesPerRow) {
  return bytesPerRow * double{m.CellWidth} + double{m.GridLeft};
}

double GridBottom(const GridMetrics& m) {
  return GridRowCount * double{m.RowHeight};
}

int GridLeftPixel(float viewScale) {
  return static_cast<int>(std::ceil(93.0 * double{viewScale}));
}

std::optional<GridCell> CellOfPoint(const GridMetrics& m, uint32_t bytesPerRow, int px, int py) {
  const double cw = m.CellWidth, rh = m.RowHeight;
  if (cw <= 0 || rh <= 0 || bytesPerRow == 0 || px < 0 || py < 0) return std::nullopt;
  if (px >= bytesPerRow * cw || py >= GridRowCount * rh) return std::nullopt;
  auto column = static_cast<uint32_t>(std::floor(px / cw));
  auto row = static_cast<uint32_t>(std::floor(py / rh));
  // A point just inside the far edge can divide onto the edge in floating point; keep it inside.
  if (column >= bytesPerRow) column = bytesPerRow - 1;
  if (row >= GridRowCount) row = GridRowCount - 1;
  return GridCell{column, row};
}

std::optional<uint32_t> IndexOfCell(GridCell cell, uint32_t bytesPerRow, uint32_t topRow) {
  const uint64_t index = cell.Column + uint64_t{bytesPerRow} * (uint64_t{cell.Row} + topRow);
  if (index > CaptureLast) return std::nullopt;
  return static_cast<uint32_t>(index);
}

std::optional<GridCell> CellOfIndex(uint32_t index, uint32_t bytesPerRow, uint32_t topRow) {
  if (bytesPerRow == 0) return std::nullopt;
  const uint32_t row = RowOfIndex(index, bytesPerRow);
  if (row < topRow || row - topRow >= GridRowCount) return std::nullopt;
  return GridCell{index % bytesPerRow, row - topRow};
}

std::string_view CellText(GridBase viewBase, uint8_t b, char* buf) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  switch (viewBase) {
    case GridBase::Hex:
      buf[0] = kHex[b >> 4];
      buf[1] = kHex[b & 15];
      return {buf, 2};
    case GridBase::Dec: {
      size_t n = 0;
      if (b >= 100) buf[n++] = static_cast<char>('0' + b / 100);
      if (b >= 10) buf[n++] = static_cast<char>('0' + b / 10 % 10);
      buf[n++] = static_cast<char>('0' + b % 10);
      return {buf, n};
    }
    case GridBase::Char:
      buf[0] = static_cast<char>(b);
      return {buf, 1};
  }
  return {};
}

int CellTextOffset(GridBase viewBase, uint8_t b) {
  switch (viewBase) {
    case GridBase::Hex:
      return 6;
    case GridBase::Dec:
      return b <= 9 ? 12 : b <= 99 ? 8 : 4;
    case GridBase::Char:
      return 10;
  }
  return 0;
}

double TextBaseline(const GridMetrics& m, int row) {
  return row * double{m.RowHeight} + 18.0 * m.ViewScale;
}

std::string_view AddressText(uint32_t offset, char* buf) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  int digits = 7;
  while (digits < 8 && (offset >> (4 * digits)) != 0) ++digits;
  for (int i = 0; i < digits; ++i) buf[i] = kHex[(offset >> (4 * (digits - 1 - i))) & 15];
  return {buf, static_cast<size_t>(digits)};
}

int AddressTextOffset(uint32_t offset) {
  int dx = 11;
  for (int shift = 20; shift >= 0; shift -= 4) {
    if (((offset >> shift) & 15) >= 10) --dx;
  }
  if ((offset & 0xFFFFFF) >= 0xAAAAAA) dx -= 2;
  return dx;
}

std::optional<ByteHit> ByteAtPoint(const CaptureStore& store, uint32_t frameWidth, int x, int y) {
  const GridMetrics m = GridMetricsForWidth(frameWidth);
  const int px = x - GridLeftPixel(m.ViewScale);
  const std::optional<GridCell> cell = CellOfPoint(m, store.BytesPerRow, px, y);
  if (!cell) return std::nullopt;
  const std::optional<uint32_t> index = IndexOfCell(*cell, store.BytesPerRow, store.View.TopRow());
  if (!index || *index >= store.WriteIndex()) return std::nullopt;  // an empty cell
  CellBox box = CellBounds(m, static_cast<int>(cell->Column), static_cast<int>(cell->Row));
  // The hit test measures from the whole-pixel first column; the box follows it.
  const double shift = GridLeftPixel(m.ViewScale) - m.GridLeft;
  box.x0 += shift;
  box.x1 += shift;
  return ByteHit{*index, box};
}

}  // namespace quarlex
