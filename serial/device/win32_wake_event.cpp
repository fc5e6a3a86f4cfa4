#include <stdexcept>
#include <string>

#include "serial/device/device.h"
#include "serial/device/wake_event.h"
#include "serial/device/win32_error.h"

// After the project headers: the device layer's constants carry the comm API's names and values,
// which windows.h then defines again as macros of the same value.
#include <windows.h>

namespace quarlex::device {

namespace {
HANDLE H(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}
}  // namespace

WakeEvent::WakeEvent() : handle_(reinterpret_cast<intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {
  // Without it no thread could ever be told to stop; failing loudly here beats a hang later.
  if (!handle_) throw std::runtime_error("CreateEventW failed: " + std::to_string(GetLastError()));
}

WakeEvent::~WakeEvent() {
  CloseHandle(H(handle_));
}

void WakeEvent::Set() {
  SetEvent(H(handle_));
}

void WakeEvent::Reset() {
  ResetEvent(H(handle_));
}

bool WakeEvent::IsSet() const {
  return WaitForSingleObject(H(handle_), 0) == WAIT_OBJECT_0;
}

int WakeEvent::WaitAny(const WakeEvent* first, const WakeEvent* second, int timeout_ms, Error& error) {
  HANDLE handles[2];
  int index[2];
  DWORD n = 0;
  if (first) handles[n] = H(first->handle_), index[n++] = 0;
  if (second) handles[n] = H(second->handle_), index[n++] = 1;
  const DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  if (n == 0) {
    Sleep(wait);
    return -1;
  }
  // WaitForMultipleObjects reports the lowest index that is signalled, as the contract asks.
  DWORD r = WaitForMultipleObjects(n, handles, FALSE, wait);
  if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + n) return index[r - WAIT_OBJECT_0];
  if (r == WAIT_TIMEOUT) return -1;
  error = Win32Error(GetLastError(), ErrorKind::kOther);
  return -2;
}

}  // namespace quarlex::device
