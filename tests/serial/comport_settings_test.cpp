// Line settings model: what the device control block and the time-outs record carry for each
// setting, the preset table, the event-mask conversion and the per-field apply rule.
#include <gtest/gtest.h>

#include <functional>

#include "serial/comport.h"

namespace quarlex {
namespace {

// Counts apply requests without a device: the settings objects' rule in isolation.
class CountingPort : public TComPort {
 public:
  using TComPort::TComPort;
  int line = 0, timeouts = 0, queues = 0;
  void ApplyLineSettings() override { ++line; }
  void ApplyTimeoutSettings() override { ++timeouts; }
  void ApplyQueueSizes() override { ++queues; }
};

TEST(ComPortDcb, DefaultsGiveAZeroedRecordWithOnlyTheNamedFields) {
  TComPort port;
  const TDCB dcb = port.DeviceControlBlock();
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.Flags, 0x0001u);  // binary only
  EXPECT_EQ(dcb.XonLim, 256);
  EXPECT_EQ(dcb.XoffLim, 256);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.StopBits, 0);
  EXPECT_EQ(dcb.XonChar, 17);
  EXPECT_EQ(dcb.XoffChar, 19);
  EXPECT_EQ(dcb.ErrorChar, 0);
  EXPECT_EQ(dcb.EofChar, 0);
  EXPECT_EQ(dcb.EvtChar, 0);
  EXPECT_EQ(dcb.wReserved, 0);
  EXPECT_EQ(dcb.wReserved1, 0);
}

struct FlagCase {
  const char* name;
  std::function<void(TComPort&)> set;
  uint32_t flags;  // expected Flags word
};

TEST(ComPortDcb, EachSettingSetsItsOwnFlagBits) {
  const FlagCase cases[] = {
      {"DiscardNull", [](TComPort& p) { p.SetDiscardNull(true); }, 0x0801},
      {"OutCTSFlow", [](TComPort& p) { p.FlowControl().SetOutCTSFlow(true); }, 0x0005},
      {"OutDSRFlow", [](TComPort& p) { p.FlowControl().SetOutDSRFlow(true); }, 0x0009},
      {"dtrEnable", [](TComPort& p) { p.FlowControl().SetControlDTR(dtrEnable); }, 0x0011},
      {"dtrHandshake", [](TComPort& p) { p.FlowControl().SetControlDTR(dtrHandshake); }, 0x0021},
      {"rtsEnable", [](TComPort& p) { p.FlowControl().SetControlRTS(rtsEnable); }, 0x1001},
      {"rtsHandshake", [](TComPort& p) { p.FlowControl().SetControlRTS(rtsHandshake); }, 0x2001},
      {"rtsToggle", [](TComPort& p) { p.FlowControl().SetControlRTS(rtsToggle); }, 0x3001},
      {"XonXoffOut", [](TComPort& p) { p.FlowControl().SetXonXoffOut(true); }, 0x0101},
      {"XonXoffIn", [](TComPort& p) { p.FlowControl().SetXonXoffIn(true); }, 0x0201},
      {"DSRSensitivity", [](TComPort& p) { p.FlowControl().SetDSRSensitivity(true); }, 0x0041},
      {"TxContinueOnXoff", [](TComPort& p) { p.FlowControl().SetTxContinueOnXoff(true); }, 0x0081},
      {"Check", [](TComPort& p) { p.Parity().SetCheck(true); }, 0x0003},
      {"Check+Replace",
       [](TComPort& p) {
         p.Parity().SetCheck(true);
         p.Parity().SetReplace(true);
       },
       0x0403},
      {"Replace without Check", [](TComPort& p) { p.Parity().SetReplace(true); }, 0x0001},
      {"hardware preset", [](TComPort& p) { p.FlowControl().SetFlowControl(fcHardware); }, 0x2005},
      {"software preset", [](TComPort& p) { p.FlowControl().SetFlowControl(fcSoftware); }, 0x0301},
  };
  for (const auto& c : cases) {
    TComPort port;
    c.set(port);
    EXPECT_EQ(port.DeviceControlBlock().Flags, c.flags) << c.name;
  }
}

