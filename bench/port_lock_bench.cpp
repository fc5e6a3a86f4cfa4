// The busy check on Linux looks at the line's lock file and walks every process this user can
// see for an open descriptor on the line, before the exclusive open; it runs on the main thread
// at each Connect, so it must stay well below what an operator would notice.
//  (a) the busy probe of a free pseudo-terminal against the system's /proc (counters: processes
//      and descriptors visible, to read the figure against);
//  (b) open and close of the device, which takes and removes the lock file each time.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "serial/device/device.h"
#include "serial/device/linux_device.h"
#include "serial/device/port_lock_linux.h"
#include "tests/serial/device_pty.h"

namespace {

using namespace quarlex::device;
using quarlex::device::testing::PtyPair;

// Processes and descriptors this user can see under /proc.
void CountVisible(double& processes, double& descriptors) {
  processes = descriptors = 0;
  for (const auto& p : std::filesystem::directory_iterator("/proc")) {
    const std::string name = p.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    std::filesystem::directory_iterator fds(p.path() / "fd", ec);
    if (ec) continue;
    ++processes;
    for (; fds != std::filesystem::directory_iterator(); fds.increment(ec)) ++descriptors;
  }
}

void BM_ProbeFreeLine(benchmark::State& state) {
  PtyPair pty;
  for (auto _ : state) {
    if (Error e = ProbeLinuxDevice(pty.path())) state.SkipWithError(e.os_text.c_str());
  }
  double processes = 0, descriptors = 0;
  CountVisible(processes, descriptors);
  state.counters["processes"] = processes;
  state.counters["descriptors"] = descriptors;
}
BENCHMARK(BM_ProbeFreeLine)->Unit(benchmark::kMillisecond);

void BM_OpenAndCloseWithLockFile(benchmark::State& state) {
  char tmpl[] = "/tmp/quarlex-lock-bench-XXXXXX";
  const std::filesystem::path folder = mkdtemp(tmpl);
  const PortLockRoots saved = CurrentPortLockRoots();
  SetPortLockRoots({folder, "/proc"});
  PtyPair pty;
  for (auto _ : state) {
    std::unique_ptr<Device> dev;
    if (Error e = OpenLinuxDevice(pty.path(), dev)) state.SkipWithError(e.os_text.c_str());
    dev.reset();
  }
  SetPortLockRoots(saved);
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_OpenAndCloseWithLockFile)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
