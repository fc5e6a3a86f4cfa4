#include "tools/capture_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace quarlex {

namespace {

std::string TwoDigits(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d", v);
  return b;
}

// A port may be named by its device path; only its last component belongs in a file name, and
// nothing in it may turn the name into a path or a hidden file.
std::string PortForFileName(const std::string& port) {
  std::string p = port.substr(port.find_last_of('/') == std::string::npos ? 0 : port.find_last_of('/') + 1);
  for (char& c : p) {
    const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    if (!safe) c = '_';
  }
  if (p.empty()) return "COM1";
  if (p[0] == '.') p[0] = '_';
  return p;
}

std::string Reason(int err) {
  return std::strerror(err);
}

// Creates every missing folder on the way to `folder` (which ends in '/').
bool MakeFolders(const std::string& folder) {
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i < folder.size() && folder[i] != '/') continue;
    const std::string part = folder.substr(0, i);
    if (part.empty() || part == "/") continue;
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Gives the finished temporary file `tmp` the name `path` unless that name is taken.
// 1 = published, 0 = name taken, -1 = failure (errno set).
int PublishNoReplace(const std::string& tmp, const std::string& path) {
  if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return 1;
  if (errno == EEXIST) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
  // File systems without the no-replace rename: a hard link fails on an existing name too.
  if (::link(tmp.c_str(), path.c_str()) == 0) {
    ::unlink(tmp.c_str());
    return 1;
  }
  if (errno == EEXIST) return 0;
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP) return -1;
  // Neither (FAT and the like): check, then rename. Only another program racing for the same
  // name in the same instant could be overwritten.
  if (::access(path.c_str(), F_OK) == 0) return 0;
  return ::rename(tmp.c_str(), path.c_str()) == 0 ? 1 : -1;
}

void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // best effort: the file's data is already on disk
  ::close(fd);
}

}  // namespace

LocalTime NowLocal() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::string CaptureFileName(const std::string& port, const LocalTime& t, unsigned suffix) {
  std::string name = PortForFileName(port) + "_" + std::to_string(t.year) + TwoDigits(t.month) +
                     TwoDigits(t.day) + "_" + TwoDigits(t.hour) + TwoDigits(t.minute) + TwoDigits(t.second);
  if (suffix > 0) name.append("_").append(std::to_string(suffix));
  return name + ".data";
}

std::string ExeFolderFor(const std::string& exePath, const std::string& home) {
  const size_t slash = exePath.find_last_of('/');
  std::string folder = slash == std::string::npos ? "./" : exePath.substr(0, slash + 1);
  if (::access(folder.c_str(), W_OK) == 0 || home.empty()) return folder;
  std::string h = home;
  while (h.size() > 1 && h.back() == '/') h.pop_back();
  return (h == "/" ? "" : h) + "/Quarlex/";
}

std::string DefaultExeFolder() {
  std::string exe(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size() - 1);
  exe.resize(n > 0 ? static_cast<size_t>(n) : 0);
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  return ExeFolderFor(exe.empty() ? "./quarlex" : exe, home);
}

SavePlan PlanSave(const CaptureStore& store, SaveMode mode) {
  SavePlan plan;
  auto add = [&plan](uint32_t from, uint32_t to) {
    if (to > from) plan.pieces[plan.count++] = {from, to - from};
  };
  const uint32_t w = store.WriteIndex;  // CaptureSize when the ring is full
  plan.nextSavedUpTo = w;
  if (mode == SaveMode::Full) {
    add(0, w);
    return plan;
  }
  const uint32_t saved = std::min(store.SavedUpTo, CaptureSize);
  if (saved <= w) {
    add(saved, w);
  } else {
    // A send wrapped the ring after the last save: the rest of the ring, then its start.
    add(saved, CaptureSize);
    add(0, w);
  }
  return plan;
}

