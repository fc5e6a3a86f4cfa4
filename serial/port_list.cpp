#include "serial/port_list.h"

#include <algorithm>

namespace quarlex {

namespace {

bool LessIgnoringCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) {
      return static_cast<unsigned char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
    };
    return lower(x) < lower(y);
  });
}

}  // namespace

void ListSerialPorts(std::vector<std::string>& Strings, const TPortNameSource& Source) {
  if (!Source) return;
  std::optional<std::vector<std::string>> names = Source();
  if (!names) return;
  std::stable_sort(names->begin(), names->end(), LessIgnoringCase);
  Strings = std::move(*names);
}

TPortNameSource PortMapNames(PortMapRoots Roots) {
  return [roots = std::move(Roots)]() -> std::optional<std::vector<std::string>> {
    // A fresh map per call: the numbers it hands out live in its state file, which the
    // window's own map reads too, so both give a port the same name.
    PortMap map(roots);
    if (!map.Refresh()) return std::nullopt;
    return map.PortTexts();
  };
}

void ListSerialPorts(std::vector<std::string>& Strings) {
  ListSerialPorts(Strings, PortMapNames(PortMapRoots::System()));
}

}  // namespace quarlex
