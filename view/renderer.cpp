#include "view/renderer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace quarlex {

namespace {

uint32_t* NewSurface() {
  // calloc of 64 MiB maps fresh zero pages: only the corner that frames draw becomes resident.
  void* p = std::calloc(size_t{SurfaceSize} * SurfaceSize, sizeof(uint32_t));
  if (!p) throw std::bad_alloc();
  return static_cast<uint32_t*>(p);
}

int FloorToInt(double v) {
  // Vertices far outside the surface must not overflow the int conversion.
  v = std::clamp(v, -1e6, 1e6);
  return static_cast<int>(std::floor(v));
}
int CeilToInt(double v) {
  v = std::clamp(v, -1e6, 1e6);
  return static_cast<int>(std::ceil(v));
}

}  // namespace

Renderer::Renderer() : Renderer(SharedGlyphFonts()) {}

Renderer::Renderer(std::shared_ptr<const GlyphFonts> glyphs)
    : surface_(NewSurface(), std::free), glyphs_(std::move(glyphs)) {}

void Renderer::Span(int y, int x0, int x1) {
  std::fill_n(surface_.get() + static_cast<size_t>(y) * SurfaceSize + x0, x1 - x0, color_);
}

void Renderer::Column(int x, int y0, int y1) {
  uint32_t* p = surface_.get() + static_cast<size_t>(y0) * SurfaceSize + x;
  for (int y = y0; y < y1; ++y, p += SurfaceSize) *p = color_;
}

void Renderer::FillQuad(Vertex a, Vertex b, Vertex c, Vertex d) {
  if (!inFrame_) return;
  // Axis-aligned rectangles (backgrounds and cell fills): one x range for every row.
  if ((a.y == b.y && b.x == c.x && c.y == d.y && d.x == a.x) ||
      (a.x == b.x && b.y == c.y && c.x == d.x && d.y == a.y)) {
    const double left = std::min(a.x, c.x), right = std::max(a.x, c.x);
    const double top = std::min(a.y, c.y), bottom = std::max(a.y, c.y);
    const int x0 = std::max(0, CeilToInt(left - 0.5)), x1 = std::min(SurfaceSize, CeilToInt(right - 0.5));
    const int y0 = std::max(0, CeilToInt(top - 0.5)), y1 = std::min(SurfaceSize, CeilToInt(bottom - 0.5));
    if (x0 < x1) {
      for (int y = y0; y < y1; ++y) Span(y, x0, x1);
    }
    return;
  }
  const Vertex v[4] = {a, b, c, d};
  double minY = v[0].y, maxY = v[0].y;
  for (const Vertex& p : v) minY = std::min<double>(minY, p.y), maxY = std::max<double>(maxY, p.y);
  // Rows whose centre lies in [minY, maxY).
  const int yBegin = std::max(0, CeilToInt(minY - 0.5));
  const int yEnd = std::min(SurfaceSize, CeilToInt(maxY - 0.5));
  for (int y = yBegin; y < yEnd; ++y) {
    const double yc = y + 0.5;
    double xl = 0, xr = 0;
    bool any = false;
    for (int i = 0; i < 4; ++i) {
      const Vertex& p = v[i];
      const Vertex& q = v[(i + 1) & 3];
      // Half-open in y, so a vertex shared by two edges is counted once.
      if (!((p.y <= yc && yc < q.y) || (q.y <= yc && yc < p.y))) continue;
      const double x = p.x + (yc - p.y) * (double{q.x} - p.x) / (double{q.y} - p.y);
      if (!any) {
        xl = xr = x;
        any = true;
      } else {
        xl = std::min(xl, x), xr = std::max(xr, x);
      }
    }
    if (!any) continue;
    const int x0 = std::max(0, CeilToInt(xl - 0.5));
    const int x1 = std::min(SurfaceSize, CeilToInt(xr - 0.5));
    if (x0 < x1) Span(y, x0, x1);
  }
}

