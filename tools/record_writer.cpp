#include "tools/record_writer.h"

#include <algorithm>

#include "serial/thread_name.h"
#include "tools/capture_file_system.h"
#include "tools/capture_files.h"
#include "tools/times_file.h"

namespace quarlex {

namespace {
using SteadyClock = std::chrono::steady_clock;
// Pieces of the queue: large enough that a fast stream makes few of them, small enough that a
// write that fails keeps only a little in flight.
constexpr size_t kPieceBytes = size_t{1} << 20;
// Journal lines that wait for a disk that fails are kept up to this; beyond it the journal of
// that file stops (its times are still finished in full when the writer leaves the file, and a
// crash meanwhile completes the rest as one entry).
constexpr size_t kJournalLimit = size_t{4} << 20;

// "<folder>/" and "<name>" of a path.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const size_t slash = path.find_last_of(capture_fs::FolderSeparators);
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}
}  // namespace

struct RecordWriter::FileState {
  capture_fs::AppendFile file;
  capture_fs::AppendFile journal;
  std::string path;
  uint64_t bytes = 0;  // written into the file
  bool dirty = false;  // written since the last sync
  bool journalOn = false;
  std::string journalText;  // lines not written yet
  TimeIndex index;
  SteadyClock::time_point syncDue{};
};

RecordWriter::RecordWriter(std::chrono::milliseconds syncEvery, std::chrono::milliseconds retryEvery,
                           size_t queueLimit)
    : syncEvery_(syncEvery),
      retryEvery_(retryEvery),
      queueLimit_(std::max<size_t>(queueLimit, 1)),
      file_(std::make_unique<FileState>()) {
  thread_ = std::thread([this] {
    NameThisThread(thread_role::kRecord);
    Run();
  });
}

RecordWriter::~RecordWriter() {
  Stop();
}

void RecordWriter::NextFile(const std::string& path) {
  {
    std::lock_guard lock(mu_);
    Item item;
    item.isFile = true;
    item.path = path;
    queue_.push_back(std::move(item));
  }
  cv_.notify_one();
}

size_t RecordWriter::Append(const uint8_t* data, size_t length, bool force) {
  if (length == 0) return 0;
  {
    std::lock_guard lock(mu_);
    if (!thread_.joinable() || stopping_) return 0;
    const size_t room = queuedBytes_ >= queueLimit_ ? 0 : queueLimit_ - queuedBytes_;
    const size_t take = force ? length : std::min(length, room);
    if (take == 0) return 0;
    status_.Appended += take;
    queuedBytes_ += take;
    for (size_t done = 0; done < take;) {
      if (queue_.empty() || queue_.back().isFile || queue_.back().bytes.size() >= kPieceBytes) {
        queue_.emplace_back();
        queue_.back().bytes.reserve(std::min(kPieceBytes, take - done));
      }
      std::vector<uint8_t>& bytes = queue_.back().bytes;
      const size_t n = std::min(take - done, std::max(kPieceBytes, bytes.size()) - bytes.size());
      bytes.insert(bytes.end(), data + done, data + done + n);
      done += n;
    }
    length = take;
  }
  cv_.notify_one();
  return length;
}

void RecordWriter::AddEntry(const Entry& e) {
  std::lock_guard lock(mu_);
  if (!thread_.joinable() || stopping_) return;
  // An entry belongs to the file started last: one still queued keeps it until it is made.
  const auto file = std::find_if(queue_.rbegin(), queue_.rend(), [](const Item& i) { return i.isFile; });
  if (file != queue_.rend()) {
    file->entries.push_back(e);
  } else {
    entries_.push_back(e);
  }
  // No wake-up: the entries go with the next bytes or the next sync.
}

void RecordWriter::AddBatch(uint32_t offset, uint32_t count, Direction dir, int64_t timeNs) {
  if (count > 0) AddEntry({false, offset, count, dir, timeNs});
}

void RecordWriter::AddEvents(uint32_t offset, LineEvents events, int64_t timeNs) {
  if (events != 0) AddEntry({true, offset, events, Direction::Received, timeNs});
}

RecordWriter::Status RecordWriter::GetStatus() const {
  std::lock_guard lock(mu_);
  return status_;
}

size_t RecordWriter::Queued() const {
  std::lock_guard lock(mu_);
  return queuedBytes_;
}

RecordWriter::Status RecordWriter::Stop() {
  {
    std::lock_guard lock(mu_);
    if (!thread_.joinable()) return status_;
    stopping_ = true;
    retryAt_ = {};  // one more try of whatever failed
  }
  cv_.notify_all();
  thread_.join();
  return GetStatus();
}

void RecordWriter::Apply(const std::vector<Entry>& entries) {
  FileState& f = *file_;
  for (const Entry& e : entries) {
    if (e.isEvent) {
      f.index.AddEvents(e.offset, e.countOrEvents, e.timeNs);
    } else {
      f.index.AddBatch(e.offset, e.countOrEvents, e.dir, e.timeNs);
    }
    if (!f.journalOn) continue;
    f.journalText += e.isEvent ? JournalEventLine(e.offset, e.countOrEvents, e.timeNs)
                               : JournalBatchLine(e.offset, e.countOrEvents, e.dir, e.timeNs);
    if (f.journalText.size() > kJournalLimit) {
      f.journalOn = false;
      f.journalText.clear();
    }
  }
}

