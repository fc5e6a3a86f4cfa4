// One contract, every device: each case here runs against the platform's device on a real line
// (the POSIX device on a pseudo-terminal pair; the Win32 device under wine on a pseudo-terminal
// pair mapped as COM ports) and against the fake, and all must answer the same way. A rig may
// name cases its line cannot do; those are skipped with its reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/device/device.h"
#include "tests/serial/device_rig.h"
#include "tests/serial/support/fake_device.h"

namespace quarlex::device {
namespace {

class FakeRig : public Rig {
 public:
  FakeRig() : line(std::make_shared<FakeLine>()) {
    line->SetModemLines(MS_DSR_ON | MS_CTS_ON);
    if (OpenFakeDevice(line, dev)) throw std::runtime_error("fake open");
  }
  void PeerSend(const std::string& bytes) override { line->Receive(bytes); }
  std::string PeerReceive(size_t n) override {
    std::string w = line->Recorded().written;
    std::string out = w.substr(taken_, n);
    taken_ += out.size();
    return out;
  }
  void PeerHangUp() override { line->Vanish(); }
  void PeerStopReading() override { line->StallOutput(true); }
  std::shared_ptr<FakeLine> line;

 private:
  size_t taken_ = 0;
};

class DeviceContract : public ::testing::TestWithParam<Named> {
 protected:
  void SetUp() override {
    std::string why;
    rig = GetParam().make(why);
    if (!rig) GTEST_SKIP() << why;
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    why = rig->CannotDo(name.substr(0, name.find('/')));
    if (!why.empty()) GTEST_SKIP() << why;
  }
  Device& dev() { return *rig->dev; }

  // Waits through the device's own events until at least n bytes are queued; returns the
  // events seen on the way.
  // Sets EV_RXCHAR as the mask when none is set (setting it would forget events seen so far).
  uint32_t AwaitQueued(size_t n) {
    uint32_t mask = 0;
    EXPECT_TRUE(dev().GetEventMask(mask).ok());
    if (mask == 0) {
      EXPECT_TRUE(dev().SetEventMask(EV_RXCHAR).ok());
    }
    uint32_t seen = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      CommStatus st;
      EXPECT_TRUE(dev().GetCommStatus(st).ok());
      const bool there = st.in_queue >= n;
      if (!there && std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "only " << st.in_queue << " of " << n << " bytes arrived";
        return seen;
      }
      // Once the bytes are there, one more look without waiting collects their events.
      uint32_t occurred = 0;
      Error e = dev().WaitEvents(occurred, nullptr, there ? 0 : 200);
      EXPECT_TRUE(e.ok()) << e.os_text;
      seen |= occurred;
      if (there) return seen;
    }
  }

  std::string ReadNow(uint32_t n) {
    std::string buf(n, '\0');
    Transfer t;
    uint32_t now = 0;
    Error e = dev().StartRead(reinterpret_cast<uint8_t*>(buf.data()), n, t, now);
    EXPECT_TRUE(e.ok()) << e.os_text;
    uint32_t done = 0;
    EXPECT_TRUE(t.Wait(done, e)) << e.os_text;
    EXPECT_EQ(done, now);
    buf.resize(done);
    return buf;
  }

  uint32_t WriteAll(const std::string& s, Error* err = nullptr) {
    Transfer t;
    uint32_t now = 0;
    Error e =
        dev().StartWrite(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()), t, now);
    if (e) {
      if (err) *err = e;
      return 0;
    }
    uint32_t done = 0;
    t.Wait(done, e);
    if (err) *err = e;
    return done;
  }

  std::unique_ptr<Rig> rig;
};

std::string AllByteValues() {
  std::string s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s;
}

TEST_P(DeviceContract, BytesTravelBothWaysUnchangedIncludingNulAndFF) {
  Dcb dcb;
  dcb.BaudRate = 115200;
  ASSERT_TRUE(dev().SetState(dcb).ok());
  const std::string all = AllByteValues() + std::string("\xff\xff\x00\x00", 4);

  rig->PeerSend(all);
  AwaitQueued(all.size());
  EXPECT_EQ(ReadNow(1000), all);

  Error e;
  EXPECT_EQ(WriteAll(all, &e), all.size());
  EXPECT_TRUE(e.ok()) << e.os_text;
  EXPECT_EQ(rig->PeerReceive(all.size()), all);
}

