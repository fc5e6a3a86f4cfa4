// Transfers: links told of writes and reads, the text variants, asynchronous writes that stay
// pending, cancellation, and the device-gone paths of starting and completing a transfer.
#include <gtest/gtest.h>

#include <algorithm>

#include "serial/support/comport_fixture.h"

namespace quarlex {
namespace {

using enum TComExceptions;

using test::ComPortFakeTest;
using Strings = std::vector<std::string>;

class ComPortTransferTest : public ComPortFakeTest {
 protected:
  void SetUp() override {
    ComPortFakeTest::SetUp();
    port->SetEvents({});  // transfers from the test thread only
    port->Open();
  }
};

TEST_F(ComPortTransferTest, LinksHearOfWritesAndOfReadsThatEmptyTheQueue) {
  TComLink link;
  Strings seen;
  link.OnTx = [&](TCustomComPort*, bool on) { seen.push_back(on ? "Tx1" : "Tx0"); };
  link.OnTxBuf = [&](TCustomComPort*, const uint8_t* b, int32_t n) {
    seen.push_back("TxBuf:" + std::string(reinterpret_cast<const char*>(b), static_cast<size_t>(n)));
  };
  link.OnRx = [&](TCustomComPort*, bool on) { seen.push_back(on ? "Rx1" : "Rx0"); };
  port->RegisterLink(&link);
  const char data[] = {'a', '\0', '\xFF'};
  EXPECT_EQ(port->Write(data, 3), 3);
  EXPECT_EQ(line->Recorded().written, std::string(data, 3));
  EXPECT_EQ(seen, (Strings{"Tx1", "TxBuf:" + std::string(data, 3)}));
  seen.clear();

  line->Receive("12345");
  char buf[8];
  EXPECT_EQ(port->Read(buf, 2), 2);
  EXPECT_TRUE(seen.empty()) << "bytes still queued";
  EXPECT_EQ(port->Read(buf, 8), 3);
  EXPECT_EQ(std::string(buf, 3), "345");
  EXPECT_EQ(seen, Strings{"Rx0"});
  // Reusing a record for a read after a write does not repeat the write's copy to the links.
  seen.clear();
  PAsync a = nullptr;
  CreateAsync(a);
  port->WriteAsync("w", 1, a);
  port->WaitForAsync(a);
  line->Receive("ab");
  port->ReadAsync(buf, 1, a);
  EXPECT_EQ(port->WaitForAsync(a), 1);
  DestroyAsync(a);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(seen, (Strings{"Tx1", "TxBuf:w"}));
  port->UnRegisterLink(&link);
}

// The timed read takes what is queued at once, with the pieces' times, tells the links as Read
// does and fails as Read fails.
TEST_F(ComPortTransferTest, ReadTimedTakesWhatIsQueuedWithItsTimesAndFailsAsReadDoes) {
  TComLink link;
  Strings seen;
  link.OnRx = [&](TCustomComPort*, bool on) { seen.push_back(on ? "Rx1" : "Rx0"); };
  port->RegisterLink(&link);
  port->Timeouts().SetReadInterval(0);  // a plain Read would now wait for every byte asked for
  const auto t = device::RxClock::now();
  line->Receive(reinterpret_cast<const uint8_t*>("12345"), 5, t);
  char buf[8];
  std::vector<device::RxChunk> chunks;
  EXPECT_EQ(port->ReadTimed(buf, 2, chunks), 2);
  EXPECT_TRUE(seen.empty()) << "bytes still queued";
  EXPECT_EQ(port->ReadTimed(buf, 8, chunks), 3);
  EXPECT_EQ(std::string(buf, 3), "345");
  EXPECT_EQ(chunks, (std::vector<device::RxChunk>{{0, t}}));
  EXPECT_EQ(seen, Strings{"Rx0"});
  port->UnRegisterLink(&link);
  line->FailNext(device::FakeCall::kStartRead, device::ErrorOf(device::ErrorKind::kOther));
  try {
    port->ReadTimed(buf, 8, chunks);
    FAIL() << "the failure was not reported";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), ComErrorCode(CE_ReadFailed));
  }
  port->Close();
  try {
    port->ReadTimed(buf, 8, chunks);
    FAIL() << "a read on a closed port passed";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), ComErrorCode(CEPortNotOpen));
  }
}

TEST_F(ComPortTransferTest, TextVariantsPutTheRightBytesOnTheLine) {
  EXPECT_EQ(port->WriteStr(u"A\u00E9\u0410"), 3);
  EXPECT_EQ(line->Recorded().written, "\x41\xE9\x10");
  EXPECT_EQ(port->WriteStr(u""), 0);
  EXPECT_EQ(port->WriteAnsiStr(std::string("\x00\x80", 2)), 2);
  EXPECT_EQ(port->WriteAnsiStr(""), 0);
  // Through the program's code page (Windows-1251): Cyrillic А is 0xC0, the euro sign 0x88,
  // a character it lacks becomes '?'.
  EXPECT_EQ(port->WriteUnicodeString(u"\u0410\u20AC\u4E2D"), 3);
  port->SetCodePage(65001);
  EXPECT_EQ(port->WriteUnicodeString(u"\u00E9"), 2);
  EXPECT_EQ(line->Recorded().written, std::string("\x41\xE9\x10\x00\x80\xC0\x88?\xC3\xA9", 10));

  // Packed in place: the variable's first bytes hold the sent bytes afterwards.
  std::u16string s = u"xy\u0141";
  PAsync a = nullptr;
  CreateAsync(a);
  port->WriteStrAsync(s, a);
  EXPECT_EQ(port->WaitForAsync(a), 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.data()), 3), "xyA");
  const std::string ansi = "raw";
  port->WriteAnsiStrAsync(ansi, a);
  EXPECT_EQ(port->WaitForAsync(a), 3);
  DestroyAsync(a);
  EXPECT_EQ(line->Recorded().written.substr(10), "xyAraw");
}

