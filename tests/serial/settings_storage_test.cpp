// StoreSettings / LoadSettings with both stores: each group survives a round trip and touches
// nothing else, the files look as documented, missing values follow each store's rule, broken
// stores report 16 / 17 and leave the port usable.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

#include "serial/comport.h"
#include "serial/storage/comport_storage.h"

namespace quarlex {
namespace {

using enum TComExceptions;

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "quarlex-settings-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& p, const std::string& data) {
  std::ofstream out(p, std::ios::binary);
  out << data;
}

// Every stored property, grouped as the store groups them, so a test can say "this group from
// there, the rest from the defaults".
struct Snapshot {
  struct Basic {
    std::string Port;
    TBaudRate BaudRate;
    int32_t CustomBaudRate;
    TStopBits StopBits;
    TDataBits DataBits;
    TParityBits Parity;
    bool operator==(const Basic&) const = default;
  } basic;
  struct Others {
    char16_t EventChar;
    bool DiscardNull;
    bool operator==(const Others&) const = default;
  } others;
  struct Parity {
    bool Check, Replace;
    char16_t ReplaceChar;
    bool operator==(const Parity&) const = default;
  } parity;
  struct Buffer {
    int32_t Output, Input;
    bool operator==(const Buffer&) const = default;
  } buffer;
  struct Timeouts {
    int32_t RI, RTC, RTM, WTC, WTM;
    bool operator==(const Timeouts&) const = default;
  } timeouts;
  struct Flow {
    TRTSFlowControl RTS;
    TDTRFlowControl DTR;
    bool DSRSensitivity, OutCTS, OutDSR, TxContinue, XIn, XOut;
    uint8_t Xoff, Xon;
    bool operator==(const Flow&) const = default;
  } flow;
  bool operator==(const Snapshot&) const = default;

  static Snapshot Of(const TCustomComPort& p) {
    const auto& f = p.FlowControl();
    const auto& t = p.Timeouts();
    return {{p.Port(), p.BaudRate(), p.CustomBaudRate(), p.StopBits(), p.DataBits(), p.Parity().Bits()},
            {p.EventChar(), p.DiscardNull()},
            {p.Parity().Check(), p.Parity().Replace(), p.Parity().ReplaceChar()},
            {p.Buffer().OutputSize(), p.Buffer().InputSize()},
            {t.ReadInterval(), t.ReadTotalConstant(), t.ReadTotalMultiplier(), t.WriteTotalConstant(),
             t.WriteTotalMultiplier()},
            {f.ControlRTS(), f.ControlDTR(), f.DSRSensitivity(), f.OutCTSFlow(), f.OutDSRFlow(),
             f.TxContinueOnXoff(), f.XonXoffIn(), f.XonXoffOut(), f.XoffChar(), f.XonChar()}};
  }
  void TakeGroup(const Snapshot& from, TStoredProp group) {
    switch (group) {
      case spBasic:
        basic = from.basic;
        break;
      case spOthers:
        others = from.others;
        break;
      case spParity:
        parity = from.parity;
        break;
      case spBuffer:
        buffer = from.buffer;
        break;
      case spTimeouts:
        timeouts = from.timeouts;
        break;
      case spFlowControl:
        flow = from.flow;
        break;
    }
  }
};

// A port with a value other than the default in every stored property, chosen to stress the
// value forms: a rate no TBaudRate names, characters that need "#<code>", a "=" that the stores
// must not take for a separator, negative integers.
void SetOddValues(TCustomComPort& p) {
  p.SetPort("ttyODD = 1");
  p.SetBaudRate(brCustom);
  p.SetCustomBaudRate(12345);
  p.SetStopBits(sbTwoStopBits);
  p.SetDataBits(dbSeven);
  p.Parity().SetBits(prMark);
  p.SetEventChar(u'\n');
  p.SetDiscardNull(true);
  p.Parity().SetCheck(true);
  p.Parity().SetReplace(true);
  p.Parity().SetReplaceChar(u' ');
  p.Buffer().SetOutputSize(4096);
  p.Buffer().SetInputSize(65536);
  p.Timeouts().SetReadInterval(50);
  p.Timeouts().SetReadTotalConstant(7);
  p.Timeouts().SetReadTotalMultiplier(3);
  p.Timeouts().SetWriteTotalConstant(2500);
  p.Timeouts().SetWriteTotalMultiplier(-5);
  auto& f = p.FlowControl();
  f.SetControlRTS(rtsToggle);
  f.SetControlDTR(dtrHandshake);
  f.SetDSRSensitivity(true);
  f.SetOutCTSFlow(true);
  f.SetOutDSRFlow(true);
  f.SetTxContinueOnXoff(true);
  f.SetXonXoffIn(true);
  f.SetXonXoffOut(false);
  f.SetXoffChar('=');
  f.SetXonChar(0);
}

// Points the registry store at a temporary folder for the test's lifetime.
class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    had_config_ = old != nullptr;
    if (old) old_config_ = old;
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    if (had_config_)
      setenv("XDG_CONFIG_HOME", old_config_.c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
  }
  fs::path Registry() const { return dir_.path() / "quarlex" / "registry"; }
  fs::path Ini() const { return dir_.path() / "port.ini"; }
  std::string Target(TStoreType type) const {
    return type == stIniFile ? Ini().string() : std::string("HKEY_CURRENT_USER\\Software\\Test");
  }

