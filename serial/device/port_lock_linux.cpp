#include "serial/device/port_lock_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>

namespace quarlex::device {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kPtySlaveMajor = 136;  // /dev/pts/<n> is 136:<n>
constexpr unsigned kPtmxMajor = 5, kPtmxMinor = 2;
constexpr long kPidLimit = 1 << 22;  // no Linux PID is larger (PID_MAX_LIMIT)

std::mutex roots_mutex;
PortLockRoots& Roots() {
  static PortLockRoots roots;
  return roots;
}

bool ProcessAlive(int pid) {
  // EPERM: it runs, under another user.
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

std::string ProgramName(const fs::path& proc, int pid) {
  std::ifstream in(proc / std::to_string(pid) / "comm");
  std::string name;
  std::getline(in, name);
  return name;
}

int ParsePid(const char* s) {
  if (*s == '\0' || std::strlen(s) > 9) return 0;
  int v = 0;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return 0;
    v = v * 10 + (*s - '0');
  }
  return v;
}

bool SameDevice(const struct stat& a, const struct stat& b) {
  if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The pseudo-terminal a master descriptor serves, from its fdinfo ("tty-index:"); -1 if none.
int PtyIndexOfMaster(const fs::path& fdinfo) {
  std::ifstream in(fdinfo);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("tty-index:", 0) == 0) return std::atoi(line.c_str() + 10);
  }
  return -1;
}

// A process other than this one with the device open; `pty_index` >= 0 for a pseudo-terminal,
// whose master-side holder is its peer and not counted.
std::optional<DeviceHolder> FindOpenHolder(const struct stat& device, int pty_index, const fs::path& proc) {
  DIR* procs = opendir(proc.c_str());
  if (!procs) return std::nullopt;
  const int self = getpid();
  std::optional<DeviceHolder> found;
  while (!found) {
    const dirent* p = readdir(procs);
    if (!p) break;
    const int pid = ParsePid(p->d_name);
    if (pid <= 0 || pid == self) continue;
    const fs::path dir = proc / p->d_name;
    DIR* fds = opendir((dir / "fd").c_str());
    if (!fds) continue;  // gone meanwhile, or another user's process: not visible to us
    bool holds = false, peer = false;
    while (const dirent* f = readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      char target[PATH_MAX];
      const ssize_t n = readlinkat(dirfd(fds), f->d_name, target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      // Sockets, pipes and files are most of what a process holds; only devices need a look.
      if (std::strncmp(target, "/dev/", 5) != 0) continue;
      struct stat st {};
      if (fstatat(dirfd(fds), f->d_name, &st, 0) != 0) continue;
      if (SameDevice(st, device)) {
        holds = true;
      } else if (pty_index >= 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == kPtmxMajor &&
                 minor(st.st_rdev) == kPtmxMinor &&
                 PtyIndexOfMaster(dir / "fdinfo" / f->d_name) == pty_index) {
        peer = true;
      }
    }
    closedir(fds);
    if (holds && !peer) found = DeviceHolder{ProgramName(proc, pid), pid};
  }
  closedir(procs);
  return found;
}

// Locks still held, removed at a normal exit should their devices not be closed by then.
struct HeldLocks {
  std::mutex m;
  std::set<std::string> files;
};
HeldLocks& Held() {
  static auto* held = new HeldLocks;  // never destroyed: devices may close during static teardown
  return *held;
}

void RemoveIfOurs(const fs::path& file) {
  if (ReadLockPid(file) == getpid()) unlink(file.c_str());
}

bool HeldHere(const fs::path& file) {
  HeldLocks& h = Held();
  std::lock_guard lock(h.m);
  return h.files.count(file.string()) != 0;
}

void RemoveHeldLocks() {
  HeldLocks& h = Held();
  std::lock_guard lock(h.m);
  for (const std::string& f : h.files) RemoveIfOurs(f);
  h.files.clear();
}

}  // namespace

void SetPortLockRoots(PortLockRoots roots) {
  std::lock_guard lock(roots_mutex);
  Roots() = std::move(roots);
}

PortLockRoots CurrentPortLockRoots() {
  std::lock_guard lock(roots_mutex);
  return Roots();
}

std::string LockFileName(std::string_view device_path) {
  char* real = realpath(std::string(device_path).c_str(), nullptr);
  if (!real) return {};
  const std::string path(real);
  std::free(real);
  std::string name = path.rfind("/dev/", 0) == 0 ? path.substr(5) : fs::path(path).filename().string();
  std::replace(name.begin(), name.end(), '/', '_');
  return name.empty() ? std::string() : "LCK.." + name;
}

