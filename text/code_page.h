#pragma once
// The one 8-bit code page of the whole program. Typed text becomes bytes through it, the text
// column shows bytes through it, and the serial component's text reads and writes use it.
// Windows-1251 is chosen because the grid draws bytes 0xC0..0xFF as its Cyrillic letters.
// Thread-safe (pure functions over constant tables).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarlex {

inline constexpr const char* ProgramCodePageName = "Windows-1251";

// Byte of the code page -> Unicode code point (every byte has one).
char32_t CodePageToUnicode(uint8_t byte);

// Unicode code point -> byte of the code page; characters it cannot hold become '?', as the
// system conversion does.
uint8_t UnicodeToCodePage(char32_t cp);

// UTF-8 text (as the toolkit hands it over) -> bytes of the code page. Malformed UTF-8 sequences
// become '?' one byte at a time; nothing is dropped silently.
std::string CodePageFromUtf8(std::string_view utf8);

// Bytes of the code page -> UTF-8 text.
std::string Utf8FromCodePage(std::string_view bytes);

// The program's one UTF-8 codec: every text that crosses between UTF-8 and code points goes
// through these two, so all of them agree on what is well-formed.

// Appends the UTF-8 form of `code` (at most U+10FFFF).
void AppendUtf8(std::string& out, char32_t code);

// The character at the front of `text`. `length` is 0 when the front starts no well-formed
// sequence (a stray or cut-short sequence, an overlong form, a surrogate, a code past U+10FFFF,
// or an empty text): the caller then replaces or keeps one byte and goes on, so nothing is
// dropped silently.
struct Utf8Front {
  char32_t code = 0;
  size_t length = 0;
};
Utf8Front ReadUtf8Front(std::string_view text);

}  // namespace quarlex