bool RecordWriter::WriteJournal() {
  FileState& f = *file_;
  if (f.journalText.empty() || !f.journal.IsOpen()) return true;
  const size_t n =
      f.journal.Write(reinterpret_cast<const uint8_t*>(f.journalText.data()), f.journalText.size());
  f.journalText.erase(0, n);
  return f.journalText.empty();
}

bool RecordWriter::Sync(std::unique_lock<std::mutex>& lock) {
  std::vector<Entry> entries;
  entries.swap(entries_);
  lock.unlock();
  Apply(entries);
  const bool ok = file_->file.SyncData();
  // The journal after the data: its entries never run ahead of bytes that are durable by more
  // than what this sync brings.
  const bool journalOk = !file_->journal.IsOpen() || (WriteJournal() && file_->journal.SyncData());
  lock.lock();
  if (!ok) {
    status_.Error = status_.File + ": " + file_->file.Error();
    return false;
  }
  if (!journalOk) status_.TimesError = TimesPathFor(file_->path) + ": " + file_->journal.Error();
  file_->dirty = false;
  status_.Durable = status_.Written;  // every earlier file was synced before it was left
  return true;
}

void RecordWriter::FinishFile(std::unique_lock<std::mutex>& lock) {
  FileState& f = *file_;
  std::vector<Entry> entries;
  entries.swap(entries_);
  lock.unlock();
  Apply(entries);
  f.file.Close();
  f.journal.Close();
  // The full form replaces the journal: this is what a save of the same bytes writes.
  const auto [folder, name] = SplitPath(TimesPathFor(f.path));
  const std::string error = WriteFileReplacing(folder, name, TimesFileText(f.index, WholeFilePlan(f.bytes)));
  f.index.Clear();
  f.journalText.clear();
  f.journalOn = false;
  f.bytes = 0;
  lock.lock();
  if (!error.empty()) status_.TimesError = folder + name + ": " + error;
}

bool RecordWriter::Work(std::unique_lock<std::mutex>& lock) {
  if (queue_.front().isFile) {
    if (file_->file.IsOpen()) {
      if (file_->dirty && !Sync(lock)) return false;
      FinishFile(lock);
    }
    const std::string path = queue_.front().path;
    lock.unlock();
    const bool ok = file_->file.Create(path);
    lock.lock();
    if (!ok) {
      status_.Error = path + ": " + file_->file.Error();
      return false;
    }
    std::vector<Entry> entries = std::move(queue_.front().entries);
    queue_.pop_front();
    status_.File = path;
    status_.Error.clear();
    lock.unlock();
    FileState& f = *file_;
    f.path = path;
    f.bytes = 0;
    f.index.Clear();
    // A journal that cannot be made leaves the file without one until it is left (then its
    // times are written in full all the same).
    f.journalOn = f.journal.Create(TimesPathFor(path));
    f.journalText.clear();
    if (f.journalOn) f.journalText = std::string(TimesJournalHeader) + '\n';
    const std::string journalError = f.journalOn ? std::string() : f.journal.Error();
    Apply(entries);
    lock.lock();
    if (!journalError.empty()) status_.TimesError = TimesPathFor(path) + ": " + journalError;
    return true;
  }
  if (!file_->file.IsOpen()) {
    status_.Error = "no file to record into";
    return false;
  }
  Item item = std::move(queue_.front());
  queue_.pop_front();
  lock.unlock();
  const size_t n = file_->file.Write(item.bytes.data(), item.bytes.size());
  lock.lock();
  file_->bytes += n;
  status_.Written += n;
  queuedBytes_ -= n;
  if (n > 0 && !file_->dirty) {
    file_->dirty = true;
    file_->syncDue = SteadyClock::now() + syncEvery_;
  }
  if (n < item.bytes.size()) {
    // The rest goes first when writing works again, before anything appended since.
    item.bytes.erase(item.bytes.begin(), item.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    queue_.push_front(std::move(item));
    status_.Error = status_.File + ": " + file_->file.Error();
    return false;
  }
  status_.Error.clear();
  return true;
}

void RecordWriter::Run() {
  std::unique_lock lock(mu_);
  for (;;) {
    bool failed = false;
    while (!queue_.empty() && SteadyClock::now() >= retryAt_) {
      if (!Work(lock)) {
        failed = true;
        break;
      }
    }
    if (file_->dirty && (stopping_ || SteadyClock::now() >= file_->syncDue) && !Sync(lock)) failed = true;
    if (failed) retryAt_ = SteadyClock::now() + retryEvery_;
    if (stopping_ && (failed || (queue_.empty() && !file_->dirty))) break;
    const auto due = [&] {
      return stopping_ || (!queue_.empty() && SteadyClock::now() >= retryAt_) ||
             (file_->dirty && SteadyClock::now() >= file_->syncDue);
    };
    // Asleep until there is work, a sync or a retry is due: nothing to do costs nothing.
    if (!file_->dirty && queue_.empty()) {
      cv_.wait(lock, due);
    } else {
      SteadyClock::time_point wake = file_->dirty ? file_->syncDue : retryAt_;
      if (file_->dirty && !queue_.empty()) wake = std::min(wake, retryAt_);
      cv_.wait_until(lock, wake, due);
    }
  }
  if (file_->file.IsOpen()) FinishFile(lock);
}

}  // namespace quarlex
