#pragma once
// A pseudo-terminal pair for device tests and benchmarks: the slave is the "serial device" the
// code under test opens by path; the master is the far end of the line. And another process
// that holds such a line.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

namespace quarlex::device::testing {

class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
      throw std::runtime_error(std::string("posix_openpt: ") + std::strerror(errno));
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname_r failed");
    path_ = name;
  }
  ~PtyPair() { HangUp(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }

  // Sends bytes from the far end; waits (poll) while the line is full.
  void Send(const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
      ssize_t w = write(master_, p, n);
      if (w > 0) {
        p += w;
        n -= static_cast<size_t>(w);
        continue;
      }
      if (w < 0 && errno != EAGAIN && errno != EINTR)
        throw std::runtime_error(std::string("pty write: ") + std::strerror(errno));
      pollfd pfd{master_, POLLOUT, 0};
      if (poll(&pfd, 1, 5000) == 0) throw std::runtime_error("pty write stalled");
    }
  }
  void Send(const std::string& s) { Send(s.data(), s.size()); }

  // Reads exactly n bytes arriving at the far end, or fewer when nothing comes for timeout_ms.
  std::string Receive(size_t n, int timeout_ms = 5000) {
    std::string out;
    char buf[65536];
    while (out.size() < n) {
      pollfd pfd{master_, POLLIN, 0};
      if (poll(&pfd, 1, timeout_ms) <= 0) break;
      ssize_t r = read(master_, buf, std::min(sizeof buf, n - out.size()));
      if (r > 0)
        out.append(buf, static_cast<size_t>(r));
      else if (r < 0 && errno != EAGAIN && errno != EINTR)
        break;
    }
    return out;
  }

  // Closes the far end: the slave side sees a hang-up.
  void HangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string path_;
};

// Another process, named `name`, that holds a line the way tools without a lock do: a plain open
// of `path` (none when empty). It inherits no descriptor of this process and ends when destroyed.
class OtherProcess {
 public:
  OtherProcess(const std::string& path, const char* name) {
    int ready[2], stop[2];
    if (pipe(ready) != 0 || pipe(stop) != 0 || (pid_ = fork()) < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      for (int fd = 3; fd < 1024; ++fd) {
        if (fd != ready[1] && fd != stop[0]) close(fd);  // the pty's master side above all
      }
      prctl(PR_SET_NAME, name);
      char c = path.empty() || open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0 ? 'y' : 'n';
      // Tells whether the open worked, then waits until the parent lets go.
      _exit(write(ready[1], &c, 1) == 1 && read(stop[0], &c, 1) >= 0 ? 0 : 1);
    }
    close(ready[1]);
    close(stop[0]);
    char c = 'n';
    opened_ = read(ready[0], &c, 1) == 1 && c == 'y';
    close(ready[0]);
    stop_ = stop[1];
  }
  ~OtherProcess() {
    close(stop_);
    waitpid(pid_, nullptr, 0);
  }
  OtherProcess(const OtherProcess&) = delete;
  OtherProcess& operator=(const OtherProcess&) = delete;
  pid_t pid() const { return pid_; }
  bool opened() const { return opened_; }

 private:
  pid_t pid_ = -1;
  int stop_ = -1;
  bool opened_ = false;
};

// The PID of a process that has ended.
inline pid_t EndedPid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

}  // namespace quarlex::device::testing
