#include "app/start_options.h"

#include "app/same_device.h"
#include "ports/port_name.h"

namespace quarlex {

namespace {

std::string PortsThereAre(const PortMap& map) {
  if (map.Ports().empty()) return "there are no serial ports";
  std::string list = "the ports there are:";
  for (const PortEntry& p : map.Ports()) list += "\n  " + ComPortName(p.Number) + "  " + p.DevicePath;
  return list;
}

}  // namespace

bool ParsePortArgument(const std::string& text, PortArgument& out, std::string& error) {
  out = {};
  if (text.find('/') != std::string::npos) {
    out.Path = text;
    return true;
  }
  out.Number = text.starts_with("COM") ? ComPortNumber(text) : PortNumberDigits(text);
  if (out.Number != 0) return true;
  error = "--port " + text + ": expected a port number 1..255, COM<n> or a device path such as /dev/ttyUSB0";
  return false;
}

bool ParseBaudArgument(const std::string& text, TBaudRate& out, std::string& error) {
  std::string rates;
  for (int r = br110; r <= br256000; ++r) {
    const std::string rate = std::to_string(BaudRateValues[r]);
    if (text == rate) {
      out = static_cast<TBaudRate>(r);
      return true;
    }
    rates += (rates.empty() ? "" : " ") + rate;
  }
  error = "--baud " + text + ": expected one of " + rates;
  return false;
}

unsigned ResolvePort(const PortMap& map, const PortArgument& arg, std::string& error) {
  for (const PortEntry& p : map.Ports()) {
    if (arg.Number != 0 ? p.Number == arg.Number : SameDevice(arg.Path, p.DevicePath)) return p.Number;
  }
  error =
      "no serial port " + (arg.Number != 0 ? ComPortName(arg.Number) : arg.Path) + "; " + PortsThereAre(map);
  return 0;
}

std::string ListPortsText(const PortMap& map) {
  std::string text;
  for (const PortEntry& p : map.Ports()) {
    text += ComPortName(p.Number) + "  " + p.DevicePath;
    const std::string names = PortNames(p);
    if (!names.empty()) text += "  " + names;
    text += "\n";
  }
  return text;
}

}  // namespace quarlex
