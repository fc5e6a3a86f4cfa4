// quarlex-demo-device: a virtual serial device for trying Quarlex without hardware.
//
// It opens a pseudo-terminal, links its device side into the per-user port-link folder as
// COM<n> (so the port list shows "Port <n>"), and plays a GPS receiver: once a second a burst of
// NMEA sentences, paced as a real 9600-baud line would deliver them. Lines the operator sends
// are answered with "$PQRLX,ACK,<bytes>*CS", so sending can be tried too.
// Stops on SIGINT/SIGTERM or when its parent (the launcher) exits, and removes its link.
//
// Usage: quarlex-demo-device [port-number]   (default 9)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

std::string LinkFolder() {
  const char* rt = std::getenv("XDG_RUNTIME_DIR");
  std::string base = rt && *rt ? std::string(rt) + "/quarlex" : "/tmp/quarlex-" + std::to_string(getuid());
  mkdir(base.c_str(), 0700);
  std::string ports = base + "/ports";
  mkdir(ports.c_str(), 0700);
  return ports;
}

std::string WithChecksum(const std::string& body) {
  unsigned cs = 0;
  for (char c : body) cs ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", cs);
  return "$" + body + tail;
}

std::string Burst(double t) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char hms[16], dmy[16];
  std::strftime(hms, sizeof hms, "%H%M%S.00", &utc);
  std::strftime(dmy, sizeof dmy, "%d%m%y", &utc);
  // A receiver drifting slowly around a point, so the numbers change from burst to burst.
  const double lat = 5957.4500 + 0.0150 * std::sin(t / 30.0);
  const double lon = 3019.1200 + 0.0200 * std::cos(t / 40.0);
  const double speed = 1.5 + std::fabs(std::sin(t / 7.0));
  char buf[512];
  std::string out;
  std::snprintf(buf, sizeof buf, "GPGGA,%s,%.4f,N,%09.4f,E,1,08,0.9,%.1f,M,15.2,M,,", hms, lat, lon,
                24.0 + std::sin(t / 11.0));
  out += WithChecksum(buf);
  std::snprintf(buf, sizeof buf, "GPRMC,%s,A,%.4f,N,%09.4f,E,%.1f,%.1f,%s,,,A", hms, lat, lon, speed,
                std::fmod(t * 3.0, 360.0), dmy);
  out += WithChecksum(buf);
  std::snprintf(buf, sizeof buf, "GPVTG,%.1f,T,,M,%.1f,N,%.1f,K,A", std::fmod(t * 3.0, 360.0), speed,
                speed * 1.852);
  out += WithChecksum(buf);
  std::snprintf(buf, sizeof buf, "GPGSA,A,3,04,05,09,12,24,25,29,31,,,,,1.8,0.9,1.5");
  out += WithChecksum(buf);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const int number = argc > 1 ? std::atoi(argv[1]) : 9;
  if (number < 1 || number > 255) {
    std::fprintf(stderr, "quarlex-demo-device: port number must be 1..255\n");
    return 2;
  }
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);

  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("quarlex-demo-device: pseudo-terminal");
    return 1;
  }
  const char* slave = ptsname(master);
  // Raw on both sides, so every byte passes unchanged.
  const int s = open(slave, O_RDWR | O_NOCTTY);
  termios tio{};
  if (s >= 0 && tcgetattr(s, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(s, TCSANOW, &tio);
  }
  // Keep a slave descriptor open: without one, writes fail with EIO until the program connects.
  const std::string link = LinkFolder() + "/COM" + std::to_string(number);
  unlink(link.c_str());
  if (symlink(slave, link.c_str()) != 0) {
    std::perror("quarlex-demo-device: link");
    return 1;
  }
  std::fprintf(stderr, "quarlex-demo-device: Port %d (%s -> %s), GPS sentences at 9600 baud pace\n", number,
               link.c_str(), slave);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto nextBurst = start;
  std::string pending, heard;
  constexpr double kBytesPerSecond = 960.0;  // 9600 baud, 8N1
  auto lastSend = start;
  while (!g_stop) {
    const auto now = Clock::now();
    if (now >= nextBurst) {
      pending += Burst(std::chrono::duration<double>(now - start).count());
      nextBurst += std::chrono::seconds(1);
    }
    // Pace the output like the line rate would.
    const double elapsed = std::chrono::duration<double>(now - lastSend).count();
    size_t allowance = static_cast<size_t>(elapsed * kBytesPerSecond);
    if (allowance > 0 && !pending.empty()) {
      const size_t n = std::min(allowance, pending.size());
      const ssize_t w = write(master, pending.data(), n);
      if (w > 0) {
        pending.erase(0, static_cast<size_t>(w));
      } else if (w < 0 && errno == EAGAIN) {
        pending.clear();  // nobody reads the line: a real device's output is lost the same way
      }
      lastSend = now;
    } else if (pending.empty()) {
      lastSend = now;
    }
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
      char buf[256];
      const ssize_t r = read(master, buf, sizeof buf);
      for (ssize_t i = 0; i < r; ++i) {
        heard += buf[i];
        if (buf[i] == '\n' || buf[i] == '\r' || heard.size() >= 64) {
          pending += WithChecksum("PQRLX,ACK," + std::to_string(heard.size()));
          heard.clear();
        }
      }
    }
  }
  unlink(link.c_str());
  if (s >= 0) close(s);
  close(master);
  return 0;
}
