// The whole program's receive path, measured from outside: the program's window, built and
// styled as the program builds it and shown on whatever platform QT_QPA_PLATFORM names
// (bench/receive-table runs it on xcb under Xvfb), connects to a port link, takes everything a
// device sends for a while and writes the capture to a file, so it can be compared byte for byte
// with what the device accepted (paced-writer's -o file).
//
//   bench_window_receive PORT_NUMBER SECONDS CAPTURE_OUT [options]
//     --go FILE          created once the port is open (paced-writer -w starts its stream then);
//                        SECONDS count from then
//     --stall AT,FOR     AT seconds after the start, the window's thread blocks for FOR seconds
//                        (as a slow disk or a blocking network call would hold it)
//     --events FILE      after every receive event: "<WriteIndex> <CLOCK_MONOTONIC ns>"
//     --times FILE       at the end, the time index's received entries as
//                        "<position> <count> <CLOCK_MONOTONIC ns>" (the recorded arrival times)
//     --rx-interval MS   the port's receive batching interval instead of the program's default
//     --export AT        AT seconds after the start, "Export text…" of the capture (the Save menu's
//                        checked range) to CAPTURE_OUT.txt, as the menu item starts it
//     --save AT          AT seconds after the start, the Save button's action, into the folder
//                        CAPTURE_OUT.saves/
// Also printed: the window thread's longest stall from the start to the end (the largest gap
// between two firings of a 1 ms timer on it), and how long an export or a save's times took.
// The port link must be COM<PORT_NUMBER> in the port-link folder ($XDG_RUNTIME_DIR/quarlex/ports).
// Autosave is off and the capture must fit the 32 MiB ring (rate x time below 33,554,432).
// Prints the bytes captured and the process's own CPU time (bench/receive-table reads /proc).
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qt/app_wiring.h"
#include "qt/files_controller.h"
#include "qt/main_window.h"
#include "qt/port_controller.h"
#include "qt/times_controller.h"

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int64_t MonotonicNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

struct Options {
  int port = 0;
  double seconds = 0;
  std::string capture, go, events, times;
  double stallAt = -1, stallFor = 0;
  double exportAt = -1, saveAt = -1;
  int rxInterval = -1;
};

