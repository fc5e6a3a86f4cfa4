#pragma once
// Test helpers for the port map and the watcher: a temporary folder holding a sysfs-like tree
// shaped as the kernel lays it out (class/tty links into devices/, `device` links, USB device
// and interface attributes), a /dev stand-in, a port-link folder and a state file; and a
// pseudo-terminal to stand behind a port link.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace quarlex::testing_ports {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "quarlex-port-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline void WriteFile(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

struct UsbDevice {
  std::string Vendor = "0403", ProductId = "6001";
  std::string Manufacturer = "FTDI", Product = "FT232R USB UART", Serial = "A50285BI";
  std::string Interface = "00";
};

class SysfsTree {
 public:
  explicit SysfsTree(const fs::path& root) : root_(root) { fs::create_directories(root_ / "class" / "tty"); }
  const fs::path& root() const { return root_; }

  // An 8250 slot: a UART there when type != 0.
  void AddUart(int k, int type) {
    const std::string name = "ttyS" + std::to_string(k);
    const fs::path port =
        root_ / "devices/platform/serial8250/serial8250:0" / ("serial8250:0." + std::to_string(k));
    AddTty(name, port, port / "tty" / name);
    WriteFile(port / "tty" / name / "type", std::to_string(type) + "\n");
  }

  // A virtual terminal: no device behind it.
  void AddVirtual(const std::string& name) {
    const fs::path dir = root_ / "devices/virtual/tty" / name;
    fs::create_directories(dir);
    fs::create_directory_symlink(fs::relative(dir, root_ / "class/tty"), root_ / "class/tty" / name);
  }

  // A usb-serial converter (ttyUSB<n>) plugged into hub port `busPort` (e.g. "1-2"): the tty's
  // device is the usb-serial port, below the interface, below the USB device.
  void AddUsbSerial(const std::string& name, const std::string& busPort, const UsbDevice& d,
                    int portNumber = 0) {
    const fs::path usb = UsbDeviceDir(busPort, d);
    const fs::path port =
        usb / (busPort + ":1." + std::to_string(std::stoi(d.Interface, nullptr, 16))) / name;
    AddTty(name, port, port / "tty" / name);
    WriteFile(port / "port_number", std::to_string(portNumber) + "\n");
  }

  // A CDC-ACM device (ttyACM<n>): the tty's device is the interface itself.
  void AddAcm(const std::string& name, const std::string& busPort, const UsbDevice& d) {
    const fs::path usb = UsbDeviceDir(busPort, d);
    const fs::path iface = usb / (busPort + ":1." + std::to_string(std::stoi(d.Interface, nullptr, 16)));
    AddTty(name, iface, iface / "tty" / name);
  }

  // Unplugging: the class entry goes, and with it the whole USB device (or the tty's folder).
  void Remove(const std::string& name) {
    const fs::path link = root_ / "class/tty" / name;
    fs::path gone = fs::canonical(link);
    for (fs::path d = gone; d != root_ && d != d.parent_path(); d = d.parent_path()) {
      if (fs::exists(d / "idVendor")) gone = d;
    }
    fs::remove(link);
    fs::remove_all(gone);
  }

 private:
  fs::path UsbDeviceDir(const std::string& busPort, const UsbDevice& d) {
    const fs::path usb = root_ / "devices/pci0000:00/0000:00:14.0/usb1" / busPort;
    WriteFile(usb / "idVendor", d.Vendor + "\n");
    WriteFile(usb / "idProduct", d.ProductId + "\n");
    if (!d.Manufacturer.empty()) WriteFile(usb / "manufacturer", d.Manufacturer + "\n");
    if (!d.Product.empty()) WriteFile(usb / "product", d.Product + "\n");
    if (!d.Serial.empty()) WriteFile(usb / "serial", d.Serial + "\n");
    const fs::path iface = usb / (busPort + ":1." + std::to_string(std::stoi(d.Interface, nullptr, 16)));
    WriteFile(iface / "bInterfaceNumber", d.Interface + "\n");
    return usb;
  }

  void AddTty(const std::string& name, const fs::path& device, const fs::path& ttyDir) {
    fs::create_directories(ttyDir);
    fs::create_directory_symlink(fs::relative(device, ttyDir), ttyDir / "device");
    WriteFile(ttyDir / "dev", "188:0\n");
    fs::create_directory_symlink(fs::relative(ttyDir, root_ / "class/tty"), root_ / "class/tty" / name);
  }

  fs::path root_;
};

// The terminal side of a pseudo-terminal pair, the kind of device socat puts behind a link.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
    slave_ = ptsname(master_);
  }
  ~Pty() { close(master_); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  const std::string& slave() const { return slave_; }

 private:
  int master_ = -1;
  std::string slave_;
};

}  // namespace quarlex::testing_ports
