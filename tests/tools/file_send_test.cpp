// Sending a file in pieces: what the port gets and what the capture records are the file's bytes
// exactly, for sizes around a piece and a page; a cancel between pieces leaves the capture
// holding exactly what was written; files that cannot go are refused with a message.
#include "tools/file_send.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/fake_tool_ui.h"
#include "tests/app/support/fake_session_ui.h"
#include "tests/app/support/store_fields.h"
#include "tools/files_support.h"

namespace quarlex {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A port whose line takes each piece at once, or holds `held` bytes back while it is set.
struct PacedPort : testing::RecordingPort {
  size_t held = 0;
  bool slow = false;  // the line holds what it is given until the test lets it go
  void Write(const uint8_t* data, size_t count) override {
    RecordingPort::Write(data, count);
    if (slow) held += count;
  }
  size_t Pending() override { return held; }
  uint32_t Rate() override { return 115200; }
  Bytes All() const {
    Bytes all;
    for (const auto& w : writes) all.insert(all.end(), w.begin(), w.end());
    return all;
  }
};

Bytes RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (uint8_t& v : b) v = static_cast<uint8_t>(gen());
  return b;
}

struct FileSendTest : ::testing::Test {
  testing::FakeSessionUi sessionUi;
  Session session{sessionUi};
  PacedPort port;
  int redraws = 0;
  FileSender sender{session, [this] { ++redraws; }};
  void SetUp() override { session.PortConnected = true; }
  Bytes Captured() const {
    return Bytes(session.Store.CaptureBuffer, session.Store.CaptureBuffer + session.Store.WriteIndex());
  }
  bool AllSent() const {
    for (uint32_t i = 0; i < session.Store.WriteIndex(); ++i)
      if (!(session.Store.CaptureAttributes[i] & 0x80)) return false;
    return true;
  }
  std::string LastMessage() const { return sessionUi.messages.empty() ? "" : sessionUi.messages.back().text; }
};

TEST(FileSendPieces, TwentyMillisecondsOfTheLineWithinBounds) {
  EXPECT_EQ(FilePieceSize(115200), 230u);
  EXPECT_EQ(FilePieceSize(4000000), 8000u);
  EXPECT_EQ(FilePieceSize(300), 16u);
  EXPECT_EQ(FilePieceSize(12000000), 16384u);
}

TEST_F(FileSendTest, ThePortAndTheCaptureGetTheFileExactlyInPieces) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{4095}, size_t{4097}, size_t{1000000}}) {
    session.ClearFull();
    port.writes.clear();
    const Bytes file = RandomBytes(size, static_cast<unsigned>(size));
    ASSERT_TRUE(sender.Start(&port, "fw.bin", file, 4096)) << size;
    int steps = 0;
    while (sender.Step()) ++steps;
    EXPECT_EQ(port.All(), file) << size;
    EXPECT_EQ(Captured(), file) << size;
    EXPECT_TRUE(AllSent()) << size;
    for (const auto& w : port.writes) EXPECT_LE(w.size(), 4096u);
    const size_t pieces = (size + 4095) / 4096;
    EXPECT_EQ(steps, pieces == 0 ? 0 : static_cast<int>((pieces + 3) / 4) - 1)
        << "at most four pieces a step";
    // Each piece is a sent batch of its own in the time index, as a typed send is.
    EXPECT_EQ(session.Store.Times.BatchCount(), port.writes.size()) << size;
    const std::string grouped = size == 1000000 ? "1,000,000"
                                : size == 4095  ? "4,095"
                                : size == 4097  ? "4,097"
                                                : std::to_string(size);
    EXPECT_EQ(LastMessage(), "Sent fw.bin (" + grouped + " bytes)");
    EXPECT_FALSE(sender.Active());
  }
}

