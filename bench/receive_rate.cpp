// Receive throughput of the platform's serial device through the component's read pattern (wait
// for EV_RXCHAR, ask the queue count, read that many), for comparing the POSIX device on a
// pseudo-terminal with the Win32 device under wine on the same kind of line in one run. Built
// without the toolkit by bench/receive-rate, which also starts the writer and runs:
//
//   receive_rate <device path> <quiet ms>
//
// Reads until the line has been quiet for <quiet ms> after the first byte, then prints the byte
// count, the time from the first to the last byte and the rate.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "serial/device/device.h"

using namespace quarlex::device;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <device path> <quiet ms>\n", argv[0]);
    return 2;
  }
  const int quiet_ms = std::atoi(argv[2]);
  std::unique_ptr<Device> dev;
  if (Error e = OpenDevice(argv[1], dev)) {
    std::fprintf(stderr, "open %s: %s\n", argv[1], e.os_text.c_str());
    return 1;
  }
  dev->SetQueueSizes(1u << 20, 4096);
  dev->SetEventMask(EV_RXCHAR);
  std::vector<uint8_t> buf(1u << 20);
  uint64_t total = 0;
  using Clock = std::chrono::steady_clock;
  Clock::time_point first{}, last{};
  for (;;) {
    uint32_t occurred = 0;
    Error e = dev->WaitEvents(occurred, nullptr, total ? quiet_ms : 60000);
    if (e) break;
    CommStatus st;
    if (dev->GetCommStatus(st)) break;
    if (st.in_queue == 0) {
      if (occurred == 0) break;  // quiet for quiet_ms (or a minute before the first byte)
      continue;
    }
    Transfer t;
    uint32_t now = 0;
    if (dev->StartRead(buf.data(), std::min<uint32_t>(st.in_queue, buf.size()), t, now)) break;
    if (now && !total) first = Clock::now();
    total += now;
    if (now) last = Clock::now();
  }
  const double s = std::chrono::duration<double>(last - first).count();
  std::printf("%llu bytes in %.3f s: %.1f MB/s\n", static_cast<unsigned long long>(total), s,
              s > 0 ? total / s / 1e6 : 0.0);
  dev->Close();
  return 0;
}
