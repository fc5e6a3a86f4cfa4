#include "app/port_scan.h"

#include <gtest/gtest.h>

namespace quarlex {
namespace {

TEST(PortScan, FirstScanShowsFirstEntry) {
  PortTable t;
  t.ScanPorts({"COM1", "COM12"});
  EXPECT_EQ(t.PortCount, 2);
  EXPECT_EQ(t.PortNumbers[0], 1);
  EXPECT_EQ(t.PortNumbers[1], 12);
  EXPECT_EQ(t.PortIndex, 0);
  EXPECT_EQ(t.SelectedPort, 1);
  EXPECT_EQ(t.PortCaption(), "Port 1");
}

TEST(PortScan, ChoiceSurvivesRescanOrFallsBackToFirst) {
  PortTable t;
  t.ScanPorts({"COM1", "COM12"});
  t.BtnComClick();
  ASSERT_EQ(t.SelectedPort, 12);

  t.ScanPorts({"COM12", "COM5"});  // order changed, choice kept
  EXPECT_EQ(t.PortIndex, 0);
  EXPECT_EQ(t.SelectedPort, 12);
  t.ScanPorts({"COM5", "COM12"});
  EXPECT_EQ(t.PortIndex, 1);
  EXPECT_EQ(t.SelectedPort, 12);
  EXPECT_EQ(t.PortCaption(), "Port 12");

  t.ScanPorts({"COM5", "COM7"});  // port 12 gone: first entry
  EXPECT_EQ(t.PortIndex, 0);
  EXPECT_EQ(t.SelectedPort, 5);

  // The operator's choice comes back with its port (an adapter re-plugged), as long as they
  // picked nothing else meanwhile; a port that merely was the fallback is no choice.
  t.ScanPorts({"COM5", "COM7", "COM12"});
  EXPECT_EQ(t.PortIndex, 2);
  EXPECT_EQ(t.SelectedPort, 12);
  t.ScanPorts({"COM5"});
  t.ScanPorts({"COM7", "COM5"});  // still away: the fallback stays where it was
  EXPECT_EQ(t.SelectedPort, 5);
  t.BtnComClick();  // now the operator picks 7 ...
  ASSERT_EQ(t.SelectedPort, 7);
  t.ScanPorts({"COM7", "COM12"});  // ... so the return of 12 changes nothing
  EXPECT_EQ(t.SelectedPort, 7);
  t.ScanPorts({"COM12"});
  t.ScanPorts({"COM12", "COM7"});
  EXPECT_EQ(t.SelectedPort, 7);

  // Connecting counts as picking: the port connected to is the one the selection returns to.
  t.ScanPorts({"COM1", "COM3"});
  ASSERT_EQ(t.SelectedPort, 1);  // 7 gone, fallback
  t.RememberChoice();            // connected to port 1
  t.ScanPorts({"COM3"});
  t.ScanPorts({"COM3", "COM7", "COM1"});
  EXPECT_EQ(t.SelectedPort, 1);
}

TEST(PortScan, LastOfDuplicateNumbersWins) {
  PortTable t;
  t.SelectedPort = 3;
  t.ScanPorts({"COM3", "COM4", "COM3", "COM9"});
  EXPECT_EQ(t.PortIndex, 2);
  EXPECT_EQ(t.SelectedPort, 3);
}

TEST(PortScan, EmptyListShowsPortZeroWhateverWasChosen) {
  PortTable t;
  t.ScanPorts({"COM4", "COM8"});
  t.BtnComClick();
  ASSERT_EQ(t.SelectedPort, 8);
  t.ScanPorts({});
  EXPECT_EQ(t.PortCount, 0);
  EXPECT_EQ(t.PortIndex, 0);
  EXPECT_EQ(t.SelectedPort, 0);
  EXPECT_EQ(t.PortNumbers[0], 0);
  EXPECT_EQ(t.PortCaption(), "Port 0");
  // And clicking with no port stays there.
  t.BtnComClick();
  EXPECT_EQ(t.PortIndex, 0);
  EXPECT_EQ(t.PortCaption(), "Port 0");
}

TEST(PortScan, NoStaleNumbersSurviveAShorterList) {
  PortTable t;
  std::vector<std::string> many;
  for (int i = 1; i <= 20; ++i) many.push_back("COM" + std::to_string(i));
  t.ScanPorts(many);
  ASSERT_EQ(t.PortNumbers[15], 16);

  // A shorter list, with an unparsable text in an entry beyond the first eight.
  std::vector<std::string> fewer(12, "COM2");
  fewer[10] = "com11";
  t.ScanPorts(fewer);
  EXPECT_EQ(t.PortCount, 12);
  EXPECT_EQ(t.PortNumbers[10], 0);  // not the 11 of the earlier scan
  for (size_t i = 12; i < t.PortNumbers.size(); ++i) EXPECT_EQ(t.PortNumbers[i], 0) << i;

  // A text that names no port among the first entries reads 0 as well: not port 44 for COM300,
  // which would open another port's device.
  t.ScanPorts({"COM3", "com4", "COM300"});
  EXPECT_EQ(t.PortNumbers[1], 0);
  EXPECT_EQ(t.PortNumbers[2], 0);
}

TEST(PortScan, CountIsCappedAt255) {
  std::vector<std::string> texts;
  for (int i = 0; i < 300; ++i) texts.push_back("COM" + std::to_string(i % 256));
  PortTable t;
  t.SelectedPort = 254;  // texts[254] and nothing later within the cap
  t.ScanPorts(texts);
  EXPECT_EQ(t.PortCount, 255);
  EXPECT_EQ(t.PortIndex, 254);
  EXPECT_EQ(t.PortNumbers[255], 0);  // entry 255 is past the count and never filled

  t.SelectedPort = t.ChosenPort = 255;  // only present at index 255, beyond the count
  t.ScanPorts(texts);
  EXPECT_EQ(t.PortIndex, 0);
  EXPECT_EQ(t.SelectedPort, 0);
}

TEST(PortScan, BtnComStepsInListOrderAndWraps) {
  PortTable t;
  t.ScanPorts({"COM3", "COM1", "COM7"});
  t.PortIndex = 2;
  t.BtnComClick();
  EXPECT_EQ(t.PortIndex, 0);
  EXPECT_EQ(t.PortCaption(), "Port 3");
  t.BtnComClick();
  EXPECT_EQ(t.PortCaption(), "Port 1");

  PortTable one;
  one.ScanPorts({"COM9"});
  one.BtnComClick();
  EXPECT_EQ(one.PortIndex, 0);
  EXPECT_EQ(one.PortCaption(), "Port 9");
}

}  // namespace
}  // namespace quarlex
