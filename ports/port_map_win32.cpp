// The serial-port map on Windows: the system's own, the values of the SERIALCOMM key. Nothing is
// assigned or remembered here; the port drivers publish each port's name when it appears.
#include <algorithm>
#include <string>
#include <vector>

#include "ports/port_map.h"
#include "ports/port_name.h"
#include "text/code_page.h"
#include "text/win32_text.h"

namespace quarlex {

namespace {

HKEY RootKey(PortMapRoots::RegistryRoot root) {
  return root == PortMapRoots::RegistryRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

struct Value {
  std::wstring name;  // the driver's device (\Device\Serial0, \Device\VCP0, ...)
  std::wstring text;
};

// The key's text values in the registry's order; other types name no port and are skipped.
// ERROR_SUCCESS, or the code of the failure.
LONG ReadValues(HKEY key, std::vector<Value>& values) {
  DWORD count = 0, maxName = 0, maxData = 0;
  LONG rc = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &maxName,
                             &maxData, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  std::wstring name(maxName + 1, L'\0');
  std::vector<BYTE> data(maxData + sizeof(wchar_t));
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD dataLength = static_cast<DWORD>(data.size() - sizeof(wchar_t));
    DWORD type = 0;
    rc = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength);
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc == ERROR_MORE_DATA) {
      // A value grew since the key was measured: measure again and read this index again.
      if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                           &maxData, nullptr, nullptr) != ERROR_SUCCESS)
        return rc;
      name.assign(std::max<size_t>(name.size(), maxName + 1) * 2, L'\0');
      data.assign(std::max<size_t>(data.size(), maxData) * 2 + sizeof(wchar_t), 0);
      --i;
      continue;
    }
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_SZ) continue;
    // The data need not end in a terminator, and may hold several.
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), dataLength / sizeof(wchar_t));
    text.resize(std::min(text.size(), text.find(L'\0')));
    values.push_back({name.substr(0, nameLength), text});
  }
}

}  // namespace

PortMapRoots PortMapRoots::System() {
  return {};
}

std::string PortNames(const PortEntry& p) {
  return p.Identity;
}

std::string DescribePort(const PortEntry& p) {
  return p.DevicePath + (p.Identity.empty() ? "" : "\n" + p.Identity);
}

PortMap::PortMap(PortMapRoots roots) : roots_(std::move(roots)) {}

bool PortMap::Refresh() {
  HKEY key = nullptr;
  const LONG rc =
      RegOpenKeyExW(RootKey(roots_.Root), win32::Wide(roots_.RegistryKey).c_str(), 0, KEY_READ, &key);
  std::vector<Value> values;
  if (rc == ERROR_FILE_NOT_FOUND) {
    // Windows creates the key with the first port and may remove it with the last: no key is
    // no port, not a list that cannot be read.
  } else if (rc != ERROR_SUCCESS) {
    return false;
  } else {
    const LONG read = ReadValues(key, values);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS) return false;
  }
  texts_.clear();
  ports_.clear();
  for (const Value& v : values) {
    // The scan reads single-byte texts of the program's code page, as the window shows them.
    texts_.push_back(CodePageFromUtf8(win32::Narrow(v.text)));
    const uint8_t number = ComPortNumber(texts_.back());
    if (number == 0) continue;
    PortEntry e;
    e.Number = number;
    e.DevicePath = ComPortName(number);
    e.Identity = win32::Narrow(v.name);
    e.Description = DescribePort(e);
    ports_.push_back(std::move(e));
  }
  // Several values may claim one name; Find gives the first of them.
  std::stable_sort(ports_.begin(), ports_.end(),
                   [](const PortEntry& a, const PortEntry& b) { return a.Number < b.Number; });
  ports_.erase(std::unique(ports_.begin(), ports_.end(),
                           [](const PortEntry& a, const PortEntry& b) { return a.Number == b.Number; }),
               ports_.end());
  return true;
}

std::vector<std::string> PortMap::PortTexts() const {
  return texts_;
}

const PortEntry* PortMap::Find(unsigned number) const {
  for (const PortEntry& p : ports_) {
    if (p.Number == number) return &p;
  }
  return nullptr;
}

}  // namespace quarlex
