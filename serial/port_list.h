#pragma once
// ListSerialPorts: the names of the serial ports the system knows, for code that wants a plain
// list (a settings dialog, a script). The names come from the same Linux port map the window's
// scan reads ("COM<n>" per port, see ports/port_map.h), so both always agree.
//
// Owner's thread, like the port map it reads (the map is not thread-safe).
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ports/port_map.h"

namespace quarlex {

// Where the names come from: the names, or nullopt when the system's list cannot be read.
using TPortNameSource = std::function<std::optional<std::vector<std::string>>()>;

// Replaces Strings with the source's names sorted ignoring ASCII letter case (so "COM10" comes
// before "COM2"; names equal but for case keep the source's order). When the list cannot be
// read, Strings is left as it was and nothing is reported.
void ListSerialPorts(std::vector<std::string>& Strings, const TPortNameSource& Source);

// The port map over `Roots` as the source: "COM<n>" for every port it finds; nullopt when the
// map cannot read its sysfs folder at all.
TPortNameSource PortMapNames(PortMapRoots Roots);

// The system's port map (PortMapRoots::System()), the list the window's scan shows.
void ListSerialPorts(std::vector<std::string>& Strings);

}  // namespace quarlex
