#include "serial/comport_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "serial/comport_error.h"
#include "serial/comport_text.h"

namespace quarlex {

namespace fs = std::filesystem;

namespace {

// A settings store is a few hundred bytes; anything this large is not one, and reading it whole
// would only cost memory.
constexpr size_t kMaxStoreFile = 16u << 20;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }
[[noreturn]] void FailErrno(const std::string& what, const fs::path& path, int error) {
  throw std::runtime_error(what + " " + path.string() + ": " + std::strerror(error));
}

// --- whole-file reading and replacing

// The file's bytes; nullopt when it does not exist. Only regular files are read (a FIFO would
// block, a device would never end).
std::optional<std::string> ReadStoreFile(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    FailErrno("cannot open", path, errno);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    Fail("not a regular file: " + path.string());
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxStoreFile) {
    ::close(fd);
    Fail("too large for a settings file: " + path.string());
  }
  std::string data;
  char chunk[8192];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      FailErrno("cannot read", path, error);
    }
    if (n == 0) break;
    data.append(chunk, static_cast<size_t>(n));
    if (data.size() > kMaxStoreFile) {
      ::close(fd);
      Fail("too large for a settings file: " + path.string());
    }
  }
  ::close(fd);
  // Text files hold no NUL bytes; a file that does is not ours to parse, nor to overwrite.
  if (data.find('\0') != std::string::npos) Fail("not a text file: " + path.string());
  return data;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces the file's content as a whole: a temporary file in the same folder is written,
// flushed and renamed over the old one, so a crash or a full disk never leaves half a file.
// A symbolic link is followed, so the link stays a link. An existing file keeps its
// permissions; a new one gets 0666 less the umask. When the folder does not let us create the
// temporary but the file itself is writable, the file is rewritten in place.
void ReplaceStoreFile(const fs::path& path, const std::string& data) {
  std::error_code ec;
  fs::path target = fs::weakly_canonical(path, ec);
  if (ec) target = path;
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  if (existed && !S_ISREG(old.st_mode)) Fail("not a regular file: " + target.string());
  // Renaming over a file needs only the folder's permission; a file the user made read-only
  // must still refuse the write, as it would when written in place.
  if (existed && ::access(target.c_str(), W_OK) != 0) FailErrno("cannot write", target, errno);

  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = folder / ("." + target.filename().string() + ".tmp-" + std::to_string(::getpid()) +
                     "-" + std::to_string(stamp) + "-" + std::to_string(attempt));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    const int error = errno;
    if (existed && (error == EACCES || error == EPERM)) {
      const int in_place = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (in_place < 0) FailErrno("cannot write", target, errno);
      const bool ok = WriteAll(in_place, data) && ::fsync(in_place) == 0;
      const int write_error = errno;
      if (::close(in_place) != 0 || !ok) FailErrno("cannot write", target, write_error);
      return;
    }
    FailErrno("cannot create a file in", folder, error);
  }
  bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
  int error = errno;
  if (ok && existed && ::fchmod(fd, old.st_mode & 07777) != 0) {
    ok = false;
    error = errno;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    FailErrno("cannot write", target, error);
  }
}

// Splits into lines at "\n", dropping one "\r" before it; tells whether the file used "\r\n".
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

bool HasBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// A 32-bit signed decimal integer, the whole text (an optional sign, then digits).
std::optional<int32_t> ParseInteger(std::string_view text) {
  const bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);  // from_chars takes '-' but not '+'
  if (text.empty() || text.front() == '+' || (plus && text.front() == '-')) return std::nullopt;
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// --- ini lines

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
  if (line.empty() || line.front() == ';' || line.front() == '#' || line.front() == '[')
    return false;
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

// --- registry values file

constexpr const char* kValuesFile = ".values";
constexpr std::string_view kValuesHeader =
    "; Quarlex settings store: the values of one registry key, <name>=str:<text> or "
    "<name>=int:<decimal>\n";

std::string Escape(std::string_view s, bool is_name) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '=') out += "\\=";
    else if (is_name && i == 0 && c == ';') out += "\\;";
    else out += c;
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
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case '=': out += '='; break;
      case ';': out += ';'; break;
      default: return std::nullopt;
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

