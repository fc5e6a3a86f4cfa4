// Text forms of the setting values: every value of every type survives a round trip, reading
// ignores letter case, and odd texts fall back to the documented value. Port names too.
#include <gtest/gtest.h>

#include <string>

#include "ports/port_name.h"
#include "serial/comport_text.h"

namespace quarlex {
namespace {

template <typename E, typename ToStr, typename FromStr>
void ExpectRoundTrip(int count, ToStr to_str, FromStr from_str) {
  for (int i = 0; i < count; ++i) {
    const auto value = static_cast<E>(i);
    const std::string text = to_str(value);
    EXPECT_FALSE(text.empty()) << "ordinal " << i;
    EXPECT_EQ(from_str(text), value) << text;
  }
}

TEST(SettingsText, EveryEnumerationValueRoundTrips) {
  ExpectRoundTrip<TBaudRate>(16, BaudRateToStr, StrToBaudRate);
  ExpectRoundTrip<TStopBits>(3, StopBitsToStr, StrToStopBits);
  ExpectRoundTrip<TDataBits>(4, DataBitsToStr, StrToDataBits);
  ExpectRoundTrip<TParityBits>(5, ParityToStr, StrToParity);
  ExpectRoundTrip<TFlowControl>(4, FlowControlToStr, StrToFlowControl);
  ExpectRoundTrip<TRTSFlowControl>(4, RTSToStr, StrToRTS);
  ExpectRoundTrip<TDTRFlowControl>(3, DTRToStr, StrToDTR);
}

TEST(SettingsText, WrittenFormsAreTheFixedTexts) {
  EXPECT_EQ(BaudRateToStr(brCustom), "Custom");
  EXPECT_EQ(BaudRateToStr(br115200), "115200");
  EXPECT_EQ(BaudRateToStr(br256000), "256000");
  EXPECT_EQ(StopBitsToStr(sbOne5StopBits), "1.5");
  EXPECT_EQ(DataBitsToStr(dbFive), "5");
  EXPECT_EQ(ParityToStr(prSpace), "Space");
  EXPECT_EQ(FlowControlToStr(fcNone), "None");
  EXPECT_EQ(RTSToStr(rtsToggle), "Toggle");
  EXPECT_EQ(DTRToStr(dtrHandshake), "Handshake");
  EXPECT_EQ(BoolToStr(true), "Yes");
  EXPECT_EQ(BoolToStr(false), "No");
}

TEST(SettingsText, ReadingIgnoresLetterCase) {
  EXPECT_EQ(StrToBaudRate("cUSTOM"), brCustom);
  EXPECT_EQ(StrToParity("mark"), prMark);
  EXPECT_EQ(StrToParity("EVEN"), prEven);
  EXPECT_EQ(StrToFlowControl("hardware"), fcHardware);
  EXPECT_EQ(StrToFlowControl("NONE"), fcNone);
  EXPECT_EQ(StrToRTS("tOGGLE"), rtsToggle);
  EXPECT_EQ(StrToDTR("ENABLE"), dtrEnable);
  EXPECT_TRUE(StrToBool("yes"));
  EXPECT_TRUE(StrToBool("YeS"));
}

TEST(SettingsText, UnknownTextsGiveTheFallbacks) {
  EXPECT_EQ(StrToBaudRate("115200"), br115200);
  EXPECT_EQ(StrToBaudRate("115200 "), br9600);  // no trimming
  EXPECT_EQ(StrToBaudRate("abc"), br9600);
  EXPECT_EQ(StrToBaudRate(""), br9600);
  EXPECT_EQ(StrToBaudRate("12345"), br9600);  // a rate no value names
  EXPECT_EQ(StrToStopBits("1,5"), sbOneStopBit);
  EXPECT_EQ(StrToDataBits("9"), dbEight);
  EXPECT_EQ(StrToParity("No"), prNone);
  EXPECT_EQ(StrToFlowControl("xon"), fcCustom);
  EXPECT_EQ(StrToFlowControl(""), fcCustom);
  EXPECT_EQ(StrToRTS("On"), rtsDisable);
  EXPECT_EQ(StrToDTR("Toggle"), dtrDisable);  // a DTR text DTR does not have
  EXPECT_FALSE(StrToBool("Y"));
  EXPECT_FALSE(StrToBool("true"));
  EXPECT_FALSE(StrToBool("1"));
  EXPECT_FALSE(StrToBool(""));
  EXPECT_FALSE(StrToBool("yes "));
}

TEST(SettingsText, CharactersAreWrittenAsThemselvesOrAsNumbers) {
  EXPECT_EQ(CharToStr(17), "#17");
  EXPECT_EQ(CharToStr(0), "#0");
  EXPECT_EQ(CharToStr(32), "#32");
  EXPECT_EQ(CharToStr(33), "!");
  EXPECT_EQ(CharToStr('A'), "A");
  EXPECT_EQ(CharToStr(127), "\x7F");
  EXPECT_EQ(CharToStr(128), "#128");
  EXPECT_EQ(CharToStr(255), "#255");
  EXPECT_EQ(CharToStr('#'), "#");  // a lone "#" reads back as itself
  EXPECT_EQ(WideCharToStr(u'\x0141'), "#321");
  EXPECT_EQ(WideCharToStr(u'~'), "~");
  EXPECT_EQ(WideCharToStr(0xFFFF), "#65535");
}

TEST(SettingsText, CharacterTextsReadBack) {
  EXPECT_EQ(StrToChar(""), 0);
  EXPECT_EQ(StrToChar("#19"), 19);
  EXPECT_EQ(StrToChar("#"), 0x23);
  EXPECT_EQ(StrToChar("#x"), 0);
  EXPECT_EQ(StrToChar("#1x"), 0);
  EXPECT_EQ(StrToChar("# 5"), 0);
  EXPECT_EQ(StrToChar("A"), 65);
  EXPECT_EQ(StrToChar("AB"), 65);  // only the first character counts
  EXPECT_EQ(StrToChar("#321"), 0x41);
  EXPECT_EQ(StrToChar("#+7"), 7);
  EXPECT_EQ(StrToChar("#-1"), 255);
  EXPECT_EQ(StrToChar("#+-1"), 0);
  EXPECT_EQ(StrToChar("#2147483647"), 0xFF);
  EXPECT_EQ(StrToChar("#2147483648"), 0);  // past a 32-bit integer: not a number
  EXPECT_EQ(StrToChar("#99999999999999999999999"), 0);
  EXPECT_EQ(StrToWideChar("#321"), u'\x41');  // taken modulo 256 for both widths
  EXPECT_EQ(StrToWideChar("#"), u'#');
  EXPECT_EQ(StrToWideChar("\xC5\x81"), u'\x0141');  // UTF-8 of U+0141
  EXPECT_EQ(StrToChar("\xC5\x81"), 0x41);           // its low 8 bits
  EXPECT_EQ(StrToWideChar("\xE2\x82\xAC"), u'\x20AC');
  EXPECT_EQ(StrToWideChar("\xF0\x9F\x98\x80"), u'\xD83D');  // first unit of U+1F600
  EXPECT_EQ(StrToWideChar("\xE9"), u'\xE9');                // a stray Latin-1 byte stands for itself
  EXPECT_EQ(StrToWideChar("\xC5"), u'\xC5');                // truncated sequence
  EXPECT_EQ(StrToWideChar("\xED\xA0\x80"), u'\xED');        // encoded surrogate is not well-formed
  EXPECT_EQ(StrToWideChar("\xC0\x81"), u'\xC0');            // overlong form of U+0001
  EXPECT_EQ(StrToWideChar("\xF4\x90\x80\x80"), u'\xF4');    // past U+10FFFF
}

TEST(SettingsText, EveryCharacterCodeRoundTrips) {
  for (int c = 0; c < 256; ++c) EXPECT_EQ(StrToChar(CharToStr(static_cast<uint8_t>(c))), c) << c;
  // 16-bit codes above 255 come back as their low 8 bits: the store keeps what the device uses.
  for (int c : {0, 32, 33, 127, 128, 255, 256, 321, 0xFFFF})
    EXPECT_EQ(StrToWideChar(WideCharToStr(static_cast<char16_t>(c))), c & 0xFF) << c;
}

TEST(PortNames, OnlyTheNamesTheProgramWritesCarryANumber) {
  const struct {
    const char* text;
    int number;  // 0: names no port
  } cases[] = {
      {"COM1", 1},  {"COM12", 12}, {"COM255", 255}, {"COM", 0},    {"COM0", 0},           {"COM01", 0},
      {"COM-1", 0}, {"COM+1", 0},  {"COM256", 0},   {"COM300", 0}, {"COM99999999999", 0}, {"com3", 0},
      {"Com3", 0},  {"COM3:", 0},  {"COM3 ", 0},    {" COM3", 0},  {"XCOM3", 0},          {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ComPortNumber(c.text), c.number) << c.text;
  for (unsigned n = 1; n <= 255; ++n) EXPECT_EQ(ComPortNumber(ComPortName(n)), n) << n;
  EXPECT_EQ(PortNumberDigits("9"), 9);
  EXPECT_EQ(PortNumberDigits("09"), 0);
  EXPECT_EQ(PortNumberDigits("COM9"), 0);
}

}  // namespace
}  // namespace quarlex
