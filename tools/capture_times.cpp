#include "tools/capture_times.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "text/code_page.h"
#include "tools/capture_file_system.h"

namespace quarlex {

namespace {

std::tm LocalTm(int64_t unixNs, int64_t& ms) {
  int64_t secs = unixNs / 1000000000;
  int64_t rest = unixNs % 1000000000;
  if (rest < 0) {
    rest += 1000000000;
    --secs;
  }
  ms = rest / 1000000;
  return capture_fs::LocalTimeOf(static_cast<std::time_t>(secs));
}

// The character a byte stands for, as the text column shows it; '.' for control bytes.
std::string CharOf(uint8_t b) {
  if (b >= 0x20 && b < 0x7F) return std::string(1, static_cast<char>(b));
  if (b >= 0xC0) return Utf8FromCodePage(std::string_view(reinterpret_cast<const char*>(&b), 1));
  return ".";
}

std::string CharName(uint8_t b) {
  switch (b) {
    case 0x00:
      return "NUL";
    case 0x09:
      return "TAB";
    case 0x0A:
      return "LF";
    case 0x0D:
      return "CR";
    case 0x1B:
      return "ESC";
    case 0x7F:
      return "DEL";
    default:
      break;
  }
  if (b < 0x20 || (b >= 0x80 && b < 0xC0)) return "control";
  return "'" + CharOf(b) + "'";
}

std::string Hex(uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, v);
  return buf;
}

bool SentByte(const CaptureStore& store, uint32_t p) {
  return (store.CaptureAttributes[p] & AttrSent) != 0;
}

bool SentByte(const ExportSource& source, uint32_t p) {
  if (source.attributes) return (source.attributes[p] & AttrSent) != 0;
  return (source.sentBits[p / 8] >> (p % 8)) & 1;
}

}  // namespace

std::string TimeOfDayText(int64_t unixNs) {
  int64_t ms = 0;
  const std::tm tm = LocalTm(unixNs, ms);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms));
  return buf;
}

