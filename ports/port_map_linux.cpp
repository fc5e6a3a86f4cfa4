#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "ports/port_map.h"
#include "ports/port_name.h"
#include "ports/udev_linux.h"

namespace quarlex {

namespace fs = std::filesystem;

namespace {

const char* NonEmptyEnv(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && v[0] == '/') ? v : nullptr;  // relative values are invalid here
}

// First line of a small sysfs attribute, without surrounding blanks; empty when unreadable.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  const auto first = line.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = line.find_last_not_of(" \t\r\n");
  return line.substr(first, last - first + 1);
}

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

// Decimal digits only, no sign, no leading zero; 0 when the text is anything else.
unsigned ParseDecimal(std::string_view s) {
  if (s.empty() || s.size() > 4 || (s.size() > 1 && s[0] == '0')) return 0;
  unsigned v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  return v;
}

// ttyS<k> is COM<k+1>; 0 for other names or numbers beyond 255.
unsigned FixedNumber(const std::string& name) {
  if (name.size() < 5 || name.compare(0, 4, "ttyS") != 0) return 0;
  const std::string_view digits = std::string_view(name).substr(4);
  if (digits == "0") return 1;
  const unsigned k = ParseDecimal(digits);
  return (k != 0 && k + 1 <= 255) ? k + 1 : 0;
}

