// Capture files: save and load of a full ring, and the receive rate that Autosave sustains while
// rolling the ring over. Saves go to a disk folder (/tmp) and to memory (/dev/shm), so the cost
// of the code can be told apart from the cost of the disk's fsync.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "serial/comport.h"
#include "tests/app/support/fake_session_ui.h"
#include "tests/serial/device_pty.h"
#include "tests/serial/support/comport_owner.h"
#include "tools/capture_files.h"

namespace {

using namespace quarlex;

struct BenchFilesUi : FilesUi {
  std::string PortName() override { return "COM3"; }
  SaveMode CheckedSaveMode() override { return SaveMode::Interval; }
  std::string ChooseFileToOpen() override { return {}; }
  void CloseFindPanel() override {}
  void Redraw() override {}
};

std::string MakeFolder(const char* base) {
  std::string t = std::string(base) + "/quarlex-bench-XXXXXX";
  if (!mkdtemp(t.data())) return {};
  return t + "/";
}

void RemoveDataFiles(const std::string& folder) {
  std::string cmd = "rm -f '" + folder + "'*.data";
  if (std::system(cmd.c_str()) != 0) {
  }
}

void FillRandom(uint8_t* p, size_t n) {
  std::mt19937_64 rng(7);
  for (size_t i = 0; i + 8 <= n; i += 8) {
    const uint64_t r = rng();
    std::memcpy(p + i, &r, 8);
  }
}

// Full save of a full ring: 33,554,432 bytes written, flushed to disk and named.
void BM_SaveFullRing(benchmark::State& state, const char* base) {
  const std::string folder = MakeFolder(base);
  quarlex::testing::FakeSessionUi ui;
  ui.autosave = true;
  BenchFilesUi fui;
  Session session(ui);
  CaptureFiles files(session, fui, [] { return LocalTime{2026, 1, 2, 3, 4, 5}; });
  ui.save = [&files] { return files.BtnSaveClick(); };
  session.ExeFolder = folder;
  FillRandom(session.Store.CaptureBuffer, CaptureSize);
  session.Store.LoadBytes(CaptureSize);  // a full ring
  for (auto _ : state) {
    session.Store.MarkSaved(0);
    if (!files.BtnSaveClick()) state.SkipWithError(files.LastError().c_str());
    state.PauseTiming();
    RemoveDataFiles(folder);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * CaptureSize);
  rmdir(folder.c_str());
}
BENCHMARK_CAPTURE(BM_SaveFullRing, disk_tmp, "/tmp")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_SaveFullRing, memory_shm, "/dev/shm")->Unit(benchmark::kMillisecond)->UseRealTime();

// Load of a file of 33,554,432 bytes (the most a load takes), including the clear before it.
void BM_LoadFullRing(benchmark::State& state, const char* base) {
  const std::string folder = MakeFolder(base);
  quarlex::testing::FakeSessionUi ui;
  ui.autosave = true;
  BenchFilesUi fui;
  Session session(ui);
  CaptureFiles files(session, fui, [] { return LocalTime{2026, 1, 2, 3, 4, 5}; });
  ui.save = [&files] { return files.BtnSaveClick(); };
  session.ExeFolder = folder;
  FillRandom(session.Store.CaptureBuffer, CaptureSize);
  session.Store.LoadBytes(CaptureSize);
  if (!files.BtnSaveClick()) state.SkipWithError("could not write the file to load");
  const std::string saved = folder + "COM3_20260102_030405.data";
  for (auto _ : state) {
    if (files.LoadFile(saved) != CaptureFiles::LoadResult::Loaded) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(session.Store.WriteIndex());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * CaptureFiles::LoadLimit);
  RemoveDataFiles(folder);
  rmdir(folder.c_str());
}
BENCHMARK_CAPTURE(BM_LoadFullRing, disk_tmp, "/tmp")->Unit(benchmark::kMillisecond)->UseRealTime();

// Receive events of 64 KiB with a tick after every event and Autosave on: bytes per second that
// the receive path, the rollover and the autosaves sustain together, every byte kept.
struct Queue : ReceiveSource {
  const std::vector<uint8_t>* block = nullptr;
  void ReadQueued(uint8_t* buf, size_t n, ReceivedChunks& chunks) override {
    chunks.clear();
    std::memcpy(buf, block->data(), n);
  }
  size_t QueuedCount() override { return 0; }
  void ReadFailed(std::exception_ptr error) override { std::rethrow_exception(error); }
};

