// What the time index costs, in one run:
//  1. CPU of the session's receive path with and without the index at 1 MB/s and 10 MB/s: a
//     whole ring's worth of stream fed through Session::ComPortRxChar in the batches the window's
//     port delivers (one receive event per 10 ms, so 10,000 and 100,000 bytes; and, as a harsher
//     case, per 1 ms), against the same read-append-scroll steps without the index. Thread CPU
//     time as a share of the stream's duration; the index's own cost per batch (clock read and
//     entry) measured directly as well, since at 100 batches a second it drowns in the copy.
//  2. Memory of the index at a full ring of 1-byte batches (one direction, and alternating), with
//     the resolution that survives.
//  3. Time to write and read the times file of a full ring's index at its largest (a full table),
//     and to form the text export of that ring.
//
//   bench_time_index [FOLDER]     FOLDER receives the times file (default /tmp)
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/session.h"
#include "tests/app/support/fake_session_ui.h"
#include "tests/app/support/store_fields.h"
#include "tools/capture_files.h"
#include "tools/capture_times.h"
#include "tools/times_file.h"

namespace quarlex {
namespace {

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A port queue that always holds what it is asked for.
struct Stream : ReceiveSource {
  std::vector<uint8_t> pattern = std::vector<uint8_t>(ReceiveStagingSize);
  Stream() {
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 31 + 7);
  }
  void ReadQueued(uint8_t* buffer, size_t count, ReceivedChunks& chunks) override {
    chunks.clear();
    std::memcpy(buffer, pattern.data(), count);
  }
  size_t QueuedCount() override { return 0; }
  void ReadFailed(std::exception_ptr) override {}
};

// The session's receive steps without the time index: read, append, count, scroll.
void ReceiveWithoutTimes(Session& s, size_t count) {
  ReceivedChunks chunks;
  size_t remaining = count;
  while (remaining > 0) {
    const size_t n = std::min({remaining, ReceiveStagingSize, s.Store.ReceiveRoom()});
    if (n == 0) break;
    s.Port->ReadQueued(s.Store.ReceiveStaging.get(), n, chunks);
    s.Store.AppendReceived(s.Store.ReceiveStaging.get(), n);
    s.Store.RxBytesSinceTick += static_cast<uint32_t>(n);
    remaining -= n;
  }
  s.Store.ScrollUpdate();
}

// CPU seconds to take one ring in batches of `batch` bytes.
double RingCpu(Session& s, size_t batch, bool withTimes) {
  s.ClearFull();
  const double t0 = ThreadCpuSeconds();
  for (size_t taken = 0; taken < CaptureSize; taken += batch) {
    if (withTimes) {
      s.ComPortRxChar(batch);
    } else {
      ReceiveWithoutTimes(s, batch);
    }
  }
  return ThreadCpuSeconds() - t0;
}

void ReceivePath() {
  testing::FakeSessionUi ui;
  Stream port;
  Session s(ui);
  s.Port = &port;
  s.PortConnected = true;
  s.Connected();
  // The index's own work per batch, one clock read and one entry, over a fresh table of 2^20
  // entries (its pages touched on the way, as a session's first ring touches them).
  TimeIndex t;
  const size_t n = TimeIndex::DefaultBatchCapacity - 1;
  const double i0 = ThreadCpuSeconds();
  for (size_t k = 0; k < n; ++k)
    t.AddBatch(static_cast<uint32_t>(k * 32), 32, Direction::Received, s.ArrivalTimeNs());
  const double perBatch = (ThreadCpuSeconds() - i0) / static_cast<double>(n);
  std::printf("1. receive path, session part (read, append, scroll; with and without the index)\n");
  std::printf("   index alone: %.1f ns per batch (clock read + entry)\n", perBatch * 1e9);
  std::printf("   one 32 MiB ring per measurement, median of 7; CPU per second of stream in microseconds\n");
  std::printf("%-8s %8s %10s %12s %12s %12s %14s\n", "rate", "batch", "batches/s", "with_index", "without",
              "index_alone", "index/session");
  struct Row {
    double rate;
    size_t batch;
  };
  const Row rows[] = {{1e6, 10'000}, {1e6, 1'000}, {10e6, 100'000}, {10e6, 10'000}};
  for (const Row& r : rows) {
    std::vector<double> with, without;
    for (int i = 0; i < 7; ++i) {
      with.push_back(RingCpu(s, r.batch, true));
      without.push_back(RingCpu(s, r.batch, false));
    }
    std::sort(with.begin(), with.end());
    std::sort(without.begin(), without.end());
    const double streamSeconds = CaptureSize / r.rate;
    const double batchesPerSecond = r.rate / static_cast<double>(r.batch);
    const double withUs = with[3] / streamSeconds * 1e6, withoutUs = without[3] / streamSeconds * 1e6;
    const double indexUs = perBatch * batchesPerSecond * 1e6;
    std::printf("%3.0fMB/s %8zu %10.0f %12.1f %12.1f %12.2f %13.2f%%\n", r.rate / 1e6, r.batch,
                batchesPerSecond, withUs, withoutUs, indexUs, 100 * indexUs / withoutUs);
  }
}

void FullRingMemory() {
  std::printf("\n2. index memory at a full ring of 1-byte batches\n");
  struct Case {
    const char* what;
    bool alternate;
  };
  for (const Case c : {Case{"one direction", false}, Case{"alternating", true}}) {
    TimeIndex t;
    const double w0 = WallSeconds();
    for (uint32_t p = 0; p < CaptureSize; ++p)
      t.AddBatch(p, 1, c.alternate && (p & 1) ? Direction::Sent : Direction::Received, int64_t{p} * 1000);
    const double seconds = WallSeconds() - w0;
    uint32_t largest = 0;
    size_t mixed = 0;
    for (size_t i = 0; i < t.BatchCount(); ++i) {
      largest = std::max(largest, t.Batch(i).Count);
      mixed += t.Batch(i).Dir == Direction::Mixed;
    }
    std::printf(
        "%-14s entries=%zu used=%.2f MiB reserved=%.2f MiB granule=%u largest_entry=%u bytes mixed=%zu "
        "add=%.1f ns/batch\n",
        c.what, t.BatchCount(), t.UsedBytes() / 1048576.0, t.ReservedBytes() / 1048576.0, t.Granule(),
        largest, mixed, seconds / CaptureSize * 1e9);
  }
}

void FileTimes(const std::string& folder) {
  std::printf("\n3. times file of a full ring's index at its largest (a full table), and its text export\n");
  CaptureStore store;
  StoreFields(store).WriteIndex = CaptureSize;
  StoreFields(store).CaptureFull = 1;
  TimeIndex& t = store.Times;
  // 2^20 - 1 batches of 32 bytes alternating directions cover the ring without merging, and as
  // many line events as the event table holds.
  const uint32_t batches = TimeIndex::DefaultBatchCapacity - 1, each = CaptureSize / (batches + 1);
  int64_t time = 1'718'013'600'000'000'000;
  for (uint32_t i = 0; i < batches; ++i) {
    const uint32_t at = i * each;
    if (i % 16 == 0 && t.EventCount() + 1 < TimeIndex::DefaultEventCapacity)
      t.AddEvents(at, LineEvent::Framing | LineEvent::Cts, time);
    t.AddBatch(at, i + 1 == batches ? CaptureSize - at : each, i & 1 ? Direction::Sent : Direction::Received,
               time);
    time += 123'456;
  }
  SavePlan plan;
  plan.pieces[0] = {0, CaptureSize};
  plan.count = 1;
  // Wall time (what the window waits) and this thread's CPU time, in ms.
  struct Span {
    double w0 = WallSeconds(), c0 = ThreadCpuSeconds();
    std::string Text() const {
      char b[64];
      std::snprintf(b, sizeof b, "%.0f ms (cpu %.0f ms)", (WallSeconds() - w0) * 1e3,
                    (ThreadCpuSeconds() - c0) * 1e3);
      return b;
    }
  };
  Span f;
  const std::string text = TimesFileText(t, plan);
  const std::string format = f.Text();
  Span w;
  const std::string name = "bench-times-" + std::to_string(::getpid()) + ".idx";
  const std::string error = WriteFileReplacing(folder, name, text);
  const std::string write = w.Text();
  if (!error.empty()) std::printf("write failed: %s\n", error.c_str());
  ::unlink((folder + name).c_str());
  TimeIndex back;
  Span l;
  const TimesLoad r = LoadTimesText(text, CaptureSize, CaptureSize, back);
  const std::string load = l.Text();
  Span e;
  const std::string exported = ExportText(store, plan, GridBase::Hex, "COM1");
  const std::string exportTime = e.Text();
  std::printf("export of the full ring (HEX): %.0f MB in %s\n", static_cast<double>(exported.size()) / 1e6,
              exportTime.c_str());
  std::printf(
      "entries=%zu events=%zu file=%.1f MB\nformat: %s\nwrite+fsync: %s\nparse+restore: %s\nround trip "
      "ok=%d\n",
      t.BatchCount(), t.EventCount(), static_cast<double>(text.size()) / 1e6, format.c_str(), write.c_str(),
      load.c_str(), r.ok && back.BatchCount() == t.BatchCount() && back.EventCount() == t.EventCount());
}

}  // namespace
}  // namespace quarlex

int main(int argc, char** argv) {
  std::string folder = argc > 1 ? argv[1] : "/tmp";
  if (folder.back() != '/') folder += '/';
  quarlex::ReceivePath();
  quarlex::FullRingMemory();
  quarlex::FileTimes(folder);
  return 0;
}
