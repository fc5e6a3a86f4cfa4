#pragma once
// The main window's port table and the rules that fill it from the system's list of port texts
// ("COM3", "COM12", ...). Toolkit-free: the Qt shell hands in the list (from PortMap on Linux),
// then shows PortCaption() on BtnCom.
// Main thread only; no locking.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarlex {

struct PortTable {
  std::array<uint8_t, 256> PortNumbers{};  // port number per entry, in list order
  uint8_t PortCount = 0;                   // entries found by the last scan, at most 255
  uint8_t PortIndex = 0;                   // entry shown on BtnCom
  uint8_t SelectedPort = 0;                // its port number, kept across scans; 0 = none chosen
  // The port the operator chose (by BtnCom, by connecting, or the first one shown), remembered
  // while it is away so that an unplugged and re-plugged adapter is selected again; 0 = none.
  uint8_t ChosenPort = 0;

  // Refills the table from `texts` (list order is enumeration order; entries past 255 are
  // ignored; a text that names no port by ComPortNumber gives 0) and restores the choice: the
  // entry whose number equals ChosenPort, else the one equal to SelectedPort (the last such entry
  // when several match), else the first entry. Every entry the scan does not fill is reset to 0,
  // so no number from an earlier, longer list can be connected to. A fallback to the first entry
  // leaves ChosenPort as it was.
  // When the list itself cannot be read, do not call this: the table then keeps its values.
  void ScanPorts(const std::vector<std::string>& texts);

  // BtnCom click: the next entry in list order, wrapping to the first; with no entry at all it
  // stays on entry 0 (port 0). The new selection is the operator's choice.
  void BtnComClick();
  // The selected port becomes the operator's choice (they connect to it).
  void RememberChoice() { ChosenPort = SelectedPort; }

  // BtnCom's caption: "Port " and SelectedPort in decimal.
  std::string PortCaption() const;
};

}  // namespace quarlex
