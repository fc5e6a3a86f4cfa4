#pragma once
// The two notations in which the operator types byte values, shared by the send box and the
// find box so that both read a text the same way:
//  - hexadecimal: values separated by spaces, an optional 0x prefix, a trailing group counted
//    only when it has exactly two digits;
//  - decimal: values separated by any byte up to 0x2F, every value taken modulo 256.
// Input is text already converted to the program's code page (text/code_page.h). Every value,
// digit counter included, is 8 bits wide and wraps as such.
// Thread-safe (pure functions).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quarlex {

enum class ByteNotation : uint8_t { Hex, Decimal, Text };

// Each reader appends the values it reads to `out` and returns how many it wrote. Reading stops
// at once when `out` is full: the rest of the text is not examined and no pending value is
// kept. An empty `out` reads nothing. Never writes past out.size().
size_t ReadHexNotation(std::string_view text, std::span<uint8_t> out);
size_t ReadDecimalNotation(std::string_view text, std::span<uint8_t> out);

// Text notation: the bytes themselves, cut at out.size().
size_t ReadTextNotation(std::string_view text, std::span<uint8_t> out);

size_t ReadNotation(ByteNotation notation, std::string_view text, std::span<uint8_t> out);

}  // namespace quarlex
