#include "view/renderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <vector>

namespace quarlex {
namespace {

// Paints the test area black so that each test starts from a known picture.
void Clear(Renderer& r, int size = 300) {
  r.BeginFrame();
  r.SetColor(0, 0, 0);
  r.FillQuad({0, 0}, {float(size), 0}, {float(size), float(size)}, {0, float(size)});
}

constexpr uint32_t White = 0xFFFFFF;

TEST(Renderer, QuadFillsPixelsWhoseCentresLieInside) {
  Renderer r;  // its own surface: calloc'ed, only the corner drawn becomes resident
  Clear(r);
  r.SetColor(255, 255, 255);
  r.FillQuad({10, 10}, {20, 10}, {20, 15}, {10, 15});
  int lit = 0;
  for (int y = 5; y < 20; ++y)
    for (int x = 5; x < 25; ++x) lit += r.PixelAt(x, y) == White;
  EXPECT_EQ(lit, 10 * 5);
  EXPECT_EQ(r.PixelAt(10, 10), White);
  EXPECT_EQ(r.PixelAt(19, 14), White);
  EXPECT_EQ(r.PixelAt(20, 14), 0u);  // right and bottom edges are exclusive
  EXPECT_EQ(r.PixelAt(19, 15), 0u);

  // A convex, non-rectangular quad (a diamond around (100, 100)) and fractional corners.
  r.SetColor(1, 2, 3);
  r.FillQuad({100, 80.5f}, {120.25f, 100}, {100, 119.5f}, {80, 100});
  EXPECT_EQ(r.PixelAt(100, 100), 0x010203u);
  EXPECT_EQ(r.PixelAt(100, 81), 0x010203u);
  EXPECT_EQ(r.PixelAt(100, 80), 0u);
  EXPECT_EQ(r.PixelAt(82, 82), 0u);  // outside the diamond's corner cut
  EXPECT_EQ(r.PixelAt(119, 100), 0x010203u);
  EXPECT_EQ(r.PixelAt(120, 100), 0u);  // centre 120.5 lies past 120.25
}

TEST(Renderer, TwoPixelLineLoopIsClosedAndHollow) {
  Renderer r;
  Clear(r);
  r.SetColor(255, 255, 255);
  r.SetLineWidth(2);
  r.LineLoop({{10, 10}, {30, 10}, {30, 20}, {10, 20}});
  // A 2-pixel line at coordinate c covers c - 1 and c, corners included.
  for (int x = 9; x <= 30; ++x) {
    EXPECT_EQ(r.PixelAt(x, 9), White) << x;
    EXPECT_EQ(r.PixelAt(x, 10), White) << x;
    EXPECT_EQ(r.PixelAt(x, 19), White) << x;
    EXPECT_EQ(r.PixelAt(x, 20), White) << x;
  }
  for (int y = 9; y <= 20; ++y) {
    EXPECT_EQ(r.PixelAt(9, y), White) << y;
    EXPECT_EQ(r.PixelAt(30, y), White) << y;
  }
  EXPECT_EQ(r.PixelAt(8, 15), 0u);
  EXPECT_EQ(r.PixelAt(31, 15), 0u);
  EXPECT_EQ(r.PixelAt(15, 8), 0u);
  EXPECT_EQ(r.PixelAt(15, 21), 0u);
  EXPECT_EQ(r.PixelAt(20, 15), 0u);  // hollow

  // Width 1: a line at integer coordinate c lights exactly row (or column) c, both ends included.
  r.SetLineWidth(1);
  r.LineStrip({{50, 50}, {60, 50}, {60, 55}});
  for (int x = 50; x <= 60; ++x) EXPECT_EQ(r.PixelAt(x, 50), White) << x;
  EXPECT_EQ(r.PixelAt(55, 49), 0u);
  EXPECT_EQ(r.PixelAt(55, 51), 0u);
  EXPECT_EQ(r.PixelAt(61, 50), 0u);
  for (int y = 50; y <= 55; ++y) EXPECT_EQ(r.PixelAt(60, y), White) << y;
  EXPECT_EQ(r.PixelAt(60, 56), 0u);
  // A diagonal steps one pixel per column.
  r.LineList({{100, 100}, {110, 110}});
  for (int i = 0; i <= 10; ++i) EXPECT_EQ(r.PixelAt(100 + i, 100 + i), White) << i;
  EXPECT_EQ(r.PixelAt(101, 100), 0u);
}

TEST(Renderer, LineWidthPersistsIntoTheNextFrame) {
  Renderer r;
  Clear(r);
  r.SetLineWidth(2);
  std::vector<uint32_t> pixels(8 * 8);
  ImageTarget t{pixels.data(), 8, 8, 8 * 4};
  r.PresentFrame(t, 8, 8);
  EXPECT_FALSE(r.InFrame());

  r.BeginFrame();
  r.SetColor(255, 255, 255);
  r.LineList({{40, 70}, {80, 70}});  // width not set in this frame
  EXPECT_EQ(r.PixelAt(60, 69), White);
  EXPECT_EQ(r.PixelAt(60, 70), White);
  EXPECT_EQ(r.PixelAt(60, 68), 0u);
  EXPECT_EQ(r.PixelAt(60, 71), 0u);
  r.PresentFrame(t, 8, 8);
  r.SetLineWidth(1);
}

TEST(Renderer, NothingIsDrawnOutsideAFrame) {
  Renderer r;
  Clear(r);
  std::vector<uint32_t> pixels(4);
  ImageTarget t{pixels.data(), 2, 2, 8};
  r.PresentFrame(t, 2, 2);
  r.SetColor(255, 255, 255);
  r.FillQuad({0, 0}, {50, 0}, {50, 50}, {0, 50});
  r.DrawGlyphText(10, 30, 1, "A");
  EXPECT_EQ(r.PixelAt(5, 5), 0u);
}

TEST(Renderer, PresentCopiesOnlyTheFrameAndLeavesTheRestOfTheTarget) {
  Renderer r;
  Clear(r);
  r.SetColor(0x12, 0x34, 0x56);
  r.FillQuad({0, 0}, {30, 0}, {30, 30}, {0, 30});
  r.SetColor(0xAB, 0xCD, 0xEF);
  r.FillQuad({4, 3}, {5, 3}, {5, 4}, {4, 4});

  constexpr int W = 40, H = 30, Pad = 3;  // rows padded like an aligned image
  const uint32_t sentinel = 0xDEADBEEF;
  std::vector<uint32_t> pixels((W + Pad) * H, sentinel);
  ImageTarget t{pixels.data(), W, H, (W + Pad) * 4};
  const ChangedRows first = r.PresentFrame(t, 20, 10);
  EXPECT_EQ(first.Top, 0);
  EXPECT_EQ(first.Bottom, 10);
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W + Pad; ++x) {
      const uint32_t p = pixels[y * (W + Pad) + x];
      if (x < 20 && y < 10) {
        const uint32_t want = (x == 4 && y == 3) ? 0xFFABCDEF : 0xFF123456;
        ASSERT_EQ(p, want) << x << "," << y;
      } else {
        ASSERT_EQ(p, sentinel) << x << "," << y;
      }
    }
  }