// ttyUSB2 before ttyUSB10: numbers are handed out in this order, so it should be the order a
// person would list the devices in, and the same on every run.
bool NaturalLess(const std::string& a, const std::string& b) {
  const auto split = [](const std::string& s) {
    size_t i = s.size();
    while (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9') --i;
    return std::make_pair(s.substr(0, i), s.size() - i);
  };
  const auto [pa, da] = split(a);
  const auto [pb, db] = split(b);
  if (pa != pb) return pa < pb;
  if (da != db) return da < db;  // no leading zeros in kernel names: shorter is smaller
  return a < b;
}

bool IsRfcomm(const std::string& name) {
  return name.size() > 6 && name.compare(0, 6, "rfcomm") == 0 &&
         name.find_first_not_of("0123456789", 6) == std::string::npos;
}

bool IsWithin(const fs::path& p, const fs::path& root) {
  const std::string& s = p.native();
  const std::string& r = root.native();
  return s.size() > r.size() && s.compare(0, r.size(), r) == 0 && s[r.size()] == '/';
}

// The state file holds one identity per line; keep it one line whatever the device reports.
std::string OneLine(std::string s) {
  for (char& c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return s;
}

// Entries of a folder; errors half-way end the listing instead of throwing.
std::vector<fs::directory_entry> ListFolder(const fs::path& folder, bool& ok) {
  std::vector<fs::directory_entry> entries;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  ok = !ec;
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) entries.push_back(*it);
  return entries;
}

bool TrustedFolder(const fs::path& folder) {
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

fs::path DefaultPortLinkFolder() {
  if (const char* run = NonEmptyEnv("XDG_RUNTIME_DIR")) return fs::path(run) / "quarlex" / "ports";
  return fs::path("/tmp") / ("quarlex-" + std::to_string(getuid())) / "ports";
}

fs::path DefaultPortStateFile() {
  if (const char* state = NonEmptyEnv("XDG_STATE_HOME")) return fs::path(state) / "quarlex" / "portmap";
  fs::path home;
  if (const char* h = NonEmptyEnv("HOME")) {
    home = h;
  } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    home = pw->pw_dir;
  } else {
    return {};  // nowhere to keep numbers: they then live as long as the process
  }
  return home / ".local" / "state" / "quarlex" / "portmap";
}

PortMapRoots PortMapRoots::System() {
  PortMapRoots r;
  r.Devices = DeviceList::Udev;
  r.LinkFolder = DefaultPortLinkFolder();
  r.StateFile = DefaultPortStateFile();
  return r;
}

bool PreparePortLinkFolder(const fs::path& folder) {
  // Each missing level is made private to this user; levels that exist are left as they are.
  fs::path partial;
  for (const fs::path& part : folder) {
    partial /= part;
    if (partial == partial.root_path()) continue;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return TrustedFolder(folder);
}

namespace {
std::string Joined(std::initializer_list<const std::string*> parts) {
  std::string text;
  for (const std::string* part : parts) {
    if (!part->empty()) text += (text.empty() ? "" : " ") + *part;
  }
  return text;
}
}  // namespace

std::string PortNames(const PortEntry& p) {
  if (p.Source == PortEntry::Kind::Virtual) return "virtual port -> " + p.LinkTarget;
  return Joined({p.Manufacturer.empty() ? &p.VendorFromDatabase : &p.Manufacturer,
                 p.ModelFromDatabase.empty() ? &p.Product : &p.ModelFromDatabase,
                 p.SerialNumber.empty() ? &p.SerialShort : &p.SerialNumber});
}

std::string DescribePort(const PortEntry& p) {
  if (p.Source == PortEntry::Kind::Virtual) {
    return p.DevicePath + " -> " + p.LinkTarget + "\nVirtual port (link)";
  }
  std::string text = p.DevicePath;
  const auto line = [&text](const std::string& s) {
    if (!s.empty()) text += "\n" + s;
  };
  line(p.ByIdLink);
  const std::string own = Joined({&p.Manufacturer, &p.Product});
  const std::string database = Joined({&p.VendorFromDatabase, &p.ModelFromDatabase});
  line(own);
  if (database != own) line(database);
  const std::string& serial = p.SerialNumber.empty() ? p.SerialShort : p.SerialNumber;
  if (!serial.empty()) line("Serial number " + serial);
  if (!p.Vendor.empty()) line("USB " + p.Vendor + ":" + p.ProductId);
  return text;
}

PortMap::PortMap(PortMapRoots roots) : roots_(std::move(roots)) {
  LoadState();
}

void PortMap::LoadState() {
  if (roots_.StateFile.empty()) return;
  std::ifstream in(roots_.StateFile);
  if (!in) {
    if (Exists(roots_.StateFile)) stateError_ = "cannot read " + roots_.StateFile.string();
    return;
  }
  // Merged into what this object already holds: another instance of the program may have
  // numbered a device since, and numbers held here (also ones that could not be saved) win.
  std::set<uint8_t> used;
  for (const auto& [id, n] : assigned_) used.insert(n);
  std::string line;
  while (std::getline(in, line)) {
    // "<number> <identity>"; anything else (a comment, a damaged line) is skipped, and a number
    // or identity seen before keeps its first line so the table stays one-to-one.
    const auto space = line.find(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos || space + 1 >= line.size()) continue;
    const unsigned n = ParseDecimal(std::string_view(line).substr(0, space));
    if (n < 1 || n > 255 || used.count(static_cast<uint8_t>(n)) != 0) continue;
    const std::string id = line.substr(space + 1);
    if (assigned_.emplace(id, static_cast<uint8_t>(n)).second) used.insert(static_cast<uint8_t>(n));
  }
}

bool PortMap::SaveState() {
  if (roots_.StateFile.empty()) return true;
  std::error_code ec;
  fs::create_directories(roots_.StateFile.parent_path(), ec);
  std::map<uint8_t, std::string> byNumber;
  for (const auto& [id, n] : assigned_) byNumber[n] = id;
  // Written beside the old file and renamed over it, so a crash or a full disk never leaves a
  // half-written table behind.
  const fs::path tmp = roots_.StateFile.string() + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << "# COM numbers of serial devices: <number> <identity>\n";
    for (const auto& [n, id] : byNumber) out << static_cast<unsigned>(n) << ' ' << id << '\n';
    out.flush();
    if (!out) {
      out.close();
      fs::remove(tmp, ec);
      stateError_ = "cannot write " + roots_.StateFile.string();
      return false;
    }
  }
  if (std::rename(tmp.c_str(), roots_.StateFile.c_str()) != 0) {
    stateError_ = "cannot write " + roots_.StateFile.string() + ": " + std::strerror(errno);
    fs::remove(tmp, ec);
    return false;
  }
  return true;
}

std::vector<PortMap::Found> PortMap::ReadHardware(bool& ok) const {
  std::vector<Found> found;
  struct Tty {
    std::string name;
    fs::path dir;  // the device's sysfs folder, or its class/tty link
    UdevNames names;
  };
  std::vector<Tty> ttys;
  std::vector<UdevTty> listed;
  if (roots_.Devices == PortMapRoots::DeviceList::Udev && ListUdevTtys(listed)) {
    const bool udevd = UdevdRunning(roots_.UdevRunDir);
    for (UdevTty& t : listed) {
      // udevd has not applied its rules yet: the operator could not open the port. udevd's
      // announcement of the finished device brings the next scan, which lists it.
      if (udevd && !t.Initialized) continue;
      ttys.push_back({t.Name, t.SysPath, std::move(t.Names)});
    }
    ok = true;
  } else {
    for (const fs::directory_entry& e : ListFolder(roots_.Sysfs / "class" / "tty", ok)) {
      ttys.push_back({e.path().filename().string(), e.path(), {}});
    }
    if (!ok) return found;
  }
  std::error_code ec;
  const fs::path sysRoot = fs::canonical(roots_.Sysfs, ec);
  if (ec) {
    ok = false;
    return found;
  }
  for (Tty& tty : ttys) {
    const std::string& name = tty.name;
    const fs::path& ttyDir = tty.dir;
    // Consoles, virtual terminals and pseudo-terminals have no device behind them. Bluetooth
    // serial links (rfcomm<n>) have none either, yet are serial ports an operator binds on
    // purpose.
    if (!Exists(ttyDir / "device") && !IsRfcomm(name)) continue;
    // A UART slot the kernel reserved but found no UART in.
    if (ReadAttribute(ttyDir / "type") == "0") continue;

    Found f;
    PortEntry& p = f.entry;
    std::string devName = name;
    for (char& c : devName) {
      if (c == '!') c = '/';  // sysfs spells a /dev sub-folder with '!'
    }
    p.DevicePath = (roots_.Dev / devName).string();
    p.Number = static_cast<uint8_t>(FixedNumber(name));
    f.fixedNumber = p.Number != 0;

    const fs::path device = fs::canonical(ttyDir / "device", ec);
    fs::path usbDevice, usbInterface;
    if (!ec) {
      for (fs::path d = device; IsWithin(d, sysRoot) && d != d.parent_path(); d = d.parent_path()) {
        if (usbInterface.empty() && Exists(d / "bInterfaceNumber")) usbInterface = d;
        if (Exists(d / "idVendor") && Exists(d / "idProduct")) {
          usbDevice = d;
          break;
        }
      }
    }
    if (!usbDevice.empty()) {
      p.Vendor = ReadAttribute(usbDevice / "idVendor");
      p.ProductId = ReadAttribute(usbDevice / "idProduct");
      p.Manufacturer = ReadAttribute(usbDevice / "manufacturer");
      p.Product = ReadAttribute(usbDevice / "product");
      p.SerialNumber = ReadAttribute(usbDevice / "serial");
    }
    if (f.fixedNumber) {
      // The name alone gives the number.
    } else if (!p.SerialNumber.empty()) {
      p.Identity = "usb:" + p.Vendor + ":" + p.ProductId + ":" + p.SerialNumber + ":" +
                   (usbInterface.empty() ? std::string() : ReadAttribute(usbInterface / "bInterfaceNumber"));
      // Some adapters put several ports on one interface; the port's own index tells them apart.
      const std::string portNumber = ReadAttribute(device / "port_number");
      if (!portNumber.empty() && portNumber != "0") p.Identity += ":" + portNumber;
    } else {
      // Without a serial number the place it is plugged into is the best identity there is:
      // for USB the interface (the hub port and interface number), not the usb-serial port
      // folder below it, whose name is the kernel's ttyUSB<n> and changes with plug order.
      std::error_code ttyEc;
      const fs::path where = !usbInterface.empty() ? usbInterface
                             : !ec                 ? device
                                                   : fs::canonical(ttyDir, ttyEc);
      p.Identity = "sysfs:" + (IsWithin(where, sysRoot) ? where.lexically_relative(sysRoot) : where).string();
      const std::string portNumber = ReadAttribute(device / "port_number");
      if (!usbInterface.empty() && !portNumber.empty() && portNumber != "0") p.Identity += ":" + portNumber;
    }
    p.Identity = OneLine(p.Identity);

    p.VendorFromDatabase = std::move(tty.names.Vendor);
    p.ModelFromDatabase = std::move(tty.names.Model);
    p.SerialShort = std::move(tty.names.SerialShort);
    p.ByIdLink = std::move(tty.names.ByIdLink);
    p.Description = DescribePort(p);
    found.push_back(std::move(f));
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return NaturalLess(a.entry.DevicePath, b.entry.DevicePath);
  });
  return found;
}

