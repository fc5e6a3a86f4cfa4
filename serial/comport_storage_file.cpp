#include "serial/comport_storage_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace quarlex::storage_detail {

namespace fs = std::filesystem;

namespace {

// A settings store is a few hundred bytes; anything this large is not one, and reading it whole
// would only cost memory.
constexpr size_t kMaxStoreFile = 16u << 20;

}  // namespace

void Fail(const std::string& what) {
  throw std::runtime_error(what);
}
void FailErrno(const std::string& what, const fs::path& path, int error) {
  throw std::runtime_error(what + " " + path.string() + ": " + std::strerror(error));
}

// --- whole-file reading and replacing

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

std::vector<std::string> SplitLines(std::string_view data, bool& crlf) {
  std::vector<std::string> lines;
  crlf = false;
  bool first_break = true;
  while (!data.empty()) {
    const size_t end = data.find('\n');
    std::string_view line = data.substr(0, end);
    if (end != std::string_view::npos) {
      if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
        if (first_break) crlf = true;
      }
      first_break = false;
    }
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    data.remove_prefix(end + 1);
  }
  return lines;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<int32_t> ParseInteger(std::string_view text) {
  const bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);  // from_chars takes '-' but not '+'
  if (text.empty() || text.front() == '+' || (plus && text.front() == '-')) return std::nullopt;
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace quarlex::storage_detail