  // Presented again, the same picture changes nothing; one new pixel changes its row only.
  r.BeginFrame();
  EXPECT_TRUE(r.PresentFrame(t, 20, 10).Empty());
  r.BeginFrame();
  r.SetColor(1, 2, 3);
  r.FillQuad({19, 7}, {20, 7}, {20, 8}, {19, 8});
  const ChangedRows again = r.PresentFrame(t, 20, 10);
  EXPECT_EQ(again.Top, 7);
  EXPECT_EQ(again.Bottom, 8);
  EXPECT_EQ(pixels[7 * (W + Pad) + 19], 0xFF010203u);

  // A frame larger than the target is cut to the target, never written past it.
  std::vector<uint32_t> small(5 * 4 + 1, sentinel);
  ImageTarget s{small.data(), 5, 4, 5 * 4};
  r.BeginFrame();
  r.PresentFrame(s, 100, 100);
  EXPECT_EQ(small[0], 0xFF123456u);
  EXPECT_EQ(small[19], 0xFFABCDEFu);  // (4, 3), the last pixel of the target
  EXPECT_EQ(small[20], sentinel);
}

TEST(Renderer, DrawingPastTheSurfaceEdgesIsClipped) {
  Renderer r;
  r.BeginFrame();
  r.SetColor(9, 9, 9);
  r.FillQuad({4090, 4090}, {5000, 4090}, {5000, 1e9f}, {4090, 1e9f});
  EXPECT_EQ(r.PixelAt(4095, 4095), 0x090909u);
  EXPECT_EQ(r.PixelAt(4089, 4095), 0u);
  r.FillQuad({-50, -50}, {-10, -60}, {-5, -5}, {-60, -10});  // wholly outside: nothing
  r.SetLineWidth(2);
  r.LineLoop({{-10, 4095}, {4200, 4095}, {4200, -30}, {-10, -30}});
  r.LineList({{-1e7f, -1e7f}, {1e7f, 1e7f}});
  r.SetLineWidth(1);
  r.DrawGlyphText(4090, 4100, 3, "WWWW");
  r.DrawGlyphText(-30, 5, 3, "WWWW");
  EXPECT_EQ(r.PixelAt(2000, 4095), 0x090909u);  // the loop's bottom edge, clipped to the surface
  std::vector<uint32_t> pixels(4);
  ImageTarget t{pixels.data(), 2, 2, 8};
  r.PresentFrame(t, 2, 2);
}

