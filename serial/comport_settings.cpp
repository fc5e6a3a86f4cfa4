#include "serial/comport_settings.h"

#include "serial/comport.h"

namespace quarlex {

uint32_t EventsToMask(TComEvents events) {
  uint32_t mask = 0;
  for (int i = 0; i < 10; ++i)
    if (events.Has(static_cast<TComEvent>(i))) mask |= ComEventMaskBits[i];
  return mask;
}

TComEvents MaskToEvents(uint32_t mask) {
  TComEvents events;
  for (int i = 0; i < 10; ++i)
    if (mask & ComEventMaskBits[i]) events.Include(static_cast<TComEvent>(i));
  return events;
}

// --- TComParity

void TComParity::Changed() {
  if (FComPort) FComPort->ApplyLineSettings();
}
void TComParity::Assign(const TComParity& source) {
  FBits = source.FBits;
  FCheck = source.FCheck;
  FReplace = source.FReplace;
  FReplaceChar = source.FReplaceChar;
}
void TComParity::SetBits(TParityBits value) {
  if (StoreChanged(FBits, value)) Changed();
}
void TComParity::SetCheck(bool value) {
  if (StoreChanged(FCheck, value)) Changed();
}
void TComParity::SetReplace(bool value) {
  if (StoreChanged(FReplace, value)) Changed();
}
void TComParity::SetReplaceChar(char16_t value) {
  if (StoreChanged(FReplaceChar, value)) Changed();
}

// --- TComFlowControl

void TComFlowControl::Changed() {
  if (FComPort) FComPort->ApplyLineSettings();
}
void TComFlowControl::Assign(const TComFlowControl& source) {
  FOutCTSFlow = source.FOutCTSFlow;
  FOutDSRFlow = source.FOutDSRFlow;
  FControlDTR = source.FControlDTR;
  FControlRTS = source.FControlRTS;
  FXonXoffOut = source.FXonXoffOut;
  FXonXoffIn = source.FXonXoffIn;
  FDSRSensitivity = source.FDSRSensitivity;
  FTxContinueOnXoff = source.FTxContinueOnXoff;
  FXonChar = source.FXonChar;
  FXoffChar = source.FXoffChar;
}
void TComFlowControl::SetOutCTSFlow(bool value) {
  if (StoreChanged(FOutCTSFlow, value)) Changed();
}
void TComFlowControl::SetOutDSRFlow(bool value) {
  if (StoreChanged(FOutDSRFlow, value)) Changed();
}
void TComFlowControl::SetControlDTR(TDTRFlowControl value) {
  if (StoreChanged(FControlDTR, value)) Changed();
}
void TComFlowControl::SetControlRTS(TRTSFlowControl value) {
  if (StoreChanged(FControlRTS, value)) Changed();
}
void TComFlowControl::SetXonXoffOut(bool value) {
  if (StoreChanged(FXonXoffOut, value)) Changed();
}
void TComFlowControl::SetXonXoffIn(bool value) {
  if (StoreChanged(FXonXoffIn, value)) Changed();
}
void TComFlowControl::SetDSRSensitivity(bool value) {
  if (StoreChanged(FDSRSensitivity, value)) Changed();
}
void TComFlowControl::SetTxContinueOnXoff(bool value) {
  if (StoreChanged(FTxContinueOnXoff, value)) Changed();
}
void TComFlowControl::SetXonChar(uint8_t value) {
  if (StoreChanged(FXonChar, value)) Changed();
}
void TComFlowControl::SetXoffChar(uint8_t value) {
  if (StoreChanged(FXoffChar, value)) Changed();
}

TFlowControl TComFlowControl::FlowControl() const {
  if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcHardware;
  if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut) return fcSoftware;
  if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcNone;
  return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
  if (value != fcCustom) {
    FControlRTS = rtsDisable;
    FOutCTSFlow = false;
    FXonXoffIn = false;
    FXonXoffOut = false;
    if (value == fcHardware) {
      FControlRTS = rtsHandshake;
      FOutCTSFlow = true;
    } else if (value == fcSoftware) {
      FXonXoffIn = true;
      FXonXoffOut = true;
    }
  }
  Changed();
}

// --- TComBuffer

void TComBuffer::Changed() {
  if (FComPort) FComPort->ApplyQueueSizes();
}
void TComBuffer::Assign(const TComBuffer& source) {
  FInputSize = source.FInputSize;
  FOutputSize = source.FOutputSize;
}

namespace {
int32_t EvenQueueSize(int32_t value) {
  return (value > 0 && value % 2 == 1) ? value - 1 : value;
}
}  // namespace