TEST_F(FileSendTest, TheLinesPaceHoldsPiecesBackAndCancelKeepsExactlyWhatWasWritten) {
  const Bytes file = RandomBytes(100000, 7);
  port.slow = true;
  ASSERT_TRUE(sender.Start(&port, "script.txt", file, 1000));
  EXPECT_EQ(LastMessage(), "Sending script.txt: 0% (0 of 100,000 bytes)");
  ASSERT_TRUE(sender.Step());
  EXPECT_EQ(port.writes.size(), 1u) << "the line holds a piece: the next waits";
  ASSERT_TRUE(sender.Step());
  EXPECT_EQ(port.writes.size(), 1u);
  port.held = 999;  // less than a piece left on the line
  ASSERT_TRUE(sender.Step());
  EXPECT_EQ(port.writes.size(), 2u);
  EXPECT_EQ(LastMessage(), "Sending script.txt: 2% (2,000 of 100,000 bytes)");
  // Bytes arrive meanwhile: they go into the capture between the pieces.
  session.Store.AppendReceived(reinterpret_cast<const uint8_t*>("OK"), 2);
  port.held = 0;
  ASSERT_TRUE(sender.Step());
  sender.Cancel();
  EXPECT_FALSE(sender.Active());
  EXPECT_FALSE(sender.Step());
  EXPECT_EQ(LastMessage(), "Sending script.txt cancelled after 3,000 of 100,000 bytes");
  EXPECT_EQ(port.All(), Bytes(file.begin(), file.begin() + 3000));
  Bytes expected(file.begin(), file.begin() + 2000);
  expected.insert(expected.end(), {'O', 'K'});
  expected.insert(expected.end(), file.begin() + 2000, file.begin() + 3000);
  EXPECT_EQ(Captured(), expected);
}

TEST_F(FileSendTest, NothingGoesWithoutAPortAndAClosedPortEndsTheSend) {
  session.PortConnected = false;
  EXPECT_FALSE(sender.Start(&port, "a.bin", Bytes(10, 1), 4));
  EXPECT_EQ(LastMessage(), "Connect first to send a.bin");
  session.PortConnected = true;
  ASSERT_TRUE(sender.Start(&port, "a.bin", Bytes(100, 1), 4));
  EXPECT_FALSE(sender.Start(&port, "b.bin", Bytes(10, 1), 4)) << "one file at a time";
  ASSERT_TRUE(sender.Step());
  session.PortConnected = false;
  EXPECT_FALSE(sender.Step());
  EXPECT_EQ(LastMessage(), "Sending a.bin stopped: the port closed after 16 bytes");
  EXPECT_EQ(session.Store.WriteIndex(), 16u);
}

// A piece that would overwrite unsaved bytes is saved first with Autosave; a save that fails
// ends the send with nothing more written.
TEST_F(FileSendTest, TheRingsRulesOfTypedSendsHoldForEveryPiece) {
  sessionUi.autosave = true;
  int saves = 0;
  bool saveOk = true;
  sessionUi.save = [&] {
    ++saves;
    return saveOk;
  };
  StoreFields(session.Store).WriteIndex = CaptureSize - 10;  // ten free slots left
  ASSERT_TRUE(sender.Start(&port, "fw.bin", Bytes(40, 0x55), 16));
  EXPECT_FALSE(sender.Step());
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(port.All(), Bytes(40, 0x55)) << "after the save the ring took the file";
  saveOk = false;
  StoreFields(session.Store).WriteIndex = CaptureSize - 10;
  session.Store.MarkSaved(0);
  port.writes.clear();
  ASSERT_TRUE(sender.Start(&port, "fw.bin", Bytes(40, 0x55), 16));
  EXPECT_FALSE(sender.Step());
  EXPECT_TRUE(port.writes.empty());
  EXPECT_FALSE(sender.Active());
}

TEST(FileSendRead, FoldersHugeAndUnreadableFilesAreRefused) {
  testing_support::TempDir tmp;
  const fs::path dir = tmp.Path("in");
  fs::create_directory(dir);
  Bytes bytes;
  std::string error;
  EXPECT_FALSE(ReadFileForSend(dir.string(), bytes, error));
  EXPECT_EQ(error, "in is a folder, not sent");
  { std::ofstream(dir / "big.bin"); }
  fs::resize_file(dir / "big.bin", FileSendLimit + 1);
  EXPECT_FALSE(ReadFileForSend((dir / "big.bin").string(), bytes, error));
  EXPECT_EQ(error, "big.bin is larger than 32 MiB, not sent");
  fs::resize_file(dir / "big.bin", FileSendLimit);
  EXPECT_TRUE(ReadFileForSend((dir / "big.bin").string(), bytes, error)) << error;
  EXPECT_EQ(bytes.size(), FileSendLimit);
  EXPECT_FALSE(ReadFileForSend((dir / "missing.bin").string(), bytes, error));
  EXPECT_EQ(error, "missing.bin cannot be read: No such file or directory");
  std::ofstream(dir / "some.txt", std::ios::binary) << "AT\r\n";
  EXPECT_TRUE(ReadFileForSend((dir / "some.txt").string(), bytes, error));
  EXPECT_EQ(bytes, (Bytes{'A', 'T', '\r', '\n'}));
}

}  // namespace
}  // namespace quarlex
