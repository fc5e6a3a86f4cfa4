// End to end: a peer on a pseudo-terminal sends over 100 MiB of random bytes to a real port
// component whose receive events feed the session, with Autosave on. The files written (one per
// rollover, one at close) concatenate to exactly the stream the peer sent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/connection.h"
#include "serial/comport.h"
#include "serial/device_pty.h"
#include "serial/support/comport_owner.h"
#include "tests/app/support/fake_session_ui.h"
#include "tools/capture_files.h"
#include "tools/files_support.h"

namespace quarlex {
namespace {

using testing_support::ReadWhole;
using testing_support::StreamChecksum;
using testing_support::TempDir;

// The program's own adapter from the port to the session, counting what it hands over.
struct PortInput : ReceiveSource {
  explicit PortInput(TCustomComPort& port) : queue(port) {}
  ComPortQueue queue;
  std::atomic<uint64_t> taken{0};
  void ReadQueued(uint8_t* buffer, size_t count, ReceivedChunks& chunks) override {
    queue.ReadQueued(buffer, count, chunks);
    taken += count;
  }
  size_t QueuedCount() override { return queue.QueuedCount(); }
  void ReadFailed(std::exception_ptr) override { ADD_FAILURE() << "the port failed"; }
};

struct Ui : FilesUi {
  std::string port;
  std::string PortName() override { return port; }
  SaveMode CheckedSaveMode() override { return SaveMode::Interval; }
  std::string ChooseFileToOpen() override { return {}; }
  void CloseFindPanel() override {}
  void Redraw() override {}
};

TEST(FilesPtyStreamTest, AutosaveKeepsEveryByteAPeerSendsThroughThePort) {
  constexpr uint64_t Total = (uint64_t{100} << 20) + 12345;  // over three rollovers
  TempDir dir;
  test::TestOwner owner;  // the main thread's event loop
  device::testing::PtyPair pty;
  TComPort port(&owner);
  port.SetPort(pty.path());
  // Flow control keeps a line lossless while the ring waits for its rollover: the port stops
  // taking bytes when its input queue is full, and the peer waits. Without it a line faster
  // than the tick overruns the 64 KiB input queue, as a real UART would.
  port.FlowControl().SetFlowControl(fcHardware);

  testing::FakeSessionUi window;
  window.autosave = true;
  Ui ui;
  ui.port = port.Port();
  Session session(window);
  CaptureFiles files(session, ui);
  window.save = [&files] { return files.BtnSaveClick(); };
  session.ExeFolder = dir.Folder();
  PortInput input(port);
  port.OnRxChar = [&](TCustomComPort*, int32_t count) { session.ComPortRxChar(static_cast<size_t>(count)); };
  port.Open();
  session.Port = &input;
  session.PortConnected = true;

  StreamChecksum sent;
  std::atomic<bool> writerDone{false};
  std::string writerError;
  std::thread peer([&] {
    try {
      std::mt19937_64 rng(99);
      std::vector<uint8_t> chunk;
      for (uint64_t left = Total; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, 1 + rng() % 100000));
        chunk.resize((n + 7) & ~size_t{7});
        for (size_t i = 0; i < chunk.size(); i += 8) {
          const uint64_t r = rng();
          std::memcpy(chunk.data() + i, &r, 8);
        }
        sent.Add(chunk.data(), n);
        pty.Send(chunk.data(), n);
        left -= n;
      }
    } catch (const std::exception& e) {
      writerError = e.what();
    }
    writerDone = true;
    owner.Kick();
  });

  // The event loop: receive events as the port posts them, and the tick whenever the ring is
  // full (the 100 ms timer would run it; only its rollover step matters here).
  const auto start = std::chrono::steady_clock::now();
  // Bytes lost on the way would leave it waiting for ever: once the peer is done and nothing has
  // moved for 250 idle turns of the loop (each at least 20 ms), it stops and the count tells.
  uint64_t lastTaken = 0;
  int quietTurns = 0;
  owner.RunUntil(
      [&] {
        if (session.Store.CaptureFull()) session.TimerMainTimer();
        if (input.taken == Total || !writerError.empty()) return true;
        const bool quiet =
            writerDone && input.taken == lastTaken && port.InputCount() == 0 && owner.Pending() == 0;
        quietTurns = quiet ? quietTurns + 1 : 0;
        lastTaken = input.taken;
        return quietTurns > 250;
      },
      std::chrono::seconds(240));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  peer.join();
  ASSERT_TRUE(writerError.empty()) << writerError;
  ASSERT_EQ(input.taken, Total) << "bytes lost between the peer and the capture";
  ASSERT_TRUE(window.SaveClick());  // the autosave at close
  port.Close();

  EXPECT_EQ(window.Failures(), 0);
  EXPECT_TRUE(owner.errors.empty());
  EXPECT_GE(window.SavedNames().size(), 4u);
  StreamChecksum saved;
  for (const std::string& name : window.SavedNames()) {
    const auto bytes = ReadWhole(dir.Path(name));
    saved.Add(bytes.data(), bytes.size());
  }
  EXPECT_EQ(saved.length, Total);
  EXPECT_EQ(saved.h, sent.h);
  RecordProperty("bytes_per_second", std::to_string(static_cast<uint64_t>(Total / seconds)));
  std::printf("autosave stream over a pty: %.1f MiB in %.2f s, %.1f MiB/s, %zu files\n",
              static_cast<double>(Total) / (1 << 20), seconds,
              static_cast<double>(Total) / (1 << 20) / seconds, window.SavedNames().size());
}

}  // namespace
}  // namespace quarlex
