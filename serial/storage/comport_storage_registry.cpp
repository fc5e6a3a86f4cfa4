#include <cstdlib>
#include <string_view>
#include <system_error>

#include "serial/comport_text.h"
#include "serial/storage/comport_storage.h"
#include "serial/storage/comport_storage_file.h"

namespace quarlex {

namespace fs = std::filesystem;
using namespace storage_detail;

namespace {

constexpr const char* kValuesFile = ".values";
constexpr std::string_view kValuesHeader =
    "; Quarlex settings store: the values of one registry key, <name>=str:<text> or "
    "<name>=int:<decimal>\n";

std::string Escape(std::string_view s, bool is_name) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '=')
      out += "\\=";
    else if (is_name && i == 0 && c == ';')
      out += "\\;";
    else
      out += c;
  }
  return out;
}

// Decodes s up to an unescaped `stop` (or its end when stop is 0); `used` is how much was read.
std::optional<std::string> Unescape(std::string_view s, char stop, size_t& used) {
  std::string out;
  size_t i = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (stop != 0 && c == stop) break;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == s.size()) return std::nullopt;
    switch (s[i]) {
      case '\\':
        out += '\\';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case '=':
        out += '=';
        break;
      case ';':
        out += ';';
        break;
      default:
        return std::nullopt;
    }
  }
  used = i;
  return out;
}

// A key name as a folder name: "/", "%", control codes and a leading "." as %XX.
std::string FolderNameOf(std::string_view part) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < part.size(); ++i) {
    const auto c = static_cast<unsigned char>(part[i]);
    if (c == '/' || c == '%' || c < 0x20 || c == 0x7F || (i == 0 && c == '.')) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::vector<std::string> KeyParts(std::string_view path) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    const size_t end = path.find('\\');
    if (end != 0) parts.emplace_back(path.substr(0, end));
    if (end == std::string_view::npos) break;
    path.remove_prefix(end + 1);
  }
  return parts;
}

// The subfolder of `folder` that stands for `name`: the exact spelling if present, else one
// that differs only in ASCII case, else the exact spelling (to be created).
fs::path ChildFolder(const fs::path& folder, const std::string& name) {
  std::error_code ec;
  if (fs::is_directory(folder / name, ec)) return folder / name;
  if (fs::is_directory(folder, ec)) {
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string entry_name = entry.path().filename().string();
      if (SameTextIgnoringCase(entry_name, name) && entry.is_directory()) return entry.path();
    }
  }
  return folder / name;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TComRegistry

fs::path ComRegistryFolder() {
  // A relative XDG_CONFIG_HOME is invalid by the XDG rules and would move with the current
  // folder, so it is ignored like an unset one.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return fs::path(config) / "quarlex" / "registry";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : ".") / ".config" / "quarlex" / "registry";
}

TComRegistry::TComRegistry(fs::path Folder) : base_(std::move(Folder)) {}

// Values not yet written by CloseKey are dropped: a store that failed half-way leaves the key
// as it was.
TComRegistry::~TComRegistry() = default;

fs::path TComRegistry::RootFolder() const {
  return base_ / (RootKey == TComRegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER");
}

bool TComRegistry::OpenKey(const std::string& Path, bool CanCreate) {
  CloseKey();
  fs::path folder = RootFolder();
  for (const std::string& part : KeyParts(Path)) folder = ChildFolder(folder, FolderNameOf(part));
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    if (!CanCreate) return false;
    fs::create_directories(folder);
  }
  folder_ = folder;
  key_open_ = true;
  LoadValues();
  return true;
}

void TComRegistry::WriteValues(const fs::path& folder) const {
  fs::create_directories(folder);
  std::string data(kValuesHeader);
  for (const Value& v : values_) {
    data += Escape(v.name, true) + "=";
    data += v.is_integer ? "int:" + std::to_string(v.integer) : "str:" + Escape(v.text, false);
    data += '\n';
  }
  ReplaceStoreFile(folder / kValuesFile, data);
}

void TComRegistry::ReadValues() {
  const fs::path file = folder_ / kValuesFile;
  const std::optional<std::string> data = ReadStoreFile(file);
  if (data) {
    bool crlf = false;
    for (const std::string& line : SplitLines(*data, crlf)) {
      if (line.empty() || line.front() == ';') continue;
      size_t used = 0;
      std::optional<std::string> name = Unescape(line, '=', used);
      if (!name || used == line.size()) Fail("corrupt line in " + file.string() + ": " + line);
      const std::string_view rest = std::string_view(line).substr(used + 1);
      Value v;
      v.name = std::move(*name);
      if (rest.starts_with("int:")) {
        const std::optional<int32_t> n = ParseInteger(rest.substr(4));
        if (!n) Fail("corrupt integer in " + file.string() + ": " + line);
        v.is_integer = true;
        v.integer = *n;
      } else if (rest.starts_with("str:")) {
        size_t text_used = 0;
        std::optional<std::string> text = Unescape(rest.substr(4), 0, text_used);
        if (!text) Fail("corrupt text in " + file.string() + ": " + line);
        v.text = std::move(*text);
      } else {
        Fail("unknown value type in " + file.string() + ": " + line);
      }
      values_.push_back(std::move(v));
    }
  }
}

}  // namespace quarlex
