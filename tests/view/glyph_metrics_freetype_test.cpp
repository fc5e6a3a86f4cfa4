// The committed FreeType metrics that the Windows build compares its GDI glyphs with are the
// ones FreeType gives here: a changed face or renderer shows up on Linux first.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/view/support/freetype_arial_metrics.h"

namespace quarlex {
namespace {

using namespace testing_support;

TEST(GlyphMetricsTable, IsWhatFreeTypeGives) {
  std::ostringstream diag;
  const auto fonts = BuildGlyphFonts("Arial", diag);
  ASSERT_TRUE(IsArialCompatible(fonts->Family)) << diag.str();
  int differing = 0;
  for (int f = 1; f <= GlyphFontCount; ++f) {
    for (int i = 0; i < ComparedCount; ++i) {
      const InkBox got = InkBoxOf(*fonts, fonts->At(f, static_cast<uint8_t>(FirstCompared + i)));
      const InkBox& want = FreeTypeArialMetrics[f - 1][i];
      differing += got.advance != want.advance || got.left != want.left || got.top != want.top ||
                   got.width != want.width || got.rows != want.rows;
    }
  }
  EXPECT_EQ(differing, 0)
      << "regenerate tests/view/support/freetype_arial_metrics.h with glyph_metrics_table";
}

}  // namespace
}  // namespace quarlex
