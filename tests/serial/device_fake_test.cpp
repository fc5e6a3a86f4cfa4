// What a pseudo-terminal cannot do, on the fake line: modem lines, line errors, break, overflow,
// DSR sensitivity, scripted failures, and the opener that serves fakes by path.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "serial/device/device.h"
#include "tests/serial/support/fake_device.h"

namespace quarlex::device {
namespace {

class FakeDeviceTest : public ::testing::Test {
 protected:
  void Open(size_t min_input = 1u << 20) {
    line = std::make_shared<FakeLine>(min_input);
    ASSERT_TRUE(OpenFakeDevice(line, dev).ok());
  }
  uint32_t Events() {  // everything seen so far, without waiting
    uint32_t occurred = 0;
    EXPECT_TRUE(dev->WaitEvents(occurred, nullptr, 0).ok());
    return occurred;
  }
  CommStatus Status() {
    CommStatus st;
    EXPECT_TRUE(dev->GetCommStatus(st).ok());
    return st;
  }
  std::string Read(uint32_t n) {
    std::string buf(n, '\0');
    Transfer t;
    uint32_t got = 0;
    EXPECT_TRUE(dev->StartRead(reinterpret_cast<uint8_t*>(buf.data()), n, t, got).ok());
    buf.resize(got);
    return buf;
  }
  std::shared_ptr<FakeLine> line;
  std::unique_ptr<Device> dev;
};

TEST_F(FakeDeviceTest, ModemLineChangesRaiseTheirEventsAndShowInTheStatus) {
  Open();
  ASSERT_TRUE(dev->SetEventMask(kAllEvents).ok());
  line->SetModemLines(MS_CTS_ON);
  EXPECT_EQ(Events(), EV_CTS);
  line->SetModemLines(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  EXPECT_EQ(Events(), EV_DSR | EV_RLSD);
  line->SetModemLines(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);  // no change, no event
  EXPECT_EQ(Events(), 0u);
  line->SetModemLines(MS_RING_ON);
  EXPECT_EQ(Events(), EV_CTS | EV_DSR | EV_RLSD | EV_RING);
  uint32_t ms = 0;
  ASSERT_TRUE(dev->GetModemStatus(ms).ok());
  EXPECT_EQ(ms, MS_RING_ON);
  // Events outside the mask are not kept for later.
  ASSERT_TRUE(dev->SetEventMask(EV_RXCHAR).ok());
  line->SetModemLines(0);
  ASSERT_TRUE(dev->SetEventMask(kAllEvents).ok());
  EXPECT_EQ(Events(), 0u);
}

TEST_F(FakeDeviceTest, LineErrorsAndBreakAreReportedOnceByTheStatusQuery) {
  Open();
  ASSERT_TRUE(dev->SetEventMask(EV_ERR | EV_BREAK).ok());
  line->LineError(CE_FRAME | CE_OVERRUN);
  EXPECT_EQ(Events(), EV_ERR);
  line->Break();
  EXPECT_EQ(Events(), EV_BREAK);
  EXPECT_EQ(Status().errors, CE_FRAME | CE_OVERRUN | CE_BREAK);
  EXPECT_EQ(Status().errors, 0u);  // the query clears them
}

TEST_F(FakeDeviceTest, OverflowKeepsTheOldestBytesAndRaisesRxOver) {
  Open(4096);
  ASSERT_TRUE(dev->SetQueueSizes(100, 100).ok());  // the minimum still applies
  ASSERT_TRUE(dev->SetEventMask(EV_RXCHAR | EV_RX80FULL).ok());
  std::string first(3000, 'a');
  line->Receive(first);
  EXPECT_EQ(Events(), EV_RXCHAR);
  line->Receive(std::string(600, 'b'));  // crosses 80% of 4096
  EXPECT_EQ(Events(), EV_RXCHAR | EV_RX80FULL);
  line->Receive(std::string(1000, 'c'));  // 496 fit, 504 are dropped
  EXPECT_EQ(Events(), EV_RXCHAR);         // 80% is announced once per crossing
  CommStatus st = Status();
  EXPECT_EQ(st.in_queue, 4096u);
  EXPECT_EQ(st.errors, CE_RXOVER);
  std::string got = Read(5000);
  EXPECT_EQ(got, first + std::string(600, 'b') + std::string(496, 'c'));
  // After draining, a new crossing is announced again.
  line->Receive(std::string(3300, 'd'));
  EXPECT_EQ(Events(), EV_RXCHAR | EV_RX80FULL);
}

TEST_F(FakeDeviceTest, DsrSensitivityDropsBytesWhileDsrIsLow) {
  Open();
  Dcb d;
  d.Flags |= kDcbDsrSensitivity;
  ASSERT_TRUE(dev->SetState(d).ok());
  line->Receive("lost");
  line->SetModemLines(MS_DSR_ON);
  line->Receive("kept");
  EXPECT_EQ(Read(10), "kept");
}

TEST_F(FakeDeviceTest, AScriptedFailureComesBackOnceWithItsOsCode) {
  Open();
  line->FailNext(FakeCall::kSetState, ErrorFromErrno(EIO, ErrorKind::kOther, kWinGenFailure));
  Error e = dev->SetState(Dcb{});
  EXPECT_EQ(e.os_code, EIO);
  EXPECT_EQ(e.win_code, kWinGenFailure);
  EXPECT_TRUE(dev->SetState(Dcb{}).ok());
  EXPECT_EQ(line->Recorded().states.size(), 1u);  // the refused one is not recorded

  line->FailNext(FakeCall::kGetCommStatus, ErrorOf(ErrorKind::kOther));
  CommStatus st;
  EXPECT_FALSE(dev->GetCommStatus(st).ok());
  EXPECT_TRUE(dev->GetCommStatus(st).ok());
}

TEST_F(FakeDeviceTest, RecordsSettingsEscapesAndEveryByteSent) {
  Open();
  Dcb d;
  d.BaudRate = 250000;
  ASSERT_TRUE(dev->SetState(d).ok());
  CommTimeouts t;
  t.WriteTotalTimeoutConstant = 7;
  ASSERT_TRUE(dev->SetTimeouts(t).ok());
  ASSERT_TRUE(dev->SetQueueSizes(65536, 2048).ok());
  ASSERT_TRUE(dev->Escape(SETDTR).ok());
  ASSERT_TRUE(dev->Escape(SETBREAK).ok());
  EXPECT_EQ(dev->Escape(7).kind, ErrorKind::kInvalidParameter);
  const uint8_t data[] = {0x00, 0xFF, 0x41};
  Transfer tr;
  uint32_t now = 0;
  ASSERT_TRUE(dev->StartWrite(data, 3, tr, now).ok());
  EXPECT_EQ(now, 3u);
  ASSERT_TRUE(dev->TransmitChar(0x7E).ok());
  FakeLine::Record r = line->Recorded();
  ASSERT_EQ(r.states.size(), 1u);
  EXPECT_EQ(r.states[0].BaudRate, 250000u);
  ASSERT_EQ(r.timeouts.size(), 1u);
  EXPECT_EQ(r.timeouts[0].WriteTotalTimeoutConstant, 7u);
  EXPECT_EQ(r.queue_sizes.back(), std::make_pair(65536u, 2048u));
  EXPECT_EQ(r.escapes, (std::vector<uint32_t>{SETDTR, SETBREAK}));
  EXPECT_EQ(r.written, std::string("\x00\xff\x41\x7e", 4));
}

// A driver rounds a rate to what its clock divides to, or refuses it. Within 2% the line still
// works and the device runs at the rounded rate; further off, or refused, SetState fails naming
// the rate the device would use, and the old settings stay.
TEST_F(FakeDeviceTest, RatesTheDriverRoundsWithinTwoPercentAreKeptOthersRefusedWithTheRateItWouldUse) {
  Open();
  line->SetRateRule([](uint32_t asked) -> uint32_t {
    if (asked == 777) return 0;                      // refused outright
    return 48000000 / 16 / (48000000 / 16 / asked);  // a 48 MHz UART's divisor, rounded down
  });
  Dcb start;
  start.BaudRate = 115200;
  ASSERT_TRUE(dev->SetState(start).ok());
  Dcb first;
  ASSERT_TRUE(dev->GetState(first).ok());
  EXPECT_EQ(first.BaudRate, 115384u) << "divisor 26: the device runs at the rate it rounded to";
  struct Case {
    uint32_t asked;
    uint32_t device;  // the rate the device runs at, or would use
    bool kept;
  } cases[] = {
      {1234567, 1500000, false},  // divisor 2: 21% off
      {1000000, 1000000, true},   // divisor 3, exact
      {2000000, 3000000, false},  // divisor 1: 50% off
      {921600, 1000000, false},   // divisor 3: 8.5% off
      {250000, 250000, true},     // exact
      {230000, 230769, true},     // divisor 13: 0.33% off
      {777, 230769, false},       // refused: the rate in force stays
  };
  uint32_t inForce = first.BaudRate;
  for (const Case& c : cases) {
    Dcb want = start;
    want.BaudRate = c.asked;
    const Error e = dev->SetState(want);
    Dcb now;
    ASSERT_TRUE(dev->GetState(now).ok());
    if (c.kept) {
      EXPECT_TRUE(e.ok()) << c.asked;
      inForce = c.device;
    } else {
      EXPECT_EQ(e.kind, ErrorKind::kInvalidParameter) << c.asked;
      EXPECT_EQ(e.device_rate, c.device) << c.asked;
    }
    EXPECT_EQ(now.BaudRate, inForce) << c.asked;
  }
  // The rule itself, at its edges: 2% either way is kept, a little more is not.
  EXPECT_TRUE(RateKept(100000, 102000));
  EXPECT_TRUE(RateKept(100000, 98000));
  EXPECT_FALSE(RateKept(100000, 102001));
  EXPECT_FALSE(RateKept(100000, 97999));
  EXPECT_TRUE(RateKept(12000000, 12240000));
}

TEST_F(FakeDeviceTest, XoffHoldsOutputUntilXon) {
  Open();
  ASSERT_TRUE(dev->SetEventMask(EV_TXEMPTY).ok());
  ASSERT_TRUE(dev->Escape(SETXOFF).ok());
  const uint8_t data[] = {1, 2, 3};
  Transfer tr;
  uint32_t now = 0;
  ASSERT_TRUE(dev->StartWrite(data, 3, tr, now).ok());
  EXPECT_EQ(now, 0u);  // pending
  CommStatus st = Status();
  EXPECT_TRUE(st.hold & kHoldXoff);
  EXPECT_EQ(st.out_queue, 3u);
  EXPECT_EQ(Events(), 0u);
  ASSERT_TRUE(dev->Escape(SETXON).ok());
  uint32_t n = 0;
  Error e;
  ASSERT_TRUE(tr.Wait(n, e));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(Events(), EV_TXEMPTY);
  EXPECT_EQ(Status().out_queue, 0u);
}

TEST_F(FakeDeviceTest, OpenerServesLinesByPathExclusively) {
  auto a = std::make_shared<FakeLine>();
  DeviceOpener previous = SetDeviceOpener(FakeLine::Opener({{"COM3", a}}));
  std::unique_ptr<Device> d1, d2;
  EXPECT_TRUE(OpenDevice("COM3", d1).ok());
  EXPECT_EQ(OpenDevice("COM3", d2).kind, ErrorKind::kBusy);
  EXPECT_EQ(ProbeDevice("COM3").kind, ErrorKind::kBusy);
  EXPECT_EQ(OpenDevice("COM4", d2).kind, ErrorKind::kNotFound);
  d1->Close();
  EXPECT_TRUE(ProbeDevice("COM3").ok());
  a->FailNext(FakeCall::kOpen, ErrorFromErrno(EACCES, ErrorKind::kAccessDenied, kWinAccessDenied));
  Error e = OpenDevice("COM3", d2);
  EXPECT_EQ(e.kind, ErrorKind::kAccessDenied);
  EXPECT_EQ(e.os_code, EACCES);
  a->Vanish();
  EXPECT_EQ(OpenDevice("COM3", d2).kind, ErrorKind::kNotFound);
  EXPECT_EQ(a->Recorded().opens, 2);  // the probe counts as an open
  SetDeviceOpener(previous);
}

TEST_F(FakeDeviceTest, VanishedDeviceFailsQueriesThatNeedTheLineButKeepsQueuedBytes) {
  Open();
  line->Receive("tail");
  line->Vanish();
  uint32_t ms = 0;
  EXPECT_EQ(dev->GetModemStatus(ms).kind, ErrorKind::kGone);
  EXPECT_EQ(dev->Escape(SETDTR).kind, ErrorKind::kGone);
  EXPECT_EQ(Status().in_queue, 4u);
  EXPECT_EQ(Read(10), "tail");
  uint8_t b[1];
  Transfer t;
  uint32_t n = 0;
  EXPECT_EQ(dev->StartRead(b, 1, t, n).win_code, kWinAccessDenied);
}

// Pieces of one burst share a time, pieces further apart keep their own; a pending read takes
// its bytes first; and what a long unread queue keeps of its times is bounded.
TEST_F(FakeDeviceTest, TimedReadsShareTheTimeOfOneBurstAndKeepTheirMarksBounded) {
  Open(4u << 20);
  const RxClock::time_point t0 = RxClock::now();
  const auto at = [&](std::chrono::microseconds us) { return t0 + us; };
  auto receive = [&](const std::string& s, RxClock::time_point when) {
    line->Receive(reinterpret_cast<const uint8_t*>(s.data()), s.size(), when);
  };
  std::vector<RxChunk> chunks;
  auto timed = [&](uint32_t n) {
    std::string buf(n, '\0');
    uint32_t got = 0;
    EXPECT_TRUE(dev->ReadQueuedTimed(reinterpret_cast<uint8_t*>(buf.data()), n, got, chunks).ok());
    buf.resize(got);
    return buf;
  };
  receive("ab", at(kRxChunkShare * 0));
  receive("cd", at(kRxChunkShare - std::chrono::microseconds(1)));  // same burst
  receive("ef", at(kRxChunkShare));                                 // a piece of its own
  EXPECT_EQ(timed(64), "abcdef");
  EXPECT_EQ(chunks, (std::vector<RxChunk>{{0, at(std::chrono::microseconds(0))}, {4, at(kRxChunkShare)}}));

  // A pending read is served first, in order; the timed read then gets the rest with its time.
  CommTimeouts wait_for_all;
  wait_for_all.ReadIntervalTimeout = 0;
  ASSERT_TRUE(dev->SetTimeouts(wait_for_all).ok());
  uint8_t pending[3];
  Transfer t;
  uint32_t now = 0;
  ASSERT_TRUE(dev->StartRead(pending, 3, t, now).ok());
  receive("gh", at(std::chrono::milliseconds(10)));
  EXPECT_EQ(timed(64), "") << "the pending read comes first";
  receive("ijk", at(std::chrono::milliseconds(20)));
  uint32_t n = 0;
  Error e;
  ASSERT_TRUE(t.Wait(n, e));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pending), n), "ghi");
  EXPECT_EQ(timed(64), "jk");
  EXPECT_EQ(chunks, (std::vector<RxChunk>{{0, at(std::chrono::milliseconds(20))}}));
  ASSERT_TRUE(dev->SetTimeouts(CommTimeouts{}).ok());

  // An owner that does not read: one piece a millisecond for longer than the marks reach. The
  // newest pieces then share the last mark's time; every byte is still there, in order.
  constexpr size_t kPieces = 70000;
  for (size_t i = 0; i < kPieces; ++i)
    receive(std::string(1, static_cast<char>(i)), at(std::chrono::milliseconds(100 + i)));
  const std::string all = timed(kPieces);
  ASSERT_EQ(all.size(), kPieces);
  for (size_t i = 0; i < kPieces; i += 997) ASSERT_EQ(static_cast<uint8_t>(all[i]), static_cast<uint8_t>(i));
  ASSERT_GT(chunks.size(), 60000u);
  ASSERT_LT(chunks.size(), kPieces);
  for (size_t i = 0; i < chunks.size(); ++i)
    ASSERT_EQ(chunks[i], (RxChunk{static_cast<uint32_t>(i), at(std::chrono::milliseconds(100 + i))}));
}

}  // namespace
}  // namespace quarlex::device