// A line without modem status (a virtual COM port whose driver does not support the query)
// still answers, every input line low, and the device says it has none; one with modem lines
// gives only the four input lines.
TEST_P(DeviceContract, ModemStatusAlwaysAnswersAndReadsLowWhereTheLineHasNone) {
  EXPECT_EQ(dev().ModemStatusMissing(), rig->ModemStatusMissing());
  for (int pass = 0; pass < 2; ++pass) {  // the answer does not change after the first query
    uint32_t status = 0xFFFFFFFF;
    Error e = dev().GetModemStatus(status);
    ASSERT_TRUE(e.ok()) << e.os_text;
    EXPECT_EQ(status & ~(MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON), 0u);
    if (rig->ModemStatusMissing()) {
      EXPECT_EQ(status, 0u);
    }
  }
  // The port works as any other.
  rig->PeerSend("AT\r");
  AwaitQueued(3);
  EXPECT_EQ(ReadNow(3), "AT\r");
}

TEST_P(DeviceContract, AFreshlyOpenedLineIsBinaryBeforeAnySetting) {
  // A tty's default IXON would eat 0x11 and 0x13; the line must be raw from the open on.
  const std::string flow_chars("\x11\x13\x11\x13", 4);
  rig->PeerSend(flow_chars + AllByteValues());
  AwaitQueued(4 + 256);
  EXPECT_EQ(ReadNow(1000), flow_chars + AllByteValues());
}

TEST_P(DeviceContract, DefaultTimeoutsReadReturnsAtOnceWithWhatIsQueued) {
  ASSERT_TRUE(dev().SetTimeouts(CommTimeouts{}).ok());
  EXPECT_EQ(ReadNow(64), "");  // empty line: done at once with 0, not pending, not end of file
  rig->PeerSend("abc");
  AwaitQueued(3);
  EXPECT_EQ(ReadNow(2), "ab");  // asks for less than queued
  EXPECT_EQ(ReadNow(64), "c");  // asks for more: gets only what is there
}

// Every received piece keeps the time the device read it from the line, however it is read out.
TEST_P(DeviceContract, TimedReadsGiveEachPieceTheTimeItWasReadFromTheLine) {
  using std::chrono::milliseconds;
  struct Sent {
    RxClock::time_point before, after;
  };
  auto send = [&](const std::string& s, size_t queued) {
    Sent t{RxClock::now(), {}};
    rig->PeerSend(s);
    AwaitQueued(queued);
    t.after = RxClock::now();
    return t;
  };
  auto within = [](const RxChunk& c, const Sent& t) { return c.time >= t.before && c.time <= t.after; };
  auto timed = [&](uint32_t n, std::vector<RxChunk>& chunks) {
    std::string buf(n, '\0');
    uint32_t got = 0;
    Error e = dev().ReadQueuedTimed(reinterpret_cast<uint8_t*>(buf.data()), n, got, chunks);
    EXPECT_TRUE(e.ok()) << e.os_text;
    buf.resize(got);
    return buf;
  };
  std::vector<RxChunk> chunks{{7, {}}};
  EXPECT_EQ(timed(8, chunks), "");
  EXPECT_TRUE(chunks.empty()) << "nothing read, no piece";

  const Sent first = send("abc", 3);
  std::this_thread::sleep_for(milliseconds(5));  // far more than pieces of one burst share
  const Sent second = send("defg", 7);
  EXPECT_EQ(timed(5, chunks), "abcde");
  ASSERT_GE(chunks.size(), 2u);
  EXPECT_EQ(chunks.front().offset, 0u);
  for (size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_TRUE(within(chunks[i], chunks[i].offset < 3 ? first : second)) << "piece " << i;
    if (i > 0) {
      EXPECT_GT(chunks[i].offset, chunks[i - 1].offset);
    }
  }
  EXPECT_TRUE(std::any_of(chunks.begin(), chunks.end(), [](const RxChunk& c) { return c.offset == 3; }))
      << "the second burst starts a piece of its own";
  // The rest of a piece read in part keeps its time.
  EXPECT_EQ(timed(64, chunks), "fg");
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_TRUE(within(chunks[0], second));

  // A plain read takes its bytes' times with them, and a purge theirs.
  std::this_thread::sleep_for(milliseconds(2));
  const Sent third = send("hij", 3);
  EXPECT_EQ(ReadNow(1), "h");
  EXPECT_EQ(timed(64, chunks), "ij");
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_TRUE(within(chunks[0], third));
  send("xyz", 3);
  ASSERT_TRUE(dev().Purge(PURGE_RXCLEAR).ok());
  std::this_thread::sleep_for(milliseconds(2));
  const Sent fourth = send("Q", 1);
  EXPECT_EQ(timed(64, chunks), "Q");
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_TRUE(within(chunks[0], fourth));
}

