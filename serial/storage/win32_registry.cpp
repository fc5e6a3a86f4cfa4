// The settings store's registry (stRegistry) on Win32: the real registry, HKEY_CURRENT_USER or
// HKEY_LOCAL_MACHINE. Text values are REG_SZ (UTF-8 here, UTF-16 there), integers REG_DWORD;
// values of other types are not the store's and are left alone. The key's values are read when
// it opens and written when it closes (CloseKey); the registry has no all-or-nothing write of
// several values, so a failure part-way leaves the values written before it.
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "serial/storage/comport_storage.h"
#include "serial/storage/comport_storage_file.h"

// After the project headers: windows.h defines the comm API names as macros.
#include <windows.h>

namespace quarlex {

namespace fs = std::filesystem;
using namespace storage_detail;

namespace {

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string Narrow(const wchar_t* s, size_t len) {
  if (len == 0) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(len), out.data(), n, nullptr, nullptr);
  return out;
}

[[noreturn]] void FailRegistry(const std::string& what, LSTATUS code) {
  Fail(what + ": " + std::system_category().message(static_cast<int>(code)));
}

// Backslash-separated parts without empty ones, so A\B, A\B\, \A\B and A\\B name one key.
std::wstring KeyPath(const std::string& path) {
  std::wstring out;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('\\', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) {
      if (!out.empty()) out += L'\\';
      out += Wide(path.substr(i, j - i));
    }
    i = j + 1;
  }
  return out;
}

struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h) RegCloseKey(h);
  }
};

}  // namespace

// There is no folder: the values live in the registry.
fs::path ComRegistryFolder() {
  return {};
}

TComRegistry::TComRegistry(fs::path Folder) : base_(std::move(Folder)) {}

// Values not yet written by CloseKey are dropped.
TComRegistry::~TComRegistry() = default;

// The key path below the root; the root's own values while no key is open.
fs::path TComRegistry::RootFolder() const {
  return {};
}

namespace {
HKEY RootOf(TComRegistryRoot root) {
  return root == TComRegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}
}  // namespace

bool TComRegistry::OpenKey(const std::string& Path, bool CanCreate) {
  CloseKey();
  const std::wstring path = KeyPath(Path);
  Key key;
  LSTATUS r = RegOpenKeyExW(RootOf(RootKey), path.c_str(), 0, KEY_READ, &key.h);
  if (r == ERROR_FILE_NOT_FOUND) {
    if (!CanCreate) return false;
    r = RegCreateKeyExW(RootOf(RootKey), path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key.h,
                        nullptr);
  }
  if (r != ERROR_SUCCESS) FailRegistry("cannot open key " + Path, r);
  folder_ = fs::path(path);
  key_open_ = true;
  LoadValues();
  return true;
}

void TComRegistry::WriteValues(const fs::path& folder) const {
  const std::wstring path = folder.wstring();
  Key key;
  LSTATUS r =
      RegCreateKeyExW(RootOf(RootKey), path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key.h, nullptr);
  if (r != ERROR_SUCCESS) FailRegistry("cannot create key", r);
  for (const Value& v : values_) {
    const std::wstring name = Wide(v.name);
    if (v.is_integer) {
      const DWORD d = static_cast<DWORD>(v.integer);
      r = RegSetValueExW(key.h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&d), sizeof d);
    } else {
      const std::wstring text = Wide(v.text);
      r = RegSetValueExW(key.h, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    if (r != ERROR_SUCCESS) FailRegistry("cannot write value " + v.name, r);
  }
}

void TComRegistry::ReadValues() {
  Key key;
  LSTATUS r = RegOpenKeyExW(RootOf(RootKey), folder_.wstring().c_str(), 0, KEY_READ, &key.h);
  if (r == ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      wchar_t name[16384];
      DWORD name_len = 16384;
      DWORD type = 0, size = 0;
      r = RegEnumValueW(key.h, i, name, &name_len, nullptr, &type, nullptr, &size);
      if (r == ERROR_NO_MORE_ITEMS) break;
      if (r != ERROR_SUCCESS) FailRegistry("cannot read values", r);
      std::vector<BYTE> data(size + sizeof(wchar_t));
      name_len = 16384;
      r = RegEnumValueW(key.h, i, name, &name_len, nullptr, &type, data.data(), &size);
      if (r != ERROR_SUCCESS) FailRegistry("cannot read values", r);
      Value v;
      v.name = Narrow(name, name_len);
      if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD d;
        std::memcpy(&d, data.data(), sizeof d);
        v.is_integer = true;
        v.integer = static_cast<int32_t>(d);
      } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
        const wchar_t* w = reinterpret_cast<const wchar_t*>(data.data());
        size_t len = size / sizeof(wchar_t);
        while (len > 0 && w[len - 1] == L'\0') --len;
        v.text = Narrow(w, len);
      } else {
        continue;
      }
      values_.push_back(std::move(v));
    }
  } else if (r != ERROR_FILE_NOT_FOUND) {
    FailRegistry("cannot open key", r);
  }
}

}  // namespace quarlex
