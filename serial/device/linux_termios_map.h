#pragma once
// The pure half of the Linux serial device: how the comm API's control block maps onto termios2
// and back, the values Linux has no counterpart for, and the decoder of the kernel's parity
// marks. No descriptor and no thread here, so all of it is tested without a terminal.
#include <cstddef>
#include <cstdint>

#include "serial/device/device.h"
#include "serial/device/linux_termios2.h"

namespace quarlex::device {

// termios2 as read from the line -> the control block it means. Values termios cannot hold
// (DTR/RTS levels, XonLim, ...) come back as the defaults of a freshly opened line.
Dcb DcbFromTermios(const termios2& t);

// `base` (the line's current termios2) changed to raw mode with the control block's rate (any
// rate, through BOTHER), frame, parity and flow control.
termios2 TermiosForDcb(const termios2& base, const Dcb& d);

// Undoes the kernel's PARMRK marking of received bytes. With PARMRK a byte X received with a
// parity or framing error arrives as FF 00 X, a break as FF 00 00 and a real FF as FF FF. The
// decoder keeps its state between chunks, so a mark split across two reads is still understood.
struct ParmrkDecoder {
  int state = 0;  // 0 plain, 1 after FF, 2 after FF 00
  // Decodes n bytes into out (room for n). Error bytes become `error_char` when `replace`, else
  // stay as received; breaks are dropped. Each error adds CE_RXPARITY to `errors`, each break
  // CE_BREAK. Returns the count written to out.
  size_t Decode(const uint8_t* in, size_t n, uint8_t* out, uint32_t& errors, bool replace,
                uint8_t error_char);
};

// Device values without a Linux counterpart and what the POSIX device does with each.
enum class Fate : uint8_t { kRefused, kIgnored, kEmulated };
struct UnmappedValue {
  const char* value;
  Fate fate;
  const char* handling;
  bool (*present)(const Dcb&);  // does this control block ask for it?
};
extern const UnmappedValue kUnmappedValues[];
extern const size_t kUnmappedValueCount;

}  // namespace quarlex::device
