#pragma once
// What a start asks for beyond the window's defaults (the command line's meaning, as plain
// values), and the checks of option values that need no toolkit: the port argument, the baud
// rate, and finding a named port among the ports of the port map. The toolkit's parser
// (qt/command_line) splits the words; this says what they mean and what is wrong with them.
#include <optional>
#include <string>

#include "ports/port_map.h"
#include "serial/comport_types.h"

namespace quarlex {

// --port: a port number 1..255 (also written COM<n>), or the path of a device.
struct PortArgument {
  unsigned Number = 0;  // set when the text was a number
  std::string Path;     // set when the text was a path
};

// False, with the reason in `error`, when `text` is neither a number 1..255, COM<n>, nor a path
// (a text holding a '/').
bool ParsePortArgument(const std::string& text, PortArgument& out, std::string& error);

// --baud: any whole rate from MinRate to MaxRate, in decimal digits.
bool ParseBaudArgument(const std::string& text, uint32_t& out, std::string& error);

// --dtr, --rts: "on" or "off"; `option` names the option in the error.
bool ParseOnOffArgument(const std::string& option, const std::string& text, bool& out, std::string& error);

// The number of the port of `map` (after its Refresh) that `arg` names. A path names the port
// whose device is the same device, however it is reached: /dev/serial/by-id/<adapter> and
// /dev/ttyUSB0 name one port, and so do a port link and the terminal it points to. Returns 0,
// with `error` naming the ports there are, when none matches.
unsigned ResolvePort(const PortMap& map, const PortArgument& arg, std::string& error);

// "COM<n>  <device>  <maker product serial>", one port a line, in number order; for a port
// link the device is the link and the names say where it points.
std::string ListPortsText(const PortMap& map);

// A start's wishes; every member left as it is keeps the window's own start-up state.
struct StartOptions {
  unsigned Port = 0;             // port number to show on the port button; 0 = the first port
  unsigned TapPort = 0;          // a tap's second port (B), listening beside Port; 0 = no tap
  std::optional<uint32_t> Baud;  // bits per second
  std::optional<bool> Dtr;       // the operator's DTR and RTS from the first connect on
  std::optional<bool> Rts;
  bool Connect = false;    // connect once the window shows
  bool Autosave = false;   // check "Autosave" in the Save menu
  bool Record = false;     // check "Record" in the Save menu
  bool Reconnect = true;   // "Reconnect" of the `. . .` menu stays checked (--no-reconnect clears it)
  std::string SaveFolder;  // where capture files go, ending in '/'; empty = the default
  std::string File;        // a capture file to load, as Ctrl+O would
};

}  // namespace quarlex
