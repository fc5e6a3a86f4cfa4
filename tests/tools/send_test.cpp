#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/connection.h"
#include "support/fake_tool_ui.h"
#include "tests/app/support/fake_session_ui.h"
#include "tests/app/support/store_fields.h"
#include "tests/serial/support/fake_device.h"
#include "tools/send_composer.h"

namespace quarlex {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Compose(const std::string& text, InputMode mode, LineEnding ending = LineEnding::None) {
  std::array<uint8_t, SendBufferSize> buf{};
  return Bytes(buf.begin(), buf.begin() + ComposeSend(text, mode, ending, buf));
}

struct SendTest : ::testing::Test {
  testing::FakeSessionUi sessionUi;
  bool saveOk = true;
  Session session{sessionUi};
  testing::FakeSendUi ui;
  testing::RecordingPort port;
  SendComposer send{session, ui};
  void SetUp() override {
    session.PortConnected = true;
    send.Port = &port;
    sessionUi.save = [this] { return saveOk; };
  }
  Bytes Captured(uint32_t from, uint32_t count) const {
    return Bytes(session.Store.CaptureBuffer + from, session.Store.CaptureBuffer + from + count);
  }
  void SendText(const std::string& t) {
    ui.text = t;
    send.Send();
  }
};

TEST(SendComposeTest, ModesAndLineEndings) {
  EXPECT_EQ(Compose("12 34", InputMode::Hex), (Bytes{0x12, 0x34}));
  EXPECT_EQ(Compose("1234", InputMode::Hex, LineEnding::NL), (Bytes{0x0A}));
  EXPECT_EQ(Compose("AB", InputMode::Text, LineEnding::CRNL), (Bytes{0x41, 0x42, 0x0D, 0x0A}));
  EXPECT_EQ(Compose("1,2,3", InputMode::Decimal, LineEnding::CR), (Bytes{1, 2, 3, 0x0D}));
  EXPECT_EQ(Compose("", InputMode::Hex), Bytes{});
  EXPECT_EQ(Compose("", InputMode::Text, LineEnding::NL), Bytes{0x0A});
  // A text with separators only, in hex, still gets its ending.
  EXPECT_EQ(Compose(std::string(4096, ' '), InputMode::Hex, LineEnding::CRNL), (Bytes{0x0D, 0x0A}));
}

TEST(SendComposeTest, PayloadLimitsLeaveRoomForTheEnding) {
  std::string hex;
  for (int i = 0; i < 5000; ++i) hex += "7f ";
  Bytes b = Compose(hex, InputMode::Hex, LineEnding::CRNL);
  ASSERT_EQ(b.size(), 4095u + 2);  // hex stops at 4,095 values
  EXPECT_EQ(b[4094], 0x7F);
  EXPECT_EQ(b[4095], 0x0D);
  EXPECT_EQ(b[4096], 0x0A);

  std::string dec;
  for (int i = 0; i < 5000; ++i) dec += "9,";
  EXPECT_EQ(Compose(dec, InputMode::Decimal, LineEnding::NL).size(), 4095u + 1);

  // Text has no separator stop, but never more than 4,096 payload bytes.
  Bytes t = Compose(std::string(9000, 'z'), InputMode::Text, LineEnding::CRNL);
  ASSERT_EQ(t.size(), 4096u + 2);
  EXPECT_EQ(t[4095], 'z');
  EXPECT_EQ(t[4096], 0x0D);
}

TEST_F(SendTest, RecordsWithTheSentBitAndWritesOnce) {
  CaptureStore& s = session.Store;
  s.CaptureAttributes[1] = 0x03;  // a marker already on the second slot stays
  ui.text = "0x12 0xff 7";
  send.SetLineEnding(LineEnding::CR);
  send.Send();
  EXPECT_EQ(s.WriteIndex(), 3u);
  EXPECT_EQ(Captured(0, 3), (Bytes{0x12, 0xFF, 0x0D}));
  EXPECT_EQ(s.CaptureAttributes[0], 0x80);
  EXPECT_EQ(s.CaptureAttributes[1], 0x83);
  EXPECT_EQ(s.CaptureAttributes[2], 0x80);
  EXPECT_EQ(s.CaptureAttributes[3], 0x00);
  EXPECT_EQ(s.RxBytesSinceTick, 0u);
  ASSERT_EQ(port.writes.size(), 1u);
  EXPECT_EQ(port.writes[0], (Bytes{0x12, 0xFF, 0x0D}));
  EXPECT_EQ(ui.text, "0x12 0xff 7");  // the box keeps its text
  EXPECT_EQ(ui.redraws, 1);

  // An empty box with no ending still writes, zero bytes, and records nothing.
  send.SetLineEnding(LineEnding::None);
  SendText("");
  ASSERT_EQ(port.writes.size(), 2u);
  EXPECT_TRUE(port.writes[1].empty());
  EXPECT_EQ(s.WriteIndex(), 3u);
  EXPECT_EQ(send.HistoryCount(), 1);
}

TEST_F(SendTest, TypedTextGoesThroughTheProgramCodePage) {
  send.BtnModeSendClick();  // Text
  ASSERT_EQ(session.SendMode, InputMode::Text);
  // Cyrillic Ya, the euro sign, a character 1251 lacks, then a stray byte and an overlong form:
  // each byte that is not well-formed UTF-8 becomes one '?', none is dropped.
  SendText("Я\xE2\x82\xAC\xE6\xBC\xA2\xFF\xC0\x81");
  ASSERT_EQ(port.writes.size(), 1u);
  EXPECT_EQ(port.writes[0], (Bytes{0xDF, 0x88, '?', '?', '?', '?'}));
}

TEST_F(SendTest, DisconnectedSendDoesNothingButRedraw) {
  session.PortConnected = false;
  SendText("41 42");
  EXPECT_EQ(session.Store.WriteIndex(), 0u);
  EXPECT_EQ(session.Store.CaptureAttributes[0], 0);
  EXPECT_TRUE(port.writes.empty());
  EXPECT_EQ(send.HistoryCount(), 0);
  EXPECT_EQ(ui.redraws, 1);
  // Connected but with no port behind it: the same, nothing recorded that was not written.
  session.PortConnected = true;
  send.Port = nullptr;
  SendText("41 42");
  EXPECT_EQ(session.Store.WriteIndex(), 0u);
}

TEST_F(SendTest, SendThatWrapsTheRingNeverSetsFullAndTellsSearch) {
  CaptureStore& s = session.Store;
  StoreFields(s).WriteIndex = CaptureLast - 1;
  s.ScrollSeenIndex = s.WriteIndex();
  s.View.ShowRow(1000);
  int wraps = 0;
  send.RingWrapped = [&] { ++wraps; };
  SendText("01 02 03 04");
  EXPECT_EQ(s.WriteIndex(), 2u);
  EXPECT_EQ(s.CaptureFull(), 0);
  EXPECT_EQ(s.CaptureBuffer[CaptureLast], 0x02);
  EXPECT_EQ(Captured(0, 2), (Bytes{0x03, 0x04}));
  EXPECT_EQ(wraps, 1);
  SendText("05");
  EXPECT_EQ(wraps, 1);
  EXPECT_EQ(s.View.TopRow(), 0u);  // the scroll bookkeeping saw the wrap and went back to the top
}

TEST_F(SendTest, TickKeepsRedrawingReceivedBytesAfterASendWrappedTheRing) {
  CaptureStore& s = session.Store;
  StoreFields(s).WriteIndex = CaptureLast - 1;
  s.SearchedUpTo = CaptureLast - 1;  // a search pass ran at the end of the ring
  SendText("01 02 03");
  ASSERT_EQ(s.WriteIndex(), 1u);
  struct TwoBytes : ReceiveSource {
    void ReadQueued(uint8_t* buffer, size_t count, ReceivedChunks& chunks) override {
      chunks.clear();
      std::fill_n(buffer, count, 0x55);
    }
    size_t QueuedCount() override { return 2; }
    void ReadFailed(std::exception_ptr) override { ADD_FAILURE() << "nothing fails here"; }
  } rx;
  session.Port = &rx;
  session.ComPortRxChar(2);
  ASSERT_EQ(s.WriteIndex(), 3u);
  sessionUi.exchangeDraws = 0;
  session.TimerMainTimer();
  EXPECT_EQ(sessionUi.exchangeDraws, 1) << "received bytes behind the wrap are drawn on the next tick";
}

// A full ring whose autosave failed holds unsaved bytes from position 0 on: a send is refused
// (the operator is told), nothing is recorded over them and nothing reaches the port.
TEST_F(SendTest, SendIntoARingThatCouldNotBeSavedIsRefused) {
  CaptureStore& s = session.Store;
  sessionUi.autosave = true;
  saveOk = false;
  const uint8_t first[] = {0xA5};
  s.AppendReceived(first, 1);
  StoreFields(s).WriteIndex = CaptureLast;
  s.AppendReceived(first, 1);
  session.TimerMainTimer();
  ASSERT_EQ(session.RolloverBlocked, 1);
  SendText("01 02");
  EXPECT_TRUE(port.writes.empty());
  EXPECT_EQ(s.CaptureBuffer[0], 0xA5);
  EXPECT_EQ(s.CaptureAttributes[0], 0);
  EXPECT_EQ(s.WriteIndex(), CaptureSize);
  ASSERT_FALSE(sessionUi.messages.empty());
  EXPECT_EQ(sessionUi.messages.back().text, "Not sent: capture not saved");
  saveOk = true;  // the send itself retries the save and then goes through
  SendText("01 02");
  ASSERT_EQ(port.writes.size(), 1u);
  EXPECT_EQ(Captured(0, 2), (Bytes{0x01, 0x02}));
}

// With Autosave a send that would end on the ring's last slot saves and clears the ring first:
// left to itself the write position would wrap to 0 without filling the ring, so the ring would
// look empty, a save would find nothing to write and the next bytes would overwrite it unsaved.
TEST_F(SendTest, ASendEndingOnTheLastSlotSavesTheRingFirst) {
  CaptureStore& s = session.Store;
  sessionUi.autosave = true;
  StoreFields(s).WriteIndex = CaptureSize - 3;
  const uint8_t rx[] = {0xA5};
  s.AppendReceived(rx, 1);  // two slots left
  send.SetLineEnding(LineEnding::CRNL);
  SendText("");
  EXPECT_EQ(sessionUi.saves, 1);
  EXPECT_EQ(s.WriteIndex(), 2u);
  EXPECT_EQ(Captured(0, 2), (Bytes{0x0D, 0x0A}));
  EXPECT_EQ(s.CaptureAttributes[1], AttrSent);
  ASSERT_EQ(port.writes.size(), 1u);
}

// Taking the bytes a full ring left queued can find the port failed: the port is closed then,
// so the send stops there. Nothing is recorded as sent that never reached the line, and the
// operator is told once, by the port's failure (no second error from a write on a closed port).
TEST_F(SendTest, ASendWhoseRolloverFindsThePortFailedRecordsNothing) {
  auto line = std::make_shared<device::FakeLine>();
  const device::DeviceOpener previous =
      device::SetDeviceOpener(device::FakeLine::Opener({{"/dev/fake0", line}}));
  {
    TComPort com;
    com.SetPort("/dev/fake0");
    com.SetEvents({});
    com.Open();
    ComPortQueue queue(com);
    ComPortSend out(com);
    session.Port = &queue;
    send.Port = &out;
    CaptureStore& s = session.Store;
    sessionUi.autosave = true;
    StoreFields(s).WriteIndex = CaptureSize - 2;
    line->Receive("xyz");  // waits in the port's queue for the rollover's drain
    line->FailNext(device::FakeCall::kStartRead, device::ErrorFromErrno(EIO, device::ErrorKind::kOther, 0));
    EXPECT_NO_THROW(SendText("01 02 03"));
    EXPECT_EQ(sessionUi.saves, 1);
    EXPECT_FALSE(com.Connected());
    EXPECT_FALSE(session.PortConnected);
    EXPECT_EQ(s.WriteIndex(), 0u);
    EXPECT_EQ(s.CaptureAttributes[0], 0);
    EXPECT_EQ(s.Times.BatchCount(), 0u);
    EXPECT_TRUE(line->Recorded().written.empty());
    session.Port = nullptr;
    send.Port = &port;
  }
  device::SetDeviceOpener(previous);
}

TEST_F(SendTest, FailingWriteKeepsTheRecordAndPropagates) {
  struct FailingPort : SendPort {
    void Write(const uint8_t*, size_t) override { throw std::runtime_error("write failed"); }
  } failing;
  send.Port = &failing;
  session.Store.BytesPerRow = 16;
  ui.text = std::string(40 * 3, ' ');
  for (int i = 0; i < 40; ++i) ui.text.replace(i * 3, 2, "aa");
  EXPECT_THROW(send.Send(), std::runtime_error);
  EXPECT_EQ(session.Store.WriteIndex(), 40u);
  EXPECT_EQ(session.Store.CaptureAttributes[39], 0x80);
  EXPECT_EQ(session.Store.View.ScrollBarExch().Max(), 2u);  // the view knows about the bytes
  EXPECT_EQ(ui.redraws, 1);
}

// The window's adapters to its port: a write that ends early and a read that brings nothing are
// failures without an OS code, so their messages carry no "(Error: ...)".
TEST(ComPortAdapters, ShortTransfersFailWithoutAnOSCode) {
  auto line = std::make_shared<device::FakeLine>();
  const device::DeviceOpener previous =
      device::SetDeviceOpener(device::FakeLine::Opener({{"/dev/fake0", line}}));
  {
    TComPort port;
    port.SetPort("/dev/fake0");
    port.SetEvents({});
    port.Timeouts().SetWriteTotalConstant(1);
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Open();
    ComPortSend out(port);
    const uint8_t bytes[] = {1, 2, 3};
    out.Write(bytes, 3);
    EXPECT_EQ(line->Recorded().written, std::string("\x01\x02\x03"));
    line->StallOutput(true);  // flow control holds the line until the write time-out
    try {
      out.Write(bytes, 3);
      FAIL() << "a short write passed";
    } catch (const EComPort& e) {
      EXPECT_STREQ(e.what(), "WriteFile function failed");
      EXPECT_EQ(e.WinCode(), -1);
    }
    ComPortQueue in(port);
    uint8_t buf[4];
    ReceivedChunks chunks;
    try {
      in.ReadQueued(buf, 4, chunks);  // reported queued, but the queue is empty
      FAIL() << "a read of nothing passed";
    } catch (const EComPort& e) {
      EXPECT_STREQ(e.what(), "ReadFile function failed");
    }
  }
  device::SetDeviceOpener(previous);
}

// The read adapter hands each piece over with the time the device read it from the line, on the
// clock the session times with.
TEST(ComPortAdapters, TheReadCarriesTheTimesTheDeviceReadThePiecesAt) {
  auto line = std::make_shared<device::FakeLine>();
  const device::DeviceOpener previous =
      device::SetDeviceOpener(device::FakeLine::Opener({{"/dev/fake0", line}}));
  {
    TComPort port;
    port.SetPort("/dev/fake0");
    port.SetEvents({});
    port.Open();
    const auto t1 = device::RxClock::now() - std::chrono::milliseconds(30);
    const auto t2 = t1 + std::chrono::milliseconds(5);
    line->Receive(reinterpret_cast<const uint8_t*>("abc"), 3, t1);
    line->Receive(reinterpret_cast<const uint8_t*>("de"), 2, t2);
    const auto ns = [](device::RxClock::time_point t) {
      return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    };
    ComPortQueue in(port);
    uint8_t buf[5];
    ReceivedChunks chunks;
    in.ReadQueued(buf, 5, chunks);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "abcde");
    EXPECT_EQ(chunks, (ReceivedChunks{{0, ns(t1)}, {3, ns(t2)}}));
    const int64_t now = SystemClock().MonotonicNs();
    EXPECT_GT(now - chunks[0].MonotonicNs, 29'000'000) << "the same clock as the session's";
    EXPECT_LT(now - chunks[0].MonotonicNs, 10'000'000'000);
  }
  device::SetDeviceOpener(previous);
}

TEST_F(SendTest, ModeCycleAndEndingLabels) {
  EXPECT_EQ(session.SendMode, InputMode::Hex);
  send.BtnModeSendClick();
  EXPECT_EQ(ui.modeCaption, "Text");
  send.BtnModeSendClick();
  EXPECT_EQ(ui.modeCaption, "Decimal");
  send.BtnModeSendClick();
  EXPECT_EQ(ui.modeCaption, "Hex");
  EXPECT_EQ(session.SendMode, InputMode::Hex);
  send.SetLineEnding(LineEnding::CRNL);
  EXPECT_EQ(ui.endingText, " +CR NL  ");
  send.SetLineEnding(LineEnding::NL);
  EXPECT_EQ(ui.endingText, " +NL  ");
  send.SetLineEnding(LineEnding::CR);
  EXPECT_EQ(ui.endingText, " +CR  ");
  send.SetLineEnding(LineEnding::None);
  EXPECT_EQ(ui.endingText, "  ");
}

TEST_F(SendTest, HistoryKeepsNineDistinctTextsInCyclingSlots) {
  SendText("a1");
  SendText("a1");
  SendText("");
  EXPECT_EQ(send.HistoryCount(), 1);
  SendText("A1");  // case matters
  EXPECT_EQ(send.HistoryCount(), 2);
  for (int i = 3; i <= 10; ++i) SendText("t" + std::to_string(i));
  EXPECT_EQ(send.HistoryCount(), 9);
  EXPECT_EQ(send.HistoryLast(), 1);
  EXPECT_EQ(send.HistorySlot(1), "t10");
  EXPECT_EQ(send.HistorySlot(2), "A1");
  // A text still in any slot is not added again.
  SendText("t5");
  EXPECT_EQ(send.HistoryLast(), 1);
  SendText("a1");  // overwritten earlier, so new again
  EXPECT_EQ(send.HistoryLast(), 2);
  EXPECT_EQ(send.HistorySlot(2), "a1");
}

TEST_F(SendTest, RecallWalksSlotNumbers) {
  for (const char* t : {"one", "two", "three"}) SendText(t);
  std::vector<std::string> seen;
  for (int i = 0; i < 4; ++i) {
    send.HistoryUp();
    seen.push_back(ui.text);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"three", "two", "one", "three"}));
  send.HistoryDown();  // from slot 3 back to 1
  EXPECT_EQ(ui.text, "one");
  EXPECT_EQ(send.HistoryCursor(), 1);
  send.HistoryDown();
  EXPECT_EQ(ui.text, "two");
  EXPECT_EQ(ui.caretMoves, 6);
  // A send does not reset the cursor.
  SendText("four");
  send.HistoryUp();
  EXPECT_EQ(ui.text, "one");
}

