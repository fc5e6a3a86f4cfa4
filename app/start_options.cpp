#include "app/start_options.h"

#include "app/connection.h"
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

bool ParseBaudArgument(const std::string& text, uint32_t& out, std::string& error) {
  uint64_t rate = 0;
  bool digits = !text.empty() && text.size() <= 9;
  for (char c : text) {
    if (c < '0' || c > '9') digits = false;
    if (digits) rate = rate * 10 + static_cast<uint64_t>(c - '0');
  }
  if (digits && rate >= MinRate && rate <= MaxRate) {
    out = static_cast<uint32_t>(rate);
    return true;
  }
  error = "--baud " + text + ": expected a whole rate from " + std::to_string(MinRate) + " to " +
          std::to_string(MaxRate) + " bits per second";
  return false;
}

bool ParseOnOffArgument(const std::string& option, const std::string& text, bool& out, std::string& error) {
  if (text == "on" || text == "off") {
    out = text == "on";
    return true;
  }
  error = "--" + option + " " + text + ": expected on or off";
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