int ReadLockPid(const fs::path& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  char buf[32];
  const ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return 0;
  const auto text = [](char c) { return (c >= '0' && c <= '9') || c == ' ' || c == '\n' || c == '\t'; };
  if (n == 4 && !std::all_of(buf, buf + 4, text)) {
    int32_t pid = 0;
    std::memcpy(&pid, buf, sizeof pid);
    return pid > 0 && pid <= kPidLimit ? pid : 0;
  }
  buf[n] = '\0';
  const char* s = buf;
  while (*s == ' ' || *s == '\t') ++s;
  const char* digits = s;
  long pid = 0;
  while (*s >= '0' && *s <= '9' && pid <= kPidLimit) pid = pid * 10 + (*s++ - '0');
  if (s == digits || pid > kPidLimit) return 0;
  while (*s == ' ' || *s == '\t' || *s == '\n') ++s;
  return *s == '\0' ? static_cast<int>(pid) : 0;
}

std::optional<DeviceHolder> FindDeviceHolder(std::string_view device_path, const PortLockRoots& roots) {
  struct stat device {};
  if (stat(std::string(device_path).c_str(), &device) != 0) return std::nullopt;
  if (const std::string name = LockFileName(device_path); !name.empty()) {
    const int pid = ReadLockPid(roots.LockFolder / name);
    if (pid != getpid() && ProcessAlive(pid)) return DeviceHolder{ProgramName(roots.Proc, pid), pid};
  }
  const int pty_index = S_ISCHR(device.st_mode) && major(device.st_rdev) == kPtySlaveMajor
                            ? static_cast<int>(minor(device.st_rdev))
                            : -1;
  return FindOpenHolder(device, pty_index, roots.Proc);
}

UucpLock::UucpLock(fs::path file) : file_(std::move(file)) {
  static std::once_flag at_exit;
  std::call_once(at_exit, [] { std::atexit(RemoveHeldLocks); });
  HeldLocks& h = Held();
  std::lock_guard lock(h.m);
  h.files.insert(file_.string());
}

UucpLock::~UucpLock() {
  HeldLocks& h = Held();
  std::lock_guard lock(h.m);
  h.files.erase(file_.string());
  RemoveIfOurs(file_);
}

Error UucpLock::Acquire(std::string_view device_path, const PortLockRoots& roots,
                        std::unique_ptr<UucpLock>& lock, DeviceHolder* holder) {
  lock.reset();
  const std::string name = LockFileName(device_path);
  if (name.empty()) return {};  // no such device: opening it says so
  const fs::path file = roots.LockFolder / name;
  const int self = getpid();
  char content[16];
  const int length = std::snprintf(content, sizeof content, "%10d\n", self);
  // Twice at most: a stale lock replaced, or another program that was quicker, then looked at
  // once more.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int owner = ReadLockPid(file);
    if (owner != self && ProcessAlive(owner)) {
      if (holder) *holder = DeviceHolder{ProgramName(roots.Proc, owner), owner};
      return ErrorOf(ErrorKind::kBusy);
    }
    // Another open in this process holds it: its exclusive open refuses this one, and taking
    // the file over would leave it to be removed when this attempt gives up.
    if (owner == self && HeldHere(file)) return {};
    // A lock of a process that is gone (or unreadable, or our own PID left by an earlier
    // process): it protects nothing. One we may not remove leaves us without a lock.
    if (unlink(file.c_str()) != 0 && errno != ENOENT) return {};
    const std::string pattern = (roots.LockFolder / "LTMP.XXXXXX").string();
    std::string temp = pattern;
    const int fd = mkstemp(temp.data());
    if (fd < 0) return {};  // the folder is not ours to write: go on without a lock
    const bool written = write(fd, content, static_cast<size_t>(length)) == length && fchmod(fd, 0644) == 0;
    close(fd);
    // link() puts the finished file in place or fails when a lock appeared meanwhile, so no
    // reader ever sees a half-written one.
    const int linked = written ? link(temp.c_str(), file.c_str()) : -1;
    const int err = errno;
    unlink(temp.c_str());
    if (linked == 0) {
      lock.reset(new UucpLock(file));
      return {};
    }
    if (!written || err != EEXIST) return {};  // e.g. a file system without hard links
  }
  return ErrorOf(ErrorKind::kBusy);
}

}  // namespace quarlex::device
