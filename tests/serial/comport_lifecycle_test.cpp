// Open/Close with their handler and link order, the apply gate on a real (fake) device, property
// writes while open, and the line-control mappings.
#include <gtest/gtest.h>

#include <cerrno>

#include "serial/support/comport_fixture.h"

namespace quarlex {
namespace {

using enum TComExceptions;

using test::ComPortFakeTest;
using Strings = std::vector<std::string>;

TEST_F(ComPortFakeTest, OpenSendsAllSettingsOnceInOrderAndTheGateHoldsWhileClosed) {
  port->SetBaudRate(br115200);
  port->Parity().SetBits(prEven);
  port->Buffer().SetInputSize(65536);
  port->Timeouts().SetWriteTotalConstant(50);
  auto rec = line->Recorded();
  EXPECT_TRUE(rec.states.empty() && rec.timeouts.empty() && rec.queue_sizes.empty());

  port->SetEvents({});
  port->Open();
  rec = line->Recorded();
  ASSERT_EQ(rec.queue_sizes.size(), 1u);
  EXPECT_EQ(rec.queue_sizes[0], std::make_pair(65536u, 1024u));
  ASSERT_EQ(rec.states.size(), 1u);
  EXPECT_EQ(rec.states[0], port->DeviceControlBlock());
  EXPECT_EQ(rec.states[0].BaudRate, 115200u);
  EXPECT_EQ(rec.states[0].XonLim, 16384);
  ASSERT_EQ(rec.timeouts.size(), 1u);
  EXPECT_EQ(rec.timeouts[0].WriteTotalTimeoutConstant, 50u);

  // Open: each change goes out at once, the same value not at all.
  port->SetDataBits(dbSeven);
  port->SetDataBits(dbSeven);
  port->FlowControl().SetFlowControl(fcCustom);  // nothing changes, still re-sent
  EXPECT_EQ(line->Recorded().states.size(), 3u);
  EXPECT_EQ(line->Recorded().states.back().ByteSize, 7);

  // The bracket: nothing reaches the device until the outermost EndUpdate, then all of it once.
  port->EndUpdate();  // without BeginUpdate: nothing
  port->BeginUpdate();
  port->BeginUpdate();
  port->SetBaudRate(br57600);
  port->Timeouts().SetReadTotalConstant(9);
  port->Buffer().SetOutputSize(4096);
  port->EndUpdate();
  rec = line->Recorded();
  EXPECT_EQ(rec.states.size(), 3u);
  EXPECT_EQ(rec.timeouts.size(), 1u);
  EXPECT_EQ(rec.queue_sizes.size(), 1u);
  port->EndUpdate();
  rec = line->Recorded();
  EXPECT_EQ(rec.states.size(), 4u);
  EXPECT_EQ(rec.states.back().BaudRate, 57600u);
  EXPECT_EQ(rec.timeouts.size(), 2u);
  EXPECT_EQ(rec.queue_sizes.size(), 2u);
  EXPECT_EQ(port->UpdateCount(), 0);

  // Design mode and loading close the gate too.
  port->SetDesigning(true);
  port->SetBaudRate(br300);
  port->SetDesigning(false);
  port->BeginLoading();
  port->SetBaudRate(br600);
  EXPECT_EQ(line->Recorded().states.size(), 4u);
}

TEST_F(ComPortFakeTest, ARefusedSettingStaysStoredAndIsReportedWithItsCode) {
  port->SetEvents({});
  port->Open();
  line->FailNext(device::FakeCall::kSetState, device::ErrorOf(device::ErrorKind::kInvalidParameter));
  try {
    port->SetStopBits(sbOne5StopBits);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 7);
    // The platform's own number for the verdict: errno here, the comm API's code on Windows.
    const int code = device::ErrorOf(device::ErrorKind::kInvalidParameter).os_code;
    EXPECT_EQ(e.WinCode(), code);
    EXPECT_EQ(std::string(e.what()), "SetCommState function failed (Error: " + std::to_string(code) + ")");
  }
  EXPECT_EQ(port->StopBits(), sbOne5StopBits);
  line->FailNext(device::FakeCall::kSetTimeouts, device::ErrorOf(device::ErrorKind::kInvalidParameter));
  EXPECT_THROW(port->Timeouts().SetReadInterval(3), EComPort);
  line->FailNext(device::FakeCall::kSetQueueSizes, device::ErrorOf(device::ErrorKind::kInvalidParameter));
  try {
    port->Buffer().SetInputSize(-2);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 9);
  }
}

