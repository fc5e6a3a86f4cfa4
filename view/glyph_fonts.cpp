#include "view/glyph_fonts.h"

#include <iostream>

namespace quarlex {

namespace {

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool SameFamily(const std::string& a, const std::string& b) {
  return EqualsIgnoreCase(a, b);
}

bool IsArialCompatible(const std::string& family) {
  return EqualsIgnoreCase(family, "Arial") || EqualsIgnoreCase(family, "Liberation Sans") ||
         EqualsIgnoreCase(family, "Arimo");
}

std::shared_ptr<GlyphFonts> EmptyGlyphFonts() {
  auto fonts = std::make_shared<GlyphFonts>();
  for (int f = 0; f < GlyphFontCount; ++f) {
    fonts->PixelSizes[f] = GlyphCellHeights[f];
    for (auto& g : fonts->Fonts[f]) g.Advance = static_cast<int16_t>(GlyphCellHeights[f] / 2);
  }
  return fonts;
}

std::shared_ptr<const GlyphFonts> SharedGlyphFonts() {
  static std::shared_ptr<const GlyphFonts> fonts = BuildGlyphFonts("Arial", std::cerr);
  return fonts;
}

}  // namespace quarlex
