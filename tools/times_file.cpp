#include "tools/times_file.h"

#include <algorithm>
#include <charconv>

namespace quarlex {

namespace {

// An event's name stands in the file when the event's bits under `mask` are `bits`: a modem or
// control line is written once, with its new state.
struct EventName {
  std::string_view name;
  LineEvents bits;
  LineEvents mask;
  bool sinceVersion2 = false;  // written only into files of version 2
};
constexpr EventName Plain(std::string_view name, LineEvent e, bool v2 = false) {
  return {name, Bits(e), Bits(e), v2};
}
constexpr EventName LineOn(std::string_view name, LineEvent line, LineEvent on, bool v2 = false) {
  return {name, line | on, line | on, v2};
}
constexpr EventName LineOff(std::string_view name, LineEvent line, LineEvent on, bool v2 = false) {
  return {name, Bits(line), line | on, v2};
}
constexpr EventName EventNames[] = {
    Plain("overrun", LineEvent::Overrun),
    Plain("queue-overflow", LineEvent::QueueOverflow),
    Plain("framing", LineEvent::Framing),
    Plain("parity", LineEvent::Parity),
    Plain("break", LineEvent::Break),
    LineOn("cts-on", LineEvent::Cts, LineEvent::CtsOn),
    LineOff("cts-off", LineEvent::Cts, LineEvent::CtsOn),
    LineOn("dsr-on", LineEvent::Dsr, LineEvent::DsrOn),
    LineOff("dsr-off", LineEvent::Dsr, LineEvent::DsrOn),
    LineOn("dcd-on", LineEvent::Dcd, LineEvent::DcdOn),
    LineOff("dcd-off", LineEvent::Dcd, LineEvent::DcdOn),
    Plain("ring", LineEvent::Ring),
    LineOn("dtr-on", LineEvent::Dtr, LineEvent::DtrOn, true),
    LineOff("dtr-off", LineEvent::Dtr, LineEvent::DtrOn, true),
    LineOn("rts-on", LineEvent::Rts, LineEvent::RtsOn, true),
    LineOff("rts-off", LineEvent::Rts, LineEvent::RtsOn, true),
    Plain("break-sent", LineEvent::BreakSent, true),
    Plain("disconnect", LineEvent::Disconnect, true),
    Plain("reconnect", LineEvent::Reconnect, true),
};

bool Present(const EventName& n, LineEvents events) {
  return (events & n.mask) == n.bits;
}

std::string EventNamesOf(LineEvents events) {
  std::string out;
  for (const EventName& n : EventNames) {
    if (!Present(n, events)) continue;
    if (!out.empty()) out += ',';
    out += n.name;
  }
  return out;
}

// Files without the newer events stay version 1, so readers that know only it still read them.
bool NeedsVersion2(LineEvents events) {
  for (const EventName& n : EventNames) {
    if (n.sinceVersion2 && Present(n, events)) return true;
  }
  return false;
}

template <class T>
void Append(std::string& out, T value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

char DirLetter(Direction d) {
  return d == Direction::Sent ? 'S' : d == Direction::Mixed ? 'M' : 'R';
}

// Splits off the next space-separated token of `line`.
std::string_view Token(std::string_view& line) {
  const size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const size_t end = std::min(line.find(' '), line.size());
  const std::string_view t = line.substr(0, end);
  line.remove_prefix(end);
  return t;
}

template <class T>
bool Number(std::string_view t, T& value) {
  if (t.empty()) return false;
  const auto r = std::from_chars(t.data(), t.data() + t.size(), value);
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

class Parser {
 public:
  Parser(std::string_view text, uint64_t dataSize, uint32_t loaded, TimeIndex* index)
      : text_(text), dataSize_(dataSize), loaded_(loaded), index_(index) {}

  TimesLoad Run() {
    std::string_view l;
    if (!Next(l) || (l != TimesFileHeader && l != TimesFileHeaderV2)) {
      return Fail(l.starts_with("quarlex-times ") ? "unknown version" : "not a times file");
    }
    version2_ = l == TimesFileHeaderV2;
    uint64_t bytes = 0, batches = 0, events = 0;
    if (!Next(l) || !Field(l, "bytes", bytes)) return Fail("no byte count");
    if (bytes != dataSize_) return Fail("made for another file");
    if (!Next(l) || !Field(l, "batches", batches)) return Fail("no batch count");
    if (!Next(l) || !Field(l, "events", events)) return Fail("no event count");
    // Each batch holds at least one byte; no count is trusted beyond what the lines show.
    if (batches > bytes) return Fail("more batches than bytes");
    uint64_t end = 0;
    for (uint64_t i = 0; i < batches; ++i) {
      if (!Next(l) || !Batch(l, end)) return Fail("bad batch line");
    }
    uint64_t last = 0;
    for (uint64_t i = 0; i < events; ++i) {
      if (!Next(l) || !Event(l, last)) return Fail("bad event line");
    }
    if (!Next(l) || l != "end") return Fail("truncated");
    TimesLoad ok;
    ok.ok = true;
    return ok;
  }

 private:
  bool Next(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    const size_t nl = text_.find('\n', pos_);
    const size_t stop = nl == std::string_view::npos ? text_.size() : nl;
    line = text_.substr(pos_, stop - pos_);
    if (line.ends_with('\r')) line.remove_suffix(1);
    pos_ = stop + 1;
    ++line_;
    return true;
  }

  static bool Field(std::string_view l, std::string_view name, uint64_t& value) {
    return Token(l) == name && Number(Token(l), value) && Token(l).empty();
  }

  bool Batch(std::string_view l, uint64_t& end) {
    uint64_t offset = 0, count = 0;
    int64_t time = 0;
    if (Token(l) != "B" || !Number(Token(l), offset) || !Number(Token(l), count)) return false;
    const std::string_view d = Token(l);
    if (!Number(Token(l), time)) return false;
    const std::string_view flag = Token(l);
    if ((!flag.empty() && flag != "merged") || !Token(l).empty()) return false;
    if (d != "R" && d != "S" && d != "M") return false;
    const Direction dir = d == "R" ? Direction::Received : d == "S" ? Direction::Sent : Direction::Mixed;
    if (count == 0 || offset < end || offset > dataSize_ || count > dataSize_ - offset) return false;
    end = offset + count;
    if (index_ && offset < loaded_) {
      const uint64_t kept = std::min<uint64_t>(end, loaded_) - offset;
      index_->RestoreBatch(
          {time, static_cast<uint32_t>(offset), static_cast<uint32_t>(kept), dir, !flag.empty()});
    }
    return true;
  }

  bool Event(std::string_view l, uint64_t& last) {
    uint64_t offset = 0;
    int64_t time = 0;
    if (Token(l) != "E" || !Number(Token(l), offset) || !Number(Token(l), time)) return false;
    std::string_view names = Token(l);
    if (names.empty() || !Token(l).empty() || offset < last || offset > dataSize_) return false;
    last = offset;
    LineEvents events = 0;
    while (!names.empty()) {
      const size_t comma = std::min(names.find(','), names.size());
      const std::string_view n = names.substr(0, comma);
      names.remove_prefix(std::min(comma + 1, names.size()));
      const auto it = std::find_if(std::begin(EventNames), std::end(EventNames),
                                   [n](const EventName& e) { return e.name == n; });
      if (it == std::end(EventNames) || (it->sinceVersion2 && !version2_)) return false;
      events = static_cast<LineEvents>(events | it->bits);
    }
    if (index_ && offset <= loaded_) index_->RestoreEvent({time, static_cast<uint32_t>(offset), events});
    return true;
  }

  TimesLoad Fail(const char* why) const {
    TimesLoad r;
    r.line = line_;
    r.error = why;
    return r;
  }

  std::string_view text_;
  uint64_t dataSize_;
  uint32_t loaded_;
  TimeIndex* index_;
  size_t pos_ = 0;
  size_t line_ = 0;
  bool version2_ = false;
};

}  // namespace

std::string TimesPathFor(const std::string& dataPath) {
  const size_t slash = dataPath.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (dataPath.size() - nameStart > 5 && dataPath.ends_with(".data")) {
    return dataPath.substr(0, dataPath.size() - 5) + ".idx";
  }
  return dataPath + ".idx";
}

std::string TimesFileText(const TimeIndex& index, const SavePlan& plan) {
  // A full table is a million lines: each is formed in a buffer and appended once.
  std::string body, eventLines;
  body.reserve(index.BatchCount() * 40);
  size_t batches = 0, events = 0;
  bool version2 = false;
  uint64_t fileBase = 0;
  char line[128];
  auto put = [](char* p, auto value) { return std::to_chars(p, p + 24, value).ptr; };
  for (int k = 0; k < plan.count; ++k) {
    const SavePiece& piece = plan.pieces[k];
    const uint64_t from = piece.offset, to = uint64_t{piece.offset} + piece.length;
    for (size_t i = 0; i < index.BatchCount(); ++i) {
      const TimedBatch b = index.Batch(i);
      const uint64_t s = std::max<uint64_t>(b.Position, from);
      const uint64_t e = std::min<uint64_t>(uint64_t{b.Position} + b.Count, to);
      if (s >= e) continue;
      char* p = line;
      *p++ = 'B';
      *p++ = ' ';
      p = put(p, fileBase + s - from);
      *p++ = ' ';
      p = put(p, e - s);
      *p++ = ' ';
      *p++ = DirLetter(b.Dir);
      *p++ = ' ';
      p = put(p, b.TimeNs);
      if (b.Coalesced) p = std::copy_n(" merged", 7, p);
      *p++ = '\n';
      body.append(line, static_cast<size_t>(p - line));
      ++batches;
    }
    // An event at the end of a piece came before the next piece's first byte (or after the last
    // saved byte): in the file both are the same offset.
    for (size_t i = 0; i < index.EventCount(); ++i) {
      const TimedEvent ev = index.Event(i);
      if (ev.Position < from || ev.Position > to) continue;
      char* p = line;
      *p++ = 'E';
      *p++ = ' ';
      p = put(p, fileBase + ev.Position - from);
      *p++ = ' ';
      p = put(p, ev.TimeNs);
      *p++ = ' ';
      eventLines.append(line, static_cast<size_t>(p - line));
      eventLines += EventNamesOf(ev.Events);
      version2 = version2 || NeedsVersion2(ev.Events);
      eventLines += '\n';
      ++events;
    }
    fileBase += piece.length;
  }
  std::string text = std::string(version2 ? TimesFileHeaderV2 : TimesFileHeader) + "\nbytes " +
                     std::to_string(plan.Total()) + "\nbatches " + std::to_string(batches) + "\nevents " +
                     std::to_string(events) + '\n';
  text.reserve(text.size() + body.size() + eventLines.size() + 4);
  text += body;
  text += eventLines;
  text += "end\n";
  return text;
}

std::string JournalBatchLine(uint64_t offset, uint32_t count, Direction dir, int64_t timeNs) {
  std::string line = "B ";
  Append(line, offset);
  line += ' ';
  Append(line, count);
  line += ' ';
  line += DirLetter(dir);
  line += ' ';
  Append(line, timeNs);
  line += '\n';
  return line;
}

std::string JournalEventLine(uint64_t offset, LineEvents events, int64_t timeNs) {
  std::string line = "E ";
  Append(line, offset);
  line += ' ';
  Append(line, timeNs);
  line += ' ';
  line += EventNamesOf(events);
  line += '\n';
  return line;
}

bool IsTimesJournal(std::string_view text) {
  return text.starts_with(TimesJournalHeader) &&
         (text.size() == TimesJournalHeader.size() || text[TimesJournalHeader.size()] == '\n' ||
          text[TimesJournalHeader.size()] == '\r');
}

SavePlan WholeFilePlan(uint64_t size) {
  SavePlan plan;
  plan.count = 1;
  plan.pieces[0] = {0, static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX))};
  return plan;
}

uint64_t ReplayJournal(std::string_view journal, uint64_t dataSize, int64_t fallbackTimeNs,
                       TimeIndex& index) {
  index.Clear();
  uint64_t end = 0;  // after the last batch replayed
  int64_t lastTime = fallbackTimeNs;
  bool any = false;
  size_t pos = journal.find('\n');
  // Only whole lines: the last one may have been cut by the crash.
  while (pos != std::string_view::npos) {
    const size_t nl = journal.find('\n', pos + 1);
    if (nl == std::string_view::npos) break;
    std::string_view l = journal.substr(pos + 1, nl - pos - 1);
    pos = nl;
    if (l.ends_with('\r')) l.remove_suffix(1);
    const std::string_view kind = Token(l);
    uint64_t offset = 0;
    int64_t time = 0;
    if (kind == "B") {
      uint64_t count = 0;
      if (!Number(Token(l), offset) || !Number(Token(l), count)) break;
      const std::string_view d = Token(l);
      if (!Number(Token(l), time) || !Token(l).empty() || count == 0 || count > TimeIndex::MaxCount) break;
      if (d != "R" && d != "S" && d != "M") break;
      if (offset >= dataSize) continue;  // its bytes did not reach the disk
      const uint64_t kept = std::min<uint64_t>(count, dataSize - offset);
      index.AddBatch(static_cast<uint32_t>(offset), static_cast<uint32_t>(kept),
                     d == "R"   ? Direction::Received
                     : d == "S" ? Direction::Sent
                                : Direction::Mixed,
                     time);
      end = std::max(end, offset + kept);
    } else if (kind == "E") {
      if (!Number(Token(l), offset) || !Number(Token(l), time)) break;
      std::string_view names = Token(l);
      if (names.empty() || !Token(l).empty()) break;
      LineEvents events = 0;
      bool known = true;
      while (!names.empty() && known) {
        const size_t comma = std::min(names.find(','), names.size());
        const std::string_view n = names.substr(0, comma);
        names.remove_prefix(std::min(comma + 1, names.size()));
        const auto it = std::find_if(std::begin(EventNames), std::end(EventNames),
                                     [n](const EventName& e) { return e.name == n; });
        known = it != std::end(EventNames);
        if (known) events = static_cast<LineEvents>(events | it->bits);
      }
      if (!known) break;
      if (offset > dataSize) continue;
      index.AddEvents(static_cast<uint32_t>(offset), events, time);
    } else {
      break;
    }
    lastTime = time;
    any = true;
  }
  if (!any) lastTime = fallbackTimeNs;
  if (end >= dataSize) return 0;
  const uint64_t rest = dataSize - end;
  index.RestoreBatch({lastTime, static_cast<uint32_t>(end),
                      static_cast<uint32_t>(std::min<uint64_t>(rest, TimeIndex::MaxCount)), Direction::Mixed,
                      true});
  return rest;
}

TimesLoad LoadTimesText(std::string_view text, uint64_t dataSize, uint32_t loaded, TimeIndex& index) {
  // Checked whole first: a damaged file leaves the index as it was.
  TimesLoad check = Parser(text, dataSize, loaded, nullptr).Run();
  if (!check.ok) return check;
  index.Clear();
  return Parser(text, dataSize, loaded, &index).Run();
}

}  // namespace quarlex
