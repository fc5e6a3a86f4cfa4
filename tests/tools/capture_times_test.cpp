#include "tools/capture_times.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "tests/app/support/store_fields.h"

namespace quarlex {
namespace {

// 2024-06-10 10:00:00 in this machine's time zone, whatever it is.
const int64_t Ten = [] {
  std::tm tm{};
  tm.tm_year = 124;
  tm.tm_mon = 5;
  tm.tm_mday = 10;
  tm.tm_hour = 10;
  tm.tm_isdst = -1;
  return int64_t{std::mktime(&tm)} * 1'000'000'000;
}();
constexpr int64_t Ms = 1'000'000;

struct CaptureTimesTest : ::testing::Test {
  CaptureStore store;
  void SetUp() override {
    // A request, its answer in two batches with a framing error before it, then bytes without times.
    Append("AT\r", true, Ten + 5 * Ms);
    store.Times.AddEvents(3, Bits(LineEvent::Framing), Ten + 17 * Ms);
    Append("OK", false, Ten + 17'400'000);
    Append("\r\n\xC0", false, Ten + 19 * Ms);
    const char tail[] = "\x01xyz";
    std::memcpy(store.CaptureBuffer + store.WriteIndex(), tail, 4);
    StoreFields(store).WriteIndex += 4;
  }
  void Append(const std::string& bytes, bool sent, int64_t time) {
    const uint32_t from = store.WriteIndex();
    for (char c : bytes) {
      if (sent) {
        store.AppendSent(static_cast<uint8_t>(c));
      } else {
        store.AppendReceived(reinterpret_cast<const uint8_t*>(&c), 1);
      }
    }
    store.Times.AddBatch(from, static_cast<uint32_t>(bytes.size()),
                         sent ? Direction::Sent : Direction::Received, time);
  }
};

TEST_F(CaptureTimesTest, GapsReadAsPeopleSayThem) {
  EXPECT_EQ(GapText(350'000), "0.35 ms");
  EXPECT_EQ(GapText(12'400'000), "12.4 ms");
  EXPECT_EQ(GapText(2'315'000'000), "2.315 s");
  EXPECT_EQ(GapText(192'000'000'000), "3 min 12.0 s");
  EXPECT_EQ(TimeOfDayText(Ten + 12'999'999), "10:00:00.012");
}

TEST_F(CaptureTimesTest, TooltipNamesTheByteItsTimeAndTheAnswerGap) {
  EXPECT_EQ(ByteTooltipText(store, 4),
            "Position 0000004 (4)\nValue 0x4B, 75, 'K'\nReceived 10:00:00.017\nAnswer after 12.4 ms\n"
            "Line before it: framing error");
  EXPECT_EQ(ByteTooltipText(store, 2), "Position 0000002 (2)\nValue 0x0D, 13, CR\nSent 10:00:00.005");
  EXPECT_EQ(ByteTooltipText(store, 9),
            "Position 0000009 (9)\nValue 0x78, 120, 'x'\nReceived, no time recorded");
}

TEST_F(CaptureTimesTest, ExportHasOneLinePerBatchInTheGridsBase) {
  SavePlan plan;
  plan.pieces[0] = {0, store.WriteIndex()};
  plan.count = 1;
  const std::string pad(13 * 3, ' ');
  EXPECT_EQ(ExportText(store, plan, GridBase::Hex, "COM3"),
            "Quarlex capture, port COM3, 12 bytes, from 2024-06-10 10:00:00\n"
            "time          dir   position bytes (HEX)\n"
            "10:00:00.005  TX    0000000  41 54 0D " +
                pad +
                " AT.\n"
                "10:00:00.017  LINE  0000003  framing error\n"
                "10:00:00.017  RX    0000003  4F 4B    " +
                pad +
                " OK\n"
                "10:00:00.019  RX    0000005  0D 0A C0 " +
                pad +
                " ..\u0410\n"
                "              RX    0000008  01 78 79 7A " +
                pad.substr(3) + " .xyz\n");
  EXPECT_NE(
      ExportText(store, plan, GridBase::Dec, "COM3").find("\n10:00:00.019  RX    0000005   13  10 192 "),
      std::string::npos);
  EXPECT_NE(ExportText(store, plan, GridBase::Char, "COM3").find("\n10:00:00.019  RX    0000005  ..\u0410\n"),
            std::string::npos);
  // A long batch goes on over lines of 16 bytes; an interval starts mid-batch with that batch's time.
  Append(std::string(20, 'z'), false, Ten + 30 * Ms);
  plan.pieces[0] = {4, store.WriteIndex() - 4};
  const std::string tail = ExportText(store, plan, GridBase::Hex, "COM3");
  EXPECT_NE(tail.find("\n10:00:00.017  RX    0000004  4B "), std::string::npos) << tail;
  EXPECT_NE(tail.find("\n10:00:00.030  RX    000000C  7A"), std::string::npos) << tail;
  EXPECT_NE(tail.find("\n              RX    000001C  7A 7A 7A 7A "), std::string::npos) << tail;
}

}  // namespace
}  // namespace quarlex
