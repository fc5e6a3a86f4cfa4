#pragma once
// The four settings objects of a serial line. Each holds plain values and a non-owning pointer to
// its port (null for a free-standing object). A write that changes a value stores it first and
// then asks the port to re-apply the matching group; the port decides whether the device is open
// and whether applying is allowed now (its apply gate). A write of the current value does nothing.
// Owner's thread only, like the port.
#include <cstdint>

#include "serial/comport_types.h"

namespace quarlex {

class TCustomComPort;

class TComParity {
 public:
  explicit TComParity(TCustomComPort* port = nullptr) : FComPort(port) {}
  TComParity(const TComParity&) = delete;
  TComParity& operator=(const TComParity&) = delete;

  TCustomComPort* ComPort() const { return FComPort; }
  // Copies the setting fields (not ComPort); applies nothing.
  void Assign(const TComParity& source);

  TParityBits Bits() const { return FBits; }
  bool Check() const { return FCheck; }
  bool Replace() const { return FReplace; }
  char16_t ReplaceChar() const { return FReplaceChar; }
  void SetBits(TParityBits value);
  void SetCheck(bool value);
  void SetReplace(bool value);
  void SetReplaceChar(char16_t value);

 private:
  void Changed();
  TCustomComPort* const FComPort;
  TParityBits FBits = prNone;
  bool FCheck = false;
  bool FReplace = false;
  char16_t FReplaceChar = 0;
};

class TComFlowControl {
 public:
  explicit TComFlowControl(TCustomComPort* port = nullptr) : FComPort(port) {}
  TComFlowControl(const TComFlowControl&) = delete;
  TComFlowControl& operator=(const TComFlowControl&) = delete;

  TCustomComPort* ComPort() const { return FComPort; }
  void Assign(const TComFlowControl& source);

  bool OutCTSFlow() const { return FOutCTSFlow; }
  bool OutDSRFlow() const { return FOutDSRFlow; }
  TDTRFlowControl ControlDTR() const { return FControlDTR; }
  TRTSFlowControl ControlRTS() const { return FControlRTS; }
  bool XonXoffOut() const { return FXonXoffOut; }
  bool XonXoffIn() const { return FXonXoffIn; }
  bool DSRSensitivity() const { return FDSRSensitivity; }
  bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
  uint8_t XonChar() const { return FXonChar; }
  uint8_t XoffChar() const { return FXoffChar; }
  void SetOutCTSFlow(bool value);
  void SetOutDSRFlow(bool value);
  void SetControlDTR(TDTRFlowControl value);
  void SetControlRTS(TRTSFlowControl value);
  void SetXonXoffOut(bool value);
  void SetXonXoffIn(bool value);
  void SetDSRSensitivity(bool value);
  void SetTxContinueOnXoff(bool value);
  void SetXonChar(uint8_t value);
  void SetXoffChar(uint8_t value);

  // The preset these fields amount to. Only ControlRTS, OutCTSFlow, XonXoffIn and XonXoffOut
  // count; anything that is not exactly a preset reads fcCustom.
  TFlowControl FlowControl() const;
  // Writes the four preset fields (fcCustom writes none) and always re-applies the line
  // settings, so a caller can force a re-send with fcCustom.
  void SetFlowControl(TFlowControl value);

 private:
  void Changed();
  TCustomComPort* const FComPort;
  bool FOutCTSFlow = false;
  bool FOutDSRFlow = false;
  TDTRFlowControl FControlDTR = dtrDisable;
  TRTSFlowControl FControlRTS = rtsDisable;
  bool FXonXoffOut = false;
  bool FXonXoffIn = false;
  bool FDSRSensitivity = false;
  bool FTxContinueOnXoff = false;
  uint8_t FXonChar = 17;   // DC1
  uint8_t FXoffChar = 19;  // DC3
};

class TComBuffer {
 public:
  explicit TComBuffer(TCustomComPort* port = nullptr) : FComPort(port) {}
  TComBuffer(const TComBuffer&) = delete;
  TComBuffer& operator=(const TComBuffer&) = delete;

  TCustomComPort* ComPort() const { return FComPort; }
  void Assign(const TComBuffer& source);

  int32_t InputSize() const { return FInputSize; }
  int32_t OutputSize() const { return FOutputSize; }
  // A positive odd size is stored one lower (drivers want even queue sizes); zero, even and
  // negative values are kept as given. Re-applies the queue sizes when the value changed.
  void SetInputSize(int32_t value);
  void SetOutputSize(int32_t value);

 private:
  void Changed();
  TCustomComPort* const FComPort;
  int32_t FInputSize = 1024;
  int32_t FOutputSize = 1024;
};

class TComTimeouts {
 public:
  explicit TComTimeouts(TCustomComPort* port = nullptr) : FComPort(port) {}
  TComTimeouts(const TComTimeouts&) = delete;
  TComTimeouts& operator=(const TComTimeouts&) = delete;

  TCustomComPort* ComPort() const { return FComPort; }
  void Assign(const TComTimeouts& source);

  int32_t ReadInterval() const { return FReadInterval; }
  int32_t ReadTotalMultiplier() const { return FReadTotalM; }
  int32_t ReadTotalConstant() const { return FReadTotalC; }
  int32_t WriteTotalMultiplier() const { return FWriteTotalM; }
  int32_t WriteTotalConstant() const { return FWriteTotalC; }
  void SetReadInterval(int32_t value);
  void SetReadTotalMultiplier(int32_t value);
  void SetReadTotalConstant(int32_t value);
  void SetWriteTotalMultiplier(int32_t value);
  void SetWriteTotalConstant(int32_t value);

 private:
  void Changed();
  void Set(int32_t& field, int32_t value);
  TCustomComPort* const FComPort;
  // The defaults make a read return at once with what is queued, which the receive path needs.
  int32_t FReadInterval = -1;
  int32_t FReadTotalM = 0;
  int32_t FReadTotalC = 0;
  int32_t FWriteTotalM = 100;
  int32_t FWriteTotalC = 1000;
};

// The port's own line properties that go into the device control block.
struct TLineProperties {
  TBaudRate BaudRate = br9600;
  int32_t CustomBaudRate = 9600;
  TStopBits StopBits = sbOneStopBit;
  TDataBits DataBits = dbEight;
  bool DiscardNull = false;
  char16_t EofChar = 0;
  char16_t EventChar = 0;
};

// Pure conversions to what the device receives.
TDCB BuildDCB(const TLineProperties& line, const TComParity& parity, const TComFlowControl& flow,
              const TComBuffer& buffer);
TCommTimeouts BuildCommTimeouts(const TComTimeouts& timeouts);

}  // namespace quarlex