void Renderer::Segment(Vertex a, Vertex b) {
  const double dx = double{b.x} - a.x, dy = double{b.y} - a.y;
  const int w = lineWidth_;
  const double half = w / 2.0;
  // Axis-parallel lines (grid lines, frames, minimap rows) as spans: the same pixels as the
  // stepping below, without a division per pixel.
  if (dy == 0 || dx == 0) {
    const bool horizontal = dy == 0 && dx != 0;
    const double lo = horizontal ? std::min(a.x, b.x) : std::min(a.y, b.y);
    const double hi = horizontal ? std::max(a.x, b.x) : std::max(a.y, b.y);
    const int from = std::max(0, FloorToInt(lo) - (w - 1));
    const int to = std::min(SurfaceSize, FloorToInt(hi) + 1);
    const int across = FloorToInt((horizontal ? a.y : a.x) - half + 0.5);
    if (from >= to) return;
    for (int k = 0; k < w; ++k) {
      const int c = across + k;
      if (static_cast<unsigned>(c) >= SurfaceSize) continue;
      if (horizontal) {
        Span(c, from, to);
      } else {
        Column(c, from, to);
      }
    }
    return;
  }
  if (std::fabs(dx) >= std::fabs(dy)) {
    // x-major: one run of w pixels across the line per column. A wide line starts one pixel
    // early so that the corners of its loops close (the width covers c - 1 and c).
    const double lo = std::min<double>(a.x, b.x), hi = std::max<double>(a.x, b.x);
    const int xBegin = std::max(0, FloorToInt(lo) - (w - 1));
    const int xEnd = std::min(SurfaceSize - 1, FloorToInt(hi));
    for (int x = xBegin; x <= xEnd; ++x) {
      const double xc = std::clamp(x + 0.5, lo, hi);
      const double y = dx == 0 ? a.y : a.y + (xc - a.x) * dy / dx;
      const int row = FloorToInt(y - half + 0.5);
      for (int k = 0; k < w; ++k) Put(x, row + k);
    }
  } else {
    const double lo = std::min<double>(a.y, b.y), hi = std::max<double>(a.y, b.y);
    const int yBegin = std::max(0, FloorToInt(lo) - (w - 1));
    const int yEnd = std::min(SurfaceSize - 1, FloorToInt(hi));
    for (int y = yBegin; y <= yEnd; ++y) {
      const double yc = std::clamp(y + 0.5, lo, hi);
      const double x = a.x + (yc - a.y) * dx / dy;
      const int col = FloorToInt(x - half + 0.5);
      for (int k = 0; k < w; ++k) Put(col + k, y);
    }
  }
}

void Renderer::LineList(std::span<const Vertex> v) {
  if (!inFrame_) return;
  for (size_t i = 0; i + 1 < v.size(); i += 2) Segment(v[i], v[i + 1]);
}

void Renderer::LineStrip(std::span<const Vertex> v) {
  if (!inFrame_) return;
  for (size_t i = 0; i + 1 < v.size(); ++i) Segment(v[i], v[i + 1]);
}

void Renderer::LineLoop(std::span<const Vertex> v) {
  if (!inFrame_ || v.empty()) return;
  LineStrip(v);
  if (v.size() > 1) Segment(v.back(), v.front());
}

int Renderer::DrawGlyphText(int x, int y, int fontNumber, std::string_view text) {
  if (!inFrame_ || fontNumber < 1 || fontNumber > GlyphFontCount) return x;
  const GlyphFonts& fonts = *glyphs_;
  for (const char ch : text) {
    const Glyph& g = fonts.At(fontNumber, static_cast<uint8_t>(ch));
    const uint8_t* bits = fonts.BitmapOf(g);
    const int left = x + g.Left;
    const int top = y - g.Top;
    for (int r = 0; r < g.Rows; ++r, bits += g.Pitch) {
      const int py = top + r;
      if (static_cast<unsigned>(py) >= SurfaceSize) continue;
      for (int c = 0; c < g.Width; ++c) {
        if (bits[c >> 3] & (0x80 >> (c & 7))) Put(left + c, py);
      }
    }
    x += g.Advance;
  }
  return x;
}

ChangedRows Renderer::PresentFrame(ImageTarget& target, int w, int h) {
  inFrame_ = false;
  ChangedRows changed;
  if (!target.Pixels) return changed;
  w = std::min({w, target.Width, SurfaceSize});
  h = std::min({h, target.Height, SurfaceSize});
  if (w <= 0 || target.Stride < static_cast<size_t>(w) * 4) return changed;  // rows would overlap
  const size_t bytes = static_cast<size_t>(w) * sizeof(uint32_t);
  for (int y = 0; y < h; ++y) {
    const uint32_t* src = surface_.get() + static_cast<size_t>(y) * SurfaceSize;
    void* dst = reinterpret_cast<uint8_t*>(target.Pixels) + static_cast<size_t>(y) * target.Stride;
    // Comparing first costs a read of a row; a row shown again unchanged costs a repaint.
    if (std::memcmp(dst, src, bytes) == 0) continue;
    std::memcpy(dst, src, bytes);
    if (changed.Empty()) changed.Top = y;
    changed.Bottom = y + 1;
  }
  return changed;
}

uint32_t Renderer::PixelAt(int x, int y) const {
  if (static_cast<unsigned>(x) >= SurfaceSize || static_cast<unsigned>(y) >= SurfaceSize) return 0;
  return surface_[static_cast<size_t>(y) * SurfaceSize + static_cast<size_t>(x)] & 0xFFFFFFu;
}

}  // namespace quarlex
