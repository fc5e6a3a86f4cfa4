#pragma once
// The serial-port map: which serial ports exist and which COM number each one carries.
// On Windows it is the system's own map, the values of HKEY_LOCAL_MACHINE
// "HARDWARE\DEVICEMAP\SERIALCOMM" (value name: the driver's device, data: "COM<n>"), listed in
// the order the registry gives them.
// Linux has no such map, so this one keeps its own:
//  - hardware ports are the tty devices (as libudev lists them, or under <sysfs>/class/tty) with
//    a `device` link (UART slots whose `type` reads 0 hold no UART and are skipped), and bound
//    Bluetooth serial links rfcomm<n>; while udevd runs, a device it has not finished with (no
//    group, permissions or by-id link yet) is left out until it has;
//  - ttyS<k> is COM<k+1>; every other port gets the lowest free number on first sight and keeps
//    it across re-plugging and restarts, keyed by its identity (USB vendor:product:serial:
//    interface, or where it is plugged in when it has no serial number), in a small per-user
//    state file;
//  - every symbolic link COM<n> in the per-user port-link folder is port n (a virtual port, for
//    example a socat pty) and hides a hardware port of the same number while it exists (the
//    hidden port keeps its number and shows under it again once the link is gone); links whose
//    target is gone are skipped.
// Numbers are 1..255. The map never opens a port.
//
// Not thread-safe: one PortMap is used by one thread at a time (the main thread's scan).
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quarlex {

// Where the map looks. Every root can be pointed at a temporary tree.
struct PortMapRoots {
  std::filesystem::path Sysfs = "/sys";
  std::filesystem::path Dev = "/dev";
  std::filesystem::path LinkFolder;  // see DefaultPortLinkFolder()
  std::filesystem::path StateFile;   // see DefaultPortStateFile()
  // Where the list of tty devices comes from. Udev: libudev's list, with the names udev's
  // database holds for each device (the system's). Sysfs: a walk of <Sysfs>/class/tty (scratch
  // trees in tests, and the fallback where libudev cannot list devices). Both give the same
  // ports, numbers and identities.
  enum class DeviceList { Sysfs, Udev };
  DeviceList Devices = DeviceList::Sysfs;
  std::filesystem::path UdevRunDir = "/run/udev";  // where udevd shows that it runs

  // Windows: the key whose values name the ports. Tests point it at a key of their own.
  enum class RegistryRoot { LocalMachine, CurrentUser };
  RegistryRoot Root = RegistryRoot::LocalMachine;
  std::string RegistryKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

  // The system's roots with the per-user link folder and state file of this process.
  static PortMapRoots System();
};

// $XDG_RUNTIME_DIR/quarlex/ports, or /tmp/quarlex-<uid>/ports when XDG_RUNTIME_DIR is unset.
std::filesystem::path DefaultPortLinkFolder();
// $XDG_STATE_HOME/quarlex/portmap, else $HOME/.local/state/quarlex/portmap.
std::filesystem::path DefaultPortStateFile();

// Creates the port-link folder (and missing parents) readable by this user only, and tells
// whether it may be trusted: a directory, not a symbolic link, owned by this user and writable
// by nobody else. Another user who could plant a COM link there could make the program open a
// device of their choosing, so an untrusted folder is ignored.
bool PreparePortLinkFolder(const std::filesystem::path& folder);

struct PortEntry {
  enum class Kind { Hardware, Virtual };
  uint8_t Number = 0;  // 1..255
  Kind Source = Kind::Hardware;
  std::string DevicePath;         // what to open: /dev/ttyUSB0, the COM<n> link itself, or COM<n>
  std::string LinkTarget;         // virtual ports: the device the link points to
  std::string Identity;           // hardware ports other than ttyS: the key of its number
  std::string Vendor, ProductId;  // USB ids (hex, as sysfs gives them), empty otherwise
  std::string Manufacturer, Product, SerialNumber;  // USB strings from sysfs, may be empty
  // From the udev database, empty where udev has no record of the device (no udevd running):
  // the vendor and model names of the USB id database (ID_VENDOR_FROM_DATABASE,
  // ID_MODEL_FROM_DATABASE), the serial number as udev reports it (ID_SERIAL_SHORT), and the
  // stable link under /dev/serial/by-id.
  std::string VendorFromDatabase, ModelFromDatabase, SerialShort, ByIdLink;
  // What stands behind the number, one item per line, for BtnCom's tooltip (DescribePort).
  std::string Description;
};

// The tooltip text: the device path, its by-id link, the device's own manufacturer and product
// strings, the udev database's maker and model names where they say more, the serial number and
// the USB ids; for a port link, the link, where it points and that it is virtual.
std::string DescribePort(const PortEntry& p);

// "maker product serial" of a port, for --list-ports: the maker as the device reports it, else
// the udev database's; the model from the database (which names the chip, where devices often
// report only "USB Serial" or nothing), else the device's own product string; for a port link,
// where it points.
std::string PortNames(const PortEntry& p);

class PortMap {
 public:
  explicit PortMap(PortMapRoots roots);

  // Reads the system again and assigns numbers to ports seen for the first time (saving the
  // state file when an assignment changed). Returns false, leaving the previous result in
  // place, when <sysfs>/class/tty (Windows: the registry key, other than by being absent,
  // which means no ports) cannot be read at all: the caller then keeps its port list.
  bool Refresh();

  // The ports of the last Refresh, sorted by number; each number occurs once.
  const std::vector<PortEntry>& Ports() const { return ports_; }
  // The list the window's scan parses: "COM<n>" per port, in the same order (Windows: the
  // registry's texts as they are, in its order, texts that name no port included).
  std::vector<std::string> PortTexts() const;
  // The port carrying `number`, or null.
  const PortEntry* Find(unsigned number) const;

  // Empty, or why the state file could not be read or written at the last Refresh. Numbers
  // are then still kept for the life of this object.
  const std::string& StateError() const { return stateError_; }

 private:
  struct Found {
    PortEntry entry;
    bool fixedNumber = false;  // ttyS<k>
  };
  void LoadState();
  bool SaveState();
  std::vector<Found> ReadHardware(bool& ok) const;
  std::vector<PortEntry> ReadLinks() const;

  PortMapRoots roots_;
  std::map<std::string, uint8_t> assigned_;  // identity -> number, as in the state file
  std::vector<PortEntry> ports_;
  std::vector<std::string> texts_;  // Windows: the registry's texts
  std::string stateError_;
};

}  // namespace quarlex
