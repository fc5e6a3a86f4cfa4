#pragma once
// The serial ports of a scratch window (WiredWindow), one implementation per platform:
// scratch_ports_posix.cpp keeps them in folders under the scratch root, scratch_ports_win32.cpp
// in a registry key of the test's own under HKEY_CURRENT_USER, named after the root.
#include <filesystem>

#include "app/port_watcher.h"
#include "ports/port_map.h"

namespace quarlex::testing_support {

PortMapRoots ScratchPortRoots(const std::filesystem::path& root);
PortWatchPaths ScratchPortWatch(const std::filesystem::path& root);
// Port `number` appears in the map (Linux: a COM link to /dev/null in the link folder; Windows:
// a value naming COM<number>). Tests open it only through a scripted line.
void AddScratchPort(const std::filesystem::path& root, int number);
// Removes what lives outside the scratch folder (Windows: the key).
void RemoveScratchPorts(const std::filesystem::path& root);

}  // namespace quarlex::testing_support
