// Scratch ports on Linux: an empty sysfs and device folder (no hardware ports) and a port-link
// folder where tests put their COM links.
#include <string>

#include "tests/qt/support/scratch_ports.h"

namespace quarlex::testing_support {

PortMapRoots ScratchPortRoots(const std::filesystem::path& root) {
  PortMapRoots roots;
  roots.Sysfs = root / "sys";
  roots.Dev = root / "dev";
  roots.LinkFolder = root / "ports";
  roots.StateFile = root / "state";
  return roots;
}

PortWatchPaths ScratchPortWatch(const std::filesystem::path& root) {
  PortWatchPaths watch;
  watch.Dev = root / "dev";
  watch.ById = root / "by-id";
  watch.LinkFolder = root / "ports";
  watch.DeviceEvents = false;
  return watch;
}

void AddScratchPort(const std::filesystem::path& root, int number) {
  // The map takes links to character devices only; /dev/null is one that every system has.
  std::filesystem::create_symlink("/dev/null", root / "ports" / ("COM" + std::to_string(number)));
}

void RemoveScratchPorts(const std::filesystem::path&) {}

}  // namespace quarlex::testing_support
