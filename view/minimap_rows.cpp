#include "view/minimap_rows.h"

#include <cmath>
#include <cstring>

namespace quarlex {

namespace {

constexpr uint64_t MarkerLanes = 0x0707070707070707ull;

uint64_t LoadWord(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Row r of the walk starts at the first byte j with j / p > r (r >= 1). The division is the
// walk's own, so the boundary is found by probing with the same expression around r x p.
uint64_t RowStart(uint32_t r, double p) {
  auto past = [&](uint64_t j) { return static_cast<double>(j) / p > static_cast<double>(r); };
  auto j = static_cast<uint64_t>(std::floor(static_cast<double>(r) * p));
  while (j > 0 && past(j - 1)) --j;
  while (!past(j)) ++j;
  return j;
}

}  // namespace

uint32_t MiniMapSpanFor(uint32_t bytesPerRow, uint32_t writeIndex) {
  uint32_t span = bytesPerRow == 16 ? 256 : 512;
  if (writeIndex >= span) span = writeIndex;
  return span;
}

bool MiniMapThrottle(uint32_t span, uint32_t height, uint32_t& builtAt) {
  if (height == 0) return false;
  if (span < 65535) return true;
  // Unsigned like the counters: a ring that wrapped by sending (span below builtAt) recomputes.
  if (span - builtAt >= span / height) {
    builtAt = span;
    return true;
  }
  return false;
}

std::optional<uint32_t> FirstMarked(const uint8_t* attrs, uint32_t from, uint32_t last) {
  if (from > last) return std::nullopt;
  uint64_t j = from;
  const uint64_t end = uint64_t{last} + 1;
  while (j < end && (j & 7) != 0) {
    if (attrs[j] & AttrMarkerMask) return static_cast<uint32_t>(j);
    ++j;
  }
  while (j + 8 <= end && (LoadWord(attrs + j) & MarkerLanes) == 0) j += 8;
  for (; j < end; ++j) {
    if (attrs[j] & AttrMarkerMask) return static_cast<uint32_t>(j);
  }
  return std::nullopt;
}

std::optional<uint32_t> LastMarked(const uint8_t* attrs, uint32_t from, uint32_t end) {
  uint64_t j = end;  // one past the next byte to look at
  while (j > from && (j & 7) != 0) {
    --j;
    if (attrs[j] & AttrMarkerMask) return static_cast<uint32_t>(j);
  }
  while (j >= uint64_t{from} + 8 && (LoadWord(attrs + j - 8) & MarkerLanes) == 0) j -= 8;
  while (j > from) {
    --j;
    if (attrs[j] & AttrMarkerMask) return static_cast<uint32_t>(j);
  }
  return std::nullopt;
}

void ComputeMiniMapRows(const uint8_t* attrs, uint32_t span, uint32_t height, uint8_t* rows) {
  if (height == 0 || span == 0) return;
  const float pf = static_cast<float>(static_cast<double>(span) / static_cast<double>(height));
  const double p = pf;
  constexpr uint32_t lastRow = MiniMapRowCount - 1;
  if (p < 1.0) {
    // Fewer bytes than pixel rows (a small capture on the strip): the walk lags behind j / p,
    // advancing one row per byte, so take it literally; span is below 1024 here.
    uint32_t row = 0;
    for (uint32_t j = 0; j < span; ++j) {
      if (static_cast<double>(j) / p > static_cast<double>(row) + 1 && row < lastRow) {
        ++row;
        rows[row] = 0;
      }
      if (const uint8_t m = attrs[j] & AttrMarkerMask) rows[row] = m;
    }
    return;
  }
  // At least one byte per pixel row: j / p grows by at most 1 per byte, so the walk is on row r
  // exactly for the bytes from RowStart(r) up to RowStart(r + 1) - 1, and the row keeps the
  // marker of the last marked byte there.
  uint64_t start = 0;
  for (uint32_t r = 0; r <= lastRow && start < span; ++r) {
    uint64_t next = r == lastRow ? span : RowStart(r + 1, p);
    if (next > span) next = span;
    if (r > 0) rows[r] = 0;
    if (auto j = LastMarked(attrs, static_cast<uint32_t>(start), static_cast<uint32_t>(next))) {
      rows[r] = attrs[*j] & AttrMarkerMask;
    }
    start = next;
  }
}

std::optional<uint32_t> MiniMapPressTopRow(const uint8_t* attrs, uint32_t writeIndex, uint32_t bytesPerRow,
                                           uint32_t height, int y) {
  if (height == 0 || bytesPerRow == 0) return std::nullopt;
  if (y < 0) y = 0;
  const uint32_t span = MiniMapSpanFor(bytesPerRow, writeIndex);
  const double mapped = std::floor(static_cast<double>(span) / static_cast<double>(height) * y);
  if (mapped > CaptureLast) return std::nullopt;
  const auto i = static_cast<uint32_t>(mapped);
  // The scan examines WriteIndex + 1 at most; at a full ring that would be past the end.
  uint64_t last = uint64_t{writeIndex} + 1;
  if (last < i) last = i;
  if (last > CaptureLast) last = CaptureLast;
  const auto found = FirstMarked(attrs, i, static_cast<uint32_t>(last));
  if (!found) return std::nullopt;
  const int64_t row = int64_t{*found / bytesPerRow} - 8;
  return static_cast<uint32_t>(row < 0 ? 0 : row);
}

}  // namespace quarlex
