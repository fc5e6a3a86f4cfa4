#pragma once
// Keeping a port's settings in a store and reading them back: StoreSettings / LoadSettings with
// their two store types, an ini file section or a registry key.
//
// Both stores hold the same keys with the same value forms (the text forms of
// serial/comport_text.h and 32-bit signed integers), one group of keys per member of the port's
// StoredProps, always in the order Basic, Others, Parity, Buffer, Timeouts, FlowControl:
//
//   spBasic        Port, BaudRate, CustomBaudRate (only while BaudRate is brCustom), StopBits,
//                  DataBits, Parity, FlowControl (the preset)
//   spOthers       EventChar (16-bit character form), DiscardNull
//   spParity       Parity.Check, Parity.Replace, Parity.ReplaceChar (16-bit character form)
//   spBuffer       Buffer.OutputSize, Buffer.InputSize (integers)
//   spTimeouts     Timeouts.ReadInterval, .ReadTotalConstant, .ReadTotalMultiplier,
//                  .WriteTotalConstant, .WriteTotalMultiplier (integers)
//   spFlowControl  FlowControl.ControlRTS, .ControlDTR, .DSRSensitivity, .OutCTSFlow,
//                  .OutDSRFlow, .TxContinueOnXoff, .XonXoffIn, .XonXoffOut, .XoffChar, .XonChar
//                  (the characters in the 8-bit form)
//
// Ini files (stIniFile; the text names the file). The keys go into the section named after the
// port's Name; every other section, key, comment and blank line of the file is kept as it was.
// Section and key names match ignoring ASCII case. A relative file name is taken from the
// current folder. The file is replaced as a whole through a temporary file in its folder, so a
// failed store leaves the old file intact.
//
// Registry (stRegistry). Linux has no registry, so registry keys are kept as a folder tree in a
// per-user store:
//
//   <base>/<ROOT>/<key>/<subkey>/.../.values
//
//   <base>    $XDG_CONFIG_HOME/quarlex/registry, or $HOME/.config/quarlex/registry when
//             XDG_CONFIG_HOME is unset, empty or relative (ComRegistryFolder()).
//   <ROOT>    HKEY_CURRENT_USER (the default root) or HKEY_LOCAL_MACHINE. Both are private to
//             the user: "local machine" settings are not shared with other users.
//   <key>...  one folder per backslash-separated part of the key path. Empty parts are
//             skipped, so A\B, A\B\, \A\B and A\\B name the same key. A folder name keeps
//             the part's spelling, with "/", "%", control codes and a leading "." written as
//             %XX (so ".." is an ordinary key name and cannot leave the tree). Key names match
//             ignoring ASCII case, as in the Windows registry: an existing folder of another
//             spelling is reused.
//   .values   the key's values, one per line, "<name>=str:<text>" or "<name>=int:<decimal>";
//             in names and texts a backslash, line break, carriage return and "=" are written
//             as \\, \n, \r and \=, and a ";" that starts a name as \;. Lines starting with
//             ";" are comments. Value names match ignoring ASCII case.
//
// The text given to StoreSettings / LoadSettings chooses the key: the part before its first
// backslash chooses the root ("HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER" in any letter case;
// any other text keeps HKEY_CURRENT_USER and is itself dropped, so "Software\Demo" is the key
// Demo\<Name>), and the part after it, followed by the port's Name, is the key, created when
// missing: "HKEY_LOCAL_MACHINE\Software\Demo" stores port ComPort in
// <base>/HKEY_LOCAL_MACHINE/Software/Demo/ComPort/.values. A text without a backslash names no
// key at all: the values are kept in the current user's root key itself,
// <base>/HKEY_CURRENT_USER/.values, without the port's Name, whatever the text says; every port
// stored that way shares that one set of values.
//
// Failures. Anything that goes wrong while storing (a folder that cannot be created, a file that
// cannot be written, a store file that is corrupt and so would be lost by rewriting it) is
// reported through the port's error routine as error 16, "Failed to store settings", without an
// OS code; while loading as error 17, "Failed to load settings". A load sets each value through
// its property as it is read, so the values read before a failure stay set. Loading from an ini
// file that does not exist is no failure: every key is missing, so every property keeps its
// value (the ini store's default).
//
// Threads: the port's owner's thread, like every other port operation.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "serial/comport.h"
#include "serial/comport_types.h"

namespace quarlex {

// ---------------------------------------------------------------------------------------------
// Ini file: a small reader and writer that keeps the file's other content as it was.

class TComIniFile {
 public:
  // Reads FileName when it exists; a missing file reads as an empty one. Throws
  // std::runtime_error when it exists but cannot be read, is no regular file, is no text file
  // (holds NUL bytes) or is larger than 16 MiB.
  explicit TComIniFile(std::filesystem::path FileName);

  const std::filesystem::path& FileName() const { return file_name_; }

  bool SectionExists(const std::string& Section) const;
  bool ValueExists(const std::string& Section, const std::string& Ident) const;
  // The value with its surrounding blanks removed, and one pair of enclosing double quotes.
  std::string ReadString(const std::string& Section, const std::string& Ident,
                         const std::string& Default) const;
  // Default when the key is missing or its value is no 32-bit decimal integer.
  int32_t ReadInteger(const std::string& Section, const std::string& Ident, int32_t Default) const;
  // Replaces the key's value in place, or adds the key at the end of its section (adding the
  // section at the end of the file). Throws std::invalid_argument for names or values a line
  // cannot hold (line breaks; "]" in a section name; "=" or a leading ";", "#" or "[" in a key;
  // blanks at either end of a name).
  void WriteString(const std::string& Section, const std::string& Ident, const std::string& Value);
  void WriteInteger(const std::string& Section, const std::string& Ident, int32_t Value);