TEST_F(ComPortTransferTest, TextReads) {
  line->Receive("\x41\x42\xC3");
  std::u16string s;
  EXPECT_EQ(port->ReadStr(s, 10), 3);
  EXPECT_EQ(s, u"AB\u00C3");

  line->Receive("abcd");
  std::string ansi;
  EXPECT_EQ(port->ReadAnsiStr(ansi, 10), 4);
  EXPECT_EQ(ansi.size(), 10u) << "keeps the asked length";
  EXPECT_EQ(ansi.substr(0, 4), "abcd");

  line->Receive("\xC0\xFF!");
  EXPECT_EQ(port->ReadUnicodeString(s, 10), 3);
  EXPECT_EQ(s, u"\u0410\u044F!");
  port->SetCodePage(65001);
  line->Receive("\xE2\x82\xAC\xFF");
  EXPECT_EQ(port->ReadUnicodeString(s, 10), 2);
  EXPECT_EQ(s, u"\u20AC\uFFFD") << "a malformed byte is shown, not dropped";

  PAsync a = nullptr;
  CreateAsync(a);
  EXPECT_EQ(port->ReadStrAsync(ansi, 0, a), 0);
  EXPECT_TRUE(ansi.empty());
  // Nothing was started on the record: there is nothing to wait for and nothing to report.
  EXPECT_EQ(port->WaitForAsync(a), 0);
  DestroyAsync(a);

  // A count of 0 or less reads nothing, with no report, and leaves waiting bytes in the queue.
  line->Receive("q");
  for (const int32_t count : {0, -1}) {
    EXPECT_EQ(port->ReadStr(s, count), 0);
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(port->ReadAnsiStr(ansi, count), 0);
    EXPECT_EQ(port->ReadUnicodeString(s, count), 0);
  }
  EXPECT_TRUE(owner.errors.empty());
  EXPECT_EQ(port->ReadAnsiStr(ansi, 1), 1);
  EXPECT_EQ(ansi, "q");
}

TEST_F(ComPortTransferTest, APendingWriteCompletesLaterOrIsAbortedWithItsCode) {
  line->StallOutput(true);
  PAsync a = nullptr;
  CreateAsync(a);
  const char data[] = "held";
  EXPECT_EQ(port->WriteAsync(data, 4, a), 0);
  EXPECT_FALSE(port->IsAsyncCompleted(a));
  line->StallOutput(false);
  EXPECT_EQ(port->WaitForAsync(a), 4);
  EXPECT_TRUE(port->IsAsyncCompleted(a));
  EXPECT_EQ(line->Recorded().written, "held");

  line->StallOutput(true);
  EXPECT_EQ(port->WriteAsync(data, 4, a), 0);
  port->AbortAllAsync();
  try {
    port->WaitForAsync(a);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 2);
    EXPECT_GT(e.WinCode(), 0);
  }
  // The record's kind decides the code of a failed completion.
  line->FailNext(device::FakeCall::kStartRead, device::ErrorOf(device::ErrorKind::kOther));
  char buf[4];
  try {
    port->ReadAsync(buf, 4, a);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 3);
  }
  DestroyAsync(a);
  PAsync none = nullptr;
  EXPECT_THROW(port->WaitForAsync(none), EComPort);
  port->Close();
  EXPECT_EQ(port->WaitForAsync(none), 0) << "a closed port waits for nothing";
}

TEST_F(ComPortTransferTest, AWriteStartedOnAVanishedDeviceClosesThePortFirst) {
  TracePort();
  line->Vanish();
  try {
    port->Write("x", 1);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 25);
    EXPECT_EQ(e.WinCode(), -1);
    EXPECT_STREQ(e.what(), "Port Disconnected");
  }
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(log, Strings{"AfterClose"});
}

TEST_F(ComPortTransferTest, AWriteThatVanishesWhilePendingClosesThePortOnCompletion) {
  TracePort();
  line->StallOutput(true);
  PAsync a = nullptr;
  CreateAsync(a);
  port->WriteAsync("abc", 3, a);
  line->Vanish();
  try {
    port->WaitForAsync(a);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 25);
  }
  EXPECT_FALSE(port->Connected());
  // Only a transfer that cannot start skips the before-close steps: here the lines go off and
  // every other pending transfer is aborted before the port closes.
  EXPECT_EQ(log, (Strings{"CTS0", "DSR0", "RLSD0", "BeforeClose", "AfterClose"}));
  const std::vector<uint32_t> purges = line->Recorded().purges;
  EXPECT_NE(std::find(purges.begin(), purges.end(), device::PURGE_TXABORT | device::PURGE_RXABORT),
            purges.end());
  log.clear();
  DestroyAsync(a);
  // With OnException the report is made and the operation returns 0.
  port->SetPort("/dev/fake1");
  port->Open();
  int reports = 0;
  port->OnException = [&](TCustomComPort*, TComExceptions k, const std::string&, int64_t,
                          const std::string&) {
    EXPECT_EQ(k, CE_PortDisconnected);
    ++reports;
  };
  line2->Vanish();
  char buf[2];
  EXPECT_EQ(port->Read(buf, 2), 0);
  EXPECT_EQ(reports, 1);
  EXPECT_FALSE(port->Connected());
}

}  // namespace
}  // namespace quarlex
