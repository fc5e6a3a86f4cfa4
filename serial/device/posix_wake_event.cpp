#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "serial/device/device.h"
#include "serial/device/wake_event.h"

namespace quarlex::device {

WakeEvent::WakeEvent() : handle_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  // Without it no thread could ever be told to stop; failing loudly here beats a hang later.
  if (handle_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

WakeEvent::~WakeEvent() {
  close(static_cast<int>(handle_));
}

void WakeEvent::Set() {
  uint64_t one = 1;
  // The counter only saturates after 2^64 sets; a full counter is still readable, so a failed
  // write cannot lose the signal.
  [[maybe_unused]] ssize_t n = write(static_cast<int>(handle_), &one, sizeof one);
}

void WakeEvent::Reset() {
  uint64_t value;
  [[maybe_unused]] ssize_t n = read(static_cast<int>(handle_), &value, sizeof value);
}

bool WakeEvent::IsSet() const {
  pollfd p{static_cast<int>(handle_), POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

int WakeEvent::WaitAny(const WakeEvent* first, const WakeEvent* second, int timeout_ms, Error& error) {
  pollfd fds[2] = {{first ? static_cast<int>(first->handle_) : -1, POLLIN, 0},
                   {second ? static_cast<int>(second->handle_) : -1, POLLIN, 0}};
  int r = poll(fds, 2, timeout_ms);
  if (r < 0 && errno != EINTR) {
    error = ErrorFromErrno(errno, ErrorKind::kOther, kWinGenFailure);
    return -2;
  }
  if (r <= 0) return -1;
  if (fds[0].revents & POLLIN) return 0;
  if (fds[1].revents & POLLIN) return 1;
  return -1;
}

}  // namespace quarlex::device
