// How far apart two pieces on the two ports of a tap must be for the merged capture to keep
// their order. Two pseudo-terminal peers write alternating stamped chunks, A0 B0 A1 B1 ..., with
// `gap` microseconds between one chunk and the next (the argument); both ports run through the
// real component (event threads, smThreadSync hand-over to one owner thread) into a Session
// with a TapCapture, as in the window. Reported per gap: "misordered", the neighbours of that
// sequence that the capture holds the wrong way round; "merge_faults", those of them whose read
// times are in the right order (the merger put them wrong; the rest were read from the lines in
// the wrong order, so no merger could tell); and "gap_err_us_max"/"gap_err_us_mean",
// how far the gap between A_i and B_i read from the time index is from the gap between the
// writer's own stamps (what "Answer after" would be off by). "lost" counts missing bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "app/connection.h"
#include "app/session.h"
#include "app/tap_capture.h"
#include "tests/app/support/fake_session_ui.h"
#include "tests/serial/device_pty.h"
#include "tests/serial/support/comport_owner.h"

namespace quarlex {
namespace {

constexpr int kPairs = 300;
constexpr size_t kChunk = 5;  // a side letter and a 32-bit chunk number

int64_t MonoNow() {
  return SystemClock().MonotonicNs();
}

// Sleeps coarsely, then spins the last stretch: gaps below a scheduler tick stay gaps.
void WaitUntilNs(int64_t t) {
  for (int64_t left = t - MonoNow(); left > 0; left = t - MonoNow()) {
    if (left > 300'000) std::this_thread::sleep_for(std::chrono::nanoseconds(left - 200'000));
  }
}

void BM_TapOrder(benchmark::State& state) {
  const int64_t gapNs = state.range(0) * 1000;
  double misordered = 0, mergeFaults = 0, lost = 0, errMax = 0, errSum = 0, errCount = 0, late = 0;
  for (auto _ : state) {
    device::testing::PtyPair ptyA, ptyB;
    test::TestOwner owner;
    TComPort a(&owner), b(&owner);
    testing::FakeSessionUi ui;
    Session s(ui);
    ComPortQueue qa(a), qb(b);
    TapCapture tap(s, s.TimeSource(), "A", "B");
    for (TComPort* p : {&a, &b}) {
      p->SetBaudRate(br115200);
      p->Buffer().SetInputSize(65536);
      p->OnRxChar = [&s](TCustomComPort*, int32_t count) {
        if (count > 0) s.ComPortRxChar(static_cast<size_t>(count));
      };
    }
    a.SetPort(ptyA.path());
    b.SetPort(ptyB.path());
    s.Port = &qa;
    s.Tap = &tap;
    s.PortConnected = true;
    s.Connected();
    a.Open();
    b.Open();
    tap.SetSource(TapSide::A, &qa);
    tap.SetSource(TapSide::B, &qb);

    std::vector<int64_t> stamps(2 * kPairs);
    std::atomic<bool> done{false};
    std::thread writer([&] {
      int64_t next = MonoNow() + 20'000'000;
      for (int i = 0; i < 2 * kPairs; ++i) {
        WaitUntilNs(next);
        uint8_t chunk[kChunk] = {static_cast<uint8_t>(i % 2 ? 'B' : 'A')};
        const uint32_t n = static_cast<uint32_t>(i / 2);
        std::memcpy(chunk + 1, &n, 4);
        stamps[i] = MonoNow();
        (i % 2 ? ptyB : ptyA).Send(chunk, kChunk);
        next = stamps[i] + gapNs;
      }
      done = true;
      owner.Kick();
    });
    const uint32_t total = 2 * kPairs * kChunk;
    int64_t lastTick = 0;
    owner.RunUntil(
        [&] {
          // The window's 100 ms tick, made a little denser to end the run sooner.
          if (MonoNow() - lastTick > 20'000'000) {
            lastTick = MonoNow();
            s.TimerMainTimer();
          }
          return done && s.Store.WriteIndex >= total;
        },
        std::chrono::seconds(60));
    writer.join();
    a.Close();
    b.Close();

    // Where each chunk's first byte landed, and the time the index gives it.
    const CaptureStore& st = s.Store;
    std::vector<int64_t> pos(2 * kPairs, -1), readNs(2 * kPairs, 0);
    size_t seen[2] = {0, 0};
    for (uint32_t i = 0; i < st.WriteIndex; ++i) {
      const int side = (st.CaptureAttributes[i] & AttrSent) ? 1 : 0;
      if (seen[side] % kChunk == 0) {
        const size_t k = seen[side] / kChunk * 2 + static_cast<size_t>(side);
        if (k < pos.size()) {
          pos[k] = i;
          if (const auto at = st.Times.BatchAt(i)) readNs[k] = st.Times.Batch(*at).TimeNs;
        }
      }
      ++seen[side];
    }
    lost += static_cast<double>(total) - static_cast<double>(std::min(st.WriteIndex, total));
    for (size_t k = 0; k + 1 < pos.size(); ++k) {
      if (pos[k] < 0 || pos[k + 1] < 0) continue;
      const bool wrongPlace = pos[k + 1] < pos[k], wrongTime = readNs[k + 1] < readNs[k];
      misordered += wrongPlace;
      // The capture disagrees with the read times themselves: the merger's fault, not the clock's.
      mergeFaults += wrongPlace != wrongTime && readNs[k + 1] != readNs[k];
    }
    for (int i = 0; i < kPairs; ++i) {
      const size_t ka = 2 * static_cast<size_t>(i), kb = ka + 1;
      if (pos[ka] < 0 || pos[kb] < 0) continue;
      const double err =
          std::abs(static_cast<double>((readNs[kb] - readNs[ka]) - (stamps[kb] - stamps[ka]))) / 1e3;
      errMax = std::max(errMax, err);
      errSum += err;
      ++errCount;
    }
    late += static_cast<double>(tap.Merger().LatePieces());
  }
  state.counters["misordered"] = misordered;
  state.counters["merge_faults"] = mergeFaults;
  state.counters["lost"] = lost;
  state.counters["late"] = late;
  state.counters["gap_err_us_max"] = errMax;
  state.counters["gap_err_us_mean"] = errCount > 0 ? errSum / errCount : 0;
}
BENCHMARK(BM_TapOrder)
    ->ArgName("gap_us")
    ->Arg(0)
    ->Arg(50)
    ->Arg(100)
    ->Arg(250)
    ->Arg(500)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(5000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quarlex

BENCHMARK_MAIN();
