#include "serial/storage/comport_storage.h"

#include <filesystem>
#include <functional>

#include "serial/comport_error.h"
#include "serial/comport_text.h"

namespace quarlex {

using enum TComExceptions;

namespace {

// How the group tables reach a store. `current` is the property's value in its stored form:
// the ini store's default for a missing key; the registry has no defaults.
struct ValueSink {
  std::function<void(const std::string& key, const std::string& value)> text;
  std::function<void(const std::string& key, int32_t value)> integer;
};
struct ValueSource {
  std::function<std::string(const std::string& key, const std::string& current)> text;
  std::function<int32_t(const std::string& key, int32_t current)> integer;
};

void StoreGroups(const TCustomComPort& p, const ValueSink& out) {
  const TStoredProps props = p.StoredProps();
  if (props.Has(spBasic)) {
    out.text("Port", p.Port());
    out.text("BaudRate", BaudRateToStr(p.BaudRate()));
    if (p.BaudRate() == brCustom) out.integer("CustomBaudRate", p.CustomBaudRate());
    out.text("StopBits", StopBitsToStr(p.StopBits()));
    out.text("DataBits", DataBitsToStr(p.DataBits()));
    out.text("Parity", ParityToStr(p.Parity().Bits()));
    out.text("FlowControl", FlowControlToStr(p.FlowControl().FlowControl()));
  }
  if (props.Has(spOthers)) {
    out.text("EventChar", WideCharToStr(p.EventChar()));
    out.text("DiscardNull", BoolToStr(p.DiscardNull()));
  }
  if (props.Has(spParity)) {
    const TComParity& parity = p.Parity();
    out.text("Parity.Check", BoolToStr(parity.Check()));
    out.text("Parity.Replace", BoolToStr(parity.Replace()));
    out.text("Parity.ReplaceChar", WideCharToStr(parity.ReplaceChar()));
  }
  if (props.Has(spBuffer)) {
    out.integer("Buffer.OutputSize", p.Buffer().OutputSize());
    out.integer("Buffer.InputSize", p.Buffer().InputSize());
  }
  if (props.Has(spTimeouts)) {
    const TComTimeouts& t = p.Timeouts();
    out.integer("Timeouts.ReadInterval", t.ReadInterval());
    out.integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant());
    out.integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier());
    out.integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant());
    out.integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier());
  }
  if (props.Has(spFlowControl)) {
    const TComFlowControl& f = p.FlowControl();
    out.text("FlowControl.ControlRTS", RTSToStr(f.ControlRTS()));
    out.text("FlowControl.ControlDTR", DTRToStr(f.ControlDTR()));
    out.text("FlowControl.DSRSensitivity", BoolToStr(f.DSRSensitivity()));
    out.text("FlowControl.OutCTSFlow", BoolToStr(f.OutCTSFlow()));
    out.text("FlowControl.OutDSRFlow", BoolToStr(f.OutDSRFlow()));
    out.text("FlowControl.TxContinueOnXoff", BoolToStr(f.TxContinueOnXoff()));
    out.text("FlowControl.XonXoffIn", BoolToStr(f.XonXoffIn()));
    out.text("FlowControl.XonXoffOut", BoolToStr(f.XonXoffOut()));
    out.text("FlowControl.XoffChar", CharToStr(f.XoffChar()));
    out.text("FlowControl.XonChar", CharToStr(f.XonChar()));
  }
}

