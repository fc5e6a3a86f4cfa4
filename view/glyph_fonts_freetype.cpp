// Glyphs through fontconfig (which face) and FreeType (monochrome bitmaps).
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <cmath>
#include <cstring>
#include <iostream>
#include <mutex>

#include "view/glyph_fonts.h"

namespace quarlex {

namespace {

// Frees FreeType objects on every path out of the builder.
struct FreeTypeFace {
  FT_Library lib = nullptr;
  FT_Face face = nullptr;
  ~FreeTypeFace() {
    if (face) FT_Done_Face(face);
    if (lib) FT_Done_FreeType(lib);
  }
};

// Em size in pixels for a Windows cell height: the cell is usWinAscent + usWinDescent, so the em
// is cell x unitsPerEm / (ascent + descent). GDI rounds it to whole pixels; so do we, which also
// keeps the hinted glyphs on the pixel grid.
int PixelSizeForCell(FT_Face face, int cell) {
  double asc = 0, desc = 0;
  if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2)); os2 && os2->version != 0xFFFF) {
    asc = os2->usWinAscent;
    desc = os2->usWinDescent;
  }
  if (asc + desc <= 0) {  // not a TrueType face with Windows metrics: use the face's own extent
    asc = face->ascender;
    desc = -static_cast<double>(face->descender);
  }
  const double em = face->units_per_EM > 0 ? face->units_per_EM : 2048;
  if (asc + desc <= 0) return cell;
  const int px = static_cast<int>(std::lround(cell * em / (asc + desc)));
  return px < 1 ? 1 : px;
}

// Builds from a face file; nullptr when FreeType cannot open or size it.
std::shared_ptr<GlyphFonts> TryBuild(const std::string& file, int index, const std::string& family) {
  FreeTypeFace ft;
  if (file.empty() || FT_Init_FreeType(&ft.lib) != 0) return nullptr;
  if (FT_New_Face(ft.lib, file.c_str(), index, &ft.face) != 0) return nullptr;
  if (!FT_IS_SCALABLE(ft.face)) return nullptr;
  auto fonts = std::make_shared<GlyphFonts>();
  fonts->Family = family.empty() ? std::string(ft.face->family_name ? ft.face->family_name : "?") : family;
  fonts->File = file;
  fonts->Bits.reserve(64 * 1024);
  for (int f = 0; f < GlyphFontCount; ++f) {
    const int px = PixelSizeForCell(ft.face, GlyphCellHeights[f]);
    fonts->PixelSizes[f] = px;
    if (FT_Set_Pixel_Sizes(ft.face, 0, static_cast<FT_UInt>(px)) != 0) return nullptr;
    for (int b = 0; b < 256; ++b) {
      Glyph& g = fonts->Fonts[f][b];
      g.Offset = static_cast<uint32_t>(fonts->Bits.size());
      const FT_UInt gi = FT_Get_Char_Index(ft.face, GlyphCodePoint(static_cast<uint8_t>(b)));
      // A glyph that fails to load or render is left blank with the em's half as advance: one
      // bad outline must not cost the whole font.
      if (FT_Load_Glyph(ft.face, gi, FT_LOAD_TARGET_MONO) != 0 ||
          FT_Render_Glyph(ft.face->glyph, FT_RENDER_MODE_MONO) != 0) {
        g.Advance = static_cast<int16_t>(px / 2);
        continue;
      }
      const FT_GlyphSlot slot = ft.face->glyph;
      const FT_Bitmap& bm = slot->bitmap;
      g.Advance = static_cast<int16_t>((slot->advance.x + 32) >> 6);
      if (bm.pixel_mode != FT_PIXEL_MODE_MONO || bm.rows == 0 || bm.width == 0) continue;
      const int pitch = bm.pitch < 0 ? -bm.pitch : bm.pitch;
      g.Left = static_cast<int16_t>(slot->bitmap_left);
      g.Top = static_cast<int16_t>(slot->bitmap_top);
      g.Width = static_cast<uint16_t>(bm.width);
      g.Rows = static_cast<uint16_t>(bm.rows);
      g.Pitch = static_cast<uint16_t>(pitch);
      for (unsigned r = 0; r < bm.rows; ++r) {
        // A negative pitch stores the rows bottom-up; we keep them top-down.
        const unsigned char* row =
            bm.pitch < 0 ? bm.buffer + (bm.rows - 1 - r) * pitch : bm.buffer + r * pitch;
        fonts->Bits.insert(fonts->Bits.end(), row, row + pitch);
      }
    }
  }
  return fonts;
}

// The face fontconfig offers for a family name (File empty when it offers none at all).
struct FontMatch {
  std::string File;
  int Index = 0;
  std::string Family;
};

FontMatch MatchFont(const std::string& family) {
  FontMatch match;
  if (!FcInit()) return match;
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(family.c_str()));
  if (!pattern) return match;
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* found = FcFontMatch(nullptr, pattern, &result);
  FcPatternDestroy(pattern);
  if (!found) return match;
  FcChar8* s = nullptr;
  if (FcPatternGetString(found, FC_FILE, 0, &s) == FcResultMatch && s)
    match.File = reinterpret_cast<char*>(s);
  if (FcPatternGetString(found, FC_FAMILY, 0, &s) == FcResultMatch && s)
    match.Family = reinterpret_cast<char*>(s);
  int index = 0;
  if (FcPatternGetInteger(found, FC_INDEX, 0, &index) == FcResultMatch) match.Index = index;
  FcPatternDestroy(found);
  return match;
}

}  // namespace

std::shared_ptr<const GlyphFonts> BuildGlyphFontsFromFile(const std::string& file, int index,
                                                          const std::string& fileFamily, std::ostream& diag) {
  if (auto fonts = TryBuild(file, index, fileFamily)) return fonts;
  diag << "quarlex: cannot read the font file \"" << file << "\"; grid text is not drawn\n";
  return EmptyGlyphFonts();
}

std::shared_ptr<const GlyphFonts> BuildGlyphFonts(const std::string& family, std::ostream& diag) {
  const FontMatch wanted = MatchFont(family);
  const bool isWanted =
      SameFamily(wanted.Family, family) || (IsArialCompatible(family) && IsArialCompatible(wanted.Family));
  if (isWanted) {
    if (auto fonts = TryBuild(wanted.File, wanted.Index, wanted.Family)) return fonts;
  }
  // Any sans face will do: the grid stays readable, only the glyph shapes and widths differ.
  for (const FontMatch& m : {wanted, MatchFont("sans-serif")}) {
    if (auto fonts = TryBuild(m.File, m.Index, m.Family)) {
      diag << "quarlex: no usable \"" << family << "\" font; grid text uses \"" << fonts->Family << "\" ("
           << fonts->File << ")\n";
      return fonts;
    }
  }
  diag << "quarlex: no usable font found for \"" << family << "\"; grid text is not drawn\n";
  return EmptyGlyphFonts();
}

}  // namespace quarlex
