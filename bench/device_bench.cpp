// The Linux serial device on a pseudo-terminal pair:
//  (a) throughput of writer -> I/O thread -> ring -> consumer, against a plain read() loop on the
//      same kind of pty in the same run (counter "ratio", goal >= 0.9);
//  (b) a consumer that stalls for 2 s while the writer sends at full speed: the queue fills, the
//      rest waits in the kernel (the pty writer is held back), nothing is lost;
//  (c) time from a peer hang-up to the reported loss, and from Close to the I/O thread's end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "serial/device/device.h"
#include "serial/device/linux_device.h"
#include "tests/serial/device_pty.h"

namespace {

using namespace quarlex::device;
using quarlex::device::testing::PtyPair;
using Clock = std::chrono::steady_clock;

constexpr size_t kRound = 32u << 20;  // bytes per measured round

// Sends `total` bytes from the far end as fast as the pty takes them.
std::thread Writer(PtyPair& pty, size_t total) {
  return std::thread([&pty, total] {
    std::vector<char> chunk(64 * 1024, 'x');
    size_t left = total;
    while (left > 0) {
      size_t n = std::min(left, chunk.size());
      pty.Send(chunk.data(), n);
      left -= n;
    }
  });
}

double PlainReadRound() {
  PtyPair pty;
  int fd = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_iflag |= IGNBRK;
  tcsetattr(fd, TCSANOW, &t);
  std::vector<char> buf(65536);
  auto start = Clock::now();
  std::thread w = Writer(pty, kRound);
  size_t got = 0;
  while (got < kRound) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 5000);
    ssize_t n = read(fd, buf.data(), buf.size());
    if (n > 0) got += static_cast<size_t>(n);
  }
  auto secs = std::chrono::duration<double>(Clock::now() - start).count();
  w.join();
  close(fd);
  return kRound / secs;
}

// The consumer the serial component is: wait for EV_RXCHAR, ask how many are queued, read them.
double DeviceReadRound() {
  PtyPair pty;
  std::unique_ptr<Device> dev;
  if (OpenLinuxDevice(pty.path(), dev)) return 0;
  dev->SetState(Dcb{});
  dev->SetEventMask(EV_RXCHAR);
  std::vector<uint8_t> buf(1u << 20);
  auto start = Clock::now();
  std::thread w = Writer(pty, kRound);
  size_t got = 0;
  while (got < kRound) {
    uint32_t occurred = 0;
    dev->WaitEvents(occurred, nullptr, 5000);
    CommStatus st;
    dev->GetCommStatus(st);
    if (st.in_queue == 0) continue;
    Transfer tr;
    uint32_t n = 0;
    dev->StartRead(buf.data(), std::min<uint32_t>(st.in_queue, buf.size()), tr, n);
    got += n;
  }
  auto secs = std::chrono::duration<double>(Clock::now() - start).count();
  w.join();
  return kRound / secs;
}

void BM_ThroughputRatio(benchmark::State& state) {
  double plain = 0, device = 0;
  for (auto _ : state) {
    plain += PlainReadRound();
    device += DeviceReadRound();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["plain_MBps"] = plain / n / 1e6;
  state.counters["device_MBps"] = device / n / 1e6;
  state.counters["ratio"] = device / plain;
}
BENCHMARK(BM_ThroughputRatio)->Iterations(5)->Unit(benchmark::kMillisecond);

// (b) A consumer that stalls for 2 s while the writer sends at full speed. The device reads only
// what its queue can take and leaves the rest with the kernel, so a pty writer is held back
// instead of bytes being dropped: after the stall everything sent arrives, in order. (A real
// UART drops only when both our queue and the kernel's buffer are full, and then reports
// CE_RXOVER from the kernel's overrun counter.)
void BM_StalledConsumer(benchmark::State& state) {
  const uint32_t queue = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    PtyPair pty;
    std::unique_ptr<Device> dev;
    if (OpenLinuxDevice(pty.path(), dev)) {
      state.SkipWithError("open failed");
      return;
    }
    dev->SetQueueSizes(queue, 1024);
    const uint32_t held = queue < (1u << 20) ? (1u << 20) : queue;
    const size_t total = size_t{held} + (8u << 20);  // more than the queue can hold
    std::vector<uint32_t> data(total / 4);
    for (uint32_t i = 0; i < data.size(); ++i) data[i] = i;
    std::atomic<uint64_t> sent{0};
    std::thread w([&] {
      const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data());
      for (size_t off = 0; off < total; off += 65536) {
        const size_t n = std::min<size_t>(65536, total - off);
        pty.Send(p + off, n);
        sent += n;
      }
    });
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the busy consumer
    const uint64_t sentDuringStall = sent;
    std::vector<uint32_t> got(total / 4);
    uint8_t* out = reinterpret_cast<uint8_t*>(got.data());
    size_t have = 0;
    uint32_t errors = 0;
    while (have < total && std::chrono::duration<double>(Clock::now() - t0).count() < 20) {
      CommStatus st{};
      dev->GetCommStatus(st);
      errors |= st.errors;
      Transfer tr;
      uint32_t n = 0;
      dev->StartRead(out + have, static_cast<uint32_t>(std::min<size_t>(total - have, 1u << 20)), tr, n);
      have += n;
      if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    w.join();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    state.counters["queue_MiB"] = held / 1048576.0;
    state.counters["sent_during_stall_MiB"] = sentDuringStall / 1048576.0;
    state.counters["lost_bytes"] = static_cast<double>(total - have);
    state.counters["intact"] = (have == total && got == data) ? 1 : 0;
    state.counters["rxover"] = errors & CE_RXOVER ? 1 : 0;
  }
}
BENCHMARK(BM_StalledConsumer)
    ->Arg(1024)
    ->Arg(64u << 20)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// (b') Below the queue size nothing at all is lost: send exactly 1 MiB during the stall.
