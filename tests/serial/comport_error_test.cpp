// The error routine: texts, codes, OS codes, with and without OnException.
#include <gtest/gtest.h>

#include <string>

#include "serial/comport.h"

namespace quarlex {
namespace {

using enum TComExceptions;

TEST(ComPortError, TheTwentyFiveTexts) {
  const char* expected[] = {"Unable to open com port",
                            "WriteFile function failed",
                            "ReadFile function failed",
                            "Invalid Async parameter",
                            "PurgeComm function failed",
                            "Unable to get async status",
                            "SetCommState function failed",
                            "SetCommTimeouts failed",
                            "SetupComm function failed",
                            "ClearCommError function failed",
                            "GetCommModemStatus function failed",
                            "EscapeCommFunction function failed",
                            "TransmitCommChar function failed",
                            "Cannot set property while connected",
                            "EnumPorts function failed",
                            "Failed to store settings",
                            "Failed to load settings",
                            "Link (un)registration failed",
                            "Cannot change led state if ComPort is selected",
                            "Cannot wait for event if event thread is created",
                            "WaitForEvent method failed",
                            "A component is linked to OnRxBuf event",
                            "Registry error",
                            "Port Not Open",
                            "Port Disconnected"};
  for (int code = 1; code <= 25; ++code) EXPECT_EQ(ComErrorText(code), expected[code - 1]) << code;
  // Each kind carries its code and text, the first and the last included.
  for (const auto& [kind, code] :
       {std::pair{CE_OpenFailed, 1}, {CE_SetStateFailed, 7}, {CE_PortDisconnected, 25}}) {
    const EComPort e = EComPort::CreateNoWinCode(kind);
    EXPECT_EQ(e.Code(), code);
    EXPECT_STREQ(e.what(), expected[code - 1]);
  }
  EXPECT_EQ(ComErrorText(0), "");
  EXPECT_EQ(ComErrorText(26), "");
}

TEST(ComPortError, WithoutOnExceptionEveryReportThrows) {
  TComPort port;
  try {
    port.RaiseComError(CE_OpenFailed, 2);
    FAIL() << "no exception";
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "Unable to open com port (Error: 2)");
    EXPECT_EQ(e.Code(), 1);
    EXPECT_EQ(e.WinCode(), 2);
  }
  try {
    port.RaiseComError(CEPortNotOpen, PortNotOpenOSCode);
    FAIL() << "no exception";
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "Port Not Open");
    EXPECT_EQ(e.Code(), 24);
    EXPECT_EQ(e.WinCode(), -1);
  }
  try {
    port.RaiseComError(CE_ConnChangeProp, 0);
    FAIL() << "no exception";
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "Cannot set property while connected");
    EXPECT_EQ(e.WinCode(), -1);
  }
  // WinCode keeps the low 32 bits of a 64-bit OS code; the message shows it whole.
  const EComPort big = EComPort::Create(CE_SetStateFailed, 0x100000005LL);
  EXPECT_EQ(big.WinCode(), 5);
  EXPECT_STREQ(big.what(), "SetCommState function failed (Error: 4294967301)");
}

TEST(ComPortError, WithOnExceptionTheHandlerIsToldAndTheRoutineReturns) {
  TComPort port;
  struct Call {
    TCustomComPort* sender;
    TComExceptions kind;
    std::string message;
    int64_t win_error;
    std::string win_message;
  };
  std::vector<Call> calls;
  port.OnException = [&](TCustomComPort* s, TComExceptions k, const std::string& m, int64_t w,
                         const std::string& wm) {
    calls.push_back({s, k, m, w, wm});
  };
  EXPECT_NO_THROW(port.RaiseComError(CEPortNotOpen, PortNotOpenOSCode));
  EXPECT_NO_THROW(port.RaiseComError(CE_ReadFailed, 5, "Input/output error"));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].sender, &port);
  EXPECT_EQ(calls[0].kind, CEPortNotOpen);
  EXPECT_EQ(calls[0].message, "Port Not Open");
  EXPECT_EQ(calls[0].win_error, -24);
  EXPECT_EQ(calls[0].win_message, "") << "no OS text without a positive OS code";
  EXPECT_EQ(calls[1].kind, CE_ReadFailed);
  EXPECT_EQ(calls[1].message, "ReadFile function failed");
  EXPECT_EQ(calls[1].win_error, 5);
  EXPECT_EQ(calls[1].win_message, "System Error.  Code: 5.\r\nInput/output error");
}

