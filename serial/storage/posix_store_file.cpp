// Whole-file reading and replacing of a settings store on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "serial/storage/comport_storage_file.h"

namespace quarlex::storage_detail {

namespace fs = std::filesystem;

// Only regular files are read: a FIFO would block, a device would never end.
std::optional<std::string> ReadStoreFile(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    FailErrno("cannot open", path, errno);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    Fail("not a regular file: " + path.string());
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxStoreFile) {
    ::close(fd);
    Fail("too large for a settings file: " + path.string());
  }
  std::string data;
  char chunk[8192];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      FailErrno("cannot read", path, error);
    }
    if (n == 0) break;
    data.append(chunk, static_cast<size_t>(n));
    if (data.size() > kMaxStoreFile) {
      ::close(fd);
      Fail("too large for a settings file: " + path.string());
    }
  }
  ::close(fd);
  // Text files hold no NUL bytes; a file that does is not ours to parse, nor to overwrite.
  if (data.find('\0') != std::string::npos) Fail("not a text file: " + path.string());
  return data;
}

namespace {

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

// Replaces the file's content as a whole: a temporary file in the same folder is written,
// flushed and renamed over the old one, so a crash or a full disk never leaves half a file.
// A symbolic link is followed, so the link stays a link. An existing file keeps its
// permissions; a new one gets 0666 less the umask. When the folder does not let us create the
// temporary but the file itself is writable, the file is rewritten in place.
void ReplaceStoreFile(const fs::path& path, const std::string& data) {
  std::error_code ec;
  fs::path target = fs::weakly_canonical(path, ec);
  if (ec) target = path;
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  if (existed && !S_ISREG(old.st_mode)) Fail("not a regular file: " + target.string());
  // Renaming over a file needs only the folder's permission; a file the user made read-only
  // must still refuse the write, as it would when written in place.
  if (existed && ::access(target.c_str(), W_OK) != 0) FailErrno("cannot write", target, errno);

  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = folder / ("." + target.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                     std::to_string(stamp) + "-" + std::to_string(attempt));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    const int error = errno;
    if (existed && (error == EACCES || error == EPERM)) {
      const int in_place = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (in_place < 0) FailErrno("cannot write", target, errno);
      const bool ok = WriteAll(in_place, data) && ::fsync(in_place) == 0;
      const int write_error = errno;
      if (::close(in_place) != 0 || !ok) FailErrno("cannot write", target, write_error);
      return;
    }
    FailErrno("cannot create a file in", folder, error);
  }
  bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
  int error = errno;
  if (ok && existed && ::fchmod(fd, old.st_mode & 07777) != 0) {
    ok = false;
    error = errno;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    FailErrno("cannot write", target, error);
  }
}

}  // namespace quarlex::storage_detail