  static int LoadCode(TCustomComPort& p, TStoreType type, const std::string& from) {
    try {
      LoadSettings(p, type, from);
    } catch (const EComPort& e) {
      EXPECT_EQ(e.WinCode(), -1);
      EXPECT_EQ(std::string(e.what()), PortErrorMessages[e.Code()]);
      return e.Code();
    }
    return 0;
  }
  static int StoreCode(TCustomComPort& p, TStoreType type, const std::string& to) {
    try {
      StoreSettings(p, type, to);
    } catch (const EComPort& e) {
      EXPECT_EQ(e.WinCode(), -1);
      return e.Code();
    }
    return 0;
  }

  TempDir dir_;
  bool had_config_ = false;
  std::string old_config_;
};

class SettingsGroupTest : public SettingsStoreTest,
                          public ::testing::WithParamInterface<std::tuple<TStoreType, TStoredProp>> {};

TEST_P(SettingsGroupTest, OneGroupRoundTripsAndLeavesTheOthers) {
  const auto [type, group] = GetParam();
  TComPort source;
  source.SetName("ComPort");
  SetOddValues(source);
  // The basic group carries the flow-control preset, which would also move the flow fields of
  // the loading port; keep the preset at the default so only the group's fields differ.
  if (group == spBasic) source.FlowControl().SetFlowControl(fcNone);
  source.SetStoredProps({group});
  ASSERT_EQ(StoreCode(source, type, Target(type)), 0);

  TComPort loaded;
  loaded.SetName("ComPort");
  loaded.SetStoredProps({group});
  Snapshot expected = Snapshot::Of(loaded);
  expected.TakeGroup(Snapshot::Of(source), group);
  ASSERT_EQ(LoadCode(loaded, type, Target(type)), 0);
  EXPECT_TRUE(Snapshot::Of(loaded) == expected);
  EXPECT_EQ(loaded.UpdateCount(), 0);
}