// Each value goes through its property as soon as it is read, so an open port follows the
// property rules (a new Port reopens it) and a failure keeps what was read before it.
void LoadGroups(TCustomComPort& p, const ValueSource& in) {
  const TStoredProps props = p.StoredProps();
  if (props.Has(spBasic)) {
    p.SetPort(in.text("Port", p.Port()));
    p.SetBaudRate(StrToBaudRate(in.text("BaudRate", BaudRateToStr(p.BaudRate()))));
    // A missing custom rate means the classic default, not whatever the port held.
    if (p.BaudRate() == brCustom) p.SetCustomBaudRate(in.integer("CustomBaudRate", 9600));
    p.SetStopBits(StrToStopBits(in.text("StopBits", StopBitsToStr(p.StopBits()))));
    p.SetDataBits(StrToDataBits(in.text("DataBits", DataBitsToStr(p.DataBits()))));
    p.Parity().SetBits(StrToParity(in.text("Parity", ParityToStr(p.Parity().Bits()))));
    p.FlowControl().SetFlowControl(
        StrToFlowControl(in.text("FlowControl", FlowControlToStr(p.FlowControl().FlowControl()))));
  }
  if (props.Has(spOthers)) {
    p.SetEventChar(StrToWideChar(in.text("EventChar", WideCharToStr(p.EventChar()))));
    p.SetDiscardNull(StrToBool(in.text("DiscardNull", BoolToStr(p.DiscardNull()))));
  }
  if (props.Has(spParity)) {
    TComParity& parity = p.Parity();
    parity.SetCheck(StrToBool(in.text("Parity.Check", BoolToStr(parity.Check()))));
    parity.SetReplace(StrToBool(in.text("Parity.Replace", BoolToStr(parity.Replace()))));
    parity.SetReplaceChar(StrToWideChar(in.text("Parity.ReplaceChar", WideCharToStr(parity.ReplaceChar()))));
  }
  if (props.Has(spBuffer)) {
    TComBuffer& b = p.Buffer();
    b.SetOutputSize(in.integer("Buffer.OutputSize", b.OutputSize()));
    b.SetInputSize(in.integer("Buffer.InputSize", b.InputSize()));
  }
  if (props.Has(spTimeouts)) {
    TComTimeouts& t = p.Timeouts();
    t.SetReadInterval(in.integer("Timeouts.ReadInterval", t.ReadInterval()));
    t.SetReadTotalConstant(in.integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant()));
    t.SetReadTotalMultiplier(in.integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier()));
    t.SetWriteTotalConstant(in.integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant()));
    t.SetWriteTotalMultiplier(in.integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier()));
  }
  if (props.Has(spFlowControl)) {
    TComFlowControl& f = p.FlowControl();
    f.SetControlRTS(StrToRTS(in.text("FlowControl.ControlRTS", RTSToStr(f.ControlRTS()))));
    f.SetControlDTR(StrToDTR(in.text("FlowControl.ControlDTR", DTRToStr(f.ControlDTR()))));
    f.SetDSRSensitivity(StrToBool(in.text("FlowControl.DSRSensitivity", BoolToStr(f.DSRSensitivity()))));
    f.SetOutCTSFlow(StrToBool(in.text("FlowControl.OutCTSFlow", BoolToStr(f.OutCTSFlow()))));
    f.SetOutDSRFlow(StrToBool(in.text("FlowControl.OutDSRFlow", BoolToStr(f.OutDSRFlow()))));
    f.SetTxContinueOnXoff(
        StrToBool(in.text("FlowControl.TxContinueOnXoff", BoolToStr(f.TxContinueOnXoff()))));
    f.SetXonXoffIn(StrToBool(in.text("FlowControl.XonXoffIn", BoolToStr(f.XonXoffIn()))));
    f.SetXonXoffOut(StrToBool(in.text("FlowControl.XonXoffOut", BoolToStr(f.XonXoffOut()))));
    f.SetXoffChar(StrToChar(in.text("FlowControl.XoffChar", CharToStr(f.XoffChar()))));
    f.SetXonChar(StrToChar(in.text("FlowControl.XonChar", CharToStr(f.XonChar()))));
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Store / load

void TComStorageOps::StoreToRegistry(TCustomComPort& Port, TComRegistry& Reg) {
  StoreGroups(Port, {[&](const std::string& key, const std::string& v) { Reg.WriteString(key, v); },
                     [&](const std::string& key, int32_t v) { Reg.WriteInteger(key, v); }});
}

void TComStorageOps::StoreToIniFile(TCustomComPort& Port, TComIniFile& IniFile) {
  const std::string section = Port.Name();
  StoreGroups(Port,
              {[&](const std::string& key, const std::string& v) { IniFile.WriteString(section, key, v); },
               [&](const std::string& key, int32_t v) { IniFile.WriteInteger(section, key, v); }});
}

void TComStorageOps::LoadFromRegistry(TCustomComPort& Port, TComRegistry& Reg) {
  LoadGroups(Port, {[&](const std::string& key, const std::string&) { return Reg.ReadString(key); },
                    [&](const std::string& key, int32_t) { return Reg.ReadInteger(key); }});
}

void TComStorageOps::LoadFromIniFile(TCustomComPort& Port, TComIniFile& IniFile) {
  const std::string section = Port.Name();
  LoadGroups(Port, {[&](const std::string& key, const std::string& current) {
                      return IniFile.ReadString(section, key, current);
                    },
                    [&](const std::string& key, int32_t current) {
                      return IniFile.ReadInteger(section, key, current);
                    }});
}

TComStorageOps& DefaultComStorageOps() {
  static TComStorageOps ops;
  return ops;
}

void OpenSettingsKey(TComRegistry& Reg, const std::string& Text, const std::string& Name) {
  const size_t slash = Text.find('\\');
  if (slash == std::string::npos) return;  // the root key itself
  const std::string root = Text.substr(0, slash);
  if (SameTextIgnoringCase(root, "HKEY_LOCAL_MACHINE"))
    Reg.RootKey = TComRegistryRoot::LocalMachine;
  else if (SameTextIgnoringCase(root, "HKEY_CURRENT_USER"))
    Reg.RootKey = TComRegistryRoot::CurrentUser;
  std::string path = Text.substr(slash + 1);
  if (path.empty() || path.back() != '\\') path += '\\';
  Reg.OpenKey(path + Name, true);
}

namespace {
// The program's texts are UTF-8; a path made from a plain string would read it in the system's
// ANSI code page on Windows and miss a file whose name has other letters.
std::filesystem::path PathOfText(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
}  // namespace

void StoreSettings(TCustomComPort& Port, TStoreType StoreType, const std::string& StoreTo,
                   TComStorageOps& Ops) {
  bool failed = false;
  try {
    if (StoreType == stIniFile) {
      TComIniFile ini(PathOfText(StoreTo));
      Ops.StoreToIniFile(Port, ini);
      ini.UpdateFile();
    } else if (StoreType == stRegistry) {
      TComRegistry reg;
      OpenSettingsKey(reg, StoreTo, Port.Name());
      Ops.StoreToRegistry(Port, reg);
      reg.CloseKey();
    } else {
      failed = true;
    }
  } catch (...) {
    failed = true;
  }
  if (failed) Port.RaiseComError(CE_StoreFailed, 0);
}

void LoadSettings(TCustomComPort& Port, TStoreType StoreType, const std::string& LoadFrom,
                  TComStorageOps& Ops) {
  bool failed = false;
  Port.BeginUpdate();
  try {
    if (StoreType == stIniFile) {
      TComIniFile ini(PathOfText(LoadFrom));
      Ops.LoadFromIniFile(Port, ini);
    } else if (StoreType == stRegistry) {
      TComRegistry reg;
      OpenSettingsKey(reg, LoadFrom, Port.Name());
      Ops.LoadFromRegistry(Port, reg);
    } else {
      failed = true;
    }
  } catch (...) {
    failed = true;
  }
  // The bracket closes whatever happened, so the device gets the values read so far once.
  try {
    Port.EndUpdate();
  } catch (...) {
    failed = true;
  }
  if (failed) Port.RaiseComError(CE_LoadFailed, 0);
}

void TCustomComPort::StoreSettings(TStoreType StoreType, const std::string& StoreTo) {
  quarlex::StoreSettings(*this, StoreType, StoreTo, StorageOps());
}

void TCustomComPort::LoadSettings(TStoreType StoreType, const std::string& LoadFrom) {
  quarlex::LoadSettings(*this, StoreType, LoadFrom, StorageOps());
}

TComStorageOps& TCustomComPort::StorageOps() {
  return DefaultComStorageOps();
}

}  // namespace quarlex