TEST_P(DeviceContract, EventCharacterRaisesRxFlagOnlyWhenItArrives) {
  Dcb dcb;
  dcb.EvtChar = '\n';
  ASSERT_TRUE(dev().SetState(dcb).ok());
  ASSERT_TRUE(dev().SetEventMask(EV_RXCHAR | EV_RXFLAG).ok());
  rig->PeerSend("ab");
  uint32_t seen = AwaitQueued(2);
  EXPECT_TRUE(seen & EV_RXCHAR);
  EXPECT_FALSE(seen & EV_RXFLAG);
  rig->PeerSend("c\n");
  seen = AwaitQueued(4);
  EXPECT_TRUE(seen & EV_RXFLAG);
  EXPECT_EQ(ReadNow(10), "abc\n");
}

TEST_P(DeviceContract, EventsSeenWhileNobodyWaitsAreReportedByTheNextWait) {
  ASSERT_TRUE(dev().SetEventMask(EV_RXCHAR | EV_CTS).ok());
  rig->PeerSend("x");
  // No wait is pending while the byte arrives; the next wait must still see it.
  uint32_t occurred = 0;
  for (int i = 0; i < 50 && !(occurred & EV_RXCHAR); ++i)
    ASSERT_TRUE(dev().WaitEvents(occurred, nullptr, 100).ok());
  EXPECT_EQ(occurred & EV_RXCHAR, EV_RXCHAR);
  // Reported once: a second wait times out with nothing.
  ASSERT_TRUE(dev().WaitEvents(occurred, nullptr, 0).ok());
  EXPECT_EQ(occurred, 0u);
}

TEST_P(DeviceContract, ReceiveEventsAreHeldForTheIntervalUntilAnotherEventOrTheLineEnds) {
  ASSERT_TRUE(dev().SetEventMask(EV_RXCHAR | EV_TXEMPTY).ok());
  ASSERT_TRUE(dev().SetRxEventInterval(3'600'000).ok());  // only other events end a hold
  // The first bytes after a quiet spell are reported at once.
  rig->PeerSend("a");
  uint32_t occurred = 0;
  ASSERT_TRUE(dev().WaitEvents(occurred, nullptr, 5000).ok());
  EXPECT_EQ(occurred, EV_RXCHAR);
  // Later ones are held, also from a wait that times out...
  rig->PeerSend("b");
  EXPECT_EQ(AwaitQueued(2), 0u);
  // ...until another event, which brings them along.
  EXPECT_EQ(WriteAll("w"), 1u);
  ASSERT_TRUE(dev().WaitEvents(occurred, nullptr, 5000).ok());
  EXPECT_EQ(occurred, EV_RXCHAR | EV_TXEMPTY);
  // A shorter interval releases what it holds.
  rig->PeerSend("c");
  EXPECT_EQ(AwaitQueued(3), 0u);
  ASSERT_TRUE(dev().SetRxEventInterval(0).ok());
  ASSERT_TRUE(dev().WaitEvents(occurred, nullptr, 5000).ok());
  EXPECT_EQ(occurred, EV_RXCHAR);
  // A line that ends releases them too, and only then reports the loss.
  ASSERT_TRUE(dev().SetRxEventInterval(3'600'000).ok());
  rig->PeerSend("d");
  EXPECT_EQ(AwaitQueued(4), 0u);
  rig->PeerHangUp();
  ASSERT_TRUE(dev().WaitEvents(occurred, nullptr, 5000).ok());
  EXPECT_EQ(occurred, EV_RXCHAR);
  EXPECT_EQ(dev().WaitEvents(occurred, nullptr, 5000).kind, ErrorKind::kGone);
  EXPECT_EQ(ReadNow(10), "abcd");
}

