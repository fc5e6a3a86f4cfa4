// Losses and returns in a row while a peer streams, through the whole program (offscreen), with
// Reconnect on as it starts.
//
//   bench_reconnect pty|fake [CYCLES] [RATE_KBPS]
//
// pty:  each appearance of the device is a new pseudo-terminal linked as COM7; the loss is the
//       peer closing its end (the line's hang-up) and the link going.
// fake: the device layer's fake line; the loss is the line vanishing and its link going, the
//       return the line back and the link made again (the hot-plug event a real adapter gives).
// The peer writes a numbered byte stream (RATE_KBPS kB/s, default 250, in 1 ms pieces) from
// the moment the device is back, before the program has reopened it, until the loss. A hang-up
// flushes what the terminal holds in the kernel, so before each loss the peer stops and waits
// (up to 2 s) until the program has read what it wrote; that wait is reported when it ran out.
// Per cycle: the reconnect delay (device back -> the port open again, measured here by looking
// every 2 ms), whether the capture equals everything written so far, in order, and the CPU share
// of the process over one second of waiting for the device (the second second after the loss:
// the first holds the loss's own redraw and its one rescan). One line per cycle, then a summary;
// exit status 0 only when every cycle reconnected and kept every byte.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/window_loop.h"
#include "qt/app_wiring.h"
#include "qt/main_window.h"
#include "qt/port_controller.h"
#include "tests/qt/support/wired_window.h"
#include "tests/serial/support/fake_device.h"