std::string DateTimeText(int64_t unixNs) {
  int64_t ms = 0;
  const std::tm tm = LocalTm(unixNs, ms);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string GapText(int64_t ns) {
  char buf[48];
  const double ms = static_cast<double>(ns) / 1e6;
  if (ms < 1.0) {
    std::snprintf(buf, sizeof buf, "%.2f ms", ms);
  } else if (ms < 1000.0) {
    std::snprintf(buf, sizeof buf, "%.1f ms", ms);
  } else if (ms < 60000.0) {
    std::snprintf(buf, sizeof buf, "%.3f s", ms / 1000.0);
  } else {
    const int64_t minutes = ns / 60000000000;
    std::snprintf(buf, sizeof buf, "%lld min %.1f s", static_cast<long long>(minutes),
                  static_cast<double>(ns - minutes * 60000000000) / 1e9);
  }
  return buf;
}

std::string ByteTooltipText(const CaptureStore& store, uint32_t index, const TapPortNames* tap) {
  const uint8_t b = store.CaptureBuffer[index];
  const bool sent = SentByte(store, index);
  std::string text = "Position " + Hex(index, 7) + " (" + std::to_string(index) + ")\n";
  text += "Value 0x" + Hex(b, 2) + ", " + std::to_string(b) + ", " + CharName(b) + "\n";
  if (tap) {
    text += "From " + (sent ? tap->Sent : tap->Received);
  } else {
    text += sent ? "Sent" : "Received";
  }
  const TimeIndex& times = store.Times;
  const std::optional<size_t> at = times.BatchAt(index);
  if (!at) return text + ", no time recorded";
  const TimedBatch batch = times.Batch(*at);
  if (batch.Coalesced && *at + 1 < times.BatchCount()) {
    // Merged batches keep the first one's time; the next entry's bounds the last one's.
    text += " " + TimeOfDayText(batch.TimeNs) + " to " + TimeOfDayText(times.Batch(*at + 1).TimeNs) +
            " (batches merged)";
  } else {
    text += " " + TimeOfDayText(batch.TimeNs);
    if (batch.Coalesced) text += " or later (batches merged)";
  }
  if (const std::optional<size_t> other = times.PreviousOtherDirection(*at)) {
    const int64_t gap = batch.TimeNs - times.Batch(*other).TimeNs;
    if (gap >= 0)
      text += sent && !tap ? "\nSent " + GapText(gap) + " after the last received"
                           : "\nAnswer after " + GapText(gap);
  }
  LineEvents events = 0;
  for (const TimedEvent& e : times.EventsBetween(batch.Position, index + 1))
    events = static_cast<LineEvents>(events | e.Events);
  if (events) text += "\nLine before it: " + LineEventText(events);
  return text;
}

std::string ExportText(const CaptureStore& store, const SavePlan& plan, GridBase base,
                       const std::string& port) {
  std::string out;
  ExportTextTo(SourceOf(store), plan, base, port, [&out](std::string_view text, uint64_t) {
    out += text;
    return true;
  });
  return out;
}

ExportSource SourceOf(const CaptureStore& store) {
  return {store.CaptureBuffer, store.CaptureAttributes, nullptr, store.Times};
}

bool ExportTextTo(const ExportSource& source, const SavePlan& plan, GridBase base, const std::string& port,
                  const ExportSink& sink) {
  const TimeIndex& times = source.times;
  const char* baseName = base == GridBase::Dec ? "DEC" : base == GridBase::Char ? "CHAR" : "HEX";
  const size_t cellWidth = base == GridBase::Dec ? 4 : base == GridBase::Char ? 1 : 3;
  std::string out = "Quarlex capture, port " + port + ", " + std::to_string(plan.Total()) + " bytes";
  if (times.BatchCount() > 0) out += ", from " + DateTimeText(times.Batch(0).TimeNs);
  out += "\n";
  out += std::string("time          dir   position bytes (") + baseName + ")\n";

  const std::string noTime(12, ' ');
  auto eventLines = [&](uint32_t from, uint32_t to) {
    for (const TimedEvent& e : times.EventsBetween(from, to)) {
      out +=
          TimeOfDayText(e.TimeNs) + "  LINE  " + Hex(e.Position, 7) + "  " + LineEventText(e.Events) + "\n";
    }
  };
  // A full ring is two million lines: cells come from tables, each line is appended in pieces.
  static const auto charTable = [] {
    std::array<std::string, 256> t;
    for (int b = 0; b < 256; ++b) t[b] = CharOf(static_cast<uint8_t>(b));
    return t;
  }();
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string cells, chars;
  // Bytes of the plan covered by the text formed so far; the text goes to the sink in chunks.
  uint64_t done = 0, piecesBefore = 0;
  bool stopped = false;
  auto handOn = [&](bool last) {
    if (stopped || (!last && out.size() < ExportChunkBytes)) return;
    stopped = !sink(out, done);
    out.clear();
  };
  auto bytesLines = [&](const std::string& time, bool sent, uint32_t from, uint32_t to,
                        uint32_t pieceOffset) {
    for (uint32_t line = from; line < to && !stopped; line += ExportBytesPerLine) {
      const uint32_t end = std::min(to, line + ExportBytesPerLine);
      cells.clear();
      chars.clear();
      for (uint32_t p = line; p < end; ++p) {
        const uint8_t b = source.bytes[p];
        if (base == GridBase::Char) {
          cells += charTable[b];
          continue;
        }
        if (base == GridBase::Dec) {
          const char dec[4] = {b >= 100 ? static_cast<char>('0' + b / 100) : ' ',
                               b >= 10 ? static_cast<char>('0' + b / 10 % 10) : ' ',
                               static_cast<char>('0' + b % 10), ' '};
          cells.append(dec, 4);
        } else {
          const char hex[3] = {digits[b >> 4], digits[b & 15], ' '};
          cells.append(hex, 3);
        }
        chars += charTable[b];
      }
      if (base != GridBase::Char) cells.append((ExportBytesPerLine - (end - line)) * cellWidth, ' ');
      out += line == from ? time : noTime;
      out += sent ? "  TX    " : "  RX    ";
      out += Hex(line, 7);
      out += "  ";
      out += cells;
      if (base != GridBase::Char) {
        out += ' ';
        out += chars;
      }
      while (!out.empty() && out.back() == ' ') out.pop_back();
      out += '\n';
      done = piecesBefore + (end - pieceOffset);
      handOn(false);
    }
  };

  for (int k = 0; k < plan.count && !stopped; ++k) {
    const uint32_t pieceEnd = plan.pieces[k].offset + plan.pieces[k].length;
    uint32_t p = plan.pieces[k].offset;
    while (p < pieceEnd && !stopped) {
      // One line group: the rest of p's batch (or of the stretch without times), cut where the
      // direction of the bytes changes.
      const std::optional<size_t> at = times.BatchAt(p);
      uint32_t end = pieceEnd;
      std::string time = noTime;
      if (at) {
        const TimedBatch b = times.Batch(*at);
        end = std::min<uint32_t>(pieceEnd, b.Position + b.Count);
        time = TimeOfDayText(b.TimeNs);
      }
      const bool sent = SentByte(source, p);
      uint32_t q = p + 1;
      while (q < end && SentByte(source, q) == sent && (at || !times.BatchAt(q))) ++q;
      eventLines(p, q);
      bytesLines(time, sent, p, q, plan.pieces[k].offset);
      p = q;
    }
    piecesBefore += plan.pieces[k].length;
    if (k + 1 == plan.count && !stopped) eventLines(pieceEnd, pieceEnd + 1);
  }
  handOn(true);
  return !stopped;
}

}  // namespace quarlex
