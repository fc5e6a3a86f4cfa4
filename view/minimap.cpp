#include "view/minimap.h"

#include "view/exchange_grid.h"

namespace quarlex {

namespace {
uint16_t To16(int v) {
  return static_cast<uint16_t>(v < 0 ? 0 : v > 0xFFFF ? 0xFFFF : v);
}
}  // namespace

void MiniMap::OutMiniMap(bool markerSeen) {
  const uint16_t height = To16(control_.ControlHeight());
  if (height != LastMiniMapHeight) {
    MiniMapWidth = To16(control_.ControlWidth());
    MiniMapHeight = height;
    control_.SizeBitmap();
  }
  LastMiniMapHeight = height;

  MiniMapSpan = MiniMapSpanFor(store_.BytesPerRow, store_.WriteIndex());
  // A strip taller than MiniMapRows maps onto its first 1024 rows only; a strip of no height has
  // nothing to show (and would divide by zero).
  const uint32_t rowsShown = MappedHeight();
  const bool goOn = MiniMapThrottle(MiniMapSpan, rowsShown, store_.MiniMapBuiltAt);
  store_.MiniMapRows[0] = 0;
  if (!goOn) return;

  if (markerSeen) ComputeMiniMapRows(store_.CaptureAttributes, MiniMapSpan, rowsShown, store_.MiniMapRows);

  renderer_.BeginFrame();
  renderer_.SetColor(243, 243, 243);
  const auto w = static_cast<float>(MiniMapWidth);
  const auto h = static_cast<float>(MiniMapHeight);
  renderer_.FillQuad({0, 0}, {w, 0}, {w, h}, {0, h});
  // The line width is whatever the grid's last frame left: 2 after a marker or search frame.
  for (uint32_t y = 0; y < rowsShown; ++y) {
    const uint8_t m = store_.MiniMapRows[y] & AttrMarkerMask;
    if (m == 0) continue;
    // Values 5..7 name no colour and draw in the colour last set, as in the grid.
    if (m <= 4) renderer_.SetColor(MarkerColors[m].r, MarkerColors[m].g, MarkerColors[m].b);
    const auto fy = static_cast<float>(y);
    renderer_.LineList({{0, fy}, {w, fy}});
  }
  ImageTarget target = control_.Target();
  const ChangedRows changed = renderer_.PresentFrame(target, MiniMapWidth, MiniMapHeight);
  if (!changed.Empty()) control_.Repaint(changed.Top, changed.Bottom);
}

void MiniMap::ImageMiniMapMouseDown(int y) {
  if (auto top = MiniMapPressTopRow(store_.CaptureAttributes, store_.WriteIndex(), store_.BytesPerRow,
                                    MappedHeight(), y)) {
    store_.View.ShowRow(*top);
  }
  redraw_.OutExchange();
}

}  // namespace quarlex