TEST_P(DeviceContract, ChangingTheMaskOrTheStopSignalEndsAPendingWait) {
  ASSERT_TRUE(dev().SetEventMask(EV_RXFLAG).ok());
  StopSignal stop;
  Error result;
  uint32_t occurred = 99;
  std::thread waiter([&] { result = dev().WaitEvents(occurred, &stop, -1); });
  stop.Set();
  waiter.join();
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(occurred, 0u);

  stop.Reset();
  occurred = 99;
  std::atomic<bool> ended{false};
  std::thread waiter2([&] {
    result = dev().WaitEvents(occurred, &stop, -1);
    ended = true;
  });
  // A mask set before the wait began is simply the mask it waits on, so keep setting it until
  // the wait has ended.
  while (!ended) {
    ASSERT_TRUE(dev().SetEventMask(EV_RXFLAG).ok());
    std::this_thread::yield();
  }
  waiter2.join();
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(occurred, 0u);
}

TEST_P(DeviceContract, TxEmptyFollowsACompletedWrite) {
  ASSERT_TRUE(dev().SetEventMask(EV_TXEMPTY).ok());
  uint32_t occurred = 0;
  ASSERT_TRUE(dev().WaitEvents(occurred, nullptr, 0).ok());
  EXPECT_EQ(occurred, 0u);  // nothing written yet
  EXPECT_EQ(WriteAll("ping"), 4u);
  ASSERT_TRUE(dev().WaitEvents(occurred, nullptr, 5000).ok());
  EXPECT_EQ(occurred, EV_TXEMPTY);
  EXPECT_EQ(rig->PeerReceive(4), "ping");
  CommStatus st;
  ASSERT_TRUE(dev().GetCommStatus(st).ok());
  EXPECT_EQ(st.out_queue, 0u);
}

TEST_P(DeviceContract, WaitWithMaskZeroIsRefused) {
  ASSERT_TRUE(dev().SetEventMask(0).ok());
  uint32_t occurred = 0;
  EXPECT_EQ(dev().WaitEvents(occurred, nullptr, 0).kind, ErrorKind::kInvalidParameter);
}

TEST_P(DeviceContract, CommApiRefusalsOfTheControlBlock) {
  Dcb good;
  good.BaudRate = 31250;  // a rate no table names
  ASSERT_TRUE(dev().SetState(good).ok());
  struct Case {
    const char* what;
    std::function<void(Dcb&)> change;
  } cases[] = {
      {"1.5 stop bits with 8 data bits", [](Dcb& d) { d.StopBits = kOne5StopBits; }},
      {"2 stop bits with 5 data bits",
       [](Dcb& d) {
         d.StopBits = kTwoStopBits;
         d.ByteSize = 5;
       }},
      {"4 data bits", [](Dcb& d) { d.ByteSize = 4; }},
      {"parity code 5", [](Dcb& d) { d.Parity = 5; }},
      {"rate 0", [](Dcb& d) { d.BaudRate = 0; }},
      {"XON equals XOFF with XON/XOFF on",
       [](Dcb& d) {
         d.Flags |= kDcbOutX;
         d.XoffChar = d.XonChar;
       }},
  };
  for (const Case& c : cases) {
    Dcb d = good;
    c.change(d);
    Error e = dev().SetState(d);
    EXPECT_EQ(e.kind, ErrorKind::kInvalidParameter) << c.what;
    EXPECT_EQ(e.win_code, kWinInvalidParameter) << c.what;
    Dcb now;
    ASSERT_TRUE(dev().GetState(now).ok());
    EXPECT_EQ(now, good) << c.what << ": a refused block must leave the old one in force";
  }
}

// The baud menu's rates, rates nobody names and the ends of the range a custom rate may take.
TEST_P(DeviceContract, EveryMenuRateAndAnyCustomRateIsSetAndReadBack) {
  const uint32_t rates[] = {4000000, 3000000, 2000000, 1500000, 1000000, 921600, 576000,
                            500000,  460800,  256000,  128000,  115200,  57600,  56000,
                            38400,   19200,   14400,   9600,    4800,    2400,   1200,
                            600,     300,     110,     31250,   1234567, 50,     12000000};
  for (uint32_t rate : rates) {
    Dcb want;
    want.BaudRate = rate;
    Error e = dev().SetState(want);
    ASSERT_TRUE(e.ok()) << rate << ": " << e.os_text;
    Dcb now;
    ASSERT_TRUE(dev().GetState(now).ok());
    EXPECT_EQ(now.BaudRate, rate);
  }
}

