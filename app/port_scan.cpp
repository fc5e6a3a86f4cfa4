#include "app/port_scan.h"

#include <algorithm>

#include "ports/port_name.h"

namespace quarlex {

void PortTable::ScanPorts(const std::vector<std::string>& texts) {
  PortCount = static_cast<uint8_t>(std::min<size_t>(texts.size(), 255));
  // All entries, not just the first few: a stale number beyond the new count, or under a text
  // that does not parse, would otherwise stay selectable and connectable.
  PortNumbers.fill(0);
  for (unsigned i = 0; i < PortCount; ++i) PortNumbers[i] = ComPortNumber(texts[i]);
  // The last entry carrying `number`, or false when none does.
  const auto find = [this](uint8_t number, uint8_t& index) {
    bool found = false;
    for (unsigned i = 0; number >= 1 && i < PortCount; ++i) {
      if (PortNumbers[i] == number) {
        index = static_cast<uint8_t>(i);
        found = true;
      }
    }
    return found;
  };
  // Falling back to the first entry must not forget the choice: on a machine whose first port
  // is the console UART, the next Connect would otherwise open a device nobody chose once the
  // chosen adapter is back.
  PortIndex = 0;
  if (!find(ChosenPort, PortIndex)) find(SelectedPort, PortIndex);
  SelectedPort = PortNumbers[PortIndex];
  if (ChosenPort == 0) ChosenPort = SelectedPort;
}

void PortTable::BtnComClick() {
  if (PortIndex < PortCount) ++PortIndex;
  if (PortIndex == PortCount) PortIndex = 0;
  SelectedPort = PortNumbers[PortIndex];
  RememberChoice();
}

std::string PortTable::PortCaption() const {
  return "Port " + std::to_string(SelectedPort);
}

}  // namespace quarlex
