#pragma once
// The writer of a recording: captured bytes go to the disk as they arrive, on a thread of its
// own, so the window never waits for the disk. The owner hands each piece over with Append (a
// copy into the writer's queue), starts the next file with NextFile (the owner picks its name:
// one ring per file), and asks Status at its tick what is on the disk and what failed.
//
// The thread writes what is queued at once and makes it durable (fdatasync) within `syncEvery`
// of writing it, and before it leaves a file. A write, sync or file creation that fails keeps
// every byte not written in the queue, in order, says why in Status, and is tried again every
// `retryEvery` until it works; the bytes then follow where they belong, nothing is skipped.
//
// Threads: every member but the destructor may be called from any one owner thread; the writer
// thread is private. Nothing of the writer outlives it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quarlex {

class RecordWriter {
 public:
  struct Status {
    std::string File;       // the file being written (the last one created or asked for)
    uint64_t Appended = 0;  // bytes handed over since the writer was made
    uint64_t Written = 0;   // of them, written into their files
    uint64_t Durable = 0;   // of them, synced to the disk
    std::string Error;      // why writing fails now; empty while it works
  };

  explicit RecordWriter(std::chrono::milliseconds syncEvery = std::chrono::seconds(1),
                        std::chrono::milliseconds retryEvery = std::chrono::seconds(1));
  ~RecordWriter();  // Stop()
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Bytes appended from now on go to a new file at `path`, created new (an existing file is
  // never replaced: that is a failure, retried). The file before it is synced and closed first.
  void NextFile(const std::string& path);
  void Append(const uint8_t* data, size_t length);
  Status GetStatus() const;
  // Writes and syncs what is queued, with one more try where writing fails, closes the file and
  // ends the thread. What was not written then is Appended - Written of the result. Idempotent.
  Status Stop();

 private:
  struct Item {
    bool isFile = false;
    std::string path;            // isFile
    std::vector<uint8_t> bytes;  // otherwise
  };
  void Run();
  // Works the front item; false when it failed (the item stays at the front).
  bool Work(std::unique_lock<std::mutex>& lock);
  bool Sync(std::unique_lock<std::mutex>& lock);

  const std::chrono::milliseconds syncEvery_, retryEvery_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  Status status_;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point retryAt_{};  // no try of a failed item before
  // Writer thread only:
  struct FileState;
  std::unique_ptr<FileState> file_;
  std::thread thread_;
};

}  // namespace quarlex
