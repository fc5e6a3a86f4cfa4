#pragma once
// The capture's times as the operator reads them: the hover text of one byte and the text
// export of the capture (one line per batch, for pasting into a bug report).
// Plain functions over the capture store; main thread only, as the store is. The export also
// reads a copy of the capture (ExportSource), on any thread.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/capture_store.h"
#include "tools/capture_files.h"

namespace quarlex {

// Local time of day with milliseconds, "14:03:27.412".
std::string TimeOfDayText(int64_t unixNs);
// Local date and time, "2024-06-10 14:03:27".
std::string DateTimeText(int64_t unixNs);
// A gap: "0.35 ms", "12.4 ms", "2.315 s", "3 min 12.0 s".
std::string GapText(int64_t ns);

// The tooltip of the byte at ring position `index` (below WriteIndex): position, value in HEX,
// DEC and as a character, direction, arrival time (a span for merged batches), the gap to the
// previous batch of the other direction, and line events of its batch up to this byte.
// The two ports of a tap: whose bytes are received ones, and whose carry the sent bit. With them
// the tooltip names the port a byte came from ("From Port 7") and gives the gap to the other
// direction as an answer's either way.
struct TapPortNames {
  std::string Received, Sent;
};
std::string ByteTooltipText(const CaptureStore& store, uint32_t index, const TapPortNames* tap = nullptr);

// Bytes per export line; a longer batch continues on further lines.
constexpr uint32_t ExportBytesPerLine = 16;
// The export of the bytes `plan` covers: a heading, then per batch its time, direction, position
// and bytes in `base` (the grid's) with the characters beside them; line events
// on lines of their own. Bytes without a recorded time (from a file without times) are grouped
// by direction and shown without a time.
std::string ExportText(const CaptureStore& store, const SavePlan& plan, GridBase base,
                       const std::string& port);

// What an export reads, by ring position: the bytes, which of them were sent, and the time
// index. The live store's (the sent bit of its attribute bytes), or a copy that nothing changes
// meanwhile (the sent bits packed, bit p % 8 of byte p / 8).
struct ExportSource {
  const uint8_t* bytes;
  const uint8_t* attributes;  // or nullptr, and then:
  const uint8_t* sentBits;
  const TimeIndex& times;
};
ExportSource SourceOf(const CaptureStore& store);
// Text handed on at a time by ExportTextTo (a full ring's export is about 200 MB).
constexpr size_t ExportChunkBytes = size_t{1} << 20;
// ExportText in pieces of about ExportChunkBytes, in order: `sink` gets each with the bytes of
// the plan covered so far, and returns false to stop. False when the sink stopped it.
using ExportSink = std::function<bool(std::string_view text, uint64_t bytesDone)>;
bool ExportTextTo(const ExportSource& source, const SavePlan& plan, GridBase base, const std::string& port,
                  const ExportSink& sink);

}  // namespace quarlex