std::string GroupTestName(const ::testing::TestParamInfo<std::tuple<TStoreType, TStoredProp>>& info) {
  static const char* const groups[] = {"Basic", "FlowControl", "Buffer", "Timeouts", "Parity", "Others"};
  return std::string(std::get<0>(info.param) == stIniFile ? "Ini" : "Registry") +
         groups[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(BothStores, SettingsGroupTest,
                         ::testing::Combine(::testing::Values(stIniFile, stRegistry),
                                            ::testing::Values(spBasic, spOthers, spParity, spBuffer,
                                                              spTimeouts, spFlowControl)),
                         GroupTestName);

TEST_F(SettingsStoreTest, AllGroupsTogetherRoundTripInBothStores) {
  for (TStoreType type : {stIniFile, stRegistry}) {
    TComPort source;
    source.SetName("ComPort");
    SetOddValues(source);
    const TStoredProps all = {spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers};
    source.SetStoredProps(all);
    ASSERT_EQ(StoreCode(source, type, Target(type)), 0);
    TComPort loaded;
    loaded.SetName("ComPort");
    loaded.SetStoredProps(all);
    ASSERT_EQ(LoadCode(loaded, type, Target(type)), 0);
    EXPECT_TRUE(Snapshot::Of(loaded) == Snapshot::Of(source)) << type;
  }
}

TEST_F(SettingsStoreTest, BasicPresetIsStoredAndLoadedInBothStores) {
  for (TStoreType type : {stIniFile, stRegistry}) {
    TComPort source;
    source.SetName("ComPort");
    source.FlowControl().SetFlowControl(fcHardware);
    ASSERT_EQ(StoreCode(source, type, Target(type)), 0);
    TComPort loaded;
    loaded.SetName("ComPort");
    loaded.FlowControl().SetOutDSRFlow(true);  // not part of any preset: must stay
    ASSERT_EQ(LoadCode(loaded, type, Target(type)), 0);
    EXPECT_EQ(loaded.FlowControl().FlowControl(), fcHardware) << type;
    EXPECT_TRUE(loaded.FlowControl().OutDSRFlow()) << type;
  }
}

TEST_F(SettingsStoreTest, DefaultGroupWritesTheSevenBasicKeysOnly) {
  TComPort p;
  p.SetName("ComPort");
  ASSERT_EQ(StoreCode(p, stIniFile, Ini().string()), 0);
  EXPECT_EQ(ReadFile(Ini()),
            "[ComPort]\nPort=COM1\nBaudRate=9600\nStopBits=1\nDataBits=8\nParity=None\n"
            "FlowControl=None\n");

  p.SetBaudRate(brCustom);
  p.SetCustomBaudRate(250000);
  ASSERT_EQ(StoreCode(p, stRegistry, "HKEY_CURRENT_USER\\Software\\Test"), 0);
  const std::string values =
      ReadFile(Registry() / "HKEY_CURRENT_USER" / "Software" / "Test" / "ComPort" / ".values");
  EXPECT_EQ(values.substr(values.find('\n') + 1),
            "Port=str:COM1\nBaudRate=str:Custom\nCustomBaudRate=int:250000\nStopBits=str:1\n"
            "DataBits=str:8\nParity=str:None\nFlowControl=str:None\n");
}

TEST_F(SettingsStoreTest, IniKeepsEverythingElseInTheFile) {
  const std::string before =
      "; my settings\r\n[Other]\r\nPort=COM9\r\n\r\n[comport]\r\n  baudrate = 300  \r\n"
      "Extra=keep me\r\n\r\n[Last]\r\nA=1\r\n";
  WriteFile(Ini(), before);
  TComPort p;
  p.SetName("ComPort");
  p.SetPort("COM4");
  ASSERT_EQ(StoreCode(p, stIniFile, Ini().string()), 0);
  // The existing key is replaced in place (keeping its spelling), the new ones follow the last
  // key of the section, and the file keeps its CRLF line ends.
  EXPECT_EQ(ReadFile(Ini()),
            "; my settings\r\n[Other]\r\nPort=COM9\r\n\r\n[comport]\r\nbaudrate=9600\r\n"
            "Extra=keep me\r\nPort=COM4\r\nStopBits=1\r\nDataBits=8\r\nParity=None\r\n"
            "FlowControl=None\r\n\r\n[Last]\r\nA=1\r\n");
  // Storing the same values again changes nothing.
  const std::string once = ReadFile(Ini());
  ASSERT_EQ(StoreCode(p, stIniFile, Ini().string()), 0);
  EXPECT_EQ(ReadFile(Ini()), once);
}

TEST_F(SettingsStoreTest, IniMissingKeysKeepTheirProperties) {
  WriteFile(Ini(), "[ComPort]\nBaudRate=custom\nFlowControl.OutCTSFlow=Yes\nBuffer.InputSize=x\n");
  TComPort p;
  p.SetName("ComPort");
  p.SetStoredProps({spBasic, spFlowControl, spBuffer});
  p.SetPort("COM7");
  p.SetCustomBaudRate(777);
  p.FlowControl().SetOutDSRFlow(true);
  p.FlowControl().SetXonChar(5);
  p.Buffer().SetInputSize(2048);
  ASSERT_EQ(LoadCode(p, stIniFile, Ini().string()), 0);
  EXPECT_EQ(p.Port(), "COM7");
  EXPECT_EQ(p.BaudRate(), brCustom);
  EXPECT_EQ(p.CustomBaudRate(), 9600);  // the one key whose default is not the property
  EXPECT_TRUE(p.FlowControl().OutCTSFlow());
  EXPECT_TRUE(p.FlowControl().OutDSRFlow());
  EXPECT_EQ(p.FlowControl().XonChar(), 5);
  EXPECT_EQ(p.Buffer().InputSize(), 2048);  // not an integer: the default

  // A file that does not exist is a store with every key missing: nothing changes, nothing is
  // reported, nothing is created.
  p.SetStoredProps({spBasic, spOthers, spParity, spBuffer, spTimeouts, spFlowControl});
  p.SetBaudRate(br57600);
  for (const fs::path& missing : {dir_.path() / "missing.ini", dir_.path() / "no" / "such.ini"}) {
    EXPECT_EQ(LoadCode(p, stIniFile, missing.string()), 0) << missing;
    EXPECT_FALSE(fs::exists(missing));
  }
  EXPECT_EQ(p.Port(), "COM7");
  EXPECT_EQ(p.BaudRate(), br57600);
  EXPECT_EQ(p.FlowControl().XonChar(), 5);
  EXPECT_EQ(p.UpdateCount(), 0);
}

TEST_F(SettingsStoreTest, IniSectionIsTheComponentName) {
  WriteFile(Ini(), "[ComPort]\nPort=COM2\n[Second]\nPort=COM3\n");
  TComPort first, second;
  first.SetName("ComPort");
  second.SetName("Second");
  ASSERT_EQ(LoadCode(first, stIniFile, Ini().string()), 0);
  ASSERT_EQ(LoadCode(second, stIniFile, Ini().string()), 0);
  EXPECT_EQ(first.Port(), "COM2");
  EXPECT_EQ(second.Port(), "COM3");
}

TEST_F(SettingsStoreTest, IniValuesWithBlanksAndQuotesSurvive) {
  for (const std::string port : {" COM1 ", "\"quoted\"", "a\"b", ""}) {
    TComPort p;
    p.SetName("ComPort");
    p.SetPort(port);
    ASSERT_EQ(StoreCode(p, stIniFile, Ini().string()), 0);
    TComPort q;
    q.SetName("ComPort");
    ASSERT_EQ(LoadCode(q, stIniFile, Ini().string()), 0);
    EXPECT_EQ(q.Port(), port);
  }
}

TEST_F(SettingsStoreTest, RegistryMissingIntegerFailsAfterTheValuesBeforeIt) {
  const fs::path key = Registry() / "HKEY_CURRENT_USER" / "Software" / "Test" / "ComPort";
  fs::create_directories(key);
  WriteFile(key / ".values",
            "Port=str:COM5\nBaudRate=str:57600\nparity=str:even\nBuffer.OutputSize=int:2000\n");
  TComPort p;
  p.SetName("ComPort");
  p.SetStoredProps({spBasic, spBuffer, spTimeouts});
  p.SetDataBits(dbSix);
  p.Buffer().SetInputSize(512);
  EXPECT_EQ(LoadCode(p, stRegistry, "HKEY_CURRENT_USER\\Software\\Test"), 17);
  EXPECT_EQ(p.Port(), "COM5");
  EXPECT_EQ(p.BaudRate(), br57600);
  EXPECT_EQ(p.DataBits(), dbEight);  // missing text: empty, which reads as the fallback
  EXPECT_EQ(p.Parity().Bits(), prEven);
  EXPECT_EQ(p.Buffer().OutputSize(), 2000);
  EXPECT_EQ(p.Buffer().InputSize(), 512);      // the failing value
  EXPECT_EQ(p.Timeouts().ReadInterval(), -1);  // never reached
  EXPECT_EQ(p.UpdateCount(), 0);
}

TEST_F(SettingsStoreTest, RegistryMissingKeyEmptiesThePort) {
  TComPort p;
  p.SetName("ComPort");
  p.SetBaudRate(br300);
  EXPECT_EQ(LoadCode(p, stRegistry, "HKEY_CURRENT_USER\\Nothing\\Here"), 0);
  EXPECT_EQ(p.Port(), "");
  EXPECT_EQ(p.BaudRate(), br9600);
}

TEST_F(SettingsStoreTest, RegistryKeyMapping) {
  TComPort p;
  p.SetName("ComPort");
  const fs::path lm = Registry() / "HKEY_LOCAL_MACHINE";
  ASSERT_EQ(StoreCode(p, stRegistry, "HKEY_LOCAL_MACHINE\\P"), 0);
  EXPECT_TRUE(fs::exists(lm / "P" / "ComPort" / ".values"));

  // A trailing backslash gives the same key; so does another letter case (the folder is reused).
  p.SetPort("COM8");
  ASSERT_EQ(StoreCode(p, stRegistry, "hkey_local_machine\\p\\"), 0);
  EXPECT_FALSE(fs::exists(lm / "p"));
  TComPort q;
  q.SetName("comport");
  ASSERT_EQ(LoadCode(q, stRegistry, "HKEY_LOCAL_MACHINE\\P"), 0);
  EXPECT_EQ(q.Port(), "COM8");

  // Any other root text keeps the current user's root; ".." and "/" stay inside the tree.
  ASSERT_EQ(StoreCode(p, stRegistry, "SOMEWHERE\\..\\a/b"), 0);
  EXPECT_TRUE(fs::exists(Registry() / "HKEY_CURRENT_USER" / "%2E." / "a%2Fb" / "ComPort" / ".values"));

  // Without a backslash: the root key itself, without the component's name.
  ASSERT_EQ(StoreCode(p, stRegistry, "HKEY_LOCAL_MACHINE"), 0);
  EXPECT_TRUE(fs::exists(Registry() / "HKEY_CURRENT_USER" / ".values"));
  TComPort r;
  r.SetName("Other");
  ASSERT_EQ(LoadCode(r, stRegistry, "anything"), 0);
  EXPECT_EQ(r.Port(), "COM8");
}

TEST_F(SettingsStoreTest, RegistryFolderFollowsXdgConfigHome) {
  EXPECT_EQ(ComRegistryFolder(), Registry());
  const char* home = std::getenv("HOME");
  const std::string old_home = home ? home : "";
  setenv("HOME", "/home/someone", 1);
  setenv("XDG_CONFIG_HOME", "relative/config", 1);  // not absolute: ignored
  EXPECT_EQ(ComRegistryFolder(), fs::path("/home/someone/.config/quarlex/registry"));
  setenv("XDG_CONFIG_HOME", "", 1);
  EXPECT_EQ(ComRegistryFolder(), fs::path("/home/someone/.config/quarlex/registry"));
  if (home)
    setenv("HOME", old_home.c_str(), 1);
  else
    unsetenv("HOME");
}

TEST_F(SettingsStoreTest, RegistryValueTypesMustMatch) {
  const fs::path key = Registry() / "HKEY_CURRENT_USER" / "T" / "ComPort";
  fs::create_directories(key);
  WriteFile(key / ".values", "; comment\n\nPort=int:3\n");
  TComPort p;
  p.SetName("ComPort");
  EXPECT_EQ(LoadCode(p, stRegistry, "HKEY_CURRENT_USER\\T"), 17);
  EXPECT_EQ(p.Port(), "COM1");
}

TEST_F(SettingsStoreTest, BrokenStoresReportSixteenOrSeventeen) {
  TComPort p;
  p.SetName("ComPort");
  // The ini file is a folder, has no name, holds NUL bytes, or sits in a missing folder.
  EXPECT_EQ(LoadCode(p, stIniFile, dir_.path().string()), 17);
  EXPECT_EQ(StoreCode(p, stIniFile, dir_.path().string()), 16);
  EXPECT_EQ(LoadCode(p, stIniFile, ""), 17);
  EXPECT_EQ(StoreCode(p, stIniFile, ""), 16);
  const std::string binary("[ComPort]\nPort=COM3\n\0\x01\x02", 23);
  WriteFile(Ini(), binary);
  EXPECT_EQ(LoadCode(p, stIniFile, Ini().string()), 17);
  EXPECT_EQ(StoreCode(p, stIniFile, Ini().string()), 16);
  EXPECT_EQ(ReadFile(Ini()), binary);  // not overwritten
  // A file that cannot be opened (a file stands where a folder should) and one of 16 MiB + 1.
  EXPECT_EQ(LoadCode(p, stIniFile, (Ini() / "x.ini").string()), 17);
  const fs::path huge = dir_.path() / "huge.ini";
  WriteFile(huge, "[ComPort]\nPort=COM9\n");
  fs::resize_file(huge, (16u << 20) + 1);
  EXPECT_EQ(LoadCode(p, stIniFile, huge.string()), 17);
  EXPECT_EQ(StoreCode(p, stIniFile, (dir_.path() / "no" / "such.ini").string()), 16);
  // A port name the ini file cannot hold as a section.
  p.SetName("Com]Port");
  EXPECT_EQ(StoreCode(p, stIniFile, Ini().string() + "2"), 16);
  p.SetName("ComPort");

  // Corrupt registry values, and a key whose folder is a file.
  const fs::path key = Registry() / "HKEY_CURRENT_USER" / "Bad" / "ComPort";
  fs::create_directories(key);
  for (const char* content :
       {"no separator\n", "Port=str:bad\\escape\n", "X=int:12x\n", "X=int:99999999999\n", "X=blob:1\n"}) {
    WriteFile(key / ".values", content);
    EXPECT_EQ(LoadCode(p, stRegistry, "HKEY_CURRENT_USER\\Bad"), 17) << content;
    EXPECT_EQ(StoreCode(p, stRegistry, "HKEY_CURRENT_USER\\Bad"), 16) << content;
    EXPECT_EQ(ReadFile(key / ".values"), content);
  }
  WriteFile(Registry() / "HKEY_CURRENT_USER" / "File", "x");
  EXPECT_EQ(StoreCode(p, stRegistry, "HKEY_CURRENT_USER\\File"), 16);
  EXPECT_EQ(LoadCode(p, stRegistry, "HKEY_CURRENT_USER\\File"), 17);
  EXPECT_EQ(p.UpdateCount(), 0);
  EXPECT_EQ(p.Port(), "COM1");
}

TEST_F(SettingsStoreTest, WithOnExceptionFailuresGoToTheHandler) {
  TComPort p;
  p.SetName("ComPort");
  std::vector<TComExceptions> seen;
  p.OnException = [&](TCustomComPort*, TComExceptions e, const std::string& message, int64_t win_error,
                      const std::string&) {
    seen.push_back(e);
    EXPECT_EQ(win_error, 0);
    EXPECT_FALSE(message.empty());
  };
  EXPECT_NO_THROW(LoadSettings(p, stIniFile, dir_.path().string()));
  EXPECT_NO_THROW(StoreSettings(p, stIniFile, (dir_.path() / "no" / "x.ini").string()));
  EXPECT_EQ(seen, (std::vector<TComExceptions>{CE_LoadFailed, CE_StoreFailed}));
}

// The steps can be replaced: a derived set that keeps one more key.
TEST_F(SettingsStoreTest, OverriddenStepsAreUsed) {
  struct WithEofChar : TComStorageOps {
    void StoreToIniFile(TCustomComPort& Port, TComIniFile& IniFile) override {
      TComStorageOps::StoreToIniFile(Port, IniFile);
      IniFile.WriteInteger(Port.Name(), "EofChar", Port.EofChar());
    }
    void LoadFromIniFile(TCustomComPort& Port, TComIniFile& IniFile) override {
      TComStorageOps::LoadFromIniFile(Port, IniFile);
      Port.SetEofChar(static_cast<char16_t>(IniFile.ReadInteger(Port.Name(), "EofChar", 0)));
    }
  } ops;
  TComPort p;
  p.SetName("ComPort");
  p.SetEofChar(26);
  StoreSettings(p, stIniFile, Ini().string(), ops);
  TComPort q;
  q.SetName("ComPort");
  LoadSettings(q, stIniFile, Ini().string(), ops);
  EXPECT_EQ(q.EofChar(), 26);
  EXPECT_EQ(q.Port(), "COM1");
}

}  // namespace
}  // namespace quarlex

