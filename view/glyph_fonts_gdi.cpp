// Glyphs through GDI: the face GDI selects for the family at each cell height (a positive font
// height is the cell, as the grid means it), each glyph's monochrome bitmap from
// GetGlyphOutlineW with GGO_BITMAP.
#include <algorithm>
#include <vector>

#include "text/win32_text.h"
#include "view/glyph_fonts.h"

namespace quarlex {

namespace {

struct MemoryDc {
  HDC dc = CreateCompatibleDC(nullptr);
  ~MemoryDc() {
    if (dc) DeleteDC(dc);
  }
};

// The font selected into `dc` for as long as this lives.
struct SelectedFont {
  HDC dc;
  HFONT font;
  HGDIOBJ old = nullptr;
  SelectedFont(HDC d, const std::wstring& face, int cell)
      : dc(d),
        font(CreateFontW(cell, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_TT_PRECIS,
                         CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, DEFAULT_PITCH | FF_SWISS,
                         face.c_str())) {
    if (font) old = SelectObject(dc, font);
  }
  ~SelectedFont() {
    if (old) SelectObject(dc, old);
    if (font) DeleteObject(font);
  }
};

// One glyph of the selected font into `fonts`; false when GDI has no outline for it.
bool AddGlyph(HDC dc, char32_t codePoint, Glyph& g, std::vector<uint8_t>& bits) {
  const MAT2 identity = {{0, 1}, {0, 0}, {0, 0}, {0, 1}};
  GLYPHMETRICS gm{};
  const UINT ch = static_cast<UINT>(codePoint);
  const DWORD size = GetGlyphOutlineW(dc, ch, GGO_BITMAP, &gm, 0, nullptr, &identity);
  if (size == GDI_ERROR) return false;
  g.Advance = static_cast<int16_t>(gm.gmCellIncX);
  if (size == 0 || gm.gmBlackBoxX == 0 || gm.gmBlackBoxY == 0) return true;  // a space: no ink
  std::vector<uint8_t> buffer(size);
  if (GetGlyphOutlineW(dc, ch, GGO_BITMAP, &gm, size, buffer.data(), &identity) == GDI_ERROR) return false;
  // GDI's rows are padded to four bytes, top row first, most significant bit leftmost. Its
  // black box may hold blank rows and columns at the edges; the glyph keeps only the ink, so
  // that Left and Top place the first lit pixel as FreeType's bitmaps do.
  const unsigned width = gm.gmBlackBoxX, rows = gm.gmBlackBoxY;
  const unsigned sourcePitch = (width + 31) / 32 * 4;
  if (size_t{sourcePitch} * rows > buffer.size()) return false;
  const auto lit = [&](unsigned x, unsigned y) {
    return (buffer[size_t{y} * sourcePitch + x / 8] >> (7 - x % 8)) & 1;
  };
  unsigned x0 = width, x1 = 0, y0 = rows, y1 = 0;
  for (unsigned y = 0; y < rows; ++y) {
    for (unsigned x = 0; x < width; ++x) {
      if (!lit(x, y)) continue;
      x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
  }
  if (x0 > x1) return true;  // nothing lit
  const unsigned inkWidth = x1 - x0 + 1, inkRows = y1 - y0 + 1, pitch = (inkWidth + 7) / 8;
  g.Left = static_cast<int16_t>(gm.gmptGlyphOrigin.x + static_cast<int>(x0));
  g.Top = static_cast<int16_t>(gm.gmptGlyphOrigin.y - static_cast<int>(y0));
  g.Width = static_cast<uint16_t>(inkWidth);
  g.Rows = static_cast<uint16_t>(inkRows);
  g.Pitch = static_cast<uint16_t>(pitch);
  for (unsigned y = y0; y <= y1; ++y) {
    std::vector<uint8_t> row(pitch, 0);
    for (unsigned x = x0; x <= x1; ++x) {
      if (lit(x, y)) row[(x - x0) / 8] |= static_cast<uint8_t>(0x80 >> ((x - x0) % 8));
    }
    bits.insert(bits.end(), row.begin(), row.end());
  }
  return true;
}

// Builds from the face GDI selects for `face`; nullptr when that is no TrueType face (only
// those have outlines). `family` is recorded when given, else the selected face's name.
std::shared_ptr<GlyphFonts> TryBuild(const std::wstring& face, const std::string& family) {
  MemoryDc memory;
  if (!memory.dc) return nullptr;
  auto fonts = std::make_shared<GlyphFonts>();
  fonts->Bits.reserve(64 * 1024);
  for (int f = 0; f < GlyphFontCount; ++f) {
    SelectedFont selected(memory.dc, face, GlyphCellHeights[f]);
    TEXTMETRICW tm{};
    if (!selected.old || !GetTextMetricsW(memory.dc, &tm) || !(tm.tmPitchAndFamily & TMPF_TRUETYPE))
      return nullptr;
    fonts->PixelSizes[f] = tm.tmHeight - tm.tmInternalLeading;
    if (f == 0) {
      wchar_t name[LF_FACESIZE] = {};
      GetTextFaceW(memory.dc, LF_FACESIZE, name);
      fonts->Family = family.empty() ? win32::Narrow(name) : family;
    }
    for (int b = 0; b < 256; ++b) {
      Glyph& g = fonts->Fonts[f][b];
      g.Offset = static_cast<uint32_t>(fonts->Bits.size());
      // A glyph GDI cannot give is left blank with the em's half as advance: one bad outline
      // must not cost the whole font.
      if (!AddGlyph(memory.dc, GlyphCodePoint(static_cast<uint8_t>(b)), g, fonts->Bits)) {
        g = Glyph{};
        g.Offset = static_cast<uint32_t>(fonts->Bits.size());
        g.Advance = static_cast<int16_t>(fonts->PixelSizes[f] / 2);
      }
    }
  }
  return fonts;
}

}  // namespace

std::shared_ptr<const GlyphFonts> BuildGlyphFontsFromFile(const std::string& file,
                                                          int /*index: GDI picks by family*/,
                                                          const std::string& fileFamily, std::ostream& diag) {
  const std::wstring path = win32::Wide(file);
  std::shared_ptr<GlyphFonts> fonts;
  if (AddFontResourceExW(path.c_str(), FR_PRIVATE, nullptr) > 0) {
    fonts = TryBuild(win32::Wide(fileFamily), "");
    RemoveFontResourceExW(path.c_str(), FR_PRIVATE, nullptr);
    // GDI falls back to another face silently; only the file's own family counts here.
    if (fonts && !SameFamily(fonts->Family, fileFamily)) fonts = nullptr;
  }
  if (fonts) {
    fonts->File = file;
    return fonts;
  }
  diag << "quarlex: cannot read the font file \"" << file << "\"; grid text is not drawn\n";
  return EmptyGlyphFonts();
}

std::shared_ptr<const GlyphFonts> BuildGlyphFonts(const std::string& family, std::ostream& diag) {
  auto fonts = TryBuild(win32::Wide(family), "");
  const bool isWanted = fonts && (SameFamily(fonts->Family, family) ||
                                  (IsArialCompatible(family) && IsArialCompatible(fonts->Family)));
  if (isWanted) return fonts;
  // Any sans face will do: the grid stays readable, only the glyph shapes and widths differ.
  if (!fonts) fonts = TryBuild(L"Microsoft Sans Serif", "");
  if (fonts) {
    diag << "quarlex: no usable \"" << family << "\" font; grid text uses \"" << fonts->Family << "\"\n";
    return fonts;
  }
  diag << "quarlex: no usable font found for \"" << family << "\"; grid text is not drawn\n";
  return EmptyGlyphFonts();
}

}  // namespace quarlex