TEST(ComPortDcb, ValueFieldsFollowTheirSettings) {
  TComPort port;
  port.SetDataBits(dbFive);
  port.SetStopBits(sbOne5StopBits);
  port.Parity().SetBits(prSpace);
  port.FlowControl().SetXonChar(0x11 + 0x40);
  port.FlowControl().SetXoffChar(0xFE);
  port.SetEofChar(u'\x1A');
  port.SetEventChar(u'\u0141');  // only the low 8 bits reach the device
  port.Parity().SetCheck(true);
  port.Parity().SetReplace(true);
  port.Parity().SetReplaceChar(u'\u01FF');
  const TDCB dcb = port.DeviceControlBlock();
  EXPECT_EQ(dcb.ByteSize, 5);
  EXPECT_EQ(dcb.StopBits, 1);
  EXPECT_EQ(dcb.Parity, 4);
  EXPECT_EQ(dcb.XonChar, 0x51);
  EXPECT_EQ(dcb.XoffChar, 0xFE);
  EXPECT_EQ(dcb.EofChar, 0x1A);
  EXPECT_EQ(dcb.EvtChar, 0x41);
  EXPECT_EQ(dcb.ErrorChar, 0xFF);

  port.SetStopBits(sbTwoStopBits);
  port.SetDataBits(dbSeven);
  port.Parity().SetBits(prMark);
  EXPECT_EQ(port.DeviceControlBlock().StopBits, 2);
  EXPECT_EQ(port.DeviceControlBlock().ByteSize, 7);
  EXPECT_EQ(port.DeviceControlBlock().Parity, 3);
}

TEST(ComPortDcb, BaudRateTableAndCustomRate) {
  TComPort port;
  const uint32_t expected[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                               14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  for (int i = 1; i < 16; ++i) {
    port.SetBaudRate(static_cast<TBaudRate>(i));
    EXPECT_EQ(port.DeviceControlBlock().BaudRate, expected[i]) << i;
  }
  port.SetCustomBaudRate(250000);  // a rate no TBaudRate names
  EXPECT_EQ(port.DeviceControlBlock().BaudRate, 256000u) << "custom rate ignored unless brCustom";
  port.SetBaudRate(brCustom);
  EXPECT_EQ(port.DeviceControlBlock().BaudRate, 250000u);
  port.SetCustomBaudRate(-1);  // passed with its bits unchanged: the device judges it
  EXPECT_EQ(port.DeviceControlBlock().BaudRate, 0xFFFFFFFFu);
}

TEST(ComPortDcb, XonXoffLimitsAreAQuarterOfTheInputQueueInSixteenBits) {
  TComPort port;
  port.Buffer().SetInputSize(65536);  // the main window's stored size
  EXPECT_EQ(port.DeviceControlBlock().XonLim, 16384);
  EXPECT_EQ(port.DeviceControlBlock().XoffLim, 16384);
  port.Buffer().SetInputSize(1 << 20);  // quotient 262144 keeps its low 16 bits: 0
  EXPECT_EQ(port.DeviceControlBlock().XonLim, 0);
  port.Buffer().SetInputSize(0x50006);  // 327686 / 4 = 81921 = 0x14001 -> 0x4001
  EXPECT_EQ(port.DeviceControlBlock().XoffLim, 0x4001);
  port.Buffer().SetInputSize(-12);  // truncated toward zero: -3 -> 0xFFFD
  EXPECT_EQ(port.DeviceControlBlock().XonLim, 0xFFFD);
}

TEST(ComPortTimeouts, MinusOneBecomesAllOnesOtherValuesKeepTheirBits) {
  TComPort port;
  TCommTimeouts t = port.CommTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
  port.Timeouts().SetReadInterval(5);
  port.Timeouts().SetReadTotalMultiplier(-2);
  port.Timeouts().SetReadTotalConstant(7);
  port.Timeouts().SetWriteTotalMultiplier(-1);
  port.Timeouts().SetWriteTotalConstant(0);
  t = port.CommTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 5u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0xFFFFFFFEu);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 7u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0xFFFFFFFFu);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
}

