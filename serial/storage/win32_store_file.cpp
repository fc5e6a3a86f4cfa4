// Whole-file reading and replacing of a settings store on Win32.
#include <windows.h>

#include <chrono>
#include <string>
#include <system_error>

#include "serial/storage/comport_storage_file.h"

namespace quarlex::storage_detail {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void FailWin32(const std::string& what, const fs::path& path, DWORD code) {
  throw std::runtime_error(what + " " + path.string() + ": " +
                           std::system_category().message(static_cast<int>(code)));
}

struct Handle {
  HANDLE h;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool Close() {
    const bool ok = CloseHandle(h) != 0;
    h = INVALID_HANDLE_VALUE;
    return ok;
  }
};

bool WriteAll(HANDLE h, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 20));
    DWORD n = 0;
    if (!WriteFile(h, data.data() + done, chunk, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

}  // namespace

// Only plain files are read: a device or a pipe would block or never end.
std::optional<std::string> ReadStoreFile(const fs::path& path) {
  Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (f.h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return std::nullopt;
    FailWin32("cannot open", path, code);
  }
  LARGE_INTEGER size{};
  if (GetFileType(f.h) != FILE_TYPE_DISK || !GetFileSizeEx(f.h, &size))
    Fail("not a regular file: " + path.string());
  if (static_cast<uint64_t>(size.QuadPart) > kMaxStoreFile)
    Fail("too large for a settings file: " + path.string());
  std::string data;
  char chunk[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(f.h, chunk, sizeof chunk, &n, nullptr)) FailWin32("cannot read", path, GetLastError());
    if (n == 0) break;
    data.append(chunk, n);
    if (data.size() > kMaxStoreFile) Fail("too large for a settings file: " + path.string());
  }
  // Text files hold no NUL bytes; a file that does is not ours to parse, nor to overwrite.
  if (data.find('\0') != std::string::npos) Fail("not a text file: " + path.string());
  return data;
}

// Replaces the file's content as a whole: a temporary file in the same folder is written,
// flushed and moved over the old one with MoveFileExW (replace, write through), so a crash or a
// full disk never leaves half a file. A read-only file refuses the store, as it would when
// written in place; its attributes are kept otherwise. When the folder does not let us create the
// temporary but the file itself is writable, the file is rewritten in place.
void ReplaceStoreFile(const fs::path& path, const std::string& data) {
  std::error_code ec;
  fs::path target = fs::weakly_canonical(path, ec);
  if (ec) target = path;
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool existed = attributes != INVALID_FILE_ATTRIBUTES;
  if (existed && (attributes & FILE_ATTRIBUTE_DIRECTORY)) Fail("not a regular file: " + target.string());
  if (existed && (attributes & FILE_ATTRIBUTE_READONLY))
    FailWin32("cannot write", target, ERROR_ACCESS_DENIED);

  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  DWORD code = 0;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temp = folder / ("." + target.filename().string() + ".tmp-" + std::to_string(GetCurrentProcessId()) +
                     "-" + std::to_string(stamp) + "-" + std::to_string(attempt));
    h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    code = GetLastError();
    if (h == INVALID_HANDLE_VALUE && code != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) {
    if (existed && code == ERROR_ACCESS_DENIED) {
      Handle in_place(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
      if (in_place.h == INVALID_HANDLE_VALUE) FailWin32("cannot write", target, GetLastError());
      const bool ok = WriteAll(in_place.h, data) && FlushFileBuffers(in_place.h);
      const DWORD write_error = GetLastError();
      if (!in_place.Close() || !ok) FailWin32("cannot write", target, write_error);
      return;
    }
    FailWin32("cannot create a file in", folder, code);
  }
  Handle file(h);
  bool ok = WriteAll(file.h, data) && FlushFileBuffers(file.h);
  DWORD error = ok ? 0 : GetLastError();
  if (!file.Close() && ok) {
    ok = false;
    error = GetLastError();
  }
  if (ok && existed) SetFileAttributesW(temp.c_str(), attributes & ~FILE_ATTRIBUTE_NORMAL);
  if (ok && !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    error = GetLastError();
  }
  if (!ok) {
    DeleteFileW(temp.c_str());
    FailWin32("cannot write", target, error);
  }
}

}  // namespace quarlex::storage_detail
