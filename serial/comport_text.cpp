#include "serial/comport_text.h"

#include <array>
#include <charconv>
#include <cstddef>

#include "text/code_page.h"

namespace quarlex {

namespace {

constexpr std::array<std::string_view, 16> kBaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<std::string_view, 3> kStopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<std::string_view, 4> kDataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<std::string_view, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<std::string_view, 4> kFlowControlTexts = {"Hardware", "Software", "None", "Custom"};
constexpr std::array<std::string_view, 4> kRTSTexts = {"Disable", "Enable", "Handshake", "Toggle"};
constexpr std::array<std::string_view, 3> kDTRTexts = {"Disable", "Enable", "Handshake"};

// Text of an ordinal; an ordinal outside the table (a value cast from a corrupt byte) gives
// the empty text rather than reading past the table.
template <typename E, size_t N>
std::string ToText(const std::array<std::string_view, N>& texts, E value) {
  const auto ordinal = static_cast<size_t>(value);
  return ordinal < N ? std::string(texts[ordinal]) : std::string();
}

// The first text equal to `text` (ignoring case) in ordinal order, else `fallback`.
template <typename E, size_t N>
E FromText(const std::array<std::string_view, N>& texts, std::string_view text, E fallback) {
  for (size_t i = 0; i < N; ++i)
    if (SameTextIgnoringCase(texts[i], text)) return static_cast<E>(i);
  return fallback;
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The first UTF-16 unit of a UTF-8 text (non-empty). A byte that starts no well-formed sequence
// stands for itself, so Latin-1 text typed into a store still reads as its own codes.
char16_t FirstUnit(std::string_view text) {
  const Utf8Front front = ReadUtf8Front(text);
  if (front.length == 0) return static_cast<unsigned char>(text[0]);
  if (front.code >= 0x10000) return static_cast<char16_t>(0xD800 + ((front.code - 0x10000) >> 10));
  return static_cast<char16_t>(front.code);
}

// The "#<decimal>" form's value, low 8 bits. The rest must be a 32-bit signed integer (an
// optional sign, then digits only); anything else, overflow included, reads as 0.
uint8_t NumberedChar(std::string_view rest) {
  bool negative = false;
  if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
    negative = rest[0] == '-';
    rest.remove_prefix(1);
  }
  if (rest.empty() || rest[0] < '0' || rest[0] > '9') return 0;
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (error != std::errc() || end != rest.data() + rest.size()) return 0;
  if (value > (negative ? 2147483648u : 2147483647u)) return 0;
  const uint64_t bits = negative ? 0 - value : value;
  return static_cast<uint8_t>(bits & 0xFF);
}

std::string CodeToStr(uint32_t code) {
  if (code >= 33 && code <= 127) return std::string(1, static_cast<char>(code));
  return "#" + std::to_string(code);
}

}  // namespace

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::string BaudRateToStr(TBaudRate value) {
  return ToText(kBaudRateTexts, value);
}
TBaudRate StrToBaudRate(std::string_view text) {
  return FromText(kBaudRateTexts, text, br9600);
}

std::string StopBitsToStr(TStopBits value) {
  return ToText(kStopBitsTexts, value);
}
TStopBits StrToStopBits(std::string_view text) {
  return FromText(kStopBitsTexts, text, sbOneStopBit);
}

std::string DataBitsToStr(TDataBits value) {
  return ToText(kDataBitsTexts, value);
}
TDataBits StrToDataBits(std::string_view text) {
  return FromText(kDataBitsTexts, text, dbEight);
}

std::string ParityToStr(TParityBits value) {
  return ToText(kParityTexts, value);
}
TParityBits StrToParity(std::string_view text) {
  return FromText(kParityTexts, text, prNone);
}

std::string FlowControlToStr(TFlowControl value) {
  return ToText(kFlowControlTexts, value);
}
TFlowControl StrToFlowControl(std::string_view text) {
  return FromText(kFlowControlTexts, text, fcCustom);
}

std::string RTSToStr(TRTSFlowControl value) {
  return ToText(kRTSTexts, value);
}
TRTSFlowControl StrToRTS(std::string_view text) {
  return FromText(kRTSTexts, text, rtsDisable);
}

std::string DTRToStr(TDTRFlowControl value) {
  return ToText(kDTRTexts, value);
}
TDTRFlowControl StrToDTR(std::string_view text) {
  return FromText(kDTRTexts, text, dtrDisable);
}

std::string BoolToStr(bool value) {
  return value ? "Yes" : "No";
}
bool StrToBool(std::string_view text) {
  return SameTextIgnoringCase(text, "YES");
}

std::string CharToStr(uint8_t value) {
  return CodeToStr(value);
}
std::string WideCharToStr(char16_t value) {
  return CodeToStr(value);
}

char16_t StrToWideChar(std::string_view text) {
  if (text.empty()) return 0;
  if (text[0] == '#' && text.size() > 1) return NumberedChar(text.substr(1));
  return FirstUnit(text);
}

uint8_t StrToChar(std::string_view text) {
  return static_cast<uint8_t>(StrToWideChar(text) & 0xFF);
}

}  // namespace quarlex
