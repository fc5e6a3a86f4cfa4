#include "text/code_page.h"

namespace quarlex {

namespace {
// 0x80..0xBF of Windows-1251; 0xC0..0xFF are U+0410..U+044F in order. 0x98 has no character and
// maps to the C1 control of the same value, as the system's table does.
constexpr char16_t kHigh[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

}  // namespace

char32_t CodePageToUnicode(uint8_t byte) {
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return 0x0410 + (byte - 0xC0);
  return kHigh[byte - 0x80];
}

uint8_t UnicodeToCodePage(char32_t cp) {
  if (cp < 0x80) return static_cast<uint8_t>(cp);
  if (cp >= 0x0410 && cp <= 0x044F) return static_cast<uint8_t>(0xC0 + (cp - 0x0410));
  for (int i = 0; i < 64; ++i) {
    if (kHigh[i] == cp) return static_cast<uint8_t>(0x80 + i);
  }
  return '?';
}

std::string CodePageFromUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  while (!s.empty()) {
    const Utf8Front front = ReadUtf8Front(s);
    out += front.length == 0 ? '?' : static_cast<char>(UnicodeToCodePage(front.code));
    s.remove_prefix(front.length == 0 ? 1 : front.length);
  }
  return out;
}

std::string Utf8FromCodePage(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) AppendUtf8(out, CodePageToUnicode(static_cast<uint8_t>(c)));
  return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

Utf8Front ReadUtf8Front(std::string_view s) {
  if (s.empty()) return {};
  const auto b = static_cast<uint8_t>(s[0]);
  if (b < 0x80) return {b, 1};
  const size_t len = (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || len > s.size()) return {};
  char32_t cp = len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  for (size_t k = 1; k < len; ++k) {
    const auto c = static_cast<uint8_t>(s[k]);
    if ((c & 0xC0) != 0x80) return {};
    cp = (cp << 6) | (c & 0x3F);
  }
  // Overlong forms, surrogates and codes past U+10FFFF are not well-formed.
  const char32_t least = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
  return {cp, len};
}

}  // namespace quarlex