std::vector<PortEntry> PortMap::ReadLinks() const {
  std::vector<PortEntry> links;
  if (roots_.LinkFolder.empty() || !TrustedFolder(roots_.LinkFolder)) return links;
  std::error_code ec;
  bool ok = false;
  for (const fs::directory_entry& e : ListFolder(roots_.LinkFolder, ok)) {
    const unsigned n = ComPortNumber(e.path().filename().string());
    if (n == 0 || !e.is_symlink(ec)) continue;
    // A link left behind by a killed socat points at nothing; one pointing at a plain file or a
    // folder is no port either.
    struct stat st {};
    if (stat(e.path().c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
    PortEntry p;
    p.Number = static_cast<uint8_t>(n);
    p.Source = PortEntry::Kind::Virtual;
    p.DevicePath = e.path().string();
    p.LinkTarget = fs::canonical(e.path(), ec).string();
    p.Description = DescribePort(p);
    links.push_back(std::move(p));
  }
  return links;
}

bool PortMap::Refresh() {
  bool ok = false;
  std::vector<Found> hardware = ReadHardware(ok);
  if (!ok) return false;
  const std::vector<PortEntry> links = ReadLinks();

  std::set<uint8_t> fixed;  // ttyS numbers: they outrank a remembered one for good
  for (const Found& f : hardware) {
    if (f.fixedNumber) fixed.insert(f.entry.Number);
  }
  // Numbers a new assignment must not take. A link's number is taken only while the link is
  // there: a device remembered under it keeps it and is hidden behind the link meanwhile.
  std::set<uint8_t> taken = fixed;
  for (const PortEntry& l : links) taken.insert(l.Number);

  // Two present devices with one identity (cloned serial numbers happen): the second is told
  // apart by where it is plugged in, so each keeps its own number.
  std::set<std::string> present;
  for (Found& f : hardware) {
    if (f.fixedNumber) continue;
    if (!present.insert(f.entry.Identity).second) {
      f.entry.Identity = OneLine(f.entry.Identity + "@" + f.entry.DevicePath);
      present.insert(f.entry.Identity);
    }
  }

  bool newcomer = false;
  for (const Found& f : hardware) newcomer |= !f.fixedNumber && assigned_.count(f.entry.Identity) == 0;
  if (newcomer) LoadState();  // take up numbers given out meanwhile before handing out one

  bool changed = false;
  std::set<uint8_t> inUse;  // numbers given out in this refresh
  // Keep known numbers first, so a newcomer never takes the number of a present device.
  for (Found& f : hardware) {
    if (f.fixedNumber) continue;
    auto it = assigned_.find(f.entry.Identity);
    // A fixed ttyS number outranks a remembered one; the remembered device moves.
    if (it != assigned_.end() && fixed.count(it->second) == 0) {
      f.entry.Number = it->second;
      inUse.insert(it->second);
    }
  }
  for (Found& f : hardware) {
    if (f.fixedNumber || f.entry.Number != 0) continue;
    std::set<uint8_t> reserved = taken;
    reserved.insert(inUse.begin(), inUse.end());
    for (const auto& [id, n] : assigned_) {
      if (id != f.entry.Identity) reserved.insert(n);
    }
    unsigned n = 1;
    while (n <= 255 && reserved.count(static_cast<uint8_t>(n)) != 0) ++n;
    if (n > 255) {
      // Every number is spoken for: reuse the lowest one whose device is absent.
      for (n = 1; n <= 255; ++n) {
        const auto num = static_cast<uint8_t>(n);
        if (taken.count(num) == 0 && inUse.count(num) == 0) break;
      }
      if (n > 255) continue;  // 255 ports present at once: this one stays without a number
      for (auto it = assigned_.begin(); it != assigned_.end();) {
        it = (it->second == n) ? assigned_.erase(it) : std::next(it);
      }
    }
    f.entry.Number = static_cast<uint8_t>(n);
    assigned_[f.entry.Identity] = f.entry.Number;
    inUse.insert(f.entry.Number);
    changed = true;
  }

  std::map<uint8_t, PortEntry> byNumber;
  for (Found& f : hardware) {
    if (f.entry.Number != 0) byNumber[f.entry.Number] = std::move(f.entry);
  }
  for (const PortEntry& l : links) byNumber[l.Number] = l;  // a link hides hardware of its number

  ports_.clear();
  for (auto& [n, p] : byNumber) ports_.push_back(std::move(p));
  if (changed) {
    if (SaveState()) stateError_.clear();
  }
  return true;
}

std::vector<std::string> PortMap::PortTexts() const {
  std::vector<std::string> texts;
  texts.reserve(ports_.size());
  for (const PortEntry& p : ports_) texts.push_back(ComPortName(p.Number));
  return texts;
}

const PortEntry* PortMap::Find(unsigned number) const {
  for (const PortEntry& p : ports_) {
    if (p.Number == number) return &p;
  }
  return nullptr;
}

}  // namespace quarlex
