#pragma once
// The times file beside a saved capture: `<name>.idx` next to `<name>.data`, holding the time
// index entries of exactly the saved bytes, with positions counted from the start of the .data
// file. A text format, one entry per line, so it can be read and checked by hand:
//
//   quarlex-times 1              format name and version
//   bytes 1234                   length of the .data file it belongs to
//   batches 2                    number of B lines that follow
//   events 1                     number of E lines that follow
//   B 0 5 R 1718000000123456789  offset, byte count, R received / S sent / M both, time in ns
//   B 5 3 S 1718000000133456789 merged    since the Unix epoch; "merged": stands for several
//   E 8 1718000000140000000 framing,cts-on   offset of the next byte, time, what happened
//   end
//
// B lines come in file order and do not overlap; E lines in file order. Event names: overrun,
// queue-overflow, framing, parity, break, cts-on, cts-off, dsr-on, dsr-off, dcd-on, dcd-off,
// ring; in version 2 also dtr-on, dtr-off, rts-on, rts-off, break-sent, disconnect, reconnect.
// Any other line, a count that does not match, a position past the file, or a missing
// "end" makes the whole file damaged: it is then ignored and the capture loads without times.
// Plain functions; no state.
#include <cstdint>
#include <string>
#include <string_view>

#include "app/time_index.h"
#include "tools/capture_files.h"

namespace quarlex {

constexpr std::string_view TimesFileHeader = "quarlex-times 1";
// Version 2 adds the events of this side of the line: dtr-on, dtr-off, rts-on, rts-off,
// break-sent, disconnect, reconnect. A file is written as version 1 unless it holds one of them.
constexpr std::string_view TimesFileHeaderV2 = "quarlex-times 2";
// A times file larger than this is not read (a full ring's index takes about a third of it).
constexpr uint64_t TimesFileLimit = 96ull << 20;

// `<dir>/<stem>.idx` for `<dir>/<stem>.data`; any other name gets ".idx" appended.
std::string TimesPathFor(const std::string& dataPath);

// The times file text for the bytes `plan` saves from the ring.
std::string TimesFileText(const TimeIndex& index, const SavePlan& plan);

struct TimesLoad {
  bool ok = false;
  size_t line = 0;    // where the damage was found (1 = first line), when !ok
  std::string error;  // why, when !ok
};
// Reads `text` as the times of a .data file of `dataSize` bytes whose first `loaded` bytes sit at
// ring position 0. Checks everything first; only a sound file changes `index` (entries past
// `loaded` are left out, one that straddles it is cut).
TimesLoad LoadTimesText(std::string_view text, uint64_t dataSize, uint32_t loaded, TimeIndex& index);

}  // namespace quarlex
