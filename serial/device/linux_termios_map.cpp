#include "serial/device/linux_termios_map.h"

#include <termios.h>

namespace quarlex::device {

using namespace linux_tty;

static_assert(kVStart == VSTART && kVStop == VSTOP && kVMin == VMIN && kVTime == VTIME,
              "kernel and C library agree on the control character slots");

// ---------------------------------------------------------------------------------------------
// Device values without a Linux counterpart.

const UnmappedValue kUnmappedValues[] = {
    {"fOutxDsrFlow", Fate::kRefused, "Linux has no DSR output flow control",
     [](const Dcb& d) { return (d.Flags & kDcbOutxDsrFlow) != 0; }},
    {"DTR_CONTROL_HANDSHAKE", Fate::kRefused, "Linux has no DTR input flow control",
     [](const Dcb& d) { return (d.Flags & kDcbDtrControlMask) == kDtrControlHandshake; }},
    {"RTS_CONTROL_TOGGLE", Fate::kEmulated,
     "RS-485 mode with RTS raised while sending; refused when the driver has no RS-485",
     [](const Dcb& d) { return (d.Flags & kDcbRtsControlMask) == kRtsControlToggle; }},
    {"StopBits 1.5 with 6-8 data bits", Fate::kRefused, "refused as the comm API refuses it",
     [](const Dcb& d) { return d.StopBits == kOne5StopBits && d.ByteSize != 5; }},
    {"StopBits 2 with 5 data bits", Fate::kRefused, "refused as the comm API refuses it",
     [](const Dcb& d) { return d.StopBits == kTwoStopBits && d.ByteSize == 5; }},
    {"StopBits 1.5 with 5 data bits", Fate::kEmulated, "CS5|CSTOPB: the UART sends 1.5 stop bits",
     [](const Dcb& d) { return d.StopBits == kOne5StopBits && d.ByteSize == 5; }},
    {"fOutxCtsFlow and RTS_CONTROL_HANDSHAKE apart", Fate::kEmulated,
     "either becomes CRTSCTS, which Linux applies to both directions",
     [](const Dcb& d) {
       return ((d.Flags & kDcbOutxCtsFlow) != 0) != ((d.Flags & kDcbRtsControlMask) == kRtsControlHandshake);
     }},
    {"XonLim, XoffLim", Fate::kIgnored, "the kernel sends XOFF/XON at its own thresholds",
     [](const Dcb& d) { return d.XonLim != 0 || d.XoffLim != 0; }},
    {"fTXContinueOnXoff", Fate::kIgnored, "no counterpart; the kernel keeps sending",
     [](const Dcb& d) { return (d.Flags & kDcbTxContinueOnXoff) != 0; }},
    {"fAbortOnError", Fate::kIgnored, "transfers go on after line errors",
     [](const Dcb& d) { return (d.Flags & kDcbAbortOnError) != 0; }},
    {"fBinary off, EofChar", Fate::kIgnored, "the line is always binary; EofChar is kept only",
     [](const Dcb& d) { return (d.Flags & kDcbBinary) == 0 || d.EofChar != 0; }},
    {"fDsrSensitivity", Fate::kEmulated,
     "received bytes dropped in user space while DSR is low; no effect on a line without modem "
     "status (a pseudo-terminal)",
     [](const Dcb& d) { return (d.Flags & kDcbDsrSensitivity) != 0; }},
    {"fNull", Fate::kEmulated, "NUL bytes dropped in user space",
     [](const Dcb& d) { return (d.Flags & kDcbNull) != 0; }},
    {"EvtChar", Fate::kEmulated, "EV_RXFLAG raised in user space", [](const Dcb&) { return true; }},
    {"fErrorChar, ErrorChar", Fate::kEmulated, "PARMRK marks decoded in user space; the marked byte replaced",
     [](const Dcb& d) { return (d.Flags & kDcbErrorChar) != 0 && (d.Flags & kDcbParity) != 0; }},
    {"output queue size", Fate::kIgnored, "pending writes are sent from the callers' buffers",
     [](const Dcb&) { return false; }},
};
const size_t kUnmappedValueCount = sizeof kUnmappedValues / sizeof kUnmappedValues[0];

// ---------------------------------------------------------------------------------------------

size_t ParmrkDecoder::Decode(const uint8_t* in, size_t n, uint8_t* out, uint32_t& errors, bool replace,
                             uint8_t error_char) {
  size_t o = 0;
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = in[i];
    switch (state) {
      case 0:
        if (c == 0xFF)
          state = 1;
        else
          out[o++] = c;
        break;
      case 1:
        if (c == 0xFF) {
          out[o++] = 0xFF;
          state = 0;
        } else if (c == 0x00) {
          state = 2;
        } else {
          // Not a mark the kernel makes; keep both bytes rather than lose data.
          out[o++] = 0xFF;
          out[o++] = c;
          state = 0;
        }
        break;
      case 2:
        if (c == 0x00) {
          errors |= CE_BREAK;
        } else {
          errors |= CE_RXPARITY;
          out[o++] = replace ? error_char : c;
        }
        state = 0;
        break;
    }
  }
  return o;
}

