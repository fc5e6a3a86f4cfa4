#pragma once
// Short text forms of the port's setting values, and back. They are the value encoding of the
// settings store (serial/storage/comport_storage.h), so they must stay stable: the enumeration texts are
// listed in ordinal order and a stored file written by one build is read by the next.
//
// Reading is forgiving by design: a text is matched ignoring ASCII letter case against the
// type's texts in ordinal order, and anything else gives the type's fallback value (never an
// error), so a hand-edited store can at worst reset a setting to a safe value.
//
// Texts are UTF-8. All functions are pure; any thread may call them.
#include <cstdint>
#include <string>
#include <string_view>

#include "serial/comport_types.h"

namespace quarlex {

// "Custom", "110", ..., "256000"; any other text gives br9600.
std::string BaudRateToStr(TBaudRate value);
TBaudRate StrToBaudRate(std::string_view text);

// "1", "1.5", "2"; any other text gives sbOneStopBit.
std::string StopBitsToStr(TStopBits value);
TStopBits StrToStopBits(std::string_view text);

// "5", "6", "7", "8"; any other text gives dbEight.
std::string DataBitsToStr(TDataBits value);
TDataBits StrToDataBits(std::string_view text);

// "None", "Odd", "Even", "Mark", "Space"; any other text gives prNone.
std::string ParityToStr(TParityBits value);
TParityBits StrToParity(std::string_view text);

// "Hardware", "Software", "None", "Custom"; any other text gives fcCustom (which, written to
// a port, changes no flow-control field).
std::string FlowControlToStr(TFlowControl value);
TFlowControl StrToFlowControl(std::string_view text);

// "Disable", "Enable", "Handshake", "Toggle"; any other text gives rtsDisable.
std::string RTSToStr(TRTSFlowControl value);
TRTSFlowControl StrToRTS(std::string_view text);

// "Disable", "Enable", "Handshake"; any other text gives dtrDisable.
std::string DTRToStr(TDTRFlowControl value);
TDTRFlowControl StrToDTR(std::string_view text);

// "Yes" / "No"; only "yes" in any letter case reads as true ("Y", "1", "true" are false).
std::string BoolToStr(bool value);
bool StrToBool(std::string_view text);

// Characters: a code 33..127 is written as the character itself, any other as "#" and the
// decimal code (17 -> "#17", 0 -> "#0", U+0141 -> "#321"), so blanks and control codes survive
// stores that trim or split lines.
//
// Reading: empty text gives 0; "#" followed by at least one more character reads the rest as a
// decimal integer (an optional sign, then digits only; anything else reads as 0) and keeps its
// low 8 bits, for both widths (so "#321" reads back as 0x41 and "#-1" as 255); any other text,
// a lone "#" included, gives its first character (the low 8 bits of its code for the 8-bit
// form, its first UTF-16 unit for the 16-bit form; a byte that starts no valid UTF-8 sequence
// is taken as the code of that byte).
std::string CharToStr(uint8_t value);
uint8_t StrToChar(std::string_view text);
std::string WideCharToStr(char16_t value);
char16_t StrToWideChar(std::string_view text);

// ASCII letter case is ignored; other bytes must be equal. Used by the stores for section, key
// and value names as well.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

}  // namespace quarlex
