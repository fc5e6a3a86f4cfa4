#pragma once
// The minimap's arithmetic, free of drawing: which bytes map onto the strip, when a large
// capture is worth recomputing, the marker colour of each pixel row, and the first marked byte
// at or after a pressed point. Pure functions over the attribute array; main thread only.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "app/capture_store.h"

namespace quarlex {

// Bytes mapped onto the strip's height: 512 at 32 bytes per row, 256 at 16, or WriteIndex once
// that is not smaller.
uint32_t MiniMapSpanFor(uint32_t bytesPerRow, uint32_t writeIndex);

// Captures of 65,535 bytes and more are recomputed only after growing by at least one pixel
// row's worth (span / height) since the last recomputation; going on records the span in
// `builtAt`. Smaller captures always go on and leave `builtAt` alone. A strip of height 0 has
// nothing to show and never goes on.
bool MiniMapThrottle(uint32_t span, uint32_t height, uint32_t& builtAt);

// Recomputes `rows` (MiniMapRowCount entries) for bytes 0 .. span - 1 of `attrs` on a strip of
// `height` pixel rows (height >= 1). Bytes per pixel p = span / height in single precision; the
// walk moves to the next row at the first byte j with j / p > row + 1, at most one row per
// byte, clearing the row it enters. Each row then holds the marker of the last marked byte that
// fell into it; rows the walk does not enter (and row 0, which it never clears) keep their
// values. The walk never goes past the last entry of `rows`.
// Same result as that byte-by-byte walk, but unmarked bytes are skipped a word at a time.
void ComputeMiniMapRows(const uint8_t* attrs, uint32_t span, uint32_t height, uint8_t* rows);

// Index of the first byte in from .. last (inclusive) that carries a marker, if any.
std::optional<uint32_t> FirstMarked(const uint8_t* attrs, uint32_t from, uint32_t last);
// Index of the last byte in from .. end - 1 that carries a marker, if any.
std::optional<uint32_t> LastMarked(const uint8_t* attrs, uint32_t from, uint32_t end);

// The TopRow that a press at pixel row y of a strip `height` rows high asks for: the byte
// floor(span / height x y) is mapped, the scan looks for a marked byte from there up to
// WriteIndex + 1 (or just that byte when it lies further), never past the ring's last index,
// and puts the one it finds on the ninth visible row (row 0 when that would be negative).
// Nothing when no marked byte is found.
std::optional<uint32_t> MiniMapPressTopRow(const uint8_t* attrs, uint32_t writeIndex, uint32_t bytesPerRow,
                                           uint32_t height, int y);

}  // namespace quarlex