// ---------------------------------------------------------------------------------------------

Dcb DcbFromTermios(const termios2& t) {
  Dcb d;
  d.BaudRate = t.c_ospeed ? t.c_ospeed : 9600;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      d.ByteSize = 5;
      break;
    case CS6:
      d.ByteSize = 6;
      break;
    case CS7:
      d.ByteSize = 7;
      break;
    default:
      d.ByteSize = 8;
      break;
  }
  if (!(t.c_cflag & PARENB))
    d.Parity = kNoParity;
  else if (t.c_cflag & CMSPAR)
    d.Parity = (t.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
  else
    d.Parity = (t.c_cflag & PARODD) ? kOddParity : kEvenParity;
  if (t.c_cflag & CSTOPB) d.StopBits = d.ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
  d.Flags = kDcbBinary | kDtrControlEnable | kRtsControlEnable;
  if (t.c_cflag & CRTSCTS) {
    d.Flags = (d.Flags & ~kDcbRtsControlMask) | kDcbOutxCtsFlow | kRtsControlHandshake;
  }
  if (t.c_iflag & IXON) d.Flags |= kDcbOutX;
  if (t.c_iflag & IXOFF) d.Flags |= kDcbInX;
  if (t.c_iflag & INPCK) d.Flags |= kDcbParity;
  d.XonChar = t.c_cc[kVStart];
  d.XoffChar = t.c_cc[kVStop];
  return d;
}

termios2 TermiosForDcb(const termios2& base, const Dcb& d) {
  termios2 t = base;
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK |
                 IGNPAR | IUCLC | IMAXBEL);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | kCbaud | (kCbaud << 16));
  t.c_cflag |= CLOCAL | CREAD | kBother | (kBother << 16);
  t.c_ispeed = t.c_ospeed = d.BaudRate;
  switch (d.ByteSize) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    default:
      t.c_cflag |= CS8;
      break;
  }
  switch (d.Parity) {
    case kOddParity:
      t.c_cflag |= PARENB | PARODD;
      break;
    case kEvenParity:
      t.c_cflag |= PARENB;
      break;
    case kMarkParity:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case kSpaceParity:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (d.StopBits != kOneStopBit) t.c_cflag |= CSTOPB;
  if ((d.Flags & kDcbOutxCtsFlow) || (d.Flags & kDcbRtsControlMask) == kRtsControlHandshake)
    t.c_cflag |= CRTSCTS;
  if (d.Flags & kDcbOutX) t.c_iflag |= IXON;
  if (d.Flags & kDcbInX) t.c_iflag |= IXOFF;
  if (d.Flags & kDcbParity) {
    // Marked errors let the reader replace the byte and see breaks; without parity checking the
    // marks are left off, which keeps the kernel's fast raw path, and breaks are counted only.
    t.c_iflag |= INPCK | PARMRK;
  } else {
    t.c_iflag |= IGNBRK;
  }
  t.c_cc[kVStart] = d.XonChar;
  t.c_cc[kVStop] = d.XoffChar;
  t.c_cc[kVMin] = 1;  // an empty line reads EAGAIN, never a false end of file
  t.c_cc[kVTime] = 0;
  return t;
}

}  // namespace quarlex::device
