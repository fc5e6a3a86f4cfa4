// The window's slow file work off its thread: while a full ring is exported as text, and while a
// full table's times file is formatted beside a save, the window's thread runs what is posted to
// it, and "Export text…" stops the export it started.
#include <gtest/gtest.h>

#include <QAction>
#include <QMetaObject>
#include <filesystem>
#include <string>
#include <vector>

#include "qt/app_wiring.h"
#include "qt/files_controller.h"
#include "qt/main_window.h"
#include "qt/support/wait.h"
#include "qt/support/wired_window.h"
#include "qt/times_controller.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;

struct BackgroundWorkTest : ::testing::Test {
  testing_support::WiredWindow scratch;
  AppParts parts = scratch.Start();
  MainWindow* w = scratch.Window();
  Session& session = w->session();
  const fs::path folder = scratch.Root() / "captures";

  void SetUp() override {
    fs::create_directories(folder);
    session.ExeFolder = folder.string() + "/";
  }
  // A full ring in batches of `each` bytes, each with its time.
  void FillRing(uint32_t each) {
    std::vector<uint8_t> b(each);
    for (uint32_t at = 0; at < CaptureSize; at += each) {
      for (uint32_t i = 0; i < each; ++i) b[i] = static_cast<uint8_t>(at / each + i);
      session.Store.AppendReceived(b.data(), each);
      session.Store.Times.AddBatch(at, each, at / each % 2 ? Direction::Sent : Direction::Received,
                                   1'718'013'600'000'000'000 + int64_t{at} * 1000);
    }
    ASSERT_EQ(session.Store.CaptureFull(), 1);
  }
  // Posts a task to the window's thread and waits (generously) until it has run; whether
  // `busy` still held when it ran.
  template <class Busy>
  bool AnswersWhile(Busy busy) {
    bool ran = false, wasBusy = false;
    QMetaObject::invokeMethod(
        w,
        [&] {
          wasBusy = busy();
          ran = true;
        },
        Qt::QueuedConnection);
    EXPECT_TRUE(testing_support::WaitUntil([&] { return ran; }, 30000));
    return ran && wasBusy;
  }
};

TEST_F(BackgroundWorkTest, TheWindowAnswersDuringAFullRingsExportAndTheMenuItemCancelsIt) {
  FillRing(4096);
  TextExporter& exporter = parts.times->Exporter();
  const fs::path out = folder / "ring.txt";
  ASSERT_TRUE(parts.times->ExportTo(out.string()));
  EXPECT_TRUE(AnswersWhile([&] { return exporter.Running(); })) << "the export held the window up";
  EXPECT_EQ(parts.times->ExportItem()->text(), "Cancel export");
  parts.times->ExportItem()->trigger();
  ASSERT_TRUE(testing_support::WaitUntil([&] { return !exporter.Running(); }, 30000));
  EXPECT_EQ(w->frame().Msg->text(), "Export cancelled, partial file removed");
  EXPECT_EQ(parts.times->ExportItem()->text(), "Export text\u2026");
  EXPECT_TRUE(fs::is_empty(folder)) << "no file, not even a temporary one";
}

TEST_F(BackgroundWorkTest, TheWindowAnswersWhileAFullTablesTimesAreFormatted) {
  FillRing(32);  // 2^20 batches: the table full
  CaptureFiles& files = parts.files->Files();
  ASSERT_TRUE(files.BtnSaveClick());
  EXPECT_TRUE(AnswersWhile([&] { return files.TimesPending(); })) << "the times file held the window up";
  files.FinishTimes();
  size_t idx = 0;
  for (const auto& e : fs::directory_iterator(folder)) idx += e.path().extension() == ".idx";
  EXPECT_EQ(idx, 1u);
}

}  // namespace
}  // namespace quarlex
