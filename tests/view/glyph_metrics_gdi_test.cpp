// GDI's glyphs of "Arial" against FreeType's (a committed table made on Linux): advances and ink
// boxes of printable ASCII within a pixel at each cell height, so the grid lays text out the
// same on both systems.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "tests/view/support/freetype_arial_metrics.h"

namespace quarlex {
namespace {

using namespace testing_support;

TEST(GlyphMetricsGdi, WithinAPixelOfFreeType) {
  std::ostringstream diag;
  const auto fonts = BuildGlyphFonts("Arial", diag);
  ASSERT_TRUE(IsArialCompatible(fonts->Family)) << fonts->Family << ": " << diag.str();
  constexpr int ems[GlyphFontCount] = {15, 18, 21};  // as FreeType takes them from the face
  for (int f = 1; f <= GlyphFontCount; ++f) {
    SCOPED_TRACE("font " + std::to_string(f));
    EXPECT_EQ(fonts->PixelSizes[f - 1], ems[f - 1]);
    int exact = 0;
    for (int i = 0; i < ComparedCount; ++i) {
      const char c = static_cast<char>(FirstCompared + i);
      const InkBox got = InkBoxOf(*fonts, fonts->At(f, static_cast<uint8_t>(c)));
      const InkBox& want = FreeTypeArialMetrics[f - 1][i];
      const int fields[5][2] = {{got.advance, want.advance},
                                {got.left, want.left},
                                {got.top, want.top},
                                {got.width, want.width},
                                {got.rows, want.rows}};
      int worst = 0;
      for (const auto& [g, w] : fields) worst = std::max(worst, std::abs(g - w));
      EXPECT_LE(worst, 1) << "'" << c << "' advance/left/top/width/rows " << got.advance << "/" << got.left
                          << "/" << got.top << "/" << got.width << "/" << got.rows << ", FreeType "
                          << want.advance << "/" << want.left << "/" << want.top << "/" << want.width << "/"
                          << want.rows;
      exact += worst == 0;
    }
    std::cout << fonts->Family << ", font " << f << ": " << exact << " of " << ComparedCount
              << " glyphs match FreeType exactly\n";
  }
}

}  // namespace
}  // namespace quarlex
