#pragma once
// A flag that one thread sets and another thread's wait sees at once: an eventfd on POSIX, a
// manual-reset event object on Win32 (one file per platform, chosen by the build). The handle is
// kept as a plain integer so that no OS type leaks into the shared headers.
#include <cstdint>

namespace quarlex::device {

struct Error;

class WakeEvent {
 public:
  WakeEvent();  // throws std::runtime_error when the OS has no handle left
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  void Set();    // any thread; stays set until Reset
  void Reset();  // any thread
  bool IsSet() const;

  // Waits until `first` or `second` (either may be null) is set, or timeout_ms passes (-1: no
  // limit). Returns 0 or 1 for the event that is set (0 when both are), -1 when the time ran out
  // or the wait was interrupted (the caller looks again), -2 on an OS failure, described in
  // `error`. Neither event is reset.
  static int WaitAny(const WakeEvent* first, const WakeEvent* second, int timeout_ms, Error& error);

  // The OS handle (a descriptor on POSIX, a HANDLE on Win32), for a backend's own wait set.
  intptr_t NativeHandle() const { return handle_; }

 private:
  intptr_t handle_;
};

}  // namespace quarlex::device
