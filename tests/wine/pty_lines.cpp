// Serial lines for Windows programs under wine: pairs of Linux pseudo-terminals joined back to
// back, each end mapped as a COM port in a wine prefix. Port `first + 2k` is the device under
// test and `first + 2k + 1` its far end; bytes written to one arrive at the other. Closing
// either end hangs up the other, so a test can pull the line; a pair is
// used once. Built and started by scripts/test-windows:
//
//   pty-lines <dosdevices folder> <first COM number> <pairs>
//
// It prints "ready" once every link is in place and runs until its standard input closes.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int OpenMaster(std::string& slave) {
  int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) return -1;
  termios t{};
  tcgetattr(m, &t);
  cfmakeraw(&t);
  tcsetattr(m, TCSANOW, &t);
  slave = ptsname(m);
  return m;
}

// One direction of a pair: bytes read from `from` wait here until `to` takes them. While it is
// full, `from` is not read, so a far end that stops reading holds the writer back.
struct Pipe {
  std::vector<char> buf = std::vector<char>(1 << 16);
  size_t len = 0;
};

struct Pair {
  int fd[2] = {-1, -1};
  Pipe pipe[2];  // pipe[i]: from fd[i] to fd[1 - i]
  bool done = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <dosdevices folder> <first COM> <pairs>\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const int first = std::atoi(argv[2]);
  const int count = std::atoi(argv[3]);
  std::vector<Pair> pairs(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) {
    for (int side = 0; side < 2; ++side) {
      std::string slave;
      int m = OpenMaster(slave);
      if (m < 0) {
        std::perror("posix_openpt");
        return 1;
      }
      pairs[static_cast<size_t>(k)].fd[side] = m;
      const std::string link = folder + "/com" + std::to_string(first + 2 * k + side);
      unlink(link.c_str());
      if (symlink(slave.c_str(), link.c_str()) != 0) {
        std::perror(link.c_str());
        return 1;
      }
    }
  }
  std::printf("ready\n");
  std::fflush(stdout);

  for (;;) {
    std::vector<pollfd> fds;
    std::vector<std::pair<size_t, int>> who;
    fds.push_back({0, POLLIN, 0});
    for (size_t k = 0; k < pairs.size(); ++k) {
      Pair& p = pairs[k];
      if (p.done) continue;
      for (int side = 0; side < 2; ++side) {
        short ev = 0;
        if (p.pipe[side].len < p.pipe[side].buf.size()) ev |= POLLIN;
        if (p.pipe[1 - side].len > 0) ev |= POLLOUT;
        fds.push_back({p.fd[side], ev, 0});
        who.emplace_back(k, side);
      }
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[0].revents) {
      char c;
      if (read(0, &c, 1) <= 0) return 0;
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      Pair& p = pairs[who[i - 1].first];
      const int side = who[i - 1].second;
      if (p.done) continue;
      const short re = fds[i].revents;
      // A master shows no hang-up before its slave is first opened, only once it is closed.
      if (re & POLLHUP) {
        close(p.fd[0]);
        close(p.fd[1]);
        p.done = true;
        continue;
      }
      Pipe& in = p.pipe[side];
      if ((re & POLLIN) && in.len < in.buf.size()) {
        ssize_t n = read(p.fd[side], in.buf.data() + in.len, in.buf.size() - in.len);
        if (n > 0) in.len += static_cast<size_t>(n);
      }
      Pipe& out = p.pipe[1 - side];
      if ((re & POLLOUT) && out.len > 0) {
        ssize_t n = write(p.fd[side], out.buf.data(), out.len);
        if (n > 0) {
          std::memmove(out.buf.data(), out.buf.data() + n, out.len - static_cast<size_t>(n));
          out.len -= static_cast<size_t>(n);
        }
      }
    }
  }
}
