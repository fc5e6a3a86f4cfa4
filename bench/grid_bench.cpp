// Time per frame of the exchange grid (OutExchange) on a full 32-byte view of random data in
// HEX, DEC and CHAR at image widths 1055 and 1583, and the program's resident memory after
// start-up and after 100 frames.
//
//   bench_grid                      runs the benchmarks (memory figures are printed first)
//   bench_grid --shot DIR           writes grid pictures (PPM) of a varied capture into DIR
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/capture_store.h"
#include "tests/app/support/store_fields.h"
#include "view/exchange_grid.h"

namespace {

using namespace quarlex;

// Resident set size of this process in KiB.
long ResidentKiB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Scene {
  CaptureStore store;
  Renderer renderer;
  ExchangeGrid grid{renderer};
  GridViewState view;
  std::vector<uint32_t> pixels;
  ImageTarget target;

  explicit Scene(int width) { Resize(width); }
  void Resize(int width) {
    const int height = static_cast<int>(449.0 * width / 1055.0 + 0.5);
    pixels.assign(static_cast<size_t>(width) * height, 0);
    target = {pixels.data(), width, height, static_cast<size_t>(width) * 4};
  }
  void Frame() { grid.OutExchange(store, view, target); }
};

void RandomCapture(CaptureStore& s, uint32_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  for (uint32_t i = 0; i < count; ++i) s.CaptureBuffer[i] = static_cast<uint8_t>(rng());
  StoreFields(s).WriteIndex = count;
}

// Random bytes, plain attributes: the common case of a stream being watched.
void BM_OutExchange(benchmark::State& state) {
  static Scene scene(1055);
  const int width = static_cast<int>(state.range(1));
  scene.Resize(width);
  RandomCapture(scene.store, 32 * 64, 1);
  scene.store.BytesPerRow = 32;
  scene.store.View.ShowRow(16);
  scene.store.ViewBase = static_cast<GridBase>(state.range(0));
  for (auto _ : state) {
    scene.Frame();
    benchmark::DoNotOptimize(scene.pixels.data());
  }
  static const char* bases[] = {"", "HEX", "DEC", "CHAR"};
  state.SetLabel(std::string(bases[state.range(0)]) + " " + std::to_string(width));
}
BENCHMARK(BM_OutExchange)->ArgsProduct({{1, 2, 3}, {1055, 1583}})->Unit(benchmark::kMicrosecond);

// Every cell decorated: sent fill, highlight, marker frame and search brackets on each byte.
void BM_OutExchangeDecorated(benchmark::State& state) {
  static Scene scene(1055);
  const int width = static_cast<int>(state.range(0));
  scene.Resize(width);
  RandomCapture(scene.store, 32 * 64, 2);
  scene.store.View.ShowRow(16);
  scene.store.ViewBase = GridBase::Hex;
  const uint8_t shapes[] = {SearchHitFirst, SearchHitInner, SearchHitLast};
  for (uint32_t i = 0; i < 32 * 64; ++i) {
    scene.store.CaptureAttributes[i] = static_cast<uint8_t>(AttrSent | (1 + i % 4) | shapes[i % 3]);
  }
  for (int v = 0; v < 256; v += 2) scene.store.ValueHighlight[v] = 1;
  scene.view = {32 * 16, 3};
  for (auto _ : state) {
    scene.Frame();
    benchmark::DoNotOptimize(scene.pixels.data());
  }
}
BENCHMARK(BM_OutExchangeDecorated)->Arg(1055)->Arg(1583)->Unit(benchmark::kMicrosecond);

void PrintMemory() {
  const long atStart = ResidentKiB();
  auto* scene = new Scene(1055);  // what the program creates at start: store, renderer, glyphs, grid
  const long afterStartUp = ResidentKiB();
  RandomCapture(scene->store, 32 * 64, 3);
  for (int i = 0; i < 100; ++i) {
    scene->store.ViewBase = static_cast<GridBase>(1 + i % 3);
    scene->Frame();
  }
  const long after100 = ResidentKiB();
  scene->Resize(1583);
  for (int i = 0; i < 100; ++i) scene->Frame();
  const long after100Wide = ResidentKiB();
  std::printf(
      "resident memory: %ld KiB at entry, %ld KiB after start-up (store, renderer, glyphs, grid), "
      "%ld KiB after 100 frames at 1055, %ld KiB after 100 more at 1583\n",
      atStart, afterStartUp, after100, after100Wide);
  delete scene;
}

// A capture that shows every kind of cell: all 256 values, sent bytes, highlights, the four
// markers, a current and an ordinary multi-byte match, a one-byte match on a marker, and the
// write position in the last visible row.
void VariedCapture(CaptureStore& s, GridViewState& view) {
  std::mt19937 rng(7);
  const uint32_t top = 0x1E0 / 32;  // start a few rows in, so addresses are not all zero
  s.View.ShowRow(top);
  const uint32_t base = top * 32;
  for (uint32_t i = 0; i < 256; ++i) s.CaptureBuffer[base + i] = static_cast<uint8_t>(i);
  for (uint32_t i = 256; i < 512; ++i) s.CaptureBuffer[base + i] = static_cast<uint8_t>(rng());
  const char text[] = "Hello, Quarlex! \xCF\xF0\xE8\xE2\xE5\xF2 \r\n";  // "Привет" in Windows-1251
  std::memcpy(s.CaptureBuffer + base + 320, text, sizeof text - 1);
  for (uint32_t i = 320; i < 320 + sizeof text - 1; ++i) s.CaptureAttributes[base + i] = AttrSent;
  StoreFields(s).WriteIndex = base + 500;
  s.ValueHighlight[0x41] = 1;
  s.ValueHighlight[0xFF] = 1;
  for (uint8_t k = 1; k <= 4; ++k) s.CaptureAttributes[base + 40 + k * 3] |= k;
  // Current match of 3 bytes, an ordinary one crossing a row end, and a one-byte match on a marker.
  const uint8_t three[] = {SearchHitFirst, SearchHitInner, SearchHitLast};
  for (int k = 0; k < 3; ++k) {
    s.CaptureAttributes[base + 100 + k] |= three[k];
    s.CaptureAttributes[base + 190 + k] |= three[k];
  }
  s.CaptureAttributes[base + 52] |= SearchHitSingle;
  view = {base + 100, 3};
}

bool WritePpm(const std::string& path, const std::vector<uint32_t>& px, int w, int h) {
  std::ofstream f(path, std::ios::binary);
  f << "P6\n" << w << " " << h << "\n255\n";
  for (uint32_t p : px) {
    const char rgb[3] = {static_cast<char>(p >> 16), static_cast<char>(p >> 8), static_cast<char>(p)};
    f.write(rgb, 3);
  }
  return static_cast<bool>(f);
}

int Shots(const std::string& dir) {
  static const char* bases[] = {"", "hex", "dec", "char"};
  for (int width : {1055, 1583}) {
    for (uint8_t perRow : {32, 16}) {
      for (uint8_t b = 1; b <= 3; ++b) {
        Scene scene(width);
        VariedCapture(scene.store, scene.view);
        scene.store.BytesPerRow = perRow;
        scene.store.View.ShowRow(scene.store.View.TopRow() * 32 / perRow);
        scene.store.ViewBase = static_cast<GridBase>(b);
        scene.Frame();
        const std::string name =
            dir + "/grid_" + bases[b] + "_" + std::to_string(perRow) + "_" + std::to_string(width) + ".ppm";
        if (!WritePpm(name, scene.pixels, scene.target.Width, scene.target.Height)) {
          std::fprintf(stderr, "cannot write %s\n", name.c_str());
          return 1;
        }
        std::printf("%s\n", name.c_str());
        if (b == 3 && perRow == 16 && width == 1055)
          std::printf("MemoText (UTF-8):\n%s\n", scene.grid.MemoTextUtf8().c_str());
      }
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--shot") == 0) return Shots(argv[2]);
  PrintMemory();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