// --- the groups of keys

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
    p.FlowControl().SetFlowControl(StrToFlowControl(
        in.text("FlowControl", FlowControlToStr(p.FlowControl().FlowControl()))));
  }
  if (props.Has(spOthers)) {
    p.SetEventChar(StrToWideChar(in.text("EventChar", WideCharToStr(p.EventChar()))));
    p.SetDiscardNull(StrToBool(in.text("DiscardNull", BoolToStr(p.DiscardNull()))));
  }
  if (props.Has(spParity)) {
    TComParity& parity = p.Parity();
    parity.SetCheck(StrToBool(in.text("Parity.Check", BoolToStr(parity.Check()))));
    parity.SetReplace(StrToBool(in.text("Parity.Replace", BoolToStr(parity.Replace()))));
    parity.SetReplaceChar(
        StrToWideChar(in.text("Parity.ReplaceChar", WideCharToStr(parity.ReplaceChar()))));
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
    t.SetReadTotalMultiplier(
        in.integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier()));
    t.SetWriteTotalConstant(in.integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant()));
    t.SetWriteTotalMultiplier(
        in.integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier()));
  }
  if (props.Has(spFlowControl)) {
    TComFlowControl& f = p.FlowControl();
    f.SetControlRTS(StrToRTS(in.text("FlowControl.ControlRTS", RTSToStr(f.ControlRTS()))));
    f.SetControlDTR(StrToDTR(in.text("FlowControl.ControlDTR", DTRToStr(f.ControlDTR()))));
    f.SetDSRSensitivity(
        StrToBool(in.text("FlowControl.DSRSensitivity", BoolToStr(f.DSRSensitivity()))));
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
// TComIniFile

TComIniFile::TComIniFile(fs::path FileName, bool MustExist) : file_name_(std::move(FileName)) {
  if (file_name_.empty()) Fail("no ini file named");
  std::optional<std::string> data = ReadStoreFile(file_name_);
  if (!data) {
    if (MustExist) Fail("no such file: " + file_name_.string());
    return;
  }
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
    if (!found.key && KeyOf(lines_[i], key, value) && SameTextIgnoringCase(key, Ident))
      found.key = i;
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
  if (Ident.empty() || BadName(Ident) || Ident.find('=') != std::string::npos ||
      Ident.front() == ';' || Ident.front() == '#' || Ident.front() == '[')
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

void TComIniFile::WriteInteger(const std::string& Section, const std::string& Ident,
                               int32_t Value) {
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

// ---------------------------------------------------------------------------------------------
// TComRegistry

fs::path ComRegistryFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config) return fs::path(config) / "quarlex" / "registry";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : ".") / ".config" / "quarlex" / "registry";
}

TComRegistry::TComRegistry(fs::path Folder) : base_(std::move(Folder)) {}

// Values not yet written by CloseKey are dropped: a store that failed half-way leaves the key
// as it was.
TComRegistry::~TComRegistry() = default;

fs::path TComRegistry::RootFolder() const {
  return base_ / (RootKey == TComRegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE"
                                                             : "HKEY_CURRENT_USER");
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

void TComRegistry::CloseKey() {
  if (changed_) {
    const fs::path folder = key_open_ ? folder_ : RootFolder();
    fs::create_directories(folder);
    std::string data(kValuesHeader);
    for (const Value& v : values_) {
      data += Escape(v.name, true) + "=";
      data += v.is_integer ? "int:" + std::to_string(v.integer) : "str:" + Escape(v.text, false);
      data += '\n';
    }
    ReplaceStoreFile(folder / kValuesFile, data);
    changed_ = false;
  }
  key_open_ = false;
  loaded_ = false;
  values_.clear();
}

void TComRegistry::LoadValues() {
  if (loaded_) return;
  if (!key_open_) folder_ = RootFolder();
  values_.clear();
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
  loaded_ = true;
}

TComRegistry::Value* TComRegistry::Lookup(const std::string& Name) {
  LoadValues();
  for (Value& v : values_)
    if (SameTextIgnoringCase(v.name, Name)) return &v;
  return nullptr;
}

bool TComRegistry::ValueExists(const std::string& Name) { return Lookup(Name) != nullptr; }

std::string TComRegistry::ReadString(const std::string& Name) {
  const Value* v = Lookup(Name);
  if (!v) return {};
  if (v->is_integer) Fail("value " + Name + " is an integer, not a text");
  return v->text;
}

int32_t TComRegistry::ReadInteger(const std::string& Name) {
  const Value* v = Lookup(Name);
  if (!v) Fail("no value " + Name);
  if (!v->is_integer) Fail("value " + Name + " is a text, not an integer");
  return v->integer;
}

void TComRegistry::WriteString(const std::string& Name, const std::string& Value) {
  TComRegistry::Value* v = Lookup(Name);
  if (!v) {
    values_.push_back({Name, false, Value, 0});
  } else {
    *v = {v->name, false, Value, 0};
  }
  changed_ = true;
}

void TComRegistry::WriteInteger(const std::string& Name, int32_t Value) {
  TComRegistry::Value* v = Lookup(Name);
  if (!v) {
    values_.push_back({Name, true, {}, Value});
  } else {
    *v = {v->name, true, {}, Value};
  }
  changed_ = true;
}

// ---------------------------------------------------------------------------------------------
// Store / load

void TComStorageOps::StoreToRegistry(TCustomComPort& Port, TComRegistry& Reg) {
  StoreGroups(Port, {[&](const std::string& key, const std::string& v) { Reg.WriteString(key, v); },
                     [&](const std::string& key, int32_t v) { Reg.WriteInteger(key, v); }});
}

void TComStorageOps::StoreToIniFile(TCustomComPort& Port, TComIniFile& IniFile) {
  const std::string section = Port.Name();
  StoreGroups(Port, {[&](const std::string& key, const std::string& v) {
                       IniFile.WriteString(section, key, v);
                     },
                     [&](const std::string& key, int32_t v) {
                       IniFile.WriteInteger(section, key, v);
                     }});
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

void StoreSettings(TCustomComPort& Port, TStoreType StoreType, const std::string& StoreTo,
                   TComStorageOps& Ops) {
  bool failed = false;
  try {
    if (StoreType == stIniFile) {
      TComIniFile ini(StoreTo);
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
  if (failed) Port.RaiseComError(CE_StoreFailed + 1, 0);
}

void LoadSettings(TCustomComPort& Port, TStoreType StoreType, const std::string& LoadFrom,
                  TComStorageOps& Ops) {
  bool failed = false;
  Port.BeginUpdate();
  try {
    if (StoreType == stIniFile) {
      TComIniFile ini(LoadFrom, /*MustExist=*/true);
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
  if (failed) Port.RaiseComError(CE_LoadFailed + 1, 0);
}

}  // namespace quarlex