SaveResult WriteCaptureFile(const std::string& folder, const std::string& baseName, const uint8_t* ring,
                            const SavePlan& plan) {
  SaveResult result;
  if (!MakeFolders(folder)) {
    result.error = Reason(errno);
    return result;
  }
  // The bytes go to a hidden temporary name first, so a failure never leaves a partial file
  // under a capture name, and a finished file never replaces another.
  static std::atomic<unsigned> counter{0};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmp = folder + ".quarlex-save-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".part";
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    result.error = Reason(errno);
    return result;
  }
  bool ok = true;
  for (int i = 0; i < plan.count && ok; ++i)
    ok = WriteAll(fd, ring + plan.pieces[i].offset, plan.pieces[i].length);
  ok = ok && ::fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    result.error = Reason(err);
    return result;
  }
  const std::string stem =
      baseName.size() > 5 && baseName.ends_with(".data") ? baseName.substr(0, baseName.size() - 5) : baseName;
  for (unsigned n = 0; n < 100000; ++n) {
    const std::string name = n == 0 ? stem + ".data" : stem + "_" + std::to_string(n) + ".data";
    const int r = PublishNoReplace(tmp, folder + name);
    if (r == 0) continue;
    if (r < 0) break;
    SyncFolder(folder);
    result.ok = true;
    result.fileName = name;
    return result;
  }
  err = errno == 0 ? EEXIST : errno;
  ::unlink(tmp.c_str());
  result.error = Reason(err);
  return result;
}

bool CaptureFiles::BtnSaveClick() {
  if (session_.ExeFolder.empty()) session_.ExeFolder = DefaultExeFolder();
  CaptureStore& store = session_.Store;
  const LocalTime t = clock_();
  const SavePlan plan = PlanSave(store, ui_.CheckedSaveMode());
  const SaveResult r =
      WriteCaptureFile(session_.ExeFolder, CaptureFileName(ui_.PortName(), t), store.CaptureBuffer, plan);
  if (!r.ok) {
    lastError_ = "File not saved: " + r.error;
    session_.SaveFailed(r.error);
    session_.ShowMessage(lastError_, ErrorColour, 0);
    return false;
  }
  lastError_.clear();
  // A full ring whose autosave failed is released by this: the next tick sees it saved.
  store.SavedUpTo = plan.nextSavedUpTo;
  session_.ShowMessage("File  " + r.fileName + "  saved", SuccessColour, 0);
  return true;
}

void CaptureFiles::BtnOpenClick() {
  const std::string path = ui_.ChooseFileToOpen();
  if (path.empty()) return;
  LoadFile(path);
}

CaptureFiles::LoadResult CaptureFiles::LoadFile(const std::string& path) {
  auto notFound = [this] {
    session_.ShowMessage("File not found", ErrorColour, 0);
    return LoadResult::NotFound;
  };
  // Only regular files are loaded. The type is checked before opening, because opening a
  // serial device or a FIFO has effects of its own (modem lines, a writer waiting), and again
  // on the open descriptor in case the name was replaced in between. O_NONBLOCK keeps even
  // that second case from hanging.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return notFound();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return notFound();
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return notFound();
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(size, LoadLimit));

  session_.ClearFull();
  CaptureStore& store = session_.Store;
  uint32_t got = 0;
  int err = 0;
  while (got < want) {
    const ssize_t n = ::pread(fd, store.CaptureBuffer + got, want - got, got);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (n == 0) break;  // the file shrank since fstat
    got += static_cast<uint32_t>(n);
  }
  ::close(fd);

  // Only bytes really read become capture: a short read shows what the file held, not zeros.
  store.LoadBytes(got);
  if (store.SearchOpen) ui_.CloseFindPanel();
  ui_.Redraw();
  if (got < want) {
    session_.ShowMessage(
        err ? std::string("File not read: ").append(std::strerror(err)) : "File not read completely",
        ErrorColour, 0);
    return LoadResult::ReadFailed;
  }
  if (size > want) {
    // The operator must not take the first part for the whole file.
    session_.ShowMessage(
        "First " + std::to_string(want) + " bytes loaded, " + std::to_string(size - want) + " left out",
        ErrorColour, 0);
    return LoadResult::LoadedFirstPart;
  }
  return LoadResult::Loaded;
}

}  // namespace quarlex
