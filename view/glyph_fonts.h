#pragma once
// One-bit glyph bitmaps for the renderer: 256 glyphs per font, three fonts of character-cell
// heights 17, 20 and 24 pixels, rasterised once (FreeType's monochrome rendering, on Windows
// GDI's GetGlyphOutlineW with GGO_BITMAP) so that no frame ever touches a font.
//
// Byte b of a text is drawn with the glyph of the character the program's code page (Windows-1251)
// gives it, the same character the text column shows: 0x00..0x7F as themselves, 0xC0..0xFF as
// the Cyrillic letters U+0410..U+044F, 0x80..0xBF as that code page's letters and signs (Ђ, ‚,
// Ѓ, ..., ї). Bytes 0x00..0x1F show whatever glyph the face gives those control code points.
//
// Cell height is meant as a Windows font height: ascent + descent from the face's Windows metrics
// (OS/2 usWinAscent + usWinDescent), so a 17-pixel cell of Liberation Sans has a 15-pixel em;
// GDI takes a positive font height in that sense itself.
//
// Building is done once per process (SharedGlyphFonts) and never fails: without the wanted face
// another sans face is used, without any face the glyphs are empty; each case is said once on the
// diagnostic stream. Built glyphs are immutable and may be read from any thread.
#include <array>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "text/code_page.h"

namespace quarlex {

constexpr int GlyphFontCount = 3;
constexpr std::array<int, GlyphFontCount> GlyphCellHeights = {17, 20, 24};

// Code point whose glyph a byte shows.
inline char32_t GlyphCodePoint(uint8_t b) {
  return CodePageToUnicode(b);
}

struct Glyph {
  int16_t Left = 0;     // x of the bitmap's first column relative to the pen
  int16_t Top = 0;      // rows of the bitmap above the baseline (first row is Top rows up)
  uint16_t Width = 0;   // bitmap columns
  uint16_t Rows = 0;    // bitmap rows
  uint16_t Pitch = 0;   // bytes per bitmap row, most significant bit first
  int16_t Advance = 0;  // pen movement to the next glyph, whole pixels
  uint32_t Offset = 0;  // first byte of the bitmap in GlyphFonts::Bits
};

struct GlyphFonts {
  std::array<std::array<Glyph, 256>, GlyphFontCount> Fonts{};
  std::vector<uint8_t> Bits;
  std::string Family;  // family of the face the glyphs came from ("" when none)
  std::string File;
  int PixelSizes[GlyphFontCount] = {};  // em size used for each cell height

  // Glyph of byte b in font 1..3 (the caller checks the range).
  const Glyph& At(int fontNumber, uint8_t b) const { return Fonts[fontNumber - 1][b]; }
  const uint8_t* BitmapOf(const Glyph& g) const { return Bits.data() + g.Offset; }
  bool Empty() const { return Family.empty(); }
};

// True for the faces that carry Arial's metrics (Arial itself, Liberation Sans, Arimo).
bool IsArialCompatible(const std::string& family);
// Family names compared as the font systems do, ignoring ASCII case.
bool SameFamily(const std::string& a, const std::string& b);

// Glyphs that draw nothing but still move the pen (half the cell height), so text keeps its
// width without a font.
std::shared_ptr<GlyphFonts> EmptyGlyphFonts();

// Builds the glyphs from the face the system matches for `family` ("Arial" in the program):
// fontconfig's match, or the face GDI selects. Says on `diag` (one line) when it had to fall
// back to another face or to empty glyphs.
std::shared_ptr<const GlyphFonts> BuildGlyphFonts(const std::string& family, std::ostream& diag);

// Builds the glyphs from one font file (face `index`; on Windows the file's family must be
// `fileFamily`); empty glyphs (and one line on `diag`) when the file cannot be used.
// `fileFamily` is recorded as the family.
std::shared_ptr<const GlyphFonts> BuildGlyphFontsFromFile(const std::string& file, int index,
                                                          const std::string& fileFamily, std::ostream& diag);

// The program's glyphs: built from "Arial" on first use (diagnostics to stderr), then shared.
// Thread-safe first use.
std::shared_ptr<const GlyphFonts> SharedGlyphFonts();

}  // namespace quarlex
