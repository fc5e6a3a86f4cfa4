// The settings store on Windows: the real registry (a key of this test's own under
// HKEY_CURRENT_USER) and ini files through the wide-character file calls.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "serial/comport.h"
#include "serial/storage/comport_storage.h"
#include "text/win32_text.h"

// After the project headers: windows.h defines the comm API names as macros.
#include <windows.h>
// winspool's SetPort would rename the port's own member below.
#undef SetPort

namespace quarlex {
namespace {

namespace fs = std::filesystem;
using win32::Wide;

void Configure(TComPort& p) {
  p.SetName("ComPort");
  p.SetStoredProps({spBasic, spBuffer});
  p.SetPort("COM9");
  p.SetBaudRate(br19200);
  p.SetDataBits(dbSeven);
  p.SetStopBits(sbTwoStopBits);
  p.Buffer().SetInputSize(4096);
}

void ExpectConfigured(const TComPort& p) {
  EXPECT_EQ(p.Port(), "COM9");
  EXPECT_EQ(p.BaudRate(), br19200);
  EXPECT_EQ(p.DataBits(), dbSeven);
  EXPECT_EQ(p.StopBits(), sbTwoStopBits);
  EXPECT_EQ(p.Buffer().InputSize(), 4096);
}

TEST(SettingsWin32, RegistryRoundTripUsesRealValuesOfTheirTypes) {
  const std::string parent =
      "Software\\Quarlex tests\\" + std::to_string(GetCurrentProcessId()) + "-settings";
  struct Cleanup {
    std::string key;
    ~Cleanup() { RegDeleteTreeW(HKEY_CURRENT_USER, Wide(key).c_str()); }
  } cleanup{parent};

  TComPort source;
  Configure(source);
  StoreSettings(source, stRegistry, "HKEY_CURRENT_USER\\" + parent);

  // The component's key holds texts as REG_SZ and numbers as REG_DWORD, as regedit shows them.
  const std::wstring key = Wide(parent + "\\ComPort");
  wchar_t text[64] = {};
  DWORD size = sizeof text;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Port", RRF_RT_REG_SZ, nullptr, text, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(text), L"COM9");
  size = sizeof text;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"BaudRate", RRF_RT_REG_SZ, nullptr, text, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(text), L"19200");
  DWORD number = 0;
  size = sizeof number;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Buffer.InputSize", RRF_RT_REG_DWORD, nullptr,
                         &number, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(number, 4096u);

  TComPort loaded;
  loaded.SetName("ComPort");
  loaded.SetStoredProps({spBasic, spBuffer});
  LoadSettings(loaded, stRegistry, "HKEY_CURRENT_USER\\" + parent);
  ExpectConfigured(loaded);

  // A key that does not exist reads as missing texts: an empty port.
  TComPort fresh;
  fresh.SetName("ComPort");
  LoadSettings(fresh, stRegistry, "HKEY_CURRENT_USER\\" + parent + "\\Nothing here");
  EXPECT_EQ(fresh.Port(), "");
}

TEST(SettingsWin32, IniFileInAFolderWithANonAsciiNameRoundTrips) {
  wchar_t temp[MAX_PATH] = {};
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const fs::path folder =
      fs::path(temp) / (L"quarlex-ini-\u00e9\u0416-" + std::to_wstring(GetCurrentProcessId()));
  fs::create_directories(folder);
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup{folder};
  const fs::path ini = folder / L"settings.ini";
  const std::string name = win32::Narrow(ini.wstring());

  TComPort source;
  Configure(source);
  StoreSettings(source, stIniFile, name);
  ASSERT_TRUE(fs::exists(ini));
  std::ifstream in(ini, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  EXPECT_NE(s.str().find("[ComPort]"), std::string::npos) << s.str();

  TComPort loaded;
  loaded.SetName("ComPort");
  loaded.SetStoredProps({spBasic, spBuffer});
  LoadSettings(loaded, stIniFile, name);
  ExpectConfigured(loaded);

  // A file that is not there is a store with every key missing: nothing changes, none is made.
  TComPort other;
  other.SetName("ComPort");
  other.SetBaudRate(br300);
  const fs::path missing = folder / L"missing \u00e9.ini";
  LoadSettings(other, stIniFile, win32::Narrow(missing.wstring()));
  EXPECT_EQ(other.BaudRate(), br300);
  EXPECT_FALSE(fs::exists(missing));
}

}  // namespace
}  // namespace quarlex
