#pragma once
// What the whole-program benchmarks share: the process's CPU time, running the window's event
// loop for a while or until something holds, and replacing a port link in one step.
#include <sys/resource.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <filesystem>
#include <string>

namespace quarlex::bench {

// User and system CPU of the whole process (every thread), in seconds.
inline double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop, idle but for what the program itself does, for `ms`.
inline void Idle(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// The process's CPU share while the event loop idles for `ms`, in percent.
inline double CpuShareOver(int ms) {
  const double cpu0 = CpuSeconds();
  QElapsedTimer wall;
  wall.start();
  Idle(ms);
  return 100.0 * (CpuSeconds() - cpu0) / (wall.elapsed() / 1000.0);
}

// Runs the event loop until pred() holds, looking every `step_ms`; false after timeout_ms.
template <class Pred>
bool RunUntil(Pred pred, int timeout_ms, int step_ms = 5) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.elapsed() > timeout_ms) return pred();
    Idle(step_ms);
  }
  return true;
}

// Points the port link COM<number> in `folder` at `target`, replacing it in one step.
inline void Relink(const std::filesystem::path& folder, int number, const std::string& target) {
  const std::filesystem::path tmp = folder / ".relink";
  std::filesystem::remove(tmp);
  std::filesystem::create_symlink(target, tmp);
  std::filesystem::rename(tmp, folder / ("COM" + std::to_string(number)));
}

}  // namespace quarlex::bench
