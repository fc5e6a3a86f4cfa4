#include "tools/byte_notation.h"

#include <algorithm>
#include <cstring>

namespace quarlex {

namespace {
// Value of a hexadecimal digit, or -1. Only ASCII digits and letters count; bytes of the upper
// half of the code page never do, whatever letter they stand for.
int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

size_t ReadHexNotation(std::string_view text, std::span<uint8_t> out) {
  size_t n = 0;
  if (out.empty()) return 0;
  uint8_t value = 0;
  uint8_t digits = 0;
  uint8_t previous = 0;
  for (char ch : text) {
    const auto c = static_cast<uint8_t>(ch);
    const int d = HexDigit(c);
    if (d >= 0) {
      ++digits;
      value = static_cast<uint8_t>(value * 16 + d);
    } else if (c == ' ') {
      if (digits >= 1) {
        out[n++] = value;
        if (n == out.size()) return n;
      }
      value = 0;
      digits = 0;
    } else if (c == 'x' && previous == '0') {
      // "0x" prefix: the digit count restarts; the value keeps its 0 high digit, which the
      // next two digits shift out.
      digits = 0;
    }
    // Any other byte is ignored: it neither separates values nor resets the one being read.
    previous = c;
  }
  if (digits == 2) out[n++] = value;
  return n;
}

size_t ReadDecimalNotation(std::string_view text, std::span<uint8_t> out) {
  size_t n = 0;
  if (out.empty()) return 0;
  uint8_t value = 0;
  uint8_t digits = 0;
  for (char ch : text) {
    const auto c = static_cast<uint8_t>(ch);
    if (c >= '0' && c <= '9') {
      ++digits;
      value = static_cast<uint8_t>(value * 10 + (c - '0'));
    } else if (c <= 0x2F) {
      if (digits >= 1) {
        out[n++] = value;
        if (n == out.size()) return n;
      }
      value = 0;
      digits = 0;
    }
    // 0x3A and above (letters, colon, the upper half) are ignored.
  }
  if (digits >= 1) out[n++] = value;
  return n;
}

size_t ReadTextNotation(std::string_view text, std::span<uint8_t> out) {
  const size_t n = std::min(text.size(), out.size());
  if (n) std::memcpy(out.data(), text.data(), n);
  return n;
}

size_t ReadNotation(ByteNotation notation, std::string_view text, std::span<uint8_t> out) {
  switch (notation) {
    case ByteNotation::Hex:
      return ReadHexNotation(text, out);
    case ByteNotation::Decimal:
      return ReadDecimalNotation(text, out);
    case ByteNotation::Text:
      return ReadTextNotation(text, out);
  }
  return 0;
}

}  // namespace quarlex
