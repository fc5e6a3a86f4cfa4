#pragma once
// UTF-16 text (the serial component's Unicode strings) to and from bytes: the program's code page
// or UTF-8. Malformed input is replaced, never dropped: a lone surrogate becomes U+FFFD, a broken
// UTF-8 sequence one U+FFFD per byte it spoiled. Thread-safe (pure functions).
#include <cstddef>
#include <cstdint>
#include <string>

namespace quarlex {

// The code-page numbers the component takes: 65001 is UTF-8; every other value (0, 1251) means
// the program's 8-bit code page (code_page.h).
inline constexpr uint32_t kUtf8CodePage = 65001;

std::string EncodeUtf16(const std::u16string& s, uint32_t code_page);
std::u16string DecodeToUtf16(const uint8_t* bytes, size_t n, uint32_t code_page);

}  // namespace quarlex