TEST(ComPortError, PropertyRulesThatReportWithoutADevice) {
  TComPort port;
  TComLink link;
  port.RegisterLink(&link);
  EXPECT_THROW(port.RegisterLink(&link), EComPort);
  port.UnRegisterLink(&link);
  try {
    port.UnRegisterLink(&link);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 18);
  }
  // TriggersOnRxChar: refused while a link listens to OnRxBuf; reading gives the stored field.
  link.OnRxBuf = [](TCustomComPort*, const uint8_t*, int32_t) {};
  port.RegisterLink(&link);
  try {
    port.SetTriggersOnRxChar(false);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 22);
  }
  EXPECT_TRUE(port.TriggersOnRxChar());
  int reports = 0;
  port.OnException = [&](TCustomComPort*, TComExceptions k, const std::string&, int64_t, const std::string&) {
    EXPECT_EQ(k, CE_HasLink);
    ++reports;
  };
  port.SetTriggersOnRxChar(false);  // reported, then stored once the handler returned
  EXPECT_EQ(reports, 1);
  EXPECT_FALSE(port.TriggersOnRxChar());
  // A second registration with OnException installed is reported and keeps one entry.
  port.OnException = [&](TCustomComPort*, TComExceptions k, const std::string&, int64_t, const std::string&) {
    EXPECT_EQ(k, CE_RegFailed);
    ++reports;
  };
  port.RegisterLink(&link);
  port.UnRegisterLink(&link);
  EXPECT_EQ(reports, 2);
  port.UnRegisterLink(&link);  // the list really held only one
  EXPECT_EQ(reports, 3);
}

TEST(ComPortError, LineControlOnAClosedPortReportsItsCode) {
  TComPort port;
  auto code_of = [](auto&& f) {
    try {
      f();
    } catch (const EComPort& e) {
      return e.Code();
    }
    return 0;
  };
  EXPECT_EQ(code_of([&] { port.InputCount(); }), 10);
  EXPECT_EQ(code_of([&] { port.LastErrors(); }), 10);
  EXPECT_EQ(code_of([&] { port.Signals(); }), 11);
  EXPECT_EQ(code_of([&] { port.SetDTR(true); }), 12);
  EXPECT_EQ(code_of([&] { port.SetBreak(false); }), 12);
  EXPECT_EQ(code_of([&] { port.TransmitChar(u'A'); }), 13);
  EXPECT_EQ(code_of([&] { port.ClearBuffer(true, true); }), 5);
  uint8_t b = 0;
  EXPECT_EQ(code_of([&] { port.Write(&b, 1); }), 24);
  EXPECT_EQ(code_of([&] { port.Read(&b, 1); }), 24);
  PAsync none = nullptr;
  EXPECT_EQ(code_of([&] { port.WriteAsync(&b, 1, none); }), 4);
  EXPECT_EQ(code_of([&] { port.IsAsyncCompleted(nullptr); }), 4);
  TComEvents ev{evRxChar};
  EXPECT_EQ(code_of([&] { port.WaitForEvent(ev, nullptr, 0); }), 21);
}

TEST(ComPortError, WriteOnAClosedPortWithOnExceptionReportsNotOpenThenTheFailedWrite) {
  TComPort port;
  std::vector<std::pair<TComExceptions, int64_t>> reports;
  port.OnException = [&](TCustomComPort*, TComExceptions k, const std::string&, int64_t w,
                         const std::string&) {
    reports.push_back({k, w});
  };
  TComLink link;
  int tx = 0;
  link.OnTx = [&](TCustomComPort*, bool) { ++tx; };
  port.RegisterLink(&link);
  const uint8_t data[2] = {1, 2};
  EXPECT_EQ(port.Write(data, 2), 0);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].first, CEPortNotOpen);
  EXPECT_EQ(reports[0].second, -24);
  EXPECT_EQ(reports[1].first, CE_WriteFailed);
  EXPECT_GT(reports[1].second, 0);
  EXPECT_EQ(tx, 0) << "no link hears of a write that never started";
}

}  // namespace
}  // namespace quarlex