bool Parse(int argc, char** argv, Options& o) {
  if (argc < 4) return false;
  o.port = std::atoi(argv[1]);
  o.seconds = std::atof(argv[2]);
  o.capture = argv[3];
  for (int i = 4; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--go") {
      o.go = value;
    } else if (flag == "--events") {
      o.events = value;
    } else if (flag == "--times") {
      o.times = value;
    } else if (flag == "--rx-interval") {
      o.rxInterval = std::atoi(value.c_str());
    } else if (flag == "--export") {
      o.exportAt = std::atof(value.c_str());
    } else if (flag == "--save") {
      o.saveAt = std::atof(value.c_str());
    } else if (flag == "--stall") {
      if (std::sscanf(value.c_str(), "%lf,%lf", &o.stallAt, &o.stallFor) != 2) return false;
    } else {
      return false;
    }
  }
  return (argc - 4) % 2 == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!Parse(argc, argv, opt)) {
    std::fprintf(stderr,
                 "usage: %s PORT_NUMBER SECONDS CAPTURE_OUT [--go FILE] [--stall AT,FOR] [--events FILE] "
                 "[--times FILE] [--rx-interval MS] [--export AT] [--save AT]\n",
                 argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  // As the program's main() sets up its look.
  QFont::insertSubstitutions("Segoe UI Semibold", {"Liberation Sans", "DejaVu Sans"});
  QFont::insertSubstitutions("Segoe UI", {"Liberation Sans", "DejaVu Sans"});
  QFont::insertSubstitutions("Consolas", {"Liberation Mono", "DejaVu Sans Mono"});
  if (QStyle* style = QStyleFactory::create("Fusion")) QApplication::setStyle(style);

  quarlex::Application application;
  quarlex::MainWindow& w = application.window();
  const quarlex::AppParts& parts = application.parts();
  w.show();
  parts.port->ShowError = [](const std::string& t) { std::fprintf(stderr, "error: %s\n", t.c_str()); };
  quarlex::Session& s = w.session();
  quarlex::TComPort& port = parts.port->ComPort;
  if (opt.rxInterval >= 0) port.SetRxEventInterval(opt.rxInterval);

  std::vector<std::pair<uint32_t, int64_t>> events;
  if (!opt.events.empty()) {
    events.reserve(1 << 20);
    auto inner = port.OnRxChar;
    port.OnRxChar = [inner, &events, &s](quarlex::TCustomComPort* sender, int32_t count) {
      inner(sender, count);
      events.emplace_back(s.Store.WriteIndex(), MonotonicNs());
    };
  }

  const QString wanted = QString("Port %1").arg(opt.port);
  for (int i = 0; i < 300 && w.statusBar().BtnCom->text() != wanted; ++i) {
    w.statusBar().BtnCom->clicked();
    QTest::qWait(10);
  }
  if (w.statusBar().BtnCom->text() != wanted) {
    std::fprintf(stderr, "port %d not found\n", opt.port);
    return 1;
  }
  QTest::qWait(200);  // the window is mapped and has drawn its first frame
  parts.port->BtnConnectClick();
  if (!s.PortConnected) return 1;
  if (!opt.go.empty()) std::ofstream(opt.go).put('\n');

  const double cpu0 = CpuSeconds();
  if (opt.stallAt >= 0) {
    QTimer::singleShot(static_cast<int>(opt.stallAt * 1000),
                       [&opt] { std::this_thread::sleep_for(std::chrono::duration<double>(opt.stallFor)); });
  }
  // The window thread's longest stall, from a 1 ms timer on it.
  QElapsedTimer clock;
  clock.start();
  qint64 lastProbe = 0, longestGap = 0;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    longestGap = std::max(longestGap, now - lastProbe);
    lastProbe = now;
  });
  probe.start(1);
  // Work started at a moment, and when it ended (ns on `clock`; -1 before).
  qint64 workStart = -1, workEnd = -1;
  QTimer workDone;
  if (opt.exportAt >= 0) {
    QTimer::singleShot(static_cast<int>(opt.exportAt * 1000), [&] {
      workStart = clock.nsecsElapsed();
      parts.times->Exporter().Ended = [&](bool) { workEnd = clock.nsecsElapsed(); };
      parts.times->ExportTo(opt.capture + ".txt");
    });
  }
  if (opt.saveAt >= 0) {
    s.ExeFolder = opt.capture + ".saves/";
    QTimer::singleShot(static_cast<int>(opt.saveAt * 1000), [&] {
      workStart = clock.nsecsElapsed();
      parts.files->Files().BtnSaveClick();
      QObject::connect(&workDone, &QTimer::timeout, [&] {
        if (workEnd < 0 && !parts.files->Files().TimesPending()) workEnd = clock.nsecsElapsed();
      });
      workDone.start(1);
    });
  }
  QTimer::singleShot(static_cast<int>(opt.seconds * 1000), &app, &QCoreApplication::quit);
  QApplication::exec();
  probe.stop();
  const double cpu = CpuSeconds() - cpu0;

  const uint32_t n = s.Store.CaptureFull() ? quarlex::CaptureSize : s.Store.WriteIndex();
  std::ofstream(opt.capture, std::ios::binary).write(reinterpret_cast<const char*>(s.Store.CaptureBuffer), n);
  if (!opt.events.empty()) {
    std::ofstream log(opt.events);
    for (const auto& [index, ns] : events) log << index << ' ' << ns << '\n';
  }
  if (!opt.times.empty()) {
    // The index keeps wall-clock-anchored times: taken back to the monotonic clock the writer
    // stamps with, through one reading of both at the same moment.
    const int64_t toMonotonic = MonotonicNs() - s.ArrivalTimeNs();
    std::ofstream log(opt.times);
    const quarlex::TimeIndex& t = s.Store.Times;
    for (size_t i = 0; i < t.BatchCount(); ++i) {
      const quarlex::TimedBatch b = t.Batch(i);
      if (b.Dir == quarlex::Direction::Received)
        log << b.Position << ' ' << b.Count << ' ' << b.TimeNs + toMonotonic << '\n';
    }
  }
  // Thread names: Qt's raster engine starts "Thread (pooled)" workers when it fills in parallel.
  std::string threads;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    threads += (threads.empty() ? "" : ",") + name;
  }
  std::printf(
      "captured=%u seconds=%.2f receive_events=%zu timed_batches=%zu cpu=%.2f cpu_share=%.1f%% threads=%s "
      "longest_stall_ms=%.1f work_ms=%.0f message=\"%s\"\n",
      n, opt.seconds, events.size(), s.Store.Times.BatchCount(), cpu, 100.0 * cpu / opt.seconds,
      threads.c_str(), longestGap / 1e6, workStart >= 0 && workEnd >= 0 ? (workEnd - workStart) / 1e6 : -1.0,
      w.frame().Msg->text().toStdString().c_str());
  parts.port->BtnConnectClick();
  return 0;
}
