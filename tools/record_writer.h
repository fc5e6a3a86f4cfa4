#pragma once
// The writer of a recording: captured bytes go to the disk as they arrive, on a thread of its
// own, so the window never waits for the disk. The owner hands each piece over with Append (a
// copy into the writer's queue), the time index entries of those bytes with AddBatch and
// AddEvents, starts the next file with NextFile (the owner picks its name: one ring per file),
// and asks Status at its tick what is on the disk and what failed.
//
// Beside each `<name>.data` the writer keeps `<name>.idx`: while the file grows, a journal of its
// entries (times_file.h), written with the bytes and made durable at the same syncs; when the
// writer leaves the file (NextFile, Stop), the full times file of the same entries, which is then
// what a save of those bytes writes. Its own copy of the entries is a TimeIndex of the capture's
// size, fed as the capture's own index was, so both hold the same.
//
// The thread writes what is queued at once and makes it durable (fdatasync) within `syncEvery`
// of writing it, and before it leaves a file. A write, sync or file creation that fails keeps
// every byte not written in the queue, in order, says why in Status, and is tried again every
// `retryEvery` until it works; the bytes then follow where they belong, nothing is skipped.
// The queue holds at most `queueLimit` bytes: Append takes what fits and the owner keeps the
// rest (the capture's ring holds it) and offers it again later; Append with `force` takes all.
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

#include "app/time_index.h"

namespace quarlex {

class RecordWriter {
 public:
  struct Status {
    std::string File;        // the file being written (the last one created or asked for)
    uint64_t Appended = 0;   // bytes handed over since the writer was made
    uint64_t Written = 0;    // of them, written into their files
    uint64_t Durable = 0;    // of them, synced to the disk
    std::string Error;       // why writing fails now; empty while it works
    std::string TimesError;  // why the last times file could not be finished (its journal stays)
  };
  static constexpr size_t DefaultQueueLimit = size_t{8} << 20;

  explicit RecordWriter(std::chrono::milliseconds syncEvery = std::chrono::seconds(1),
                        std::chrono::milliseconds retryEvery = std::chrono::seconds(1),
                        size_t queueLimit = DefaultQueueLimit);
  ~RecordWriter();  // Stop()
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Bytes appended from now on go to a new file at `path`, created new (an existing file is
  // never replaced: that is a failure, retried), with its times file beside it. The file before
  // it is synced, its times file finished, and closed first.
  void NextFile(const std::string& path);
  // Takes as much of the bytes as the queue has room for (all of them with `force`) and returns
  // how many it took; after Stop it takes nothing.
  size_t Append(const uint8_t* data, size_t length, bool force = false);
  // Entries of the current file's time index, at offsets from its start, as the capture added
  // them (TimeIndexObserver).
  void AddBatch(uint32_t offset, uint32_t count, Direction dir, int64_t timeNs);
  void AddEvents(uint32_t offset, LineEvents events, int64_t timeNs);
  Status GetStatus() const;
  // Bytes queued and not written yet.
  size_t Queued() const;
  // Writes and syncs what is queued, with one more try where writing fails, finishes the times
  // file, closes the file and ends the thread. What was not written then is Appended - Written
  // of the result. Idempotent.
  Status Stop();

 private:
  struct Entry {
    bool isEvent = false;
    uint32_t offset = 0;
    uint32_t countOrEvents = 0;
    Direction dir = Direction::Received;
    int64_t timeNs = 0;
  };
  struct Item {
    bool isFile = false;
    std::string path;            // isFile
    std::vector<uint8_t> bytes;  // otherwise
    std::vector<Entry> entries;  // isFile: entries of that file added before it was started
  };
  void AddEntry(const Entry& e);
  void Run();
  // Works the front item; false when it failed (the item stays at the front).
  bool Work(std::unique_lock<std::mutex>& lock);
  bool Sync(std::unique_lock<std::mutex>& lock);
  // Into the current file's index and journal (writer thread, unlocked).
  void Apply(const std::vector<Entry>& entries);
  // Writes the journal lines not written yet (writer thread, unlocked); false on failure.
  bool WriteJournal();
  // Leaves the current file: its times file in full form (writer thread, unlocked).
  void FinishFile(std::unique_lock<std::mutex>& lock);

  const std::chrono::milliseconds syncEvery_, retryEvery_;
  const size_t queueLimit_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  size_t queuedBytes_ = 0;
  std::vector<Entry> entries_;  // of the file being written, not applied yet
  Status status_;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point retryAt_{};  // no try of a failed item before
  // Writer thread only:
  struct FileState;
  std::unique_ptr<FileState> file_;
  std::thread thread_;
};

}  // namespace quarlex