namespace quarlex {
namespace {

// The port's own StoreSettings/LoadSettings go through StorageOps(), which a derived port
// overrides to add or replace steps.
struct CountingOps : TComStorageOps {
  int iniStores = 0, iniLoads = 0;
  void StoreToIniFile(TCustomComPort& Port, TComIniFile& IniFile) override {
    ++iniStores;
    TComStorageOps::StoreToIniFile(Port, IniFile);
  }
  void LoadFromIniFile(TCustomComPort& Port, TComIniFile& IniFile) override {
    ++iniLoads;
    TComStorageOps::LoadFromIniFile(Port, IniFile);
  }
};

struct OwnStepsPort : TComPort {
  CountingOps ops;
  TComStorageOps& StorageOps() override { return ops; }
};

TEST_F(SettingsStoreTest, MemberFormsUseTheOverriddenSteps) {
  OwnStepsPort source;
  source.SetName("ComPort");
  source.SetBaudRate(br57600);
  source.StoreSettings(stIniFile, Ini().string());
  EXPECT_EQ(source.ops.iniStores, 1);
  OwnStepsPort loaded;
  loaded.SetName("ComPort");
  loaded.LoadSettings(stIniFile, Ini().string());
  EXPECT_EQ(loaded.ops.iniLoads, 1);
  EXPECT_EQ(loaded.BaudRate(), br57600);
}

}  // namespace
}  // namespace quarlex
