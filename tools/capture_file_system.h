#pragma once
// The operating system's side of capture files: where the executable lives, the user's home
// folder, local time, and the few file operations a save and a load need. One implementation
// per platform (capture_file_system_posix.cpp, capture_file_system_win32.cpp); the rules about
// names, ranges, suffixes, limits and messages stay in capture_files.cpp.
// Paths are UTF-8. Errors are the system's own text for the failure ("No space left on device").
// Main thread only, like the capture files themselves; an AppendFile is used by one thread at a
// time, whichever it is.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace quarlex::capture_fs {

// Characters that end a folder name in a path.
extern const char* const FolderSeparators;

// This process's executable, or "" when the system does not say.
std::string ExecutablePath();
// The user's home folder, or "" when there is none.
std::string HomeFolder();
// True when a file can be created in `folder` now.
bool CanWriteIn(const std::string& folder);
std::tm LocalTimeOf(std::time_t t);

// False only when nothing at all is found under `path` (a file that cannot be read still exists).
bool Exists(const std::string& path);

// Names of the files directly in `folder` (ending in a separator), in no particular order;
// empty when it cannot be read.
std::vector<std::string> FilesIn(const std::string& folder);

// True while a recording's writer has `path` open (an AppendFile holds it against others): a
// file another instance is still writing.
bool HeldByWriter(const std::string& path);

// Creates `folder` (ending in a separator) and every missing folder above it. "" on success,
// else why not (a file in the way gives the system's "not a directory" text).
std::string MakeFolders(const std::string& folder);

// A file written under a hidden temporary name and published under its final name only when
// complete and flushed, so a failure never leaves a partial file under a capture name. The
// destructor removes the temporary file when it was not published.
class PendingFile {
 public:
  PendingFile() = default;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  // Creates a new temporary file in `folder`.
  bool Create(const std::string& folder);
  bool Write(const uint8_t* data, size_t length);
  // Flushes the bytes to the disk and closes the file.
  bool Finish();
  enum class Publish { Done, NameTaken, Failed };
  // Gives the finished file the name `path` unless a file of that name exists: an earlier
  // capture is never replaced. Done means the new name is on the disk too.
  Publish PublishAs(const std::string& path);
  // Gives the finished file the name `path`, replacing a file of that name: for companions of a
  // capture and exports, whose name the caller has settled. False on failure, with Error().
  bool PublishReplacing(const std::string& path);
  // Why the last call failed.
  const std::string& Error() const { return error_; }

 private:
  void Discard();
  std::string tmp_;
  std::string error_;
  intptr_t handle_ = -1;
  bool published_ = false;
};

// A file that grows as bytes arrive (a recording): created new under its final name (never
// replacing one), written at its end, its data made durable on request. Readers may open it while
// it grows. Used by one thread at a time (the recorder's writer), not only the main thread.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile();  // Close

  // Creates `path` and makes its name durable; false when it exists or cannot be made. While it
  // is open, HeldByWriter(path) is true, also for another process.
  bool Create(const std::string& path);
  bool IsOpen() const { return handle_ != -1; }
  // Appends up to `length` bytes: how many were written, fewer only on failure (Error()).
  size_t Write(const uint8_t* data, size_t length);
  // What was written reaches the disk (the data, and the size that makes it readable).
  bool SyncData();
  void Close();
  const std::string& Error() const { return error_; }

 private:
  intptr_t handle_ = -1;
  std::string error_;
};

// A file opened for loading: only an existing, readable regular file opens. Opening never
// touches a device or waits for a pipe's writer.
class SourceFile {
 public:
  SourceFile() = default;
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  ~SourceFile();

  bool Open(const std::string& path);
  uint64_t Size() const { return size_; }
  // When it was last written, in nanoseconds since the Unix epoch.
  int64_t ModifiedNs() const { return modifiedNs_; }
  // Reads up to `length` bytes at `offset`: the count read (0 at the end), or -1 with Error().
  int64_t ReadAt(uint8_t* into, uint32_t length, uint64_t offset);
  const std::string& Error() const { return error_; }

 private:
  intptr_t handle_ = -1;
  uint64_t size_ = 0;
  int64_t modifiedNs_ = 0;
  std::string error_;
};

}  // namespace quarlex::capture_fs