namespace {

namespace fs = std::filesystem;
using quarlex::Session;
using quarlex::bench::CpuShareOver;
using quarlex::bench::Idle;
using quarlex::bench::Relink;
using quarlex::bench::RunUntil;

constexpr int kPort = 7;

// Byte n of the peer's stream: never periodic within a capture's length in a way that would hide
// a lost or repeated piece of whole 1 ms blocks.
uint8_t StreamByte(uint64_t n) {
  return static_cast<uint8_t>((n * 131 + (n >> 8) * 7 + (n >> 16)) & 0xFF);
}

// Writes the stream in 1 ms pieces until told to stop; `written` counts the bytes the line took.
class Peer {
 public:
  using Sink = std::function<bool(const uint8_t*, size_t)>;  // false: not taken (no device)
  Peer(Sink sink, size_t bytesPerMs, std::atomic<uint64_t>& written)
      : sink_(std::move(sink)), piece_(bytesPerMs), written_(written) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Peer() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    std::vector<uint8_t> buf(piece_);
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
      const uint64_t from = written_;
      for (size_t k = 0; k < piece_; ++k) buf[k] = StreamByte(from + k);
      if (sink_(buf.data(), buf.size())) written_ += piece_;
      next += std::chrono::milliseconds(1);
      std::this_thread::sleep_until(next);
    }
  }
  Sink sink_;
  size_t piece_;
  std::atomic<uint64_t>& written_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master);
    unlockpt(master);
    char name[128];
    ptsname_r(master, name, sizeof name);
    slave = name;
    // The peer writes before the program opens the line: a new terminal's cooked mode would echo,
    // translate and act on those bytes (^C flushes them), as no serial line does. Raw from the
    // start; the setting stays with the terminal while its far end is open.
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
    }
    if (fd >= 0) close(fd);
  }
  ~Pty() { Close(); }
  void Close() {
    if (master >= 0) close(master);
    master = -1;
  }
  // Blocking: the line takes what it can hold, the peer waits for the rest (it may not drop).
  bool Write(const uint8_t* p, size_t n) {
    while (n > 0) {
      const ssize_t w = write(master, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
};

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const int cycles = argc > 2 ? std::atoi(argv[2]) : 100;
  const int rateKBps = argc > 3 ? std::atoi(argv[3]) : 250;
  if ((mode != "pty" && mode != "fake") || cycles < 1 || rateKBps < 1) {
    std::fprintf(stderr, "usage: %s pty|fake [CYCLES] [RATE_KBPS]\n", argv[0]);
    return 2;
  }
  const size_t perMs = static_cast<size_t>(rateKBps);  // 1 kB/s per byte a millisecond
  signal(SIGPIPE, SIG_IGN);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  quarlex::testing_support::WiredWindow scratch;
  const fs::path links = scratch.LinkFolder();
  const fs::path link = links / ("COM" + std::to_string(kPort));
  std::shared_ptr<quarlex::device::FakeLine> line;
  if (mode == "fake") {
    line = std::make_shared<quarlex::device::FakeLine>(64u << 20);
    quarlex::device::SetDeviceOpener(quarlex::device::FakeLine::Opener({{link.string(), line}}));
  }

  std::unique_ptr<Pty> pty;
  auto appear = [&] {
    if (mode == "pty") {
      pty = std::make_unique<Pty>();
      Relink(links, kPort, pty->slave);
    } else {
      line->Return();
      Relink(links, kPort, "/dev/null");  // any character device lists the link as a port
    }
  };
  appear();
  quarlex::AppParts parts = scratch.Start();
  quarlex::MainWindow& w = *scratch.Window();
  w.frame().TimerMain->start();
  Session& s = w.session();
  std::vector<std::string> errors;
  parts.port->ShowError = [&](const std::string& t) { errors.push_back(t); };
  quarlex::Connection& connection = parts.port->connection();
  if (!connection.ReconnectOn()) {
    std::printf("Reconnect is not on at start\n");
    return 1;
  }
  const QString wanted = QString("Port %1").arg(kPort);
  RunUntil([&] { return w.statusBar().BtnCom->text() == wanted; }, 5000);
  parts.port->BtnConnectClick();
  if (!s.PortConnected) {
    std::printf("connect failed: %s\n", w.frame().Msg->text().toStdString().c_str());
    return 1;
  }

  std::atomic<uint64_t> written{0};
  // The fake line drops what arrives while no device is open on it: the device is not there.
  auto sink = [&](const uint8_t* p, size_t n) -> bool {
    if (pty) return pty->Write(p, n);
    if (!line->IsOpen()) return false;
    line->Receive(p, n);
    return true;
  };
  auto captured = [&] { return static_cast<uint64_t>(s.Store.WriteIndex()); };
  const uint64_t ringRoom = quarlex::CaptureSize - 1;
  std::vector<double> delays, waitingCpu;
  int reconnected = 0, intact = 0, drainTimeouts = 0, lost = 0;
  uint64_t checkedUpTo = 0;
  bool ok = true;
  auto peer = std::make_unique<Peer>(sink, perMs, written);
  for (int i = 1; i <= cycles; ++i) {
    // Streaming while connected.
    Idle(250);
    // The loss: the peer stops, lets the program read what it wrote, and the device goes.
    peer->Stop();
    const bool drained = RunUntil([&] { return captured() >= written; }, 2000, 2);
    drainTimeouts += !drained;
    if (mode == "pty") {
      pty->Close();
    } else {
      line->Vanish();
    }
    fs::remove(link);
    if (!RunUntil([&] { return connection.Waiting(); }, 5000)) {
      std::printf("cycle %d: the loss was not awaited (%s)\n", i,
                  w.frame().Msg->text().toStdString().c_str());
      ok = false;
      break;
    }
    ++lost;
    Idle(1000);
    const double cpu = CpuShareOver(1000);
    waitingCpu.push_back(cpu);

    // Every byte written so far is in the capture, in order.
    const uint64_t have = captured();
    bool same = have == written;
    for (uint64_t n = checkedUpTo; same && n < have; ++n) same = s.Store.CaptureBuffer[n] == StreamByte(n);
    if (same) checkedUpTo = have;
    intact += same;

    // The return: the peer writes at once, while the program has yet to notice.
    appear();
    QElapsedTimer back;
    back.start();
    peer = std::make_unique<Peer>(sink, perMs, written);
    const bool again = RunUntil([&] { return !connection.Waiting() && s.PortConnected; }, 10000, 2);
    const double delayMs = back.nsecsElapsed() / 1e6;
    if (again) {
      ++reconnected;
      delays.push_back(delayMs);
    }
    std::printf(
        "cycle %3d: captured %.2f MiB, all written bytes in order %s%s; waiting cpu %.2f%%; "
        "reconnect %s after %.0f ms (%s)\n",
        i, have / 1048576.0, same ? "yes" : "NO", drained ? "" : " (drain wait ran out)", cpu,
        again ? "ok" : "FAILED", delayMs, w.frame().Msg->text().toStdString().c_str());
    std::fflush(stdout);
    if (!again || !same) {
      ok = false;
      break;
    }
    if (have + static_cast<uint64_t>(rateKBps) * 1000 * 2 > ringRoom) {
      std::printf("the capture would fill: stopping after %d cycles\n", i);
      break;
    }
  }
  peer->Stop();
  std::printf(
      "summary: mode %s, %d kB/s, losses %d, reconnected %d, capture intact after %d, drain waits that ran "
      "out %d, error dialogs asked %zu; reconnect delay median %.0f ms, 90th %.0f ms, worst %.0f ms; "
      "cpu while waiting median %.2f%%, worst %.2f%%\n",
      mode.c_str(), rateKBps, lost, reconnected, intact, drainTimeouts, errors.size(),
      Percentile(delays, 0.5), Percentile(delays, 0.9),
      delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end()), Percentile(waitingCpu, 0.5),
      waitingCpu.empty() ? 0 : *std::max_element(waitingCpu.begin(), waitingCpu.end()));
  parts.port->Shutdown();
  quarlex::device::SetDeviceOpener(nullptr);
  return ok && reconnected == lost && intact == lost ? 0 : 1;
}
