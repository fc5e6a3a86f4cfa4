// The whole program's receive path, measured from outside: the window (offscreen) connects to a
// port link, takes everything a device sends for a while, and writes the capture to a file so it
// can be compared byte for byte with what the device accepted (paced-writer's -o file).
//
//   bench_window_receive PORT_NUMBER SECONDS CAPTURE_OUT [GO_FILE]
// The port link must be COM<PORT_NUMBER> in the port-link folder ($XDG_RUNTIME_DIR/quarlex/ports).
// GO_FILE, when given, is created once the port is open (paced-writer -w starts the stream then).
// Prints: captured bytes, wall seconds, bytes/s, CPU seconds (user+system) and CPU share.
// Autosave is off and the capture must fit the 32 MiB ring (rate x time below 33,554,432).
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <cstdio>
#include <fstream>

#include "qt/app_wiring.h"
#include "qt/main_window.h"
#include "qt/port_controller.h"

namespace {
double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PORT_NUMBER SECONDS CAPTURE_OUT [GO_FILE]\n", argv[0]);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int number = std::atoi(argv[1]);
  const double seconds = std::atof(argv[2]);
  quarlex::MainWindow w;
  quarlex::AppParts parts = quarlex::WireApplication(w);
  parts.port->ShowError = [](const std::string& t) { std::fprintf(stderr, "error: %s\n", t.c_str()); };
  quarlex::Session& s = w.session();

  const QString wanted = QString("Port %1").arg(number);
  for (int i = 0; i < 300 && w.BtnCom->text() != wanted; ++i) {
    w.BtnCom->clicked();
    QTest::qWait(10);
  }
  if (w.BtnCom->text() != wanted) {
    std::fprintf(stderr, "port %d not found\n", number);
    return 1;
  }
  parts.port->BtnConnectClick();
  if (!s.PortConnected) return 1;
  if (argc > 4) std::ofstream(argv[4]).put('\n');

  QElapsedTimer clock;
  clock.start();
  const double cpu0 = CpuSeconds();
  uint32_t first = 0;
  qint64 firstAt = -1, lastAt = 0;
  uint32_t lastSeen = 0;
  while (clock.elapsed() < seconds * 1000) {
    QTest::qWait(20);
    if (s.Store.WriteIndex != lastSeen) {
      if (firstAt < 0) {
        firstAt = clock.elapsed();
        first = s.Store.WriteIndex;
      }
      lastSeen = s.Store.WriteIndex;
      lastAt = clock.elapsed();
    }
  }
  const double cpu = CpuSeconds() - cpu0;
  const uint32_t n = s.Store.CaptureFull ? quarlex::CaptureSize : s.Store.WriteIndex;
  std::ofstream(argv[3], std::ios::binary).write(reinterpret_cast<const char*>(s.Store.CaptureBuffer), n);
  const double active = firstAt >= 0 && lastAt > firstAt ? (lastAt - firstAt) / 1000.0 : 0;
  std::printf("captured=%u wall=%.2f active=%.2f rate=%.0f cpu=%.2f cpu_share=%.1f%%\n", n, seconds, active,
              active > 0 ? (n - first) / active : 0.0, cpu, 100.0 * cpu / seconds);
  parts.port->BtnConnectClick();
  return 0;
}