  // Writes the file when something was written since it was read; keeps the file's line ending
  // style, byte-order mark and permissions. Throws std::runtime_error on failure (the old file
  // is then left as it was).
  void UpdateFile();

 private:
  struct Found {
    std::optional<size_t> header;  // line of the section header
    std::optional<size_t> key;     // line of the key
    size_t insert_at = 0;          // where a new key of the section goes
  };
  Found Find(const std::string& Section, const std::string& Ident) const;

  std::filesystem::path file_name_;
  std::vector<std::string> lines_;
  bool crlf_ = false;
  bool bom_ = false;
  bool changed_ = false;
};

// ---------------------------------------------------------------------------------------------
// Registry: keys as folders in a per-user store (see the header comment).

// $XDG_CONFIG_HOME/quarlex/registry, else $HOME/.config/quarlex/registry.
std::filesystem::path ComRegistryFolder();

enum class TComRegistryRoot : uint8_t { CurrentUser, LocalMachine };

class TComRegistry {
 public:
  explicit TComRegistry(std::filesystem::path Folder = ComRegistryFolder());
  // Drops values not yet written by CloseKey, so a store that fails half-way leaves the key as
  // it was.
  ~TComRegistry();
  TComRegistry(const TComRegistry&) = delete;
  TComRegistry& operator=(const TComRegistry&) = delete;

  // The root of the paths given to OpenKey and of the values while no key is open.
  TComRegistryRoot RootKey = TComRegistryRoot::CurrentUser;

  // Closes the current key, then opens Path (backslash-separated, relative to RootKey). Returns
  // false when the key does not exist and CanCreate is false; throws std::runtime_error when it
  // cannot be created or its values cannot be read (a corrupt .values file).
  bool OpenKey(const std::string& Path, bool CanCreate);
  // Writes the current key's pending values and returns to the root key. Throws
  // std::runtime_error when they cannot be written.
  void CloseKey();
  // The folder of the current key (the root's folder while no key is open).
  const std::filesystem::path& CurrentFolder() const { return folder_; }

  bool ValueExists(const std::string& Name);
  // A missing value reads as the empty text; an integer value is a failure (std::runtime_error).
  std::string ReadString(const std::string& Name);
  // A missing value or a text value is a failure (std::runtime_error).
  int32_t ReadInteger(const std::string& Name);
  void WriteString(const std::string& Name, const std::string& Value);
  void WriteInteger(const std::string& Name, int32_t Value);

 private:
  struct Value {
    std::string name;
    bool is_integer = false;
    std::string text;
    int32_t integer = 0;
  };
  std::filesystem::path RootFolder() const;
  void LoadValues();  // of folder_, once
  // The platform's store (one file per platform): adds the values kept at folder_ to values_;
  // writes values_ as the values of `folder`. Both throw std::runtime_error on failure.
  void ReadValues();
  void WriteValues(const std::filesystem::path& folder) const;
  Value* Lookup(const std::string& Name);

  std::filesystem::path base_;
  std::filesystem::path folder_;
  bool key_open_ = false;
  bool loaded_ = false;
  bool changed_ = false;
  std::vector<Value> values_;
};

// ---------------------------------------------------------------------------------------------
// StoreSettings / LoadSettings

// The overridable steps. The defaults write and read the groups of Port.StoredProps() as the
// table above says; a derived class may replace any of them (to keep more keys, say). Ini steps
// use the section named after Port.Name().
class TComStorageOps {
 public:
  virtual ~TComStorageOps() = default;
  virtual void StoreToRegistry(TCustomComPort& Port, TComRegistry& Reg);
  virtual void StoreToIniFile(TCustomComPort& Port, TComIniFile& IniFile);
  virtual void LoadFromRegistry(TCustomComPort& Port, TComRegistry& Reg);
  virtual void LoadFromIniFile(TCustomComPort& Port, TComIniFile& IniFile);
};

// The default steps, shared (they hold no state).
TComStorageOps& DefaultComStorageOps();

// Chooses and opens the key for Text and the port's Name as described above.
void OpenSettingsKey(TComRegistry& Reg, const std::string& Text, const std::string& Name);

// stIniFile: StoreTo names the ini file (created when missing). stRegistry: StoreTo names root
// and key path. Reports error 16 on any failure.
void StoreSettings(TCustomComPort& Port, TStoreType StoreType, const std::string& StoreTo,
                   TComStorageOps& Ops = DefaultComStorageOps());

// Reads the values inside one BeginUpdate/EndUpdate bracket, so an open port receives all of
// them once, at the end (a new Port reopens the port inside the bracket). The bracket is closed
// also after a failure. Ini: a missing key leaves its property as it is (CustomBaudRate then
// reads 9600), and a missing file is a failure. Registry: a missing text value reads as empty
// (giving the type's fallback, and an empty Port), a missing integer value is a failure.
// Reports error 17 on any failure, including one of the final apply.
void LoadSettings(TCustomComPort& Port, TStoreType StoreType, const std::string& LoadFrom,
                  TComStorageOps& Ops = DefaultComStorageOps());

}  // namespace quarlex
