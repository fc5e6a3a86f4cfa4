// Prints the FreeType source's metrics of "Arial" (Liberation Sans here) for printable ASCII
// at the three cell heights, as the table the Windows build compares its GDI glyphs with:
//   build/tests/glyph_metrics_table > tests/view/support/freetype_arial_metrics.h
#include <cstdio>
#include <iostream>

#include "tests/view/support/glyph_metrics.h"

int main() {
  using namespace quarlex;
  using namespace quarlex::testing_support;
  const auto fonts = BuildGlyphFonts("Arial", std::cerr);
  std::printf(
      "#pragma once\n// Made by glyph_metrics_table from %s\n// (%s):\n"
      "// advance, left, top, width, rows of ' '..'~' in fonts 1..3. Regenerate when the face\n"
      "// changes.\n"
      "#include \"tests/view/support/glyph_metrics.h\"\n\n"
      "namespace quarlex::testing_support {\n\n"
      "// One row per glyph, as generated.\n"
      "// clang-format off\n"
      "constexpr InkBox FreeTypeArialMetrics[GlyphFontCount][ComparedCount] = {\n",
      fonts->Family.c_str(), fonts->File.c_str());
  for (int f = 1; f <= GlyphFontCount; ++f) {
    std::printf("    {\n");
    for (int c = FirstCompared; c < FirstCompared + ComparedCount; ++c) {
      const InkBox b = InkBoxOf(*fonts, fonts->At(f, static_cast<uint8_t>(c)));
      std::printf("        {%d, %d, %d, %d, %d},\n", b.advance, b.left, b.top, b.width, b.rows);
    }
    std::printf("    },\n");
  }
  std::printf("};\n// clang-format on\n\n}  // namespace quarlex::testing_support\n");
  return fonts->Empty() ? 1 : 0;
}
