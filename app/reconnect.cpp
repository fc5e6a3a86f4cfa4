#include "app/reconnect.h"

#include <algorithm>

namespace quarlex {

DeviceIdentity IdentityOf(const PortEntry& entry) {
  DeviceIdentity id;
  id.Source = entry.Source;
  if (entry.Source == PortEntry::Kind::Virtual) return id;  // a link is its name, nothing more
  if (!entry.ByIdLink.empty()) {
    id.Key = "by-id:" + entry.ByIdLink;
  } else {
    // udev's form of the serial number where it has one: the sysfs string may carry spaces
    // that udev replaces, and one run of the program always reads the same source.
    const std::string& serial = entry.SerialShort.empty() ? entry.SerialNumber : entry.SerialShort;
    if (!serial.empty()) id.Key = "usb:" + entry.Vendor + ":" + entry.ProductId + ":" + serial;
  }
  return id;
}

bool SameIdentity(const DeviceIdentity& lost, const DeviceIdentity& found) {
  if (lost.Source != found.Source) return false;
  return lost.Key.empty() || lost.Key == found.Key;
}

int RetryDelayMs(int failures) {
  constexpr int kFirst = 1000, kMost = 30000;
  int delay = kFirst;
  for (int i = 1; i < failures && delay < kMost; ++i) delay *= 2;
  return std::min(delay, kMost);
}

}  // namespace quarlex
