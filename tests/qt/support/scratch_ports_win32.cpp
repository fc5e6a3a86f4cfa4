// Scratch ports on Windows: HKEY_CURRENT_USER\Software\Quarlex tests\<scratch folder's
// name>\SERIALCOMM, which the window's port map reads and its watcher watches in place of the
// system's key. It does not exist until a test adds a port (no key: no ports).
#include <windows.h>

#include <string>

#include "tests/qt/support/scratch_ports.h"
#include "text/win32_text.h"

namespace quarlex::testing_support {

namespace {

std::string Parent(const std::filesystem::path& root) {
  return "Software\\Quarlex tests\\" + root.filename().string();
}
std::string Key(const std::filesystem::path& root) {
  return Parent(root) + "\\SERIALCOMM";
}

}  // namespace

PortMapRoots ScratchPortRoots(const std::filesystem::path& root) {
  PortMapRoots roots;
  roots.Root = PortMapRoots::RegistryRoot::CurrentUser;
  roots.RegistryKey = Key(root);
  return roots;
}

PortWatchPaths ScratchPortWatch(const std::filesystem::path& root) {
  PortWatchPaths watch;
  watch.RegistryUserRoot = true;
  watch.RegistryKey = Key(root);
  return watch;
}

void AddScratchPort(const std::filesystem::path& root, int number) {
  const std::wstring text = win32::Wide("COM" + std::to_string(number));
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, win32::Wide(Key(root)).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key, win32::Wide("\\Device\\Scratch" + std::to_string(number)).c_str(), 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void RemoveScratchPorts(const std::filesystem::path& root) {
  RegDeleteTreeW(HKEY_CURRENT_USER, win32::Wide(Parent(root)).c_str());
}

}  // namespace quarlex::testing_support
