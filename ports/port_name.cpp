#include "ports/port_name.h"

namespace quarlex {

uint8_t ComPortNumber(std::string_view name) {
  if (!name.starts_with("COM")) return 0;
  return PortNumberDigits(name.substr(3));
}

uint8_t PortNumberDigits(std::string_view digits) {
  // Three digits at most, so the sum below cannot overflow before the range check.
  if (digits.empty() || digits.size() > 3 || digits[0] == '0') return 0;
  unsigned n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n <= 255 ? static_cast<uint8_t>(n) : 0;
}

std::string ComPortName(unsigned number) {
  return "COM" + std::to_string(number);
}

}  // namespace quarlex