TEST_P(DeviceContract, WriteThatRunsOutOfTimeCompletesWithTheBytesSentSoFar) {
  CommTimeouts t;
  t.WriteTotalTimeoutConstant = 100;
  ASSERT_TRUE(dev().SetTimeouts(t).ok());
  rig->PeerStopReading();
  std::string big(8u << 20, 'w');  // more than any pty buffer holds
  Error e;
  uint32_t sent = WriteAll(big, &e);
  EXPECT_TRUE(e.ok()) << e.os_text;
  EXPECT_LT(sent, big.size());
}

TEST_P(DeviceContract, PurgeClearsTheInputQueueAndAbortsPendingReads) {
  rig->PeerSend("0123456789");
  AwaitQueued(10);
  ASSERT_TRUE(dev().Purge(PURGE_RXCLEAR).ok());
  CommStatus st;
  ASSERT_TRUE(dev().GetCommStatus(st).ok());
  EXPECT_EQ(st.in_queue, 0u);

  CommTimeouts wait_for_all;  // all zero: a read waits until it has every byte
  wait_for_all.ReadIntervalTimeout = 0;
  ASSERT_TRUE(dev().SetTimeouts(wait_for_all).ok());
  uint8_t buf[16];
  Transfer tr;
  uint32_t now = 0;
  ASSERT_TRUE(dev().StartRead(buf, sizeof buf, tr, now).ok());
  uint32_t n = 0;
  Error e;
  EXPECT_FALSE(tr.Check(n, e));
  EXPECT_EQ(e.kind, ErrorKind::kIncomplete);
  EXPECT_EQ(e.win_code, kWinIoIncomplete);
  ASSERT_TRUE(dev().Purge(PURGE_RXABORT).ok());
  EXPECT_FALSE(tr.Wait(n, e));
  EXPECT_EQ(e.kind, ErrorKind::kAborted);
}

TEST_P(DeviceContract, PendingReadCompletesWhenItsBytesArrive) {
  CommTimeouts wait_for_all;
  wait_for_all.ReadIntervalTimeout = 0;
  ASSERT_TRUE(dev().SetTimeouts(wait_for_all).ok());
  char buf[5] = {};
  Transfer tr;
  uint32_t now = 0;
  ASSERT_TRUE(dev().StartRead(reinterpret_cast<uint8_t*>(buf), 5, tr, now).ok());
  EXPECT_EQ(now, 0u);
  rig->PeerSend("hel");
  rig->PeerSend("lo!");
  uint32_t n = 0;
  Error e;
  ASSERT_TRUE(tr.Wait(n, e)) << e.os_text;
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::string(buf, 5), "hello");
  ASSERT_TRUE(dev().SetTimeouts(CommTimeouts{}).ok());
  AwaitQueued(1);
  EXPECT_EQ(ReadNow(5), "!");
}

TEST_P(DeviceContract, ReadTotalTimeoutEndsAReadWithWhatCame) {
  CommTimeouts t;
  t.ReadIntervalTimeout = 0;
  t.ReadTotalTimeoutConstant = 50;
  ASSERT_TRUE(dev().SetTimeouts(t).ok());
  rig->PeerSend("ab");
  AwaitQueued(2);
  uint8_t buf[10];
  Transfer tr;
  uint32_t now = 0;
  ASSERT_TRUE(dev().StartRead(buf, 10, tr, now).ok());
  uint32_t n = 0;
  Error e;
  ASSERT_TRUE(tr.Wait(n, e)) << e.os_text;
  EXPECT_EQ(n, 2u);
}

