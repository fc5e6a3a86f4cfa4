#include "view/exchange_grid.h"

#include <array>

#include "text/code_page.h"

namespace quarlex {

// Following and bringing a row into view count the rows that the grid draws.
static_assert(GridRowCount == ViewPosition::VisibleRows);

namespace {

// Text-column byte of each value: a space for control bytes, else the byte itself, shown through
// the program's code page, so 0xC0..0xFF read as the same Cyrillic letters the grid draws.
// (Taking the byte as the Latin-1 character U+00bb first would turn most high bytes into '?'.)
const std::array<char, 256>& MemoChars() {
  static const std::array<char, 256> table = [] {
    std::array<char, 256> t{};
    for (int b = 0; b < 256; ++b) {
      t[b] = b < 0x20 ? ' ' : static_cast<char>(b);
    }
    return t;
  }();
  return table;
}

Vertex V(double x, double y) {
  return {static_cast<float>(x), static_cast<float>(y)};
}

}  // namespace

void BuildMemoText(const CaptureStore& store, std::string& out) {
  out.clear();
  const uint32_t perRow = store.BytesPerRow;
  const auto& chars = MemoChars();
  for (int r = 0; r < GridRowCount; ++r) {
    const uint64_t first = uint64_t{perRow} * (uint64_t{store.View.TopRow()} + r);
    for (uint32_t c = 0; c < perRow; ++c) {
      const uint64_t i = first + c;
      out += i > CaptureLast ? ' ' : chars[store.CaptureBuffer[i]];
    }
    if (r < GridRowCount - 1) out += "\r\n";
  }
}

std::string MemoTextOf(const CaptureStore& store) {
  std::string s;
  BuildMemoText(store, s);
  return s;
}

ExchangeGrid::ExchangeGrid(Renderer& renderer) : renderer_(renderer) {
  memoText_.reserve(GridRowCount * (32 + 2));
  lines_.reserve(2 * (32 + 2 * GridRowCount));
}

std::string ExchangeGrid::MemoTextUtf8() const {
  return Utf8FromCodePage(memoText_);
}

ChangedRows ExchangeGrid::OutExchange(const CaptureStore& store, const GridViewState& view,
                                      ImageTarget& target) {
  Renderer& rd = renderer_;
  const auto width = static_cast<uint16_t>(target.Width < 0        ? 0
                                           : target.Width > 0xFFFF ? 0xFFFF
                                                                   : target.Width);
  const auto height = static_cast<uint16_t>(target.Height < 0        ? 0
                                            : target.Height > 0xFFFF ? 0xFFFF
                                                                     : target.Height);
  if (width != LastGridWidth) {
    GridImageWidth = width;
    GridImageHeight = height;
    metrics_ = GridMetricsForWidth(width);
  } else if (height != GridImageHeight) {
    // The metrics follow the width only, but the frame must still cover the whole image:
    // otherwise rows of an image that grew in height alone would keep stale pixels.
    GridImageHeight = height;
  }
  LastGridWidth = width;

  const GridMetrics& m = metrics_;
  const uint32_t perRow = store.BytesPerRow;
  const double cw = m.CellWidth, rh = m.RowHeight, gl = m.GridLeft, aw = m.AddressWidth;
  const double gr = ByteAreaRight(m, perRow);
  const double bottom = GridBottom(m);

  rd.BeginFrame();
  rd.SetColor(GridBackground.r, GridBackground.g, GridBackground.b);
  rd.FillQuad(V(0, 0), V(GridImageWidth, 0), V(GridImageWidth, GridImageHeight), V(0, GridImageHeight));

  rd.SetColor(GridLineColor.r, GridLineColor.g, GridLineColor.b);
  rd.SetLineWidth(1);
  lines_.clear();
  for (uint32_t c = 1; c < perRow; ++c) {
    lines_.push_back(V(c * cw + gl, 0));
    lines_.push_back(V(c * cw + gl, bottom));
  }
  for (int r = 1; r < GridRowCount; ++r) {
    lines_.push_back(V(0, r * rh));
    lines_.push_back(V(aw, r * rh));
    lines_.push_back(V(gl, r * rh));
    lines_.push_back(V(gr, r * rh));
  }
  rd.LineList(lines_);
  rd.LineLoop({V(0, 0), V(aw, 0), V(aw, bottom), V(0, bottom)});
  rd.LineLoop({V(gl, 0), V(gr, 0), V(gr, bottom), V(gl, bottom)});

  // The walk fills the current match from its first byte to its last. A frame that starts inside
  // the match begins with the fill on; any other frame begins with it off, so a fill left on by
  // a previous frame (its match ran past the bottom) cannot spill onto other matches.
  const uint64_t firstIndex = uint64_t{perRow} * store.View.TopRow();
  CurrentMatchFill = view.CurrentMatchLength > 0 && firstIndex > view.CurrentMatchIndex &&
                     firstIndex < uint64_t{view.CurrentMatchIndex} + view.CurrentMatchLength;

  char buf[12];
  for (int r = 0; r < GridRowCount; ++r) {
    const uint64_t rowFirst = uint64_t{perRow} * (uint64_t{store.View.TopRow()} + r);
    for (uint32_t c = 0; c < perRow; ++c) DrawCell(store, view, rowFirst + c, static_cast<int>(c), r);

    rd.SetColor(AddressTextColor.r, AddressTextColor.g, AddressTextColor.b);
    const auto offset = static_cast<uint32_t>(rowFirst);
    const double baseline = TextBaseline(m, r);
    rd.DrawGlyphText(RoundHalfEven(double{m.ViewScale} * AddressTextOffset(offset)), RoundHalfEven(baseline),
                     m.FontNumber, AddressText(offset, buf));
  }
  BuildMemoText(store, memoText_);
  return rd.PresentFrame(target, GridImageWidth, GridImageHeight);
}

void ExchangeGrid::DrawCell(const CaptureStore& store, const GridViewState& view, uint64_t index, int column,
                            int row) {
  if (index > CaptureLast) return;  // past the ring: an empty cell, nothing read
  Renderer& rd = renderer_;
  const GridMetrics& m = metrics_;
  const uint8_t b = store.CaptureBuffer[index];
  const uint8_t a = store.CaptureAttributes[index];
  const CellBox box = CellBounds(m, column, row);
  const double x0 = box.x0, x1 = box.x1, y0 = box.y0, y1 = box.y1;
  auto insetFill = [&](Rgb color) {
    rd.SetColor(color.r, color.g, color.b);
    rd.FillQuad(V(x0 + 1, y0 + 1), V(x1 - 1, y0 + 1), V(x1 - 1, y1 - 1), V(x0 + 1, y1 - 1));
  };

  if (a & AttrSent) insetFill(SentFill);
  const bool highlighted = store.ValueHighlight[b] != 0;
  if (highlighted) insetFill(HighlightFill);

  if (const uint8_t marker = a & AttrMarkerMask; marker != 0) {
    MarkerSeen = true;
    // Values 5..7 never occur in the store; they keep whatever colour was last set.
    if (marker <= 4) rd.SetColor(MarkerColors[marker].r, MarkerColors[marker].g, MarkerColors[marker].b);
    rd.SetLineWidth(2);
    rd.LineLoop({V(x0 + 2, y0 + 2), V(x1 - 2, y0 + 2), V(x1 - 2, y1 - 2), V(x0 + 2, y1 - 2)});
  }

  if (const uint8_t shape = (a >> 4) & 7; shape != 0) {
    if (index == view.CurrentMatchIndex || CurrentMatchFill) {
      insetFill(CurrentMatchFillColor);
      CurrentMatchFill = true;
    }
    rd.SetColor(SearchFrameColor.r, SearchFrameColor.g, SearchFrameColor.b);
    rd.SetLineWidth(2);
    switch (shape) {
      case 1:  // first byte: a bracket open to the right
        rd.LineStrip({V(x1, y1 - 2), V(x0 + 2, y1 - 2), V(x0 + 2, y0 + 2), V(x1, y0 + 2)});
        break;
      case 2:  // inner byte: top and bottom bars
        rd.LineList({V(x0, y0 + 2), V(x1, y0 + 2), V(x0, y1 - 2), V(x1, y1 - 2)});
        break;
      case 3:  // last byte: a bracket open to the left
        rd.LineStrip({V(x0, y0 + 2), V(x1 - 2, y0 + 2), V(x1 - 2, y1 - 2), V(x0, y1 - 2)});
        CurrentMatchFill = false;
        break;
      case 4:  // one-byte match: a closed frame
        rd.LineLoop({V(x0 + 2, y0 + 2), V(x1 - 2, y0 + 2), V(x1 - 2, y1 - 2), V(x0 + 2, y1 - 2)});
        CurrentMatchFill = false;
        break;
      default:
        break;
    }
  }

  if (index < store.WriteIndex()) {
    const Rgb color = highlighted ? HighlightTextColor : CellTextColor;
    rd.SetColor(color.r, color.g, color.b);
    char buf[4];
    const std::string_view text = CellText(store.ViewBase, b, buf);
    const double s = m.ViewScale;
    rd.DrawGlyphText(RoundHalfEven(x0 + s * CellTextOffset(store.ViewBase, b)), RoundHalfEven(y0 + 18.0 * s),
                     m.FontNumber, text);
  }
}

}  // namespace quarlex
