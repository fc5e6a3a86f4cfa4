#include "tools/record_writer.h"

#include <algorithm>

#include "serial/thread_name.h"
#include "tools/capture_file_system.h"

namespace quarlex {

namespace {
using SteadyClock = std::chrono::steady_clock;
// Pieces of the queue: large enough that a fast stream makes few of them, small enough that a
// write that fails keeps only a little in flight.
constexpr size_t kPieceBytes = size_t{1} << 20;
}  // namespace

struct RecordWriter::FileState {
  capture_fs::AppendFile file;
  bool dirty = false;  // written since the last sync
  SteadyClock::time_point syncDue{};
};

RecordWriter::RecordWriter(std::chrono::milliseconds syncEvery, std::chrono::milliseconds retryEvery)
    : syncEvery_(syncEvery), retryEvery_(retryEvery), file_(std::make_unique<FileState>()) {
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

void RecordWriter::Append(const uint8_t* data, size_t length) {
  if (length == 0) return;
  {
    std::lock_guard lock(mu_);
    // Counted also after Stop, so what never reached the disk shows as Appended - Written.
    status_.Appended += length;
    if (!thread_.joinable() || stopping_) return;
    if (queue_.empty() || queue_.back().isFile || queue_.back().bytes.size() >= kPieceBytes)
      queue_.emplace_back();
    std::vector<uint8_t>& bytes = queue_.back().bytes;
    bytes.insert(bytes.end(), data, data + length);
  }
  cv_.notify_one();
}

RecordWriter::Status RecordWriter::GetStatus() const {
  std::lock_guard lock(mu_);
  return status_;
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

bool RecordWriter::Sync(std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  const bool ok = file_->file.SyncData();
  lock.lock();
  if (!ok) {
    status_.Error = status_.File + ": " + file_->file.Error();
    return false;
  }
  file_->dirty = false;
  status_.Durable = status_.Written;  // every earlier file was synced before it was left
  return true;
}

bool RecordWriter::Work(std::unique_lock<std::mutex>& lock) {
  if (queue_.front().isFile) {
    const std::string path = queue_.front().path;
    if (file_->dirty && !Sync(lock)) return false;
    lock.unlock();
    file_->file.Close();
    const bool ok = file_->file.Create(path);
    lock.lock();
    if (!ok) {
      status_.Error = path + ": " + file_->file.Error();
      return false;
    }
    queue_.pop_front();
    status_.File = path;
    status_.Error.clear();
    return true;
  }
  Item item = std::move(queue_.front());
  queue_.pop_front();
  if (!file_->file.IsOpen()) {
    queue_.push_front(std::move(item));
    status_.Error = "no file to record into";
    return false;
  }
  lock.unlock();
  const size_t n = file_->file.Write(item.bytes.data(), item.bytes.size());
  lock.lock();
  status_.Written += n;
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
  lock.unlock();
  file_->file.Close();
}

}  // namespace quarlex
