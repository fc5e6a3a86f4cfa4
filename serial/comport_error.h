#pragma once
// The component's single error convention: every failure has a code 1..25 with a fixed text and,
// where the OS said why, the OS error code. RaiseComError (a member of the port) either throws
// EComPort or hands the report to the owner's OnException.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace quarlex {

// The kinds of failure. Enumerator n-1 stands for error code n, the number callers see in
// EComPort::Code() and the index of the texts; ComErrorCode is the one place that counts so.
enum class TComExceptions : uint8_t {
  CE_OpenFailed,
  CE_WriteFailed,
  CE_ReadFailed,
  CE_InvalidAsync,
  CE_PurgeFailed,
  CE_AsyncCheck,
  CE_SetStateFailed,
  CE_TimeoutsFailed,
  CE_SetupComFailed,
  CE_ClearComFailed,
  CE_ModemStatFailed,
  CE_EscapeComFailed,
  CE_TransmitFailed,
  CE_ConnChangeProp,
  CE_EnumPortsFailed,
  CE_StoreFailed,
  CE_LoadFailed,
  CE_RegFailed,
  CE_LedStateFailed,
  CE_ThreadCreated,
  CE_WaitFailed,
  CE_HasLink,
  CE_RegError,
  CEPortNotOpen,
  CE_PortDisconnected
};

inline constexpr int ComErrorCount = 25;

constexpr int32_t ComErrorCode(TComExceptions kind) {
  return static_cast<int32_t>(kind) + 1;
}

// Texts indexed by code (index 0 unused).
extern const char* const PortErrorMessages[ComErrorCount + 1];

// OS code given with "Port Not Open" to an installed OnException.
inline constexpr int64_t PortNotOpenOSCode = -24;

class EComPort : public std::runtime_error {
 public:
  // Message "<text> (Error: <OSCode>)", WinCode = low 32 bits of OSCode.
  static EComPort Create(TComExceptions kind, int64_t os_code);
  // Message "<text>", WinCode = -1.
  static EComPort CreateNoWinCode(TComExceptions kind);

  int32_t Code() const { return code_; }
  int32_t WinCode() const { return win_code_; }
  // A line setting refused over its rate alone: the rate the device would use instead; else 0.
  uint32_t DeviceRate() const { return device_rate_; }
  EComPort& WithDeviceRate(uint32_t rate) {
    device_rate_ = rate;
    return *this;
  }

 private:
  EComPort(const std::string& message, int32_t code, int32_t win_code)
      : std::runtime_error(message), code_(code), win_code_(win_code) {}
  int32_t code_;
  int32_t win_code_;
  uint32_t device_rate_ = 0;
};

// Text of a code; codes outside 1..25 give an empty text rather than reading past the table.
std::string ComErrorText(int code);

}  // namespace quarlex
