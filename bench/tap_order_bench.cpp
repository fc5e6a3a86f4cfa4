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
#include <random>
#include <string>
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

// Two ptys, two real ports with one owner thread (this one), a session with a tap: the window's
// receive path without the window.
struct TapRig {
  device::testing::PtyPair ptyA, ptyB;
  test::TestOwner owner;
  TComPort a{&owner}, b{&owner};
  testing::FakeSessionUi ui;
  Session s{ui};
  ComPortQueue qa{a}, qb{b};
  TapCapture tap{s, s.TimeSource(), "A", "B"};
  std::atomic<bool> done{false};

  TapRig() {
    for (TComPort* p : {&a, &b}) {
      p->SetBaudRate(br115200);
      p->Buffer().SetInputSize(65536);
      p->OnRxChar = [this](TCustomComPort*, int32_t count) {
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
  }
  ~TapRig() {
    a.Close();
    b.Close();
  }
  // Runs the owner's loop, with the window's tick, until the writer is done and `total` bytes
  // are in the capture.
  void Run(uint32_t total, std::chrono::seconds timeout) {
    int64_t lastTick = 0;
    owner.RunUntil(
        [&] {
          if (MonoNow() - lastTick > 100'000'000) {
            lastTick = MonoNow();
            s.TimerMainTimer();
          }
          return done && s.Store.WriteIndex() >= total;
        },
        timeout);
  }
  void WriterDone() {
    done = true;
    owner.Kick();
  }
  // The time the index gives the byte at `position`.
  int64_t TimeAt(uint32_t position) const {
    const auto at = s.Store.Times.BatchAt(position);
    return at ? s.Store.Times.Batch(*at).TimeNs : 0;
  }
};

void BM_TapOrder(benchmark::State& state) {
  const int64_t gapNs = state.range(0) * 1000;
  double misordered = 0, mergeFaults = 0, lost = 0, errMax = 0, errSum = 0, errCount = 0, late = 0;
  for (auto _ : state) {
    TapRig rig;
    Session& s = rig.s;
    std::vector<int64_t> stamps(2 * kPairs);
    std::thread writer([&] {
      int64_t next = MonoNow() + 20'000'000;
      for (int i = 0; i < 2 * kPairs; ++i) {
        WaitUntilNs(next);
        uint8_t chunk[kChunk] = {static_cast<uint8_t>(i % 2 ? 'B' : 'A')};
        const uint32_t n = static_cast<uint32_t>(i / 2);
        std::memcpy(chunk + 1, &n, 4);
        stamps[i] = MonoNow();
        (i % 2 ? rig.ptyB : rig.ptyA).Send(chunk, kChunk);
        next = stamps[i] + gapNs;
      }
      rig.WriterDone();
    });
    const uint32_t total = 2 * kPairs * kChunk;
    rig.Run(total, std::chrono::seconds(60));
    writer.join();

    // Where each chunk's first byte landed, and the time the index gives it.
    const CaptureStore& st = s.Store;
    std::vector<int64_t> pos(2 * kPairs, -1), readNs(2 * kPairs, 0);
    size_t seen[2] = {0, 0};
    for (uint32_t i = 0; i < st.WriteIndex(); ++i) {
      const int side = (st.CaptureAttributes[i] & AttrSent) ? 1 : 0;
      if (seen[side] % kChunk == 0) {
        const size_t k = seen[side] / kChunk * 2 + static_cast<size_t>(side);
        if (k < pos.size()) {
          pos[k] = i;
          readNs[k] = rig.TimeAt(i);
        }
      }
      ++seen[side];
    }
    lost += static_cast<double>(total) - static_cast<double>(std::min(st.WriteIndex(), total));
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
    late += static_cast<double>(rig.tap.Merger().LatePieces());
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

// A request/answer protocol as a controller and a modem play it: a request on A, the answer on
// B 2 to 20 ms later, the next request 1 ms after the answer has left the wire, both written at
// a 115200-baud pace (a message is followed by its time on the wire). The argument is the
// number of exchanges. Reported: "bytes_wrong_A"/"bytes_wrong_B", bytes of each direction that
// differ from what its peer wrote (the capture split by direction), "answer_before_request"
// and "request_before_answer_ended" (the next request placed inside or before the answer),
// "min_gap_ms", the smallest request-to-answer gap written, and "answer_err_us_mean"/"_max",
// how far the "Answer after" gap (the time index's times) is from the peer's own stamps; the
// two order counts again by read times alone, and "late" pieces.
void BM_TapRequestAnswer(benchmark::State& state) {
  const int exchanges = static_cast<int>(state.range(0));
  double wrongA = 0, wrongB = 0, answerFirst = 0, requestInside = 0, answerFirstByTime = 0,
         requestInsideByTime = 0, late = 0, errMax = 0, errSum = 0, minGap = 1e9;
  auto wireNs = [](size_t n) { return static_cast<int64_t>(n) * 10 * 1'000'000'000 / 115200; };
  for (auto _ : state) {
    TapRig rig;
    std::mt19937 rng(29);
    std::string wantA, wantB;
    std::vector<std::string> requests(exchanges), answers(exchanges);
    std::vector<int64_t> gaps(exchanges);
    for (int i = 0; i < exchanges; ++i) {
      requests[i] = "Q" + std::to_string(i) + std::string(4 + rng() % 16, 'q') + "\r";
      answers[i] = "R" + std::to_string(i) + std::string(4 + rng() % 48, 'r') + "\r";
      gaps[i] = 2'000'000 + static_cast<int64_t>(rng() % 18'000'001);
      wantA += requests[i];
      wantB += answers[i];
    }
    std::vector<int64_t> sentQ(exchanges), sentR(exchanges);
    std::thread writer([&] {
      int64_t next = MonoNow() + 20'000'000;
      for (int i = 0; i < exchanges; ++i) {
        WaitUntilNs(next);
        sentQ[i] = MonoNow();
        rig.ptyA.Send(requests[i]);
        WaitUntilNs(sentQ[i] + std::max(gaps[i], wireNs(requests[i].size())));
        sentR[i] = MonoNow();
        rig.ptyB.Send(answers[i]);
        next = sentR[i] + wireNs(answers[i].size()) + 1'000'000;
      }
      rig.WriterDone();
    });
    rig.Run(static_cast<uint32_t>(wantA.size() + wantB.size()), std::chrono::seconds(600));
    writer.join();

    // Each direction on its own, and where each message's first and last bytes landed.
    const CaptureStore& st = rig.s.Store;
    std::string gotA, gotB;
    std::vector<uint32_t> posA, posB;
    for (uint32_t i = 0; i < st.WriteIndex(); ++i) {
      const bool b = st.CaptureAttributes[i] & AttrSent;
      (b ? gotB : gotA) += static_cast<char>(st.CaptureBuffer[i]);
      (b ? posB : posA).push_back(i);
    }
    auto differing = [](const std::string& got, const std::string& want) {
      size_t n = got.size() > want.size() ? got.size() - want.size() : want.size() - got.size();
      for (size_t i = 0; i < std::min(got.size(), want.size()); ++i) n += got[i] != want[i];
      return static_cast<double>(n);
    };
    wrongA += differing(gotA, wantA);
    wrongB += differing(gotB, wantB);
    late += static_cast<double>(rig.tap.Merger().LatePieces());
    if (gotA != wantA || gotB != wantB) continue;
    size_t offA = 0, offB = 0;
    for (int i = 0; i < exchanges; ++i) {
      const uint32_t q0 = posA[offA], r0 = posB[offB], rEnd = posB[offB + answers[i].size() - 1];
      answerFirst += r0 < q0;
      answerFirstByTime += rig.TimeAt(r0) < rig.TimeAt(q0);
      offA += requests[i].size();
      offB += answers[i].size();
      if (i + 1 < exchanges) {
        requestInside += posA[offA] < rEnd;
        requestInsideByTime += rig.TimeAt(posA[offA]) < rig.TimeAt(rEnd);
      }
      const int64_t measured = rig.TimeAt(r0) - rig.TimeAt(q0);
      const double err = std::abs(static_cast<double>(measured - (sentR[i] - sentQ[i]))) / 1e3;
      errMax = std::max(errMax, err);
      errSum += err;
      minGap = std::min(minGap, static_cast<double>(sentR[i] - sentQ[i]) / 1e6);
    }
  }
  state.counters["bytes_wrong_A"] = wrongA;
  state.counters["bytes_wrong_B"] = wrongB;
  state.counters["answer_before_request"] = answerFirst;
  state.counters["request_before_answer_ended"] = requestInside;
  state.counters["min_gap_ms"] = minGap;
  // The same two, judged by the read times alone: equal counts mean the merger kept the times'
  // order and the devices' read times themselves were the wrong way round.
  state.counters["answer_before_request_by_time"] = answerFirstByTime;
  state.counters["request_before_answer_ended_by_time"] = requestInsideByTime;
  state.counters["late"] = late;
  state.counters["answer_err_us_mean"] = errSum / exchanges;
  state.counters["answer_err_us_max"] = errMax;
}
BENCHMARK(BM_TapRequestAnswer)->ArgName("exchanges")->Arg(10000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace quarlex

BENCHMARK_MAIN();
