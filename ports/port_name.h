#pragma once
// The names "COM<n>" that the window, the port list, the port links and the command line give
// serial ports, read and written in one place so that every reader agrees on which texts name a
// port. Thread-safe (pure functions).
#include <cstdint>
#include <string>
#include <string_view>

namespace quarlex {

// The number a name carries: "COM" in upper case, then 1..255 in decimal digits with no sign,
// space or leading zero. Any other text gives 0, which no port carries ("COM", "COM0", "COM01",
// "COM-1", "COM256", "com3", "COM3:"), so a text the program did not write can never reach
// another port's device through a wrapped or cut-short number.
uint8_t ComPortNumber(std::string_view name);

// The number alone, by the same rule ("9" -> 9, "09" -> 0).
uint8_t PortNumberDigits(std::string_view digits);

// "COM" and the number in decimal; ComPortNumber reads every such name of 1..255 back.
std::string ComPortName(unsigned number);

}  // namespace quarlex