TEST(ComPortFlowPreset, ReadTableOverEveryCombinationOfTheFourFieldsThatCount) {
  for (int rts = 0; rts < 4; ++rts)
    for (int cts = 0; cts < 2; ++cts)
      for (int xin = 0; xin < 2; ++xin)
        for (int xout = 0; xout < 2; ++xout) {
          TComFlowControl f;
          f.SetControlRTS(static_cast<TRTSFlowControl>(rts));
          f.SetOutCTSFlow(cts);
          f.SetXonXoffIn(xin);
          f.SetXonXoffOut(xout);
          // The fields that do not count, set to their non-default values.
          f.SetControlDTR(dtrHandshake);
          f.SetOutDSRFlow(true);
          f.SetDSRSensitivity(true);
          f.SetTxContinueOnXoff(true);
          f.SetXonChar(1);
          TFlowControl want = fcCustom;
          if (rts == rtsHandshake && cts && !xin && !xout) want = fcHardware;
          if (rts == rtsDisable && !cts && xin && xout) want = fcSoftware;
          if (rts == rtsDisable && !cts && !xin && !xout) want = fcNone;
          EXPECT_EQ(f.FlowControl(), want) << rts << cts << xin << xout;
        }
}

TEST(ComPortFlowPreset, WriteTouchesOnlyTheFourPresetFieldsAndAlwaysApplies) {
  CountingPort port;
  TComFlowControl& f = port.FlowControl();
  f.SetOutDSRFlow(true);
  f.SetControlDTR(dtrEnable);
  f.SetDSRSensitivity(true);
  f.SetXoffChar(0x93);
  port.line = 0;
  f.SetFlowControl(fcHardware);
  EXPECT_EQ(f.ControlRTS(), rtsHandshake);
  EXPECT_TRUE(f.OutCTSFlow());
  f.SetFlowControl(fcNone);
  EXPECT_EQ(f.FlowControl(), fcNone);
  EXPECT_TRUE(f.OutDSRFlow());
  EXPECT_EQ(f.ControlDTR(), dtrEnable);
  EXPECT_TRUE(f.DSRSensitivity());
  EXPECT_EQ(f.XoffChar(), 0x93);
  f.SetFlowControl(fcSoftware);
  EXPECT_TRUE(f.XonXoffIn() && f.XonXoffOut());
  EXPECT_EQ(f.ControlRTS(), rtsDisable);
  f.SetControlRTS(rtsEnable);
  EXPECT_EQ(f.FlowControl(), fcCustom);
  port.line = 0;
  f.SetFlowControl(fcCustom);  // changes nothing, still re-applies
  EXPECT_EQ(f.ControlRTS(), rtsEnable);
  EXPECT_TRUE(f.XonXoffIn());
  EXPECT_EQ(port.line, 1);
  f.SetFlowControl(fcSoftware);  // same fields again: applies anyway
  f.SetFlowControl(fcSoftware);
  EXPECT_EQ(port.line, 3);
}

TEST(ComPortSettings, AWriteAppliesItsGroupOnlyWhenTheValueChanges) {
  CountingPort port;
  port.Parity().SetBits(prNone);
  port.Timeouts().SetReadInterval(-1);
  port.Buffer().SetInputSize(1024);
  port.SetBaudRate(br9600);
  EXPECT_EQ(port.line + port.timeouts + port.queues, 0);

  port.Parity().SetBits(prEven);
  port.Parity().SetReplaceChar(u'x');
  port.FlowControl().SetXonChar(1);
  port.SetBaudRate(br57600);
  port.SetCustomBaudRate(1);
  port.SetStopBits(sbTwoStopBits);
  port.SetDataBits(dbSeven);
  port.SetDiscardNull(true);
  port.SetEofChar(u'a');
  port.SetEventChar(u'b');
  EXPECT_EQ(port.line, 10);
  port.Timeouts().SetWriteTotalConstant(1);
  EXPECT_EQ(port.timeouts, 1);
  EXPECT_EQ(port.queues, 0);
  port.Buffer().SetOutputSize(2048);
  EXPECT_EQ(port.queues, 1);
  EXPECT_EQ(port.line, 10);
}

