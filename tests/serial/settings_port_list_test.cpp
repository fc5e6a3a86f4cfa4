// ListSerialPorts: sorted ignoring case, and an unreadable list leaves the caller's list alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/port_list.h"

namespace quarlex {
namespace {

using Names = std::vector<std::string>;

TEST(SettingsPortList, NamesAreSortedIgnoringCase) {
  Names list = {"stale"};
  ListSerialPorts(list, [] { return std::optional<Names>({"COM2", "COM10", "com3", "COM1"}); });
  EXPECT_EQ(list, (Names{"COM1", "COM10", "COM2", "com3"}));

  ListSerialPorts(list, [] { return std::optional<Names>({"b", "COMx", "comX", "A"}); });
  EXPECT_EQ(list, (Names{"A", "b", "COMx", "comX"}));  // equal but for case: source order

  ListSerialPorts(list, [] { return std::optional<Names>(Names{}); });
  EXPECT_TRUE(list.empty());  // no ports is a list too
}

TEST(SettingsPortList, UnreadableListKeepsTheCallersList) {
  Names list = {"COM4", "COM5"};
  ListSerialPorts(list, [] { return std::optional<Names>(); });
  EXPECT_EQ(list, (Names{"COM4", "COM5"}));
  ListSerialPorts(list, TPortNameSource());
  EXPECT_EQ(list, (Names{"COM4", "COM5"}));
}

}  // namespace
}  // namespace quarlex
