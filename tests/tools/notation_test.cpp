#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "tools/byte_notation.h"

namespace quarlex {
namespace {

std::vector<uint8_t> Read(ByteNotation n, const std::string& text, size_t room = 4095) {
  std::vector<uint8_t> out(room);
  out.resize(ReadNotation(n, text, out));
  return out;
}

struct Case {
  const char* text;
  std::vector<uint8_t> bytes;
};

TEST(NotationTest, HexGroupsPrefixesAndIgnoredBytes) {
  const Case cases[] = {
      {"12 34", {0x12, 0x34}},
      {"0x12 0x34", {0x12, 0x34}},
      {"1234", {}},      // four digits in one group
      {"12,34", {}},     // a comma does not separate
      {"123", {}},       // trailing group of three
      {"123 ", {0x23}},  // separated: the last two digits survive
      {"1 2 3", {0x01, 0x02}},
      {"0X12", {}},  // uppercase X is no prefix: 0, 1, 2 are three digits
      {"ab", {0xAB}},
      {"aB Ff", {0xAB, 0xFF}},
      {"10x5", {}},  // prefix after "10": the lone 5 is dropped at the end
      {"10x56", {0x56}},
      {"0,x12", {}},    // the x does not follow the 0 directly
      {"1g2", {0x12}},  // letters past f are ignored inside a group
      {"12\t34", {}},   // a tab is no separator
      {"  12   34  ", {0x12, 0x34}},
      {"x12", {0x12}},
      {"0x", {}},
      {"\xC0\xFF"
       "1\xE0"
       "2",
       {0x12}},  // upper-half bytes are ignored, not digits
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Read(ByteNotation::Hex, c.text), c.bytes) << '"' << c.text << '"';
}

TEST(NotationTest, DecimalSeparatorsAndWrapAround) {
  const Case cases[] = {
      {"1,2,3", {1, 2, 3}},
      {"12a34", {0xD2}},  // 1234 mod 256, the letter ignored
      {"-5", {5}},
      {"256", {0}},
      {"300", {0x2C}},
      {"1000", {0xE8}},
      {"1:2;3", {123}},  // 0x3A and up are not separators
      {"7\x01"
       "8/9.10",
       {7, 8, 9, 10}},
      {"255 ", {255}},
      {"\xB9"
       "4",
       {4}},
      {"", {}},
      {",,,", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Read(ByteNotation::Decimal, c.text), c.bytes) << '"' << c.text << '"';
}

TEST(NotationTest, DigitCounterIsEightBitsWide) {
  // 256 digits bring the counter back to 0: the group is not taken at the next separator.
  EXPECT_EQ(Read(ByteNotation::Hex, std::string(256, '1') + " "), std::vector<uint8_t>{});
  EXPECT_EQ(Read(ByteNotation::Hex, std::string(255, '1') + " "), std::vector<uint8_t>{0x11});
  // 258 digits leave the counter at 2, so a trailing group is taken.
  EXPECT_EQ(Read(ByteNotation::Hex, std::string(257, '0') + "7"), std::vector<uint8_t>{0x07});
  EXPECT_EQ(Read(ByteNotation::Decimal, std::string(256, '1')), std::vector<uint8_t>{});
  EXPECT_EQ(Read(ByteNotation::Decimal, std::string(255, '9')).size(), 1u);
}

TEST(NotationTest, StopsAtOnceWhenTheOutputIsFull) {
  std::array<uint8_t, 3> guard{0xEE, 0xEE, 0xEE};
  // Room for two values: the third and the pending fourth are neither read nor written.
  EXPECT_EQ(ReadHexNotation("01 02 03 04", std::span(guard).first(2)), 2u);
  EXPECT_EQ(guard[2], 0xEE);
  EXPECT_EQ(ReadDecimalNotation("1 2 3 44", std::span(guard).first(2)), 2u);
  EXPECT_EQ(guard[2], 0xEE);
  EXPECT_EQ(ReadTextNotation("abc", std::span(guard).first(2)), 2u);
  EXPECT_EQ(guard[2], 0xEE);
  // An end-of-text value still needs room.
  EXPECT_EQ(ReadHexNotation("01 02", std::span(guard).first(1)), 1u);
  EXPECT_EQ(ReadHexNotation("01", std::span(guard).first(0)), 0u);
  // 4,096 separators and no digit read nothing.
  EXPECT_TRUE(Read(ByteNotation::Hex, std::string(4096, ' ')).empty());
  EXPECT_TRUE(Read(ByteNotation::Decimal, std::string(4096, ',')).empty());
}

}  // namespace
}  // namespace quarlex
