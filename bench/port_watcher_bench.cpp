// Time from creating a port link (what socat does when a virtual port starts) to the port
// button's caption showing the new port: inotify wake-up, the debounce, the map refresh and the
// table scan. Run with the normal 200 ms debounce and with none, to show how much of the figure
// is the deliberate wait. Also the time for a virtual port to drop out when its terminal ends
// but its link stays.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "app/port_scan.h"
#include "app/port_watcher.h"
#include "ports/port_map.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Scratch {
  fs::path root;
  Scratch() {
    std::string tmpl = (fs::temp_directory_path() / "quarlex-bench-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root = tmpl;
    fs::create_directories(root / "sys" / "class" / "tty");
    fs::create_directories(root / "dev");
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

void BM_LinkToCaption(benchmark::State& state) {
  Scratch scratch;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  const std::string slave = ptsname(master);

  quarlex::PortWatchPaths paths;
  paths.Dev = scratch.root / "dev";
  paths.ById = scratch.root / "dev" / "serial" / "by-id";
  paths.LinkFolder = scratch.root / "ports";
  paths.Debounce = std::chrono::milliseconds(state.range(0));
  quarlex::PortMapRoots roots;
  roots.Sysfs = scratch.root / "sys";
  roots.LinkFolder = paths.LinkFolder;
  roots.StateFile = scratch.root / "portmap";

  std::mutex mutex;
  std::condition_variable cv;
  quarlex::PortMap map(roots);
  quarlex::PortTable table;
  std::string caption = "Port 0";
  Clock::time_point shownAt;

  quarlex::TRegMonitorThread watcher(paths, [&] {
    std::lock_guard lock(mutex);
    if (map.Refresh()) table.ScanPorts(map.PortTexts());
    caption = table.PortCaption();
    shownAt = Clock::now();
    cv.notify_all();
  });
  std::string error;
  if (!watcher.Start(&error)) {
    state.SkipWithError(error.c_str());
    close(master);
    return;
  }
  const fs::path link = paths.LinkFolder / "COM42";
  for (auto _ : state) {
    const auto start = Clock::now();
    fs::create_symlink(slave, link);
    std::unique_lock lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return caption == "Port 42"; })) {
      state.SkipWithError("caption did not change");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(shownAt - start).count());
    lock.unlock();
    fs::remove(link);
    lock.lock();
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return caption == "Port 0"; });
  }
  state.counters["device_events"] =
      watcher.DeviceEventSource() != quarlex::TRegMonitorThread::EventSource::None ? 1 : 0;
  watcher.Stop();
  close(master);
}
// socat killed with SIGKILL: its terminal vanishes, its link stays. Time from the terminal's
// end to the caption falling back.
void BM_TerminalGoneToCaption(benchmark::State& state) {
  Scratch scratch;
  quarlex::PortWatchPaths paths;
  paths.Dev = scratch.root / "dev";
  paths.ById = scratch.root / "dev" / "serial" / "by-id";
  paths.LinkFolder = scratch.root / "ports";
  quarlex::PortMapRoots roots;
  roots.Sysfs = scratch.root / "sys";
  roots.LinkFolder = paths.LinkFolder;
  roots.StateFile = scratch.root / "portmap";

  std::mutex mutex;
  std::condition_variable cv;
  quarlex::PortMap map(roots);
  quarlex::PortTable table;
  std::string caption = "Port 0";
  int scans = 0;
  Clock::time_point shownAt;
  quarlex::TRegMonitorThread watcher(paths, [&] {
    std::lock_guard lock(mutex);
    if (map.Refresh()) table.ScanPorts(map.PortTexts());
    caption = table.PortCaption();
    shownAt = Clock::now();
    ++scans;
    cv.notify_all();
  });
  std::string error;
  if (!watcher.Start(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const fs::path link = paths.LinkFolder / "COM42";
  for (auto _ : state) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      state.SkipWithError("no pseudo-terminal");
      break;
    }
    fs::create_symlink(ptsname(master), link);
    std::unique_lock lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return caption == "Port 42"; })) {
      state.SkipWithError("port did not appear");
      break;
    }
    lock.unlock();
    const auto start = Clock::now();
    close(master);
    lock.lock();
    if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return caption == "Port 0"; })) {
      state.SkipWithError("port did not vanish");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(shownAt - start).count());
    const int before = scans;
    lock.unlock();
    fs::remove(link);  // the stale link's removal is a change of its own; let it pass
    lock.lock();
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return scans > before; });
  }
  watcher.Stop();
}
BENCHMARK(BM_TerminalGoneToCaption)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_LinkToCaption)
    ->Arg(200)
    ->Arg(0)
    ->ArgName("debounce_ms")
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
