// Delay from a byte's arrival at a pseudo-terminal to its appearance in the program's capture,
// and the error of the arrival times the program records.
//
//   bench_latency_writer write LINK RATE SECONDS GO_FILE STAMPS_OUT STREAM_OUT
//     A device on a pty linked at LINK: once GO_FILE exists, writes RATE bytes/s of a seeded
//     random stream for SECONDS in 1 ms chunks (as a UART's FIFO interrupts deliver them) and
//     logs "<end offset> <CLOCK_MONOTONIC ns>" per chunk, the time taken just before its write().
//     The pty is held open 2 s more.
//   bench_latency_writer delays STAMPS EVENTS
//     EVENTS is bench_window_receive's --events log. For every chunk: the time from its write to
//     the first receive event whose capture holds its first byte. Prints chunks, median, 90th
//     percentile and worst in milliseconds.
//   bench_latency_writer errors STAMPS TIMES
//     TIMES is bench_window_receive's --times log (the time index's received entries as
//     "<position> <count> <CLOCK_MONOTONIC ns>"). For every chunk: the recorded time of the entry
//     that holds its first byte minus the chunk's stamp. Prints chunks, median, 99th percentile
//     and worst of the error and of its size in milliseconds.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

int64_t MonotonicNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void SleepUntil(int64_t ns) {
  timespec t{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
}

int Write(const char* link, double rate, double seconds, const char* go, const char* stamps_path,
          const char* stream_path) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("posix_openpt");
    return 1;
  }
  const char* slave_path = ptsname(master);
  // Held open so the line is raw before the reader opens it and stays up between its opens.
  const int slave = open(slave_path, O_RDWR | O_NOCTTY);
  termios tio{};
  if (slave < 0 || tcgetattr(slave, &tio) != 0) {
    std::perror(slave_path);
    return 1;
  }
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  unlink(link);
  if (symlink(slave_path, link) != 0) {
    std::perror(link);
    return 1;
  }
  while (access(go, F_OK) != 0) usleep(1000);

  std::mt19937 rng(7);
  std::vector<uint8_t> stream(static_cast<size_t>(rate * seconds) + 16);
  for (auto& b : stream) b = static_cast<uint8_t>(rng());
  std::vector<std::pair<uint64_t, int64_t>> stamps;
  stamps.reserve(static_cast<size_t>(seconds * 1000) + 16);
  const int64_t t0 = MonotonicNs();
  const int64_t end = t0 + static_cast<int64_t>(seconds * 1e9);
  uint64_t sent = 0;
  for (int64_t tick = t0 + 1'000'000; tick <= end; tick += 1'000'000) {
    SleepUntil(tick);
    const auto due = static_cast<uint64_t>(rate * static_cast<double>(tick - t0) / 1e9);
    const int64_t before = MonotonicNs();
    while (sent < due) {
      const ssize_t n = write(master, stream.data() + sent, due - sent);
      if (n <= 0) break;  // a blocking pty refuses only when the reader is gone
      sent += static_cast<uint64_t>(n);
    }
    stamps.emplace_back(sent, before);
  }
  std::ofstream out(stamps_path);
  for (const auto& [offset, ns] : stamps) out << offset << ' ' << ns << '\n';
  std::ofstream(stream_path, std::ios::binary)
      .write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(sent));
  std::printf("sent=%llu chunks=%zu\n", static_cast<unsigned long long>(sent), stamps.size());
  std::fflush(stdout);
  sleep(2);
  unlink(link);
  close(slave);
  close(master);
  return 0;
}

std::vector<std::pair<uint64_t, int64_t>> ReadPairs(const char* path) {
  std::vector<std::pair<uint64_t, int64_t>> v;
  std::ifstream in(path);
  uint64_t a = 0;
  int64_t b = 0;
  while (in >> a >> b) v.emplace_back(a, b);
  return v;
}

int Delays(const char* stamps_path, const char* events_path) {
  const auto stamps = ReadPairs(stamps_path);
  const auto events = ReadPairs(events_path);
  std::vector<double> ms;
  uint64_t first = 0;  // offset of the chunk's first byte
  size_t e = 0;
  for (const auto& [end, written] : stamps) {
    if (end > first) {
      while (e < events.size() && events[e].first <= first) ++e;
      if (e == events.size()) break;  // never captured: the run ended first
      ms.push_back(static_cast<double>(events[e].second - written) / 1e6);
    }
    first = end;
  }
  if (ms.empty()) {
    std::printf("chunks=0\n");
    return 1;
  }
  std::sort(ms.begin(), ms.end());
  std::printf("chunks=%zu median_ms=%.2f p90_ms=%.2f worst_ms=%.2f\n", ms.size(), ms[ms.size() / 2],
              ms[ms.size() * 9 / 10], ms.back());
  return 0;
}

struct Entry {
  uint64_t position, count;
  int64_t ns;
};

int Errors(const char* stamps_path, const char* times_path) {
  const auto stamps = ReadPairs(stamps_path);
  std::vector<Entry> entries;
  {
    std::ifstream in(times_path);
    Entry e{};
    while (in >> e.position >> e.count >> e.ns) entries.push_back(e);
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.position < b.position; });
  std::vector<double> err, size;
  uint64_t first = 0;
  for (const auto& [end, written] : stamps) {
    if (end > first) {
      auto it = std::upper_bound(entries.begin(), entries.end(), first,
                                 [](uint64_t p, const Entry& e) { return p < e.position; });
      if (it != entries.begin() && first < (it - 1)->position + (it - 1)->count) {
        const double ms = static_cast<double>((it - 1)->ns - written) / 1e6;
        err.push_back(ms);
        size.push_back(ms < 0 ? -ms : ms);
      }
    }
    first = end;
  }
  if (err.empty()) {
    std::printf("chunks=0\n");
    return 1;
  }
  std::sort(err.begin(), err.end());
  std::sort(size.begin(), size.end());
  const size_t n = err.size();
  std::printf(
      "chunks=%zu entries=%zu error_ms: median=%.3f p99=%.3f min=%.3f max=%.3f |error|_ms: median=%.3f "
      "p99=%.3f\n",
      n, entries.size(), err[n / 2], err[n * 99 / 100], err.front(), err.back(), size[n / 2],
      size[n * 99 / 100]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 8 && std::strcmp(argv[1], "write") == 0)
    return Write(argv[2], std::atof(argv[3]), std::atof(argv[4]), argv[5], argv[6], argv[7]);
  if (argc == 4 && std::strcmp(argv[1], "delays") == 0) return Delays(argv[2], argv[3]);
  if (argc == 4 && std::strcmp(argv[1], "errors") == 0) return Errors(argv[2], argv[3]);
  std::fprintf(stderr,
               "usage: %s write LINK RATE SECONDS GO_FILE STAMPS_OUT STREAM_OUT\n"
               "       %s delays STAMPS EVENTS\n"
               "       %s errors STAMPS TIMES\n",
               argv[0], argv[0], argv[0]);
  return 2;
}
