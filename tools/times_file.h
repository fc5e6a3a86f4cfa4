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
//
// A recording's times file grows with it as a journal, so what reached the disk before a crash
// keeps its times: the first line is "quarlex-times recording", then one line per entry as the
// capture added it, in that order (B and E lines as above, without "merged"; an event's offset may
// equal the data's size). No counts and no "end": a journal is how an unfinished recording is
// recognised. When the recording leaves the file, the journal is replaced by the full form above,
// made from the same entries; after a crash the next start does that (CompleteJournal).
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

constexpr std::string_view TimesJournalHeader = "quarlex-times recording";
// One journal line for an entry (with its '\n'), offsets from the start of the .data file.
std::string JournalBatchLine(uint64_t offset, uint32_t count, Direction dir, int64_t timeNs);
std::string JournalEventLine(uint64_t offset, LineEvents events, int64_t timeNs);
// True when `text` starts as a journal does.
bool IsTimesJournal(std::string_view text);

// A journal replayed into `index` (cleared first) as the capture added its entries, for a .data
// file of `dataSize` bytes: entries past the data are left out, a torn or unreadable line ends the
// replay (what follows it cannot be trusted). The bytes after the last entry, if any, get one
// entry of direction Mixed, marked merged, at the time of the last entry before them (or
// `fallbackTimeNs` when there is none). Returns how many bytes that entry holds.
uint64_t ReplayJournal(std::string_view journal, uint64_t dataSize, int64_t fallbackTimeNs, TimeIndex& index);
// The whole file's plan: the times of a .data file of `size` bytes from its start.
SavePlan WholeFilePlan(uint64_t size);

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