TEST_F(ComPortFakeTest, OpenFailingInItsSettingsLeavesThePortClosedAndTheDeviceFree) {
  line->FailNext(device::FakeCall::kSetState, device::ErrorOf(device::ErrorKind::kInvalidParameter));
  TracePort();
  EXPECT_THROW(port->Open(), EComPort);
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(port->Handle(), nullptr);
  EXPECT_FALSE(line->IsOpen());
  EXPECT_EQ(log, Strings{"BeforeOpen"});
  port->Open();  // the failure was one-off: the device can be opened again
  EXPECT_TRUE(port->Connected());
}

TEST_F(ComPortFakeTest, OpenOfAMissingDeviceReportsCodeOneWithTheOSCode) {
  TracePort();
  TComLink link;
  Trace(link);
  port->RegisterLink(&link);
  port->SetPort("/dev/nothing-here");
  try {
    port->Open();
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 1);
    EXPECT_EQ(e.WinCode(), ENOENT);
    EXPECT_EQ(std::string(e.what()), "Unable to open com port (Error: " + std::to_string(ENOENT) + ")");
  }
  EXPECT_EQ(log, Strings{"BeforeOpen"});
  EXPECT_FALSE(port->Connected());

  // With OnException the failure is reported and the port stays closed (no device, not open).
  int reports = 0;
  port->OnException = [&](TCustomComPort*, TComExceptions k, const std::string&, int64_t w,
                          const std::string& wm) {
    EXPECT_EQ(k, CE_OpenFailed);
    EXPECT_EQ(w, ENOENT);
    EXPECT_NE(wm.find("System Error.  Code: 2."), std::string::npos);
    ++reports;
  };
  port->Open();
  EXPECT_EQ(reports, 1);
  EXPECT_FALSE(port->Connected());
}

TEST_F(ComPortFakeTest, OpenAndCloseCallHandlersAndLinksInTheirOrder) {
  TracePort();
  TComLink a, b;
  Trace(a);
  b.OnConn = [this](TCustomComPort*, bool on) { log.push_back(std::string("b.Conn") + (on ? "1" : "0")); };
  port->RegisterLink(&a);
  port->RegisterLink(&b);
  line->SetModemLines(device::MS_CTS_ON | device::MS_RLSD_ON);
  port->SetEvents({});
  port->Open();
  EXPECT_EQ(log, (Strings{"BeforeOpen", "link.Conn1", "b.Conn1", "AfterOpen", "link.CTS1", "CTS1",
                          "link.DSR0", "DSR0", "link.RLSD1", "RLSD1"}));
  log.clear();
  port->Open();  // already open: nothing
  EXPECT_TRUE(log.empty());
  port->Close();
  EXPECT_EQ(log, (Strings{"link.CTS0", "link.DSR0", "link.RLSD0", "CTS0", "DSR0", "RLSD0", "BeforeClose",
                          "link.Conn0", "b.Conn0", "AfterClose"}));
  EXPECT_FALSE(line->IsOpen());
  EXPECT_EQ(line->Recorded().purges, (std::vector<uint32_t>{device::PURGE_TXABORT | device::PURGE_RXABORT}));
  log.clear();
  port->Close();  // already closed: nothing
  EXPECT_TRUE(log.empty());
}

TEST_F(ComPortFakeTest, ChangingThePortWhileOpenClosesAndOpensTheNewDevice) {
  port->SetEvents({});
  port->Open();
  TracePort();
  port->SetPort("/dev/fake0");
  EXPECT_TRUE(log.empty());
  port->SetPort("/dev/fake1");
  EXPECT_EQ(log, (Strings{"CTS0", "DSR0", "RLSD0", "BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen",
                          "CTS0", "DSR0", "RLSD0"}));
  EXPECT_FALSE(line->IsOpen());
  EXPECT_TRUE(line2->IsOpen());
  EXPECT_EQ(line2->Recorded().states.size(), 1u);
  // Connected as a property: the same value does nothing, false closes.
  log.clear();
  port->SetConnected(true);
  EXPECT_TRUE(log.empty());
  port->SetConnected(false);
  EXPECT_FALSE(line2->IsOpen());
}

