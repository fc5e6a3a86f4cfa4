#include "tools/recording.h"

#include <algorithm>

#include "tools/capture_file_system.h"
#include "tools/times_file.h"

namespace quarlex {

namespace {
// Events kept for a file not started yet: a handful happen between rings (a device lost and
// back); more would mean nothing is being captured, and the oldest go.
constexpr size_t kPendingEventLimit = 64;
}  // namespace

namespace {

// The whole of a file of at most `limit` bytes; false when it cannot be read.
bool ReadText(const std::string& path, uint64_t limit, std::string& text, std::string& error) {
  capture_fs::SourceFile file;
  if (!file.Open(path)) {
    error = "not a readable file";
    return false;
  }
  if (file.Size() > limit) {
    error = "too large";
    return false;
  }
  text.assign(static_cast<size_t>(file.Size()), '\0');
  size_t got = 0;
  while (got < text.size()) {
    const int64_t n = file.ReadAt(reinterpret_cast<uint8_t*>(text.data()) + got,
                                  static_cast<uint32_t>(text.size() - got), got);
    if (n < 0) {
      error = file.Error();
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  return true;
}

}  // namespace

std::vector<std::string> CompleteUnfinishedRecordings(const std::string& folder) {
  std::vector<std::string> said;
  std::vector<std::string> names = capture_fs::FilesIn(folder);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (name.size() <= 4 || !name.ends_with(".idx")) continue;
    const std::string idx = folder + name;
    const std::string dataName = name.substr(0, name.size() - 4) + ".data";
    // Only the first line is read of the ordinary ones.
    {
      capture_fs::SourceFile head;
      uint8_t first[32] = {};
      if (!head.Open(idx)) continue;
      const int64_t n = head.ReadAt(first, sizeof first, 0);
      if (n <= 0 || !IsTimesJournal({reinterpret_cast<const char*>(first), static_cast<size_t>(n)})) continue;
    }
    if (capture_fs::HeldByWriter(idx) || capture_fs::HeldByWriter(folder + dataName)) continue;
    capture_fs::SourceFile data;
    if (!data.Open(folder + dataName)) {
      said.push_back("Recording " + dataName + " was not finished, and its data is missing: " + name +
                     " left as it is");
      continue;
    }
    std::string journal, error;
    if (!ReadText(idx, TimesFileLimit, journal, error)) {
      said.push_back("Recording " + dataName + " was not finished: its index not completed (" + error + ")");
      continue;
    }
    TimeIndex index;
    const uint64_t rest = ReplayJournal(journal, data.Size(), data.ModifiedNs(), index);
    error = WriteFileReplacing(folder, name, TimesFileText(index, WholeFilePlan(data.Size())));
    if (!error.empty()) {
      said.push_back("Recording " + dataName + " was not finished: its index not completed (" + error + ")");
      continue;
    }
    std::string text = "Recording " + dataName + " was not finished: completed its index (" +
                       std::to_string(data.Size()) + " bytes";
    if (rest > 0) text += ", the last " + std::to_string(rest) + " timed as one stretch";
    said.push_back(text + ")");
  }
  return said;
}

Recording::Recording(std::function<std::string()> folder, std::function<std::string()> port,
                     std::function<LocalTime()> clock, size_t queueLimit)
    : folder_(std::move(folder)), port_(std::move(port)), clock_(std::move(clock)), queueLimit_(queueLimit) {}

Recording::~Recording() {
  Stop();
}

void Recording::Start() {
  if (on_) return;
  on_ = true;
  fileWanted_ = true;
  pendingEvents_.clear();
}

std::string Recording::Stop() {
  on_ = false;
  if (!writer_) return {};
  const size_t lost = HandOver(true);
  const RecordWriter::Status status = writer_->Stop();
  std::string trouble = TroubleOf(status);
  if (lost > 0) trouble += (trouble.empty() ? "" : "; ") + LostText(lost);
  writer_.reset();
  return trouble;
}

std::string Recording::FreeName() {
  const std::string folder = folder_();
  const LocalTime t = clock_();
  const std::string port = port_().empty() ? std::string("COM1") : port_();
  // A folder that cannot be made shows as the writer's failure to create the file (and is
  // retried there); nothing in it can be asked about.
  const std::string base = folder + CaptureFileName(port, t);
  // Names given in this second: the writer creates each file on its thread, maybe not yet.
  if (base != givenBase_) {
    givenBase_ = base;
    given_.clear();
  }
  if (!capture_fs::MakeFolders(folder).empty()) return base;
  for (unsigned suffix = 0;; ++suffix) {
    std::string path = folder + CaptureFileName(port, t, suffix);
    // A name that cannot be asked about counts as taken, up to a bound.
    const bool taken =
        std::find(given_.begin(), given_.end(), path) != given_.end() || capture_fs::Exists(path);
    if (!taken || suffix >= 10000) {
      given_.push_back(path);
      return path;
    }
  }
}

void Recording::StartFile(uint32_t base) {
  // What the last file still had in the ring goes to it before the next one starts (the ring
  // wrapped: those bytes lie above the new ones).
  if (const size_t lost = HandOver(true); lost > 0) lostAtWrap_ += lost;
  file_ = FreeName();
  writer_->NextFile(file_);
  fileWanted_ = false;
  base_ = next_ = heldFrom_ = base;
  for (const PendingEvent& e : pendingEvents_) {
    if (e.position == base) writer_->AddEvents(0, e.events, e.timeNs);
  }
  pendingEvents_.clear();
}

void Recording::Record(const uint8_t* ring, uint32_t from, size_t count) {
  if (!on_ || count == 0) return;
  ring_ = ring;
  if (!writer_)
    writer_ = std::make_unique<RecordWriter>(std::chrono::seconds(1), std::chrono::seconds(1), queueLimit_);
  if (fileWanted_ || from < next_) {
    StartFile(from);
  } else if (from > next_) {
    // The write position moved on without bytes (only a test does that): the file goes on, its
    // offsets with it.
    if (const size_t lost = HandOver(true); lost > 0) lostAtWrap_ += lost;
    base_ += from - next_;
    heldFrom_ = from;
  }
  next_ = from + static_cast<uint32_t>(count);
  if (held_ == 0) {
    const size_t taken = writer_->Append(ring + from, count);
    held_ = count - taken;
    heldFrom_ = from + static_cast<uint32_t>(taken);
    return;
  }
  held_ += count;
  HandOver(false);
}

size_t Recording::HandOver(bool force) {
  if (held_ == 0 || !writer_) return 0;
  const bool forced = force && writer_->Queued() < HardLimit;
  const size_t taken = writer_->Append(ring_ + heldFrom_, held_, forced);
  heldFrom_ += static_cast<uint32_t>(taken);
  held_ -= taken;
  if (!force || held_ == 0) return 0;
  // The writer holds too much already: these go with the ring, and the operator is told.
  const size_t lost = held_;
  heldFrom_ += static_cast<uint32_t>(held_);
  held_ = 0;
  return lost;
}

std::string Recording::LostText(size_t lost) {
  return "Recording: " + std::to_string(lost) + " bytes cleared before they were on disk";
}

std::string Recording::NextRing() {
  size_t lost = HandOver(true) + lostAtWrap_;
  lostAtWrap_ = 0;
  fileWanted_ = true;
  return lost > 0 ? LostText(lost) : std::string();
}

void Recording::CatchUp() {
  HandOver(false);
}

void Recording::BatchAdded(uint32_t position, uint32_t count, Direction dir, int64_t timeNs) {
  if (!on_ || !writer_ || fileWanted_ || position < base_ || position >= next_) return;
  writer_->AddBatch(position - base_, std::min(count, next_ - position), dir, timeNs);
}

void Recording::EventsAdded(uint32_t position, LineEvents events, int64_t timeNs) {
  if (!on_) return;
  if (!writer_ || fileWanted_ || position != next_) {
    // Not in a file yet: it belongs to the next one if that starts here.
    if (pendingEvents_.size() == kPendingEventLimit) pendingEvents_.erase(pendingEvents_.begin());
    pendingEvents_.push_back({position, events, timeNs});
    return;
  }
  writer_->AddEvents(position - base_, events, timeNs);
}

std::string Recording::Trouble() {
  return writer_ ? TroubleOf(writer_->GetStatus()) : std::string();
}

std::string Recording::TroubleOf(const RecordWriter::Status& status) const {
  std::string text;
  const uint64_t notOnDisk = status.Appended - status.Written + held_;
  if (notOnDisk > 0 && (!status.Error.empty() || held_ > 0)) {
    text = "Recording: " + std::to_string(notOnDisk) + " bytes not on disk (" +
           (status.Error.empty() ? std::string("writing behind") : status.Error) + ")";
  }
  return text;
}

}  // namespace quarlex
