#pragma once
// The off-screen renderer that the exchange grid and the minimap draw through: a rasteriser of
// our own, so the program needs no GL driver and pictures are exact to the pixel.
//
// Surface: 4096 x 4096 pixels of 32 bits, 0xFFRRGGBB, the form the window system shows (a
// QImage::Format_RGB32 image), so a frame is presented by copying rows, never converted. Rows
// top-down, allocated once with calloc so that only the pages frames touch become resident.
// Coordinates are surface pixels,
// origin at the top-left, x to the right, y downward; a frame of a W x H image is the rectangle
// (0, 0) .. (W, H). Nothing clears the surface: each view paints its own background first.
//
// Drawing state that persists across frames and views: the current colour and the current line
// width (1 or 2). The minimap draws with whatever width the grid left.
//
// Coverage rules (the grid's layout puts lines on whole pixels and fills the cells inset by one):
//  - filled quad: every pixel whose centre (x + 0.5, y + 0.5) lies inside the convex quad, left and
//    top edges inclusive, right and bottom exclusive; so (0,0)-(W,H) fills exactly W x H pixels;
//  - lines: stepped along the major axis over every pixel the segment passes, both end pixels
//    included; a width-1 line at integer coordinate c lights pixel row (or column) c; a width-2
//    line at c lights c - 1 and c and starts one pixel early along its length, so the corners of
//    its loops close. Line strips and loops share their joints.
//  - glyphs: the set bits of the glyph, its first row `Top` rows above the baseline, so a glyph
//    sitting on baseline y has its lowest row at y - 1.
// Everything is clipped to the surface.
//
// Frames: BeginFrame, primitives, PresentFrame. Primitives outside a frame draw nothing (there is
// no current context then). Main (user-interface) thread only; frames never overlap.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string_view>

#include "view/glyph_fonts.h"

namespace quarlex {

constexpr int SurfaceSize = 4096;

// Rows [Top, Bottom) of a target that a present changed; empty when the frame equals what the
// target already showed, so the control that shows it need not be repainted at all.
struct ChangedRows {
  int Top = 0;
  int Bottom = 0;
  bool Empty() const { return Bottom <= Top; }
};

// The image a frame is presented into: plain memory owned by the caller (the Qt shell wraps a
// QImage of Format_RGB32). Pixels are 32-bit words 0xFFRRGGBB in native byte order; `Stride` is
// the distance between rows in bytes (at least Width x 4).
struct ImageTarget {
  uint32_t* Pixels = nullptr;
  int Width = 0;
  int Height = 0;
  size_t Stride = 0;
};

struct Vertex {
  float x = 0, y = 0;
};

class Renderer {
 public:
  // CreateRenderer: allocates the surface and takes the process's glyphs (SharedGlyphFonts).
  Renderer();
  // The same with given glyphs (tests, other faces).
  explicit Renderer(std::shared_ptr<const GlyphFonts> glyphs);
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  void BeginFrame() { inFrame_ = true; }
  bool InFrame() const { return inFrame_; }

  void SetColor(uint8_t r, uint8_t g, uint8_t b) {
    color_ = 0xFF000000u | uint32_t{r} << 16 | uint32_t{g} << 8 | b;
  }
  // 1 or 2; other values are taken as the nearest of the two.
  void SetLineWidth(int width) { lineWidth_ = width <= 1 ? 1 : 2; }
  int LineWidth() const { return lineWidth_; }

  // One convex polygon of four vertices in the current colour.
  void FillQuad(Vertex a, Vertex b, Vertex c, Vertex d);
  // Independent segments from vertex pairs (an odd last vertex is ignored).
  void LineList(std::span<const Vertex> v);
  void LineList(std::initializer_list<Vertex> v) { LineList(std::span<const Vertex>(v.begin(), v.size())); }
  // Open polyline.
  void LineStrip(std::span<const Vertex> v);
  void LineStrip(std::initializer_list<Vertex> v) { LineStrip(std::span<const Vertex>(v.begin(), v.size())); }
  // Closed polyline.
  void LineLoop(std::span<const Vertex> v);
  void LineLoop(std::initializer_list<Vertex> v) { LineLoop(std::span<const Vertex>(v.begin(), v.size())); }

  // Draws the glyph of each byte of `text` in font `fontNumber` (1..3: cell heights 17, 20, 24)
  // from the baseline-left point (x, y), each glyph advancing the pen by its width. Empty text
  // and an unknown font number draw nothing. Returns the pen's x after the last glyph.
  int DrawGlyphText(int x, int y, int fontNumber, std::string_view text);

  // Ends the frame and copies its W x H corner 1:1 into the target at (0, 0). Only what fits both
  // the surface and the target is copied; pixels of the target outside W x H are not touched.
  // Returns the rows that differ from what the target held; repainting them is the caller's
  // business.
  ChangedRows PresentFrame(ImageTarget& target, int w, int h);

  // Reading the surface, for tests and tools: 0xRRGGBB of pixel (x, y); 0 outside the surface.
  uint32_t PixelAt(int x, int y) const;
  const GlyphFonts& Glyphs() const { return *glyphs_; }

 private:
  void Segment(Vertex a, Vertex b);
  void Put(int x, int y) {
    if (static_cast<unsigned>(x) >= SurfaceSize || static_cast<unsigned>(y) >= SurfaceSize) return;
    surface_[static_cast<size_t>(y) * SurfaceSize + static_cast<size_t>(x)] = color_;
  }
  void Span(int y, int x0, int x1);    // pixels x0 .. x1 - 1 of row y, already clipped
  void Column(int x, int y0, int y1);  // pixels y0 .. y1 - 1 of column x, already clipped

  std::unique_ptr<uint32_t[], void (*)(void*)> surface_;
  std::shared_ptr<const GlyphFonts> glyphs_;
  bool inFrame_ = false;
  uint32_t color_ = 0xFF000000u;  // the current colour as a surface pixel
  int lineWidth_ = 1;
};

}  // namespace quarlex