void BM_StalledConsumerWithinQueue(benchmark::State& state) {
  for (auto _ : state) {
    PtyPair pty;
    std::unique_ptr<Device> dev;
    if (OpenLinuxDevice(pty.path(), dev)) {
      state.SkipWithError("open failed");
      return;
    }
    dev->SetEventMask(EV_RXCHAR);
    const size_t total = 1u << 20;
    std::vector<uint32_t> data(total / 4);
    for (uint32_t i = 0; i < data.size(); ++i) data[i] = i;
    auto t0 = Clock::now();
    std::thread w([&] { pty.Send(data.data(), total); });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    w.join();
    CommStatus st{};
    while (st.in_queue < total) {
      uint32_t occurred;
      dev->WaitEvents(occurred, nullptr, 1000);
      dev->GetCommStatus(st);
      if (st.in_queue < total && std::chrono::duration<double>(Clock::now() - t0).count() > 10) break;
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    std::vector<uint32_t> got(total / 4);
    Transfer tr;
    uint32_t n = 0;
    dev->StartRead(reinterpret_cast<uint8_t*>(got.data()), total, tr, n);
    state.counters["lost_bytes"] = static_cast<double>(total - n);
    state.counters["intact"] = (n == total && got == data) ? 1 : 0;
    state.counters["rxover"] = st.errors & CE_RXOVER ? 1 : 0;
  }
}
BENCHMARK(BM_StalledConsumerWithinQueue)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// (c) Peer hang-up to the waiter learning the loss.
void BM_HangUpToReportedLoss(benchmark::State& state) {
  for (auto _ : state) {
    PtyPair pty;
    std::unique_ptr<Device> dev;
    OpenLinuxDevice(pty.path(), dev);
    dev->SetEventMask(EV_RXCHAR);
    std::atomic<bool> waiting{false};
    Clock::time_point reported;
    std::thread waiter([&] {
      uint32_t occurred;
      waiting = true;
      while (!dev->WaitEvents(occurred, nullptr, -1)) {
      }
      reported = Clock::now();
    });
    while (!waiting) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // let it block in poll
    auto t0 = Clock::now();
    pty.HangUp();
    waiter.join();
    state.SetIterationTime(std::chrono::duration<double>(reported - t0).count());
  }
}
BENCHMARK(BM_HangUpToReportedLoss)->Iterations(50)->UseManualTime()->Unit(benchmark::kMicrosecond);

// (c) Close: the stop request until the I/O thread has ended (Close joins it), then the device
// is released.
void BM_CloseStopsTheIoThread(benchmark::State& state) {
  for (auto _ : state) {
    PtyPair pty;
    std::unique_ptr<Device> dev;
    OpenLinuxDevice(pty.path(), dev);
    dev->SetEventMask(kAllEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let it block in poll
    auto t0 = Clock::now();
    dev->Close();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
  }
}
BENCHMARK(BM_CloseStopsTheIoThread)->Iterations(50)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
