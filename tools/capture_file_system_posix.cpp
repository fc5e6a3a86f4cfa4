// Capture files on POSIX systems: no-replace renames, fsync of the file and of its folder, and
// loads that refuse anything but a regular file before opening it.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/capture_file_system.h"

namespace quarlex::capture_fs {

const char* const FolderSeparators = "/";

namespace {

std::string Reason(int err) {
  return std::strerror(err);
}

int Fd(intptr_t handle) {
  return static_cast<int>(handle);
}

void SyncFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // best effort: the file's data is already on disk
  ::close(fd);
}

}  // namespace

std::string ExecutablePath() {
  std::string exe(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size() - 1);
  exe.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return exe;
}

std::string HomeFolder() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

bool CanWriteIn(const std::string& folder) {
  return ::access(folder.c_str(), W_OK) == 0;
}

std::tm LocalTimeOf(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

std::string MakeFolders(const std::string& folder) {
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i < folder.size() && folder[i] != '/') continue;
    const std::string part = folder.substr(0, i);
    if (part.empty() || part == "/") continue;
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return Reason(errno);
  }
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return Reason(errno);
  if (!S_ISDIR(st.st_mode)) return Reason(ENOTDIR);
  return {};
}

AppendFile::~AppendFile() {
  Close();
}

bool AppendFile::Create(const std::string& path) {
  Close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) {
    error_ = Reason(errno);
    return false;
  }
  // A lock that ends with the descriptor, also when the process is killed: while it is held the
  // file is being written, and the next start must not take it for an unfinished recording.
  (void)::flock(fd, LOCK_EX | LOCK_NB);
  handle_ = fd;
  SyncFolder(path);  // the name survives a power cut with the first bytes
  return true;
}

size_t AppendFile::Write(const uint8_t* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(Fd(handle_), data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      error_ = Reason(n < 0 ? errno : ENOSPC);
      break;
    }
  }
  return done;
}

bool AppendFile::SyncData() {
  if (::fdatasync(Fd(handle_)) == 0) return true;
  error_ = Reason(errno);
  return false;
}

void AppendFile::Close() {
  if (handle_ == -1) return;
  ::close(Fd(handle_));
  handle_ = -1;
}

PendingFile::~PendingFile() {
  Discard();
}

void PendingFile::Discard() {
  if (handle_ >= 0) ::close(Fd(handle_));
  handle_ = -1;
  if (!tmp_.empty() && !published_) ::unlink(tmp_.c_str());
  tmp_.clear();
}

bool PendingFile::Create(const std::string& folder) {
  Discard();
  published_ = false;
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string tmp =
        folder + ".quarlex-save-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".part";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      tmp_ = tmp;
      handle_ = fd;
      return true;
    }
    if (errno != EEXIST) break;
  }
  error_ = Reason(errno);
  return false;
}

bool PendingFile::Write(const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(Fd(handle_), data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = Reason(errno);
      return false;
    }
    if (n == 0) {
      error_ = Reason(ENOSPC);
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool PendingFile::Finish() {
  bool ok = ::fsync(Fd(handle_)) == 0;
  int err = errno;
  if (::close(Fd(handle_)) != 0 && ok) {
    ok = false;
    err = errno;
  }
  handle_ = -1;
  if (!ok) error_ = Reason(err);
  return ok;
}

PendingFile::Publish PendingFile::PublishAs(const std::string& path) {
  auto done = [&] {
    published_ = true;
    SyncFolder(path);
    return Publish::Done;
  };
  auto failed = [&] {
    error_ = Reason(errno);
    return Publish::Failed;
  };
  if (renameat2(AT_FDCWD, tmp_.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return done();
  if (errno == EEXIST) return Publish::NameTaken;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return failed();
  // File systems without the no-replace rename: a hard link fails on an existing name too.
  if (::link(tmp_.c_str(), path.c_str()) == 0) {
    ::unlink(tmp_.c_str());
    return done();
  }
  if (errno == EEXIST) return Publish::NameTaken;
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP) return failed();
  // Neither (FAT and the like): check, then rename. Only another program racing for the same
  // name in the same instant could be overwritten.
  if (::access(path.c_str(), F_OK) == 0) return Publish::NameTaken;
  return ::rename(tmp_.c_str(), path.c_str()) == 0 ? done() : failed();
}

bool PendingFile::PublishReplacing(const std::string& path) {
  if (::rename(tmp_.c_str(), path.c_str()) != 0) {
    error_ = Reason(errno);
    return false;
  }
  published_ = true;
  SyncFolder(path);
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 || errno != ENOENT;
}

SourceFile::~SourceFile() {
  if (handle_ >= 0) ::close(Fd(handle_));
}

bool SourceFile::Open(const std::string& path) {
  // The type is checked before opening, because opening a serial device or a FIFO has effects
  // of its own (modem lines, a writer waiting), and again on the open descriptor in case the
  // name was replaced in between. O_NONBLOCK keeps even that second case from hanging.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  handle_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
  modifiedNs_ = int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
  return true;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_type == DT_REG || e->d_type == DT_UNKNOWN) names.emplace_back(e->d_name);
  }
  ::closedir(dir);
  return names;
}

bool HeldByWriter(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

int64_t SourceFile::ReadAt(uint8_t* into, uint32_t length, uint64_t offset) {
  for (;;) {
    const ssize_t n = ::pread(Fd(handle_), into, length, static_cast<off_t>(offset));
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    error_ = Reason(errno);
    return -1;
  }
}

}  // namespace quarlex::capture_fs