TEST(ComPortSettings, QueueSizesAreStoredEvenWhenPositive) {
  CountingPort port;
  port.Buffer().SetInputSize(1023);
  EXPECT_EQ(port.Buffer().InputSize(), 1022);
  port.Buffer().SetInputSize(-3);
  EXPECT_EQ(port.Buffer().InputSize(), -3);
  port.Buffer().SetOutputSize(0);
  EXPECT_EQ(port.Buffer().OutputSize(), 0);
  port.Buffer().SetOutputSize(1);
  EXPECT_EQ(port.Buffer().OutputSize(), 0);
  EXPECT_EQ(port.queues, 4) << "1 after 0 stores 0 but still counts as a change";
  port.Buffer().SetInputSize(-3);
  EXPECT_EQ(port.queues, 4);
}

TEST(ComPortSettings, ReplacingAWholeObjectCopiesFieldsAndAppliesOnce) {
  CountingPort port;
  TComFlowControl other;  // free-standing: applies nothing itself
  other.SetFlowControl(fcHardware);
  other.SetXonChar(5);
  EXPECT_EQ(other.ComPort(), nullptr);
  port.SetFlowControl(other);
  EXPECT_EQ(port.line, 1);
  EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware);
  EXPECT_EQ(port.FlowControl().XonChar(), 5);
  EXPECT_EQ(port.FlowControl().ComPort(), &port);

  TComParity parity;
  parity.SetBits(prOdd);
  parity.SetCheck(true);
  port.SetParity(parity);
  EXPECT_EQ(port.line, 2);
  EXPECT_EQ(port.Parity().Bits(), prOdd);

  TComTimeouts timeouts;
  timeouts.SetReadTotalConstant(50);
  port.SetTimeouts(timeouts);
  EXPECT_EQ(port.timeouts, 1);
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 50);

  TComBuffer buffer;
  buffer.SetInputSize(4097);
  port.SetBuffer(buffer);
  EXPECT_EQ(port.queues, 1);
  EXPECT_EQ(port.Buffer().InputSize(), 4096);

  // Assign between objects copies and applies nothing.
  TComParity copy(&port);
  copy.Assign(port.Parity());
  EXPECT_EQ(copy.Bits(), prOdd);
  EXPECT_EQ(port.line, 2);
}

TEST(ComPortEvents, MaskConversionRoundTripsEverySetAndDropsUnknownBits) {
  for (uint16_t bits = 0; bits < 1024; ++bits) {
    const TComEvents s = TComEvents::FromBits(bits);
    ASSERT_EQ(MaskToEvents(EventsToMask(s)), s) << bits;
  }
  EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
  EXPECT_EQ(AllComEvents.Bits(), 1023);
  // Each event's own bit, checked against the fixed table.
  const std::pair<TComEvent, uint32_t> table[] = {
      {evRxChar, 0x0001}, {evTxEmpty, 0x0004}, {evRxFlag, 0x0002}, {evRing, 0x0100}, {evBreak, 0x0040},
      {evCTS, 0x0008},    {evDSR, 0x0010},     {evError, 0x0080},  {evRLSD, 0x0020}, {evRx80Full, 0x0400}};
  for (auto [ev, bit] : table) EXPECT_EQ(EventsToMask(TComEvents{ev}), bit) << int(ev);
  EXPECT_TRUE(MaskToEvents(0x0200 | 0x0800 | 0xF000).Empty());
  EXPECT_EQ(MaskToEvents(0x0201), TComEvents{evRxChar});
}

}  // namespace
}  // namespace quarlex
