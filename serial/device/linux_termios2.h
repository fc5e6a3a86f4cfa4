#pragma once
// termios2 and its two ioctls, declared here because the kernel header that has them
// (<asm/termbits.h>) redefines struct termios and the flag macros of glibc's <termios.h>, so the
// two cannot meet in one file. termios2 is the only way to ask Linux for an arbitrary bit rate
// (BOTHER with c_ispeed/c_ospeed). Include this file, never <asm/termbits.h>.
#include <sys/ioctl.h>
#include <termios.h>

// Kernel ABI layout (asm-generic; x86, arm, arm64, riscv): 19 control characters.
struct termios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
static_assert(sizeof(termios2) == 44, "kernel struct termios2 layout");

namespace quarlex::device::linux_tty {

inline constexpr unsigned long kTcGets2 = _IOR('T', 0x2A, struct termios2);
inline constexpr unsigned long kTcSets2 = _IOW('T', 0x2B, struct termios2);
inline constexpr tcflag_t kCbaud = 0010017;   // rate field of c_cflag
inline constexpr tcflag_t kBother = 0010000;  // "rate is in c_ispeed/c_ospeed"
inline constexpr int kVStart = 8;             // index of VSTART in the kernel's c_cc
inline constexpr int kVStop = 9;
inline constexpr int kVTime = 5;
inline constexpr int kVMin = 6;

}  // namespace quarlex::device::linux_tty
