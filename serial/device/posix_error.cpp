// The device layer's own verdicts on POSIX: errno numbers, as the system's failures carry.
#include "serial/device/device.h"

namespace quarlex::device {

Error ErrorOf(ErrorKind kind) {
  if (kind == ErrorKind::kNone) return {};
  const VerdictCodes c = VerdictCodesOf(kind);
  return ErrorFromErrno(c.errno_code, kind, c.win_code);
}

}  // namespace quarlex::device
