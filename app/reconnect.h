#pragma once
// Finding a lost device again: what identifies the device behind a port number, whether the one
// that shows under the number now is the one that was lost, and how long to wait before trying a
// port that came back busy or refused again. Plain values; the connection (app/connection.*)
// keeps the state of a reconnection.
#include <string>

#include "ports/port_map.h"

namespace quarlex {

struct DeviceIdentity {
  PortEntry::Kind Source = PortEntry::Kind::Hardware;
  // The udev identity: the by-id link, else USB vendor:product:serial number; empty when the
  // system names none (ttyS ports, adapters without a serial number, port links).
  std::string Key;
  bool operator==(const DeviceIdentity&) const = default;
};

DeviceIdentity IdentityOf(const PortEntry& entry);

// True when `found`, what stands under the lost device's number now, is the lost device: of the
// same kind (a port link never stands in for an adapter, nor one for a link) and, where the lost
// one had a udev identity, with that identity. Without one the number alone decides.
bool SameIdentity(const DeviceIdentity& lost, const DeviceIdentity& found);

// Milliseconds before the next try at a port that came back but could not be opened, after
// `failures` failed tries (1 for the first): 1 s, doubling, at most 30 s. Never under a second,
// so a port that stays busy costs nothing measurable.
int RetryDelayMs(int failures);

}  // namespace quarlex
