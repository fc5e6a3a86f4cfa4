// The minimap's two walks over the attribute array at full size: the recomputation of the pixel
// rows for a full capture with scattered markers (goal: 20 ms or less), and the press scan over
// a full ring that holds no marker at all (the longest scan there is).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "app/capture_store.h"
#include "tests/app/support/store_fields.h"
#include "view/minimap.h"
#include "view/minimap_rows.h"

namespace quarlex {
namespace {

CaptureStore& FullStore(int markers) {
  static auto* s = new CaptureStore;
  std::memset(s->CaptureAttributes, 0, CaptureSize);
  StoreFields(*s).WriteIndex = CaptureLast;
  {
    std::mt19937 rng(7);
    for (int k = 0; k < markers; ++k)
      s->CaptureAttributes[rng() % CaptureLast] = static_cast<uint8_t>(1 + rng() % 4);
  }
  // Search hits and sent bytes all over, as in a busy session: they must not slow the skip down.
  for (uint32_t j = 0; j < CaptureLast; j += 4096) s->CaptureAttributes[j] |= 0xC0;
  return *s;
}

void BM_MiniMapRowsFullCapture(benchmark::State& state) {
  CaptureStore& s = FullStore(static_cast<int>(state.range(1)));
  const auto height = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    ComputeMiniMapRows(s.CaptureAttributes, MiniMapSpanFor(32, s.WriteIndex()), height, s.MiniMapRows);
    benchmark::DoNotOptimize(s.MiniMapRows);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * CaptureLast);
}
// Strip heights of 461 (design) and 1000 pixel rows; 20 markers leave almost every row unmarked,
// so the walk reads nearly all 32 MiB, while 5,000 markers let most rows stop early.
BENCHMARK(BM_MiniMapRowsFullCapture)
    ->ArgNames({"height", "markers"})
    ->Args({461, 20})
    ->Args({461, 5000})
    ->Args({1000, 20})
    ->Unit(benchmark::kMillisecond);

// The whole OutMiniMap as the tick runs it after a marker click: throttle reset, recomputation,
// background, one line per marked pixel row, and the copy into the strip's image.
struct BenchStrip : MiniMapControl {
  std::vector<uint32_t> pixels = std::vector<uint32_t>(19 * 461);
  int ControlWidth() const override { return 19; }
  int ControlHeight() const override { return 461; }
  void SizeBitmap() override {}
  ImageTarget Target() override { return {pixels.data(), 19, 461, 19 * 4}; }
  void Repaint(int, int) override {}
};
struct NoRedraw : ViewRedraw {
  void OutExchange() override {}
  void OutMiniMap() override {}
};

void BM_OutMiniMapFullCapture(benchmark::State& state) {
  CaptureStore& s = FullStore(static_cast<int>(state.range(0)));
  Renderer renderer(std::make_shared<GlyphFonts>());
  BenchStrip strip;
  NoRedraw redraw;
  MiniMap map(s, renderer, strip, redraw);
  for (auto _ : state) {
    s.MiniMapBuiltAt = 0;  // as every marker click leaves it
    map.OutMiniMap(true);
    benchmark::DoNotOptimize(strip.pixels.data());
  }
}
BENCHMARK(BM_OutMiniMapFullCapture)->ArgName("markers")->Arg(20)->Arg(5000)->Unit(benchmark::kMillisecond);

void BM_MiniMapPressScanNoMarker(benchmark::State& state) {
  CaptureStore& s = FullStore(0);
  for (auto _ : state) {
    auto top = MiniMapPressTopRow(s.CaptureAttributes, s.WriteIndex(), 32, 461, 0);
    benchmark::DoNotOptimize(top);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * CaptureSize);
}
BENCHMARK(BM_MiniMapPressScanNoMarker)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quarlex

BENCHMARK_MAIN();
