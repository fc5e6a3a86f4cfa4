#include "text/utf16.h"

#include <string_view>

#include "text/code_page.h"

namespace quarlex {
namespace {

// UTF-16 -> code points; a lone surrogate becomes U+FFFD, as the system conversion does.
template <typename F>
void ForEachCodePoint(const std::u16string& s, F&& f) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char32_t u = s[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      f(0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      f(0xFFFD);
    } else {
      f(u);
    }
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

}  // namespace

std::string EncodeUtf16(const std::u16string& s, uint32_t code_page) {
  std::string out;
  if (code_page == kUtf8CodePage) {
    ForEachCodePoint(s, [&](char32_t cp) { AppendUtf8(out, cp); });
    return out;
  }
  ForEachCodePoint(s, [&](char32_t cp) { out.push_back(static_cast<char>(UnicodeToCodePage(cp))); });
  return out;
}

std::u16string DecodeToUtf16(const uint8_t* bytes, size_t n, uint32_t code_page) {
  std::u16string out;
  if (code_page != kUtf8CodePage) {
    for (size_t i = 0; i < n; ++i) AppendUtf16(out, CodePageToUnicode(bytes[i]));
    return out;
  }
  // A malformed or cut sequence gives one U+FFFD per byte it spoiled, nothing is dropped.
  std::string_view rest(reinterpret_cast<const char*>(bytes), n);
  while (!rest.empty()) {
    const Utf8Front front = ReadUtf8Front(rest);
    if (front.length == 0) {
      out.push_back(u'\uFFFD');
      rest.remove_prefix(1);
    } else {
      AppendUtf16(out, front.code);
      rest.remove_prefix(front.length);
    }
  }
  return out;
}

}  // namespace quarlex
