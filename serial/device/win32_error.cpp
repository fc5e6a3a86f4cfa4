#include "serial/device/win32_error.h"

// After the project headers: the device layer's constants carry the comm API's names and values,
// which windows.h then defines again as macros of the same value.
#include <windows.h>

#include <string>

namespace quarlex::device {

namespace {
std::string SystemText(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n > 0 && text) {
    int len = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<size_t>(len));
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), len, nullptr, nullptr);
  }
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  if (out.empty()) out = "Win32 error " + std::to_string(code);
  return out;
}
}  // namespace

ErrorKind KindOfWin32Code(uint32_t code) {
  switch (code) {
    case ERROR_SUCCESS:
      return ErrorKind::kNone;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
      return ErrorKind::kNotFound;
    // A COM port held by another handle answers ERROR_ACCESS_DENIED; Windows does not tell a
    // held port from a forbidden one, and a held one is by far the common case.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return ErrorKind::kBusy;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return ErrorKind::kInvalidParameter;
    case ERROR_OPERATION_ABORTED:
      return ErrorKind::kAborted;
    case ERROR_INVALID_HANDLE:
      return ErrorKind::kNotOpen;
    case ERROR_IO_INCOMPLETE:
      return ErrorKind::kIncomplete;
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
      return ErrorKind::kGone;
    default:
      return ErrorKind::kOther;
  }
}

Error Win32Error(uint32_t code, ErrorKind kind) {
  Error e;
  e.kind = kind;
  e.os_code = static_cast<int>(code);
  e.os_text = SystemText(code);
  e.win_code = code;
  return e;
}

Error Win32Error(uint32_t code) {
  return Win32Error(code, KindOfWin32Code(code));
}

// The layer's own verdicts carry the comm API code, as every other failure here does.
Error ErrorOf(ErrorKind kind) {
  if (kind == ErrorKind::kNone) return {};
  return Win32Error(VerdictCodesOf(kind).win_code, kind);
}

}  // namespace quarlex::device