TEST_P(DeviceContract, PeerHangUpIsReportedAsDeviceGoneAndNothingQueuedIsLost) {
  ASSERT_TRUE(dev().SetEventMask(EV_RXCHAR).ok());
  rig->PeerSend("last");
  AwaitQueued(4);

  CommTimeouts wait_for_all;
  wait_for_all.ReadIntervalTimeout = 0;
  uint8_t buf[4];
  Transfer tr;
  uint32_t now = 0;
  ASSERT_TRUE(dev().StartRead(buf, 4, tr, now).ok());  // still default time-outs: at once
  EXPECT_EQ(now, 4u);
  ASSERT_TRUE(dev().SetTimeouts(wait_for_all).ok());
  ASSERT_TRUE(dev().StartRead(buf, 4, tr, now).ok());  // this one pends
  rig->PeerHangUp();

  uint32_t n = 0;
  Error e;
  EXPECT_FALSE(tr.Wait(n, e));
  EXPECT_EQ(e.kind, ErrorKind::kGone);
  EXPECT_EQ(e.win_code, kWinGenFailure);  // completing a transfer on a vanished device

  Transfer t2;
  e = dev().StartRead(buf, 4, t2, now);
  EXPECT_EQ(e.kind, ErrorKind::kGone);
  EXPECT_EQ(e.win_code, kWinAccessDenied);  // starting one
  std::vector<RxChunk> chunks;
  e = dev().ReadQueuedTimed(buf, 4, now, chunks);
  EXPECT_EQ(e.kind, ErrorKind::kGone);
  EXPECT_EQ(e.win_code, kWinAccessDenied);
  e = dev().StartWrite(buf, 4, t2, now);
  EXPECT_EQ(e.win_code, kWinAccessDenied);

  // The waiter learns it too, at once and every time: nothing to spin on.
  uint32_t occurred = 0;
  e = dev().WaitEvents(occurred, nullptr, -1);
  EXPECT_EQ(e.kind, ErrorKind::kGone);
  e = dev().WaitEvents(occurred, nullptr, -1);
  EXPECT_EQ(e.kind, ErrorKind::kGone);
}

TEST_P(DeviceContract, CloseEndsPendingTransfersAndWaitsAndLaterCallsFail) {
  CommTimeouts wait_for_all;
  wait_for_all.ReadIntervalTimeout = 0;
  ASSERT_TRUE(dev().SetTimeouts(wait_for_all).ok());
  ASSERT_TRUE(dev().SetEventMask(EV_RXFLAG).ok());
  uint8_t buf[4];
  Transfer tr;
  uint32_t now = 0;
  ASSERT_TRUE(dev().StartRead(buf, 4, tr, now).ok());
  Error wait_result;
  std::thread waiter([&] {
    uint32_t occurred = 0;
    wait_result = dev().WaitEvents(occurred, nullptr, -1);
  });
  dev().Close();
  waiter.join();
  EXPECT_EQ(wait_result.kind, ErrorKind::kNotOpen);
  uint32_t n = 0;
  Error e;
  EXPECT_FALSE(tr.Wait(n, e));
  EXPECT_EQ(e.kind, ErrorKind::kAborted);
  EXPECT_FALSE(dev().IsOpen());
  EXPECT_EQ(dev().StartRead(buf, 4, tr, now).kind, ErrorKind::kNotOpen);
  std::vector<RxChunk> chunks;
  EXPECT_EQ(dev().ReadQueuedTimed(buf, 4, now, chunks).kind, ErrorKind::kNotOpen);
  EXPECT_EQ(dev().SetState(Dcb{}).kind, ErrorKind::kNotOpen);
  dev().Close();  // twice is harmless
}

TEST_P(DeviceContract, DiscardNullDropsNulBytes) {
  Dcb dcb;
  dcb.Flags |= kDcbNull;
  ASSERT_TRUE(dev().SetState(dcb).ok());
  rig->PeerSend(std::string("a\0b\0\0c", 6));
  AwaitQueued(3);
  EXPECT_EQ(ReadNow(10), "abc");
}

TEST_P(DeviceContract, QueueSizeNeverBelowOneMegabyteAndTooLargeIsRefused) {
  EXPECT_TRUE(dev().SetQueueSizes(1024, 1024).ok());
  EXPECT_EQ(dev().SetQueueSizes(0xFFFFFFF0u, 1024).kind, ErrorKind::kInvalidParameter);
  // 1 MiB of input waits in full although only 1 KiB was asked for.
  std::string mb(1u << 20, 'q');
  std::thread sender([&] { rig->PeerSend(mb); });
  AwaitQueued(mb.size());
  sender.join();
  CommStatus st;
  ASSERT_TRUE(dev().GetCommStatus(st).ok());
  EXPECT_EQ(st.in_queue, mb.size());
  EXPECT_EQ(st.errors & CE_RXOVER, 0u);
}

std::vector<Named> AllRigs() {
  std::vector<Named> rigs = PlatformRigs();
  rigs.push_back({"Fake", [](std::string&) { return std::unique_ptr<Rig>(new FakeRig); }});
  return rigs;
}

INSTANTIATE_TEST_SUITE_P(Devices, DeviceContract, ::testing::ValuesIn(AllRigs()),
                         [](const ::testing::TestParamInfo<Named>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace quarlex::device