void BM_AutosaveStream(benchmark::State& state, const char* base) {
  const std::string folder = MakeFolder(base);
  quarlex::testing::FakeSessionUi ui;
  ui.autosave = true;
  BenchFilesUi fui;
  Session session(ui);
  CaptureFiles files(session, fui);
  ui.save = [&files] { return files.BtnSaveClick(); };
  session.ExeFolder = folder;
  std::vector<uint8_t> block(65536);
  FillRandom(block.data(), block.size());
  Queue q;
  q.block = &block;
  session.Port = &q;
  session.PortConnected = true;
  const uint64_t rings = 4;
  for (auto _ : state) {
    for (uint64_t sent = 0; sent < rings * CaptureSize; sent += block.size()) {
      session.ComPortRxChar(block.size());
      session.TimerMainTimer();
    }
    state.PauseTiming();
    RemoveDataFiles(folder);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * rings * CaptureSize));
  rmdir(folder.c_str());
}
BENCHMARK_CAPTURE(BM_AutosaveStream, disk_tmp, "/tmp")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_AutosaveStream, memory_shm, "/dev/shm")->Unit(benchmark::kMillisecond)->UseRealTime();

// The same through a real port: a peer on a pseudo-terminal sends 4 rings' worth as fast as the
// line takes it, the port's receive events feed the session, the tick rolls the ring over with
// Autosave on. Hardware flow control keeps the line lossless while the ring waits for the tick.
// Reports the receive rate; a run that loses a byte is an error, not a figure.
struct PortInput : ReceiveSource {
  TComPort* port = nullptr;
  uint64_t taken = 0;
  void ReadQueued(uint8_t* buffer, size_t count, ReceivedChunks& chunks) override {
    chunks.clear();
    port->Read(buffer, static_cast<int32_t>(count));
    taken += count;
  }
  size_t QueuedCount() override { return static_cast<size_t>(port->InputCount()); }
  void ReadFailed(std::exception_ptr error) override { std::rethrow_exception(error); }
};

void BM_AutosavePty(benchmark::State& state) {
  const std::string folder = MakeFolder("/tmp");
  const uint64_t total = 4 * uint64_t{CaptureSize};
  std::vector<uint8_t> block(256 * 1024);
  FillRandom(block.data(), block.size());
  for (auto _ : state) {
    state.PauseTiming();
    test::TestOwner owner;
    device::testing::PtyPair pty;
    TComPort port(&owner);
    port.SetPort(pty.path());
    port.FlowControl().SetFlowControl(fcHardware);
    quarlex::testing::FakeSessionUi ui;
    ui.autosave = true;
    BenchFilesUi fui;
    Session session(ui);
    CaptureFiles files(session, fui);
    ui.save = [&files] { return files.BtnSaveClick(); };
    session.ExeFolder = folder;
    PortInput input;
    input.port = &port;
    port.OnRxChar = [&](TCustomComPort*, int32_t n) { session.ComPortRxChar(static_cast<size_t>(n)); };
    port.Open();
    session.Port = &input;
    session.PortConnected = true;
    std::atomic<bool> done{false};
    state.ResumeTiming();
    std::thread peer([&] {
      for (uint64_t left = total; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
        pty.Send(block.data(), n);
        left -= n;
      }
      done = true;
      owner.Kick();
    });
    uint64_t last = 0;
    int quiet = 0;
    owner.RunUntil(
        [&] {
          if (session.Store.CaptureFull()) session.TimerMainTimer();
          if (input.taken == total) return true;
          quiet = (done && input.taken == last && port.InputCount() == 0) ? quiet + 1 : 0;
          last = input.taken;
          return quiet > 250;
        },
        std::chrono::seconds(120));
    peer.join();
    state.PauseTiming();
    port.Close();
    if (input.taken != total) state.SkipWithError("bytes were lost between the line and the capture");
    RemoveDataFiles(folder);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
  rmdir(folder.c_str());
}
BENCHMARK(BM_AutosavePty)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
