#include "serial/comport_error.h"

namespace quarlex {

const char* const PortErrorMessages[ComErrorCount + 1] = {
    "",
    "Unable to open com port",
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
    "Port Disconnected",
};

std::string ComErrorText(int code) {
  if (code < 1 || code > ComErrorCount) return {};
  return PortErrorMessages[code];
}

EComPort EComPort::Create(TComExceptions kind, int64_t os_code) {
  const int32_t code = ComErrorCode(kind);
  return EComPort(ComErrorText(code) + " (Error: " + std::to_string(os_code) + ")", code,
                  static_cast<int32_t>(static_cast<uint32_t>(os_code)));
}

EComPort EComPort::CreateNoWinCode(TComExceptions kind) {
  const int32_t code = ComErrorCode(kind);
  return EComPort(ComErrorText(code), code, -1);
}

}  // namespace quarlex
