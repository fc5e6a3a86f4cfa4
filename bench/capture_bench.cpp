// Receive-path append and ClearFull against memcpy/memset of the same sizes, in one run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "app/capture_store.h"
#include "tests/app/support/store_fields.h"

namespace {

using quarlex::CaptureSize;
using quarlex::CaptureStore;

CaptureStore& Store() {
  static CaptureStore s;
  return s;
}

void BM_Append(benchmark::State& state) {
  CaptureStore& s = Store();
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> event(n, 0x5A);
  for (auto _ : state) {
    if (s.ReceiveRoom() < n) {
      StoreFields(s).WriteIndex = 0;
      StoreFields(s).CaptureFull = 0;
    }
    s.AppendReceived(event.data(), n);
    s.ScrollUpdate();
    benchmark::DoNotOptimize(s.WriteIndex());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_Append)->Arg(1)->Arg(64)->Arg(4096)->Arg(65536);

// The same copy into the same ring without the store's bookkeeping: the floor to compare with.
void BM_Memcpy(benchmark::State& state) {
  CaptureStore& s = Store();
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> event(n, 0x5A);
  size_t at = 0;
  for (auto _ : state) {
    if (at + n > CaptureSize) at = 0;
    std::memcpy(s.CaptureBuffer + at, event.data(), n);
    benchmark::ClobberMemory();
    at += n;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_Memcpy)->Arg(1)->Arg(64)->Arg(4096)->Arg(65536);

void BM_ClearStorage(benchmark::State& state) {
  CaptureStore& s = Store();
  for (auto _ : state) {
    s.ClearStorage();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ClearStorage)->Unit(benchmark::kMillisecond);

void BM_TwoMemsets(benchmark::State& state) {
  CaptureStore& s = Store();
  for (auto _ : state) {
    std::memset(s.CaptureBuffer, 0, CaptureSize);
    std::memset(s.CaptureAttributes, 0, CaptureSize);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TwoMemsets)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