TEST_F(ComPortFakeTest, PropertiesThatMayNotChangeWhileOpen) {
  port->SetEvents({});
  port->Open();
  try {
    port->SetSyncMethod(smNone);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 14);
    EXPECT_STREQ(e.what(), "Cannot set property while connected");
  }
  EXPECT_EQ(port->SyncMethod(), smThreadSync);
  EXPECT_NO_THROW(port->SetSyncMethod(smThreadSync));
  EXPECT_THROW(port->SetEventThreadPriority(tpHigher), EComPort);
  EXPECT_EQ(port->EventThreadPriority(), tpNormal);
  port->Close();
  port->SetSyncMethod(smWindowSync);
  EXPECT_EQ(port->SyncMethod(), smWindowSync);
}

TEST_F(ComPortFakeTest, LoadedOpensAPortStoredAsConnected) {
  port->BeginLoading();
  port->SetConnected(true);  // only stored while loading
  EXPECT_FALSE(line->IsOpen());
  port->Loaded();
  EXPECT_TRUE(port->Connected());
  EXPECT_TRUE(line->IsOpen());
  port->Close();
  // A failing open in Loaded goes to the owner's general handler, not to the caller.
  port->SetPort("/dev/nothing-here");
  port->BeginLoading();
  port->SetConnected(true);
  EXPECT_NO_THROW(port->Loaded());
  ASSERT_EQ(owner.errors.size(), 1u);
  EXPECT_EQ(owner.ErrorCode(0), 1);
  EXPECT_FALSE(port->Connected());
}

TEST_F(ComPortFakeTest, LineControlMapsToTheDeviceValues) {
  port->SetEvents({});
  port->Open();
  port->SetDTR(true);
  port->SetDTR(false);
  port->SetRTS(true);
  port->SetRTS(false);
  port->SetXonXoff(true);
  port->SetXonXoff(false);
  port->SetBreak(true);
  port->SetBreak(false);
  EXPECT_EQ(line->Recorded().escapes, (std::vector<uint32_t>{5, 6, 3, 4, 2, 1, 8, 9}));
  port->ClearBuffer(true, false);
  port->ClearBuffer(false, true);
  port->ClearBuffer(false, false);
  EXPECT_EQ(line->Recorded().purges, (std::vector<uint32_t>{8, 4, 0}));
  port->TransmitChar(u'\u0141');
  EXPECT_EQ(line->Recorded().written, "\x41");

  line->SetModemLines(device::MS_CTS_ON | device::MS_DSR_ON | device::MS_RING_ON | device::MS_RLSD_ON);
  EXPECT_EQ(port->Signals(), (TComSignals{csCTS, csDSR, csRing, csRLSD}));
  line->SetModemLines(device::MS_DSR_ON);
  EXPECT_EQ(port->Signals(), TComSignals{csDSR});

  // Parity errors count only when the driver checks parity; every query consumes the word.
  line->LineError(device::CE_RXPARITY | device::CE_FRAME);
  EXPECT_EQ(port->LastErrors(), TComErrors{ceFrame});
  EXPECT_TRUE(port->LastErrors().Empty());
  port->Parity().SetCheck(true);
  line->LineError(device::CE_RXPARITY | device::CE_OVERRUN);
  EXPECT_EQ(port->LastErrors(), (TComErrors{ceRxParity, ceOverrun}));
  // A queue count clears the device's error word; the port keeps what it took for LastErrors.
  line->LineError(device::CE_BREAK);
  EXPECT_EQ(port->InputCount(), 0);
  EXPECT_EQ(port->LastErrors(), TComErrors{ceBreak});
  EXPECT_TRUE(port->LastErrors().Empty());

  line->Receive("hello");
  EXPECT_EQ(port->InputCount(), 5);
  EXPECT_EQ(port->OutputCount(), 0);

  line->FailNext(device::FakeCall::kEscape, device::ErrorOf(device::ErrorKind::kOther));
  try {
    port->SetRTS(true);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 12);
  }
  line->FailNext(device::FakeCall::kGetModemStatus, device::ErrorOf(device::ErrorKind::kOther));
  EXPECT_THROW(port->Signals(), EComPort);
}

TEST_F(ComPortFakeTest, ANewOpenOfTheSameLineWhileItIsHeldIsBusy) {
  port->SetEvents({});
  port->Open();
  TComPort other(&owner);
  other.SetPort("/dev/fake0");
  other.SetEvents({});
  try {
    other.Open();
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 1);
    EXPECT_GT(e.WinCode(), 0);
  }
  EXPECT_FALSE(other.Connected());
}

}  // namespace
}  // namespace quarlex
