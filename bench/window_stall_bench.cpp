// How long the window's thread is held up by the slow file work of a full capture: "Export
// text…" of a full ring and the times file (.idx) of a save of a full table, each once as the
// program runs it and once with --on-window-thread, as it ran before the work moved to workers
// (ExportText and TimesFileText called on the window's thread). A 1 ms timer on the window's
// thread measures its longest stall (the largest gap between two firings) while each runs; the
// window's own 100 ms tick counts how many ticks ran in the same time. The export runs twice as
// shipped: with the room of its copy made ahead on the worker (as the menu item does while the
// file dialog is open), and started alone (the copy then makes its own pages present).
//
//   bench_window_stall [--on-window-thread] [--folder DIR]
//
// The capture: a ring one byte short of full (a full one rolls over at the next tick) in 2^20 - 1
// timed batches of 32 bytes, alternating direction, with a line event every 16 batches (the
// times file's largest table, as bench_time_index builds it).
// Files go to DIR (default /tmp) and are removed at the end. Run under any Qt platform
// (QT_QPA_PLATFORM=offscreen needs no display).
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "qt/app_wiring.h"
#include "qt/files_controller.h"
#include "qt/main_window.h"
#include "qt/times_controller.h"
#include "tests/app/support/store_fields.h"
#include "tools/capture_times.h"
#include "tools/times_file.h"

namespace {

using namespace quarlex;

void FillFullTable(CaptureStore& store) {
  std::memset(store.CaptureAttributes, 0, CaptureSize);
  TimeIndex& t = store.Times;
  const uint32_t batches = TimeIndex::DefaultBatchCapacity - 1, each = CaptureSize / (batches + 1);
  int64_t time = 1'718'013'600'000'000'000;
  for (uint32_t i = 0; i < CaptureSize; ++i) store.CaptureBuffer[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
  for (uint32_t i = 0; i < batches; ++i) {
    const uint32_t at = i * each;
    const uint32_t count = i + 1 == batches ? CaptureSize - 1 - at : each;
    if (i % 16 == 0 && t.EventCount() + 1 < TimeIndex::DefaultEventCapacity)
      t.AddEvents(at, LineEvent::Framing | LineEvent::Cts, time);
    if (i & 1)
      for (uint32_t p = at; p < at + count; ++p) store.CaptureAttributes[p] |= AttrSent;
    t.AddBatch(at, count, i & 1 ? Direction::Sent : Direction::Received, time);
    time += 123'456;
  }
  // One byte short of full: a full ring would roll over at the next tick.
  StoreFields(store).WriteIndex = CaptureSize - 1;
  StoreFields(store).CaptureFull = 0;
  store.MarkSaved(0);
}

// The window thread's longest stall and the ticks that ran while `work` ran until `done()`.
struct Stall {
  double wallMs = 0, longestGapMs = 0;
  int ticks = 0;
};

template <class Work, class Done>
Stall Measure(QTimer& tick, Work work, Done done) {
  Stall s;
  QElapsedTimer clock;
  qint64 last = 0;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setInterval(1);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    s.longestGapMs = std::max(s.longestGapMs, (now - last) / 1e6);
    last = now;
  });
  const auto counter = QObject::connect(&tick, &QTimer::timeout, [&] { ++s.ticks; });
  // Settle first: the probe runs a while before the work starts.
  clock.start();
  probe.start();
  QEventLoop settle;
  QTimer::singleShot(300, &settle, &QEventLoop::quit);
  settle.exec();
  s.longestGapMs = 0;
  s.ticks = 0;
  const qint64 start = clock.nsecsElapsed();
  last = start;
  QTimer::singleShot(0, [&] { work(); });
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (clock.nsecsElapsed() > start + 2'000'000 && done()) loop.quit();
  });
  poll.start(1);
  loop.exec();
  s.wallMs = (clock.nsecsElapsed() - start) / 1e6;
  QObject::disconnect(counter);
  return s;
}

void Print(const char* what, const Stall& s, const MainWindow& w) {
  std::printf("  message: %s\n", w.frame().Msg->text().toStdString().c_str());
  std::printf("%-46s %9.0f ms  longest window-thread stall %8.1f ms  ticks %d of %d\n", what, s.wallMs,
              s.longestGapMs, s.ticks, static_cast<int>(s.wallMs / 100));
}

}  // namespace

int main(int argc, char** argv) {
  bool onWindowThread = false;
  std::string folder = "/tmp";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--on-window-thread") == 0) {
      onWindowThread = true;
    } else if (std::strcmp(argv[i], "--folder") == 0 && i + 1 < argc) {
      folder = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--on-window-thread] [--folder DIR]\n", argv[0]);
      return 2;
    }
  }
  if (folder.back() != '/') folder += '/';
  folder += "quarlex-stall-" + std::to_string(::getpid()) + "/";
  std::filesystem::create_directories(folder);

  QApplication app(argc, argv);
  Application application;
  MainWindow& w = application.window();
  const AppParts& parts = application.parts();
  w.show();
  Session& session = w.session();
  session.ExeFolder = folder;
  QTimer& tick = *w.frame().TimerMain;
  FillFullTable(session.Store);
  std::printf("bench_window_stall: %s, full ring, %zu timed batches, %zu events\n",
              onWindowThread ? "work on the window's thread (as before)" : "work on workers (as shipped)",
              session.Store.Times.BatchCount(), session.Store.Times.EventCount());

  SavePlan all;
  all.pieces[0] = {0, session.Store.WriteIndex()};
  all.count = 1;
  const std::string exportPath = folder + "export.txt";
  if (onWindowThread) {
    bool finished = false;
    const Stall e = Measure(
        tick,
        [&] {
          const std::string text = ExportText(session.Store, all, GridBase::Hex, "COM1");
          WriteFileReplacing(folder, "export.txt", text);
          finished = true;
        },
        [&] { return finished; });
    Print("Export text of the full ring (HEX)", e, w);
  } else {
    // As the menu item runs it: the copy's room is made while the file dialog is open (here: a
    // wait until it is ready, outside the measurement).
    TextExporter& exporter = parts.times->Exporter();
    exporter.Prepare();
    while (!exporter.Prepared()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    Stall e = Measure(
        tick, [&] { parts.times->ExportTo(exportPath); }, [&] { return !exporter.Running(); });
    Print("Export text, full ring (HEX), room made ahead", e, w);
    // And ExportTo alone: the copy makes its pages present itself.
    e = Measure(
        tick, [&] { parts.times->ExportTo(exportPath); }, [&] { return !exporter.Running(); });
    Print("Export text, full ring (HEX), no room ahead", e, w);
  }
  std::error_code none;
  std::printf("export file: %.0f MB\n",
              static_cast<double>(std::filesystem::file_size(exportPath, none)) / 1e6);

  // The save: the .data file (32 MiB, flushed to disk) stays on the window's thread; the times
  // file is what moved.
  CaptureFiles& files = parts.files->Files();
  if (onWindowThread) files.WriteTimesOn(nullptr);
  bool saved = false;
  const Stall s = Measure(
      tick, [&] { saved = files.BtnSaveClick(); }, [&] { return saved && !files.TimesPending(); });
  Print("Save of the full ring with its times file", s, w);
  // The .data write alone, for comparison: the same save without a times table to format.
  session.Store.Times.Clear();
  session.Store.MarkSaved(0);  // the same bytes again
  saved = false;
  const Stall d = Measure(
      tick, [&] { saved = files.BtnSaveClick(); }, [&] { return saved && !files.TimesPending(); });
  Print("Save of the full ring, empty time index", d, w);
  std::filesystem::remove_all(folder);
  return 0;
}
