#include "serial/storage/comport_storage_file.h"

#include <charconv>
#include <cstring>
#include <stdexcept>

namespace quarlex::storage_detail {

namespace fs = std::filesystem;

void Fail(const std::string& what) {
  throw std::runtime_error(what);
}
void FailErrno(const std::string& what, const fs::path& path, int error) {
  throw std::runtime_error(what + " " + path.string() + ": " + std::strerror(error));
}

std::vector<std::string> SplitLines(std::string_view data, bool& crlf) {
  std::vector<std::string> lines;
  crlf = false;
  bool first_break = true;
  while (!data.empty()) {
    const size_t end = data.find('\n');
    std::string_view line = data.substr(0, end);
    if (end != std::string_view::npos) {
      if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
        if (first_break) crlf = true;
      }
      first_break = false;
    }
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    data.remove_prefix(end + 1);
  }
  return lines;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<int32_t> ParseInteger(std::string_view text) {
  const bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);  // from_chars takes '-' but not '+'
  if (text.empty() || text.front() == '+' || (plus && text.front() == '-')) return std::nullopt;
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace quarlex::storage_detail
