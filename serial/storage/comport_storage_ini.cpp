#include <stdexcept>
#include <string_view>

#include "serial/comport_text.h"
#include "serial/storage/comport_storage.h"
#include "serial/storage/comport_storage_file.h"

namespace quarlex {

namespace fs = std::filesystem;
using namespace storage_detail;

namespace {

bool HasBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

// "[name]" (blanks allowed around it and the name; anything after "]" is ignored).
std::optional<std::string_view> SectionOf(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

// "key=value"; comment lines (";" or "#") and headers are no keys.
bool KeyOf(std::string_view line, std::string_view& key, std::string_view& value) {
  line = Trim(line);
  if (line.empty() || line.front() == ';' || line.front() == '#' || line.front() == '[') return false;
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(line.substr(0, eq));
  value = Trim(line.substr(eq + 1));
  return !key.empty();
}

// Blanks at either end, or enclosing quotes, would be lost by the reader: quote such values.
std::string IniValueText(const std::string& value) {
  const bool blank_edge = !value.empty() && (value.front() == ' ' || value.front() == '\t' ||
                                             value.back() == ' ' || value.back() == '\t');
  const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
  return (blank_edge || quoted) ? "\"" + value + "\"" : value;
}

bool BadName(std::string_view name) {
  return HasBreak(name) || Trim(name).size() != name.size();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TComIniFile

TComIniFile::TComIniFile(fs::path FileName) : file_name_(std::move(FileName)) {
  if (file_name_.empty()) Fail("no ini file named");
  std::optional<std::string> data = ReadStoreFile(file_name_);
  if (!data) return;
  std::string_view text = *data;
  if (text.starts_with("\xEF\xBB\xBF")) {
    bom_ = true;
    text.remove_prefix(3);
  }
  lines_ = SplitLines(text, crlf_);
}

TComIniFile::Found TComIniFile::Find(const std::string& Section, const std::string& Ident) const {
  Found found;
  bool inside = false;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (const auto name = SectionOf(lines_[i])) {
      if (inside) break;  // the first section of that name is the one
      if (SameTextIgnoringCase(*name, Section)) {
        inside = true;
        found.header = i;
        found.insert_at = i + 1;
      }
      continue;
    }
    if (!inside) continue;
    if (!Trim(lines_[i]).empty()) found.insert_at = i + 1;
    std::string_view key, value;
    if (!found.key && KeyOf(lines_[i], key, value) && SameTextIgnoringCase(key, Ident)) found.key = i;
  }
  return found;
}

bool TComIniFile::SectionExists(const std::string& Section) const {
  return Find(Section, {}).header.has_value();
}

bool TComIniFile::ValueExists(const std::string& Section, const std::string& Ident) const {
  return Find(Section, Ident).key.has_value();
}

std::string TComIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                    const std::string& Default) const {
  const Found found = Find(Section, Ident);
  if (!found.key) return Default;
  std::string_view key, value;
  KeyOf(lines_[*found.key], key, value);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

int32_t TComIniFile::ReadInteger(const std::string& Section, const std::string& Ident,
                                 int32_t Default) const {
  if (!ValueExists(Section, Ident)) return Default;
  return ParseInteger(ReadString(Section, Ident, {})).value_or(Default);
}

void TComIniFile::WriteString(const std::string& Section, const std::string& Ident,
                              const std::string& Value) {
  if (BadName(Section) || Section.find(']') != std::string::npos)
    throw std::invalid_argument("section name an ini file cannot hold: " + Section);
  if (Ident.empty() || BadName(Ident) || Ident.find('=') != std::string::npos || Ident.front() == ';' ||
      Ident.front() == '#' || Ident.front() == '[')
    throw std::invalid_argument("key name an ini file cannot hold: " + Ident);
  if (HasBreak(Value)) throw std::invalid_argument("value with a line break: " + Ident);

  const Found found = Find(Section, Ident);
  if (found.key) {
    std::string_view key, old;
    KeyOf(lines_[*found.key], key, old);
    std::string line = std::string(key) + "=" + IniValueText(Value);
    if (line != lines_[*found.key]) {
      lines_[*found.key] = std::move(line);
      changed_ = true;
    }
    return;
  }
  const std::string line = Ident + "=" + IniValueText(Value);
  if (found.header) {
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(found.insert_at), line);
  } else {
    if (!lines_.empty() && !Trim(lines_.back()).empty()) lines_.emplace_back();
    lines_.push_back("[" + Section + "]");
    lines_.push_back(line);
  }
  changed_ = true;
}

void TComIniFile::WriteInteger(const std::string& Section, const std::string& Ident, int32_t Value) {
  WriteString(Section, Ident, std::to_string(Value));
}

void TComIniFile::UpdateFile() {
  if (!changed_) return;
  const char* const newline = crlf_ ? "\r\n" : "\n";
  std::string data = bom_ ? "\xEF\xBB\xBF" : "";
  for (const std::string& line : lines_) data += line + newline;
  ReplaceStoreFile(file_name_, data);
  changed_ = false;
}

}  // namespace quarlex
