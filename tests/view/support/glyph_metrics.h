#pragma once
// Advance and ink box of a glyph: what the grid's layout and the picture depend on, and what two
// glyph sources of the same face must agree on.
#include "view/glyph_fonts.h"

namespace quarlex::testing_support {

struct InkBox {
  int advance, left, top, width, rows;
};

// The box of the lit pixels (a bitmap may carry blank rows or columns at its edges; sources
// differ in that), placed as Glyph places its bitmap. A glyph without ink has an empty box.
inline InkBox InkBoxOf(const GlyphFonts& fonts, const Glyph& g) {
  const uint8_t* bits = fonts.BitmapOf(g);
  int x0 = g.Width, x1 = -1, y0 = g.Rows, y1 = -1;
  for (int y = 0; y < g.Rows; ++y) {
    for (int x = 0; x < g.Width; ++x) {
      if (!((bits[y * g.Pitch + x / 8] >> (7 - x % 8)) & 1)) continue;
      x0 = x < x0 ? x : x0, x1 = x > x1 ? x : x1, y0 = y < y0 ? y : y0, y1 = y > y1 ? y : y1;
    }
  }
  if (x1 < 0) return {g.Advance, 0, 0, 0, 0};
  return {g.Advance, g.Left + x0, g.Top - y0, x1 - x0 + 1, y1 - y0 + 1};
}

// The printable ASCII characters compared: ' ' .. '~'.
constexpr int FirstCompared = 0x20, ComparedCount = 0x7F - 0x20;

}  // namespace quarlex::testing_support