void TComBuffer::SetInputSize(int32_t value) {
  if (FInputSize == value) return;
  FInputSize = EvenQueueSize(value);
  Changed();
}
void TComBuffer::SetOutputSize(int32_t value) {
  if (FOutputSize == value) return;
  FOutputSize = EvenQueueSize(value);
  Changed();
}

// --- TComTimeouts

void TComTimeouts::Changed() {
  if (FComPort) FComPort->ApplyTimeoutSettings();
}
void TComTimeouts::Set(int32_t& field, int32_t value) {
  if (StoreChanged(field, value)) Changed();
}
void TComTimeouts::Assign(const TComTimeouts& source) {
  FReadInterval = source.FReadInterval;
  FReadTotalM = source.FReadTotalM;
  FReadTotalC = source.FReadTotalC;
  FWriteTotalM = source.FWriteTotalM;
  FWriteTotalC = source.FWriteTotalC;
}
void TComTimeouts::SetReadInterval(int32_t value) {
  Set(FReadInterval, value);
}
void TComTimeouts::SetReadTotalMultiplier(int32_t value) {
  Set(FReadTotalM, value);
}
void TComTimeouts::SetReadTotalConstant(int32_t value) {
  Set(FReadTotalC, value);
}
void TComTimeouts::SetWriteTotalMultiplier(int32_t value) {
  Set(FWriteTotalM, value);
}
void TComTimeouts::SetWriteTotalConstant(int32_t value) {
  Set(FWriteTotalC, value);
}

// --- conversions

TDCB BuildDCB(const TLineProperties& line, const TComParity& parity, const TComFlowControl& flow,
              const TComBuffer& buffer) {
  // The record starts all zero (the device layer's own defaults are not wanted here).
  TDCB dcb;
  dcb.DCBlength = sizeof(TDCB);
  dcb.wReserved = 0;
  dcb.ErrorChar = 0;
  dcb.wReserved1 = 0;
  dcb.BaudRate =
      line.BaudRate == brCustom ? static_cast<uint32_t>(line.CustomBaudRate) : BaudRateValues[line.BaudRate];
  // Both limits at a quarter of the input queue; the 16-bit fields keep the low bits.
  const auto limit = static_cast<uint16_t>(static_cast<uint32_t>(buffer.InputSize() / 4));
  dcb.XonLim = limit;
  dcb.XoffLim = limit;
  dcb.EofChar = static_cast<uint8_t>(line.EofChar);
  dcb.EvtChar = static_cast<uint8_t>(line.EventChar);
  uint32_t flags = device::kDcbBinary;
  if (line.DiscardNull) flags |= device::kDcbNull;
  dcb.XonChar = flow.XonChar();
  dcb.XoffChar = flow.XoffChar();
  if (flow.OutCTSFlow()) flags |= device::kDcbOutxCtsFlow;
  if (flow.OutDSRFlow()) flags |= device::kDcbOutxDsrFlow;
  flags |= static_cast<uint32_t>(flow.ControlDTR()) << 4;
  flags |= static_cast<uint32_t>(flow.ControlRTS()) << 12;
  if (flow.XonXoffOut()) flags |= device::kDcbOutX;
  if (flow.XonXoffIn()) flags |= device::kDcbInX;
  if (flow.DSRSensitivity()) flags |= device::kDcbDsrSensitivity;
  if (flow.TxContinueOnXoff()) flags |= device::kDcbTxContinueOnXoff;
  dcb.Parity = static_cast<uint8_t>(parity.Bits());
  dcb.StopBits = static_cast<uint8_t>(line.StopBits);
  dcb.ByteSize = static_cast<uint8_t>(5 + line.DataBits);
  if (parity.Check()) {
    flags |= device::kDcbParity;
    if (parity.Replace()) {
      flags |= device::kDcbErrorChar;
      dcb.ErrorChar = static_cast<uint8_t>(parity.ReplaceChar());
    }
  }
  dcb.Flags = flags;
  return dcb;
}

TCommTimeouts BuildCommTimeouts(const TComTimeouts& t) {
  // Bits are passed unchanged, so -1 arrives as the all-ones "no limit" value.
  TCommTimeouts r;
  r.ReadIntervalTimeout = static_cast<uint32_t>(t.ReadInterval());
  r.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(t.ReadTotalMultiplier());
  r.ReadTotalTimeoutConstant = static_cast<uint32_t>(t.ReadTotalConstant());
  r.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(t.WriteTotalMultiplier());
  r.WriteTotalTimeoutConstant = static_cast<uint32_t>(t.WriteTotalConstant());
  return r;
}

}  // namespace quarlex