TEST(Renderer, GlyphSitsOnItsBaselineAndAdvancesThePen) {
  Renderer r;
  Clear(r);
  r.SetColor(255, 255, 255);
  const Glyph& a = r.Glyphs().At(1, 'A');
  ASSERT_GT(a.Rows, 0);
  const int end = r.DrawGlyphText(100, 200, 1, "A");
  EXPECT_EQ(end, 100 + a.Advance);
  int lowest = -1, highest = 1000, lit = 0;
  for (int y = 150; y < 230; ++y) {
    for (int x = 90; x < 130; ++x) {
      if (r.PixelAt(x, y) != White) continue;
      ++lit;
      lowest = std::max(lowest, y);
      highest = std::min(highest, y);
      EXPECT_GE(x, 100 + a.Left);
      EXPECT_LT(x, end + 2);
    }
  }
  EXPECT_GT(lit, 10);
  EXPECT_EQ(lowest, 199);  // 'A' stands on the baseline: its last row is just above y
  EXPECT_EQ(highest, 200 - a.Top);
  // Font 1 has a 17-pixel cell: the capital fits well inside it.
  EXPECT_LE(a.Top, 14);
  EXPECT_GE(a.Top, 9);

  // The empty text draws nothing and leaves the pen where it was.
  Clear(r);
  EXPECT_EQ(r.DrawGlyphText(100, 200, 2, ""), 100);
  EXPECT_EQ(r.DrawGlyphText(100, 200, 4, "A"), 100);  // no such font
  for (int x = 90; x < 130; ++x) EXPECT_EQ(r.PixelAt(x, 195), 0u);
}

TEST(Renderer, FontsGrowWithTheirCellHeight) {
  const GlyphFonts& g = *SharedGlyphFonts();
  EXPECT_LT(g.At(1, 'H').Top, g.At(2, 'H').Top);
  EXPECT_LT(g.At(2, 'H').Top, g.At(3, 'H').Top);
  EXPECT_LT(g.At(1, 'W').Advance, g.At(3, 'W').Advance);
}

bool SameBitmap(const GlyphFonts& f, int font, uint8_t x, uint8_t y) {
  const Glyph& a = f.At(font, x);
  const Glyph& b = f.At(font, y);
  if (a.Width != b.Width || a.Rows != b.Rows || a.Top != b.Top || a.Left != b.Left || a.Advance != b.Advance)
    return false;
  return std::equal(f.BitmapOf(a), f.BitmapOf(a) + a.Rows * a.Pitch, f.BitmapOf(b));
}

