#include "view/navigation.h"

namespace quarlex {

std::optional<uint32_t> CellAt(int px, int py, const GridMetrics& m, uint32_t bytesPerRow, uint32_t topRow) {
  const auto cell = CellOfPoint(m, bytesPerRow, px, py);
  if (!cell) return std::nullopt;
  return IndexOfCell(*cell, bytesPerRow, topRow);
}

uint8_t ApplyMarkerCommand(uint8_t attr, uint8_t command) {
  const uint8_t k = command & 7;
  const bool menu = (command & 8) != 0;
  const uint8_t current = attr & AttrMarkerMask;
  if (current == 0) return static_cast<uint8_t>((attr & 0xF8) + k);
  if (current == k) return attr & AttrMarkerClear;
  if (menu) return static_cast<uint8_t>((attr & 0xF8) + k);
  return attr & AttrMarkerClear;
}

Navigation::Navigation(CaptureStore& store, ViewRedraw& ui) : store_(store), ui_(ui) {
  store_.View.ScrollBarExch().OnChange = [this] { ScrollBarExchChange(); };
}

Navigation::~Navigation() {
  store_.View.ScrollBarExch().OnChange = nullptr;
}

void Navigation::ScrollBarExchScroll(ScrollKind kind) {
  switch (kind) {
    case ScrollKind::LineUp:
    case ScrollKind::LineDown:
    case ScrollKind::PageUp:
    case ScrollKind::PageDown:
    case ScrollKind::ThumbTrack:
    case ScrollKind::ThumbPosition:
      ScrollByOperator = true;
      break;
    case ScrollKind::Top:
    case ScrollKind::Bottom:
    case ScrollKind::EndScroll:
      break;
  }
}

void Navigation::ScrollBarExchChange() {
  if (!ScrollByOperator) return;
  ScrollByOperator = false;
  store_.View.TakeBarPosition();
  ui_.OutExchange();
}

void Navigation::Wheel(int64_t delta) {
  ScrollByOperator = false;
  store_.View.ScrollBy(delta);
  ui_.OutExchange();
}

void Navigation::FormMouseWheelUp() {
  Wheel(-2);
}
void Navigation::FormMouseWheelDown() {
  Wheel(2);
}

void Navigation::ImageExchMouseDown(int x, int y) {
  auto clamp16 = [](int v) { return static_cast<uint16_t>(v < 0 ? 0 : v > 0xFFFF ? 0xFFFF : v); };
  GridMouseX = clamp16(x);
  GridMouseY = clamp16(y);
}

void Navigation::ImageExchDblClick() {
  MarkerCommand = 0;
  ClickImage();
}

bool Navigation::ImageExchContextPopup() {
  MarkerClickX = int32_t{GridMouseX} - GridLeftPixel(Metrics.ViewScale);
  MarkerClickY = GridMouseY;
  if (LeftCtrl.QueryDownAndNewlyPressed()) return true;
  MarkerCommand = CheckedMarker;
  ClickImage();
  return false;
}

void Navigation::ColorClick(int n) {
  if (n < 1 || n > 4) return;
  CheckedMarker = static_cast<uint8_t>(n);
  MarkerCommand = static_cast<uint8_t>(8 + CheckedMarker);
  ClickImage();
}

void Navigation::ClickImage() {
  if (MarkerCommand == 0) {
    const int px = int{GridMouseX} - GridLeftPixel(Metrics.ViewScale);
    if (auto index = CellAt(px, GridMouseY, Metrics, store_.BytesPerRow, store_.View.TopRow())) {
      store_.ValueHighlight[store_.CaptureBuffer[*index]] ^= 1;
    }
  } else {
    if (auto index = CellAt(MarkerClickX, MarkerClickY, Metrics, store_.BytesPerRow, store_.View.TopRow())) {
      uint8_t& a = store_.CaptureAttributes[*index];
      a = ApplyMarkerCommand(a, MarkerCommand);
    }
    // Every marker edit forces the next minimap frame to recompute, hit or not.
    store_.MiniMapBuiltAt = 0;
  }
  MarkerCommand = 0;
  ui_.OutExchange();
  ui_.OutMiniMap();
}

}  // namespace quarlex