TEST_F(SendTest, RecallWithEmptyHistory) {
  ui.text = "typed";
  send.HistoryUp();  // cursor stays 0: the text stays, the caret moves
  EXPECT_EQ(ui.text, "typed");
  EXPECT_EQ(send.HistoryCursor(), 0);
  EXPECT_EQ(ui.caretMoves, 1);
  send.HistoryDown();  // slot 1, empty
  EXPECT_EQ(send.HistoryCursor(), 1);
  EXPECT_EQ(ui.text, "");
  // Past slot 9 the cursor shows nothing and wraps through 8 bits back to slot 1.
  for (int i = 0; i < 8; ++i) send.HistoryDown();
  EXPECT_EQ(send.HistoryCursor(), 9);
  ui.text = "kept";
  send.HistoryDown();
  EXPECT_EQ(send.HistoryCursor(), 10);
  EXPECT_EQ(ui.text, "kept");
  for (int i = 0; i < 245; ++i) send.HistoryDown();
  EXPECT_EQ(send.HistoryCursor(), 255);
  send.HistoryDown();
  EXPECT_EQ(send.HistoryCursor(), 0);
  send.HistoryDown();
  EXPECT_EQ(send.HistoryCursor(), 1);
}

// A port that writes to one side of a pseudo-terminal pair.
struct PtyPort : SendPort {
  int fd;
  void Write(const uint8_t* data, size_t count) override {
    size_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(fd, data + done, count - done);
      if (n < 0) throw std::runtime_error("pty write failed");
      done += static_cast<size_t>(n);
    }
  }
};

TEST_F(SendTest, PeerOfAPtyPairReceivesExactlyTheRecordedBytes) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios raw{};
  ASSERT_EQ(tcgetattr(slave, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
  PtyPort pty;
  pty.fd = slave;
  send.Port = &pty;

  StoreFields(session.Store).WriteIndex = 100;
  send.SetLineEnding(LineEnding::CRNL);
  SendText("00 0d 0A ff 7F 03 11 13");
  const Bytes expected{0x00, 0x0D, 0x0A, 0xFF, 0x7F, 0x03, 0x11, 0x13, 0x0D, 0x0A};

  Bytes got;
  while (got.size() < expected.size()) {
    pollfd p{master, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 5000), 0) << "peer received only " << got.size() << " bytes";
    uint8_t buf[64];
    const ssize_t n = ::read(master, buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.insert(got.end(), buf, buf + n);
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(Captured(100, 10), expected);
  for (uint32_t i = 100; i < 110; ++i) EXPECT_EQ(session.Store.CaptureAttributes[i], 0x80) << i;
  EXPECT_EQ(session.Store.WriteIndex(), 110u);
  ::close(master);
  ::close(slave);
}

}  // namespace
}  // namespace quarlex