TEST(Renderer, HighBytesShowTheProgramsCodePage) {
  const GlyphFonts& g = *SharedGlyphFonts();
  ASSERT_FALSE(g.Empty());
  for (int font = 1; font <= 3; ++font) {
    // Cyrillic А, Е, О, Р, С and а, е, о, р, с share their shapes with Latin letters; the
    // Latin-1 characters at the same bytes (À, Å, Ð, ...) do not.
    EXPECT_TRUE(SameBitmap(g, font, 0xC0, 'A')) << font;
    EXPECT_TRUE(SameBitmap(g, font, 0xC5, 'E')) << font;
    EXPECT_TRUE(SameBitmap(g, font, 0xCE, 'O')) << font;
    EXPECT_TRUE(SameBitmap(g, font, 0xD0, 'P')) << font;
    EXPECT_TRUE(SameBitmap(g, font, 0xE0, 'a')) << font;
    EXPECT_TRUE(SameBitmap(g, font, 0xF1, 'c')) << font;
    // я (0xFF) is its own letter.
    EXPECT_FALSE(SameBitmap(g, font, 0xFF, 'R')) << font;
    EXPECT_GT(g.At(font, 0xFF).Rows, 0);
    // 0x80..0xBF are the same code page's characters, as the text column shows them: І, Ј, Ѕ
    // and і, ј, ѕ look like Latin letters, while the Latin-1 signs at those bytes (², £, ½, ³,
    // ¼, ¾) do not.
    EXPECT_TRUE(SameBitmap(g, font, 0xB2, 'I')) << font;
    EXPECT_TRUE(SameBitmap(g, font, 0xA3, 'J')) << font;
    EXPECT_TRUE(SameBitmap(g, font, 0xBD, 'S')) << font;
    EXPECT_TRUE(SameBitmap(g, font, 0xB3, 'i')) << font;
    EXPECT_TRUE(SameBitmap(g, font, 0xBC, 'j')) << font;
    EXPECT_TRUE(SameBitmap(g, font, 0xBE, 's')) << font;
  }
}

TEST(GlyphFonts, ArialMatchesLiberationSansAtWindowsCellHeights) {
  std::ostringstream diag;
  auto fonts = BuildGlyphFonts("Arial", diag);
  EXPECT_EQ(diag.str(), "");
  EXPECT_TRUE(IsArialCompatible(fonts->Family)) << fonts->Family;
  // Liberation Sans: cell = (1854 + 434) / 2048 em, so 17, 20, 24 -> em 15, 18, 21.
  EXPECT_EQ(fonts->PixelSizes[0], 15);
  EXPECT_EQ(fonts->PixelSizes[1], 18);
  EXPECT_EQ(fonts->PixelSizes[2], 21);
}

TEST(GlyphFonts, MissingFacesFallBackWithOneLineAndNeverCrash) {
  std::ostringstream diag;
  auto other = BuildGlyphFonts("Quarlex No Such Face", diag);
  const std::string said = diag.str();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_FALSE(other->Empty());
  EXPECT_GT(other->At(1, 'A').Rows, 0);

  std::ostringstream diag2;
  auto none = BuildGlyphFontsFromFile("/nonexistent/quarlex.ttf", 0, "X", diag2);
  EXPECT_TRUE(none->Empty());
  const std::string said2 = diag2.str();
  EXPECT_NE(said2.find("/nonexistent/quarlex.ttf"), std::string::npos);
  EXPECT_EQ(std::count(said2.begin(), said2.end(), '\n'), 1);
  Renderer r(none);
  r.BeginFrame();
  EXPECT_EQ(r.DrawGlyphText(10, 20, 3, "AB"), 10 + 2 * (24 / 2));  // text still takes its room
}

}  // namespace
}  // namespace quarlex
