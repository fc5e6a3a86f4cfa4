// Capture files on Win32: the executable's folder from GetModuleFileNameW, saves through a
// temporary file moved to its name with MoveFileExW (write through, and without replacing: a
// name already taken fails, and the caller tries the next suffix), loads of disk files only.
#include <atomic>
#include <cstdlib>
#include <string>

#include "text/win32_text.h"
#include "tools/capture_file_system.h"

namespace quarlex::capture_fs {

const char* const FolderSeparators = "/\\";

namespace {

using win32::ErrorText;
using win32::Narrow;
using win32::Wide;

HANDLE H(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

intptr_t Stored(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(h);
}

// Names that Windows resolves to a device in any folder and with any extension ("COM3.data" is
// the serial port): opening one would act on the device.
bool IsDeviceName(const std::string& path) {
  if (path.starts_with("\\\\.\\") || path.starts_with("//./")) return true;
  const size_t slash = path.find_last_of("/\\:");
  std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
  base = base.substr(0, base.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$")
    return true;
  return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '1' &&
         base[3] <= '9';
}

}  // namespace

std::string ExecutablePath() {
  std::wstring exe(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
    if (n == 0) return {};
    if (n < exe.size()) {
      exe.resize(n);
      return Narrow(exe);
    }
    if (exe.size() >= 32768) return {};  // longer than any Win32 path
    exe.resize(exe.size() * 2);
  }
}

std::string HomeFolder() {
  if (const wchar_t* h = _wgetenv(L"USERPROFILE"); h && *h) return Narrow(h);
  return {};
}

bool CanWriteIn(const std::string& folder) {
  // A folder's read-only attribute means nothing on Windows, and access rights are too many
  // to evaluate by hand: create a file that is gone again when closed.
  const std::wstring probe = Wide(folder) + L".quarlex-probe-" + std::to_wstring(GetCurrentProcessId());
  const HANDLE h =
      CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

std::tm LocalTimeOf(std::time_t t) {
  std::tm tm{};
  localtime_s(&tm, &t);
  return tm;
}

std::string MakeFolders(const std::string& folder) {
  DWORD refused = 0;  // why a folder on the way could not be made, when it then is missing
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i < folder.size() && folder[i] != '/' && folder[i] != '\\') continue;
    const std::string part = folder.substr(0, i);
    // Drive roots ("C:", "C:\") and the server part of a UNC path exist or cannot be made.
    if (part.empty() || part.back() == ':' || part.find_first_not_of("/\\") == std::string::npos) continue;
    if (!CreateDirectoryW(Wide(part).c_str(), nullptr)) {
      const DWORD code = GetLastError();
      if (code != ERROR_ALREADY_EXISTS && code != ERROR_ACCESS_DENIED && code != ERROR_INVALID_NAME &&
          code != ERROR_BAD_NETPATH)
        return ErrorText(code);
      if (code != ERROR_ALREADY_EXISTS) refused = code;
    }
  }
  const DWORD attributes = GetFileAttributesW(Wide(folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ErrorText(refused ? refused : GetLastError());
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ErrorText(ERROR_DIRECTORY);
  return {};
}

PendingFile::~PendingFile() {
  Discard();
}

void PendingFile::Discard() {
  if (handle_ != -1) CloseHandle(H(handle_));
  handle_ = -1;
  if (!tmp_.empty() && !published_) DeleteFileW(Wide(tmp_).c_str());
  tmp_.clear();
}

AppendFile::~AppendFile() {
  Close();
}

bool AppendFile::Create(const std::string& path) {
  Close();
  if (IsDeviceName(path)) {
    error_ = ErrorText(ERROR_ACCESS_DENIED);
    return false;
  }
  // Others may read the file while it grows (a viewer following the recording).
  const HANDLE h = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error_ = ErrorText(GetLastError());
    return false;
  }
  handle_ = Stored(h);
  return true;
}

size_t AppendFile::Write(const uint8_t* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const size_t left = length - done;
    const DWORD chunk = static_cast<DWORD>(left < (1u << 24) ? left : (1u << 24));
    DWORD n = 0;
    if (!WriteFile(H(handle_), data + done, chunk, &n, nullptr)) {
      error_ = ErrorText(GetLastError());
      break;
    }
    if (n == 0) {
      error_ = ErrorText(ERROR_DISK_FULL);
      break;
    }
    done += n;
  }
  return done;
}

bool AppendFile::SyncData() {
  if (FlushFileBuffers(H(handle_))) return true;
  error_ = ErrorText(GetLastError());
  return false;
}

void AppendFile::Close() {
  if (handle_ == -1) return;
  CloseHandle(H(handle_));
  handle_ = -1;
}

bool PendingFile::Create(const std::string& folder) {
  Discard();
  published_ = false;
  static std::atomic<unsigned> counter{0};
  DWORD code = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string tmp = folder + ".quarlex-save-" + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(counter++) + ".part";
    const HANDLE h =
        CreateFileW(Wide(tmp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      tmp_ = tmp;
      handle_ = Stored(h);
      return true;
    }
    code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) break;
  }
  error_ = ErrorText(code);
  return false;
}

bool PendingFile::Write(const uint8_t* data, size_t length) {
  while (length > 0) {
    const DWORD chunk = static_cast<DWORD>(length < (1u << 24) ? length : (1u << 24));
    DWORD n = 0;
    if (!WriteFile(H(handle_), data, chunk, &n, nullptr)) {
      error_ = ErrorText(GetLastError());
      return false;
    }
    if (n == 0) {
      error_ = ErrorText(ERROR_DISK_FULL);
      return false;
    }
    data += n;
    length -= n;
  }
  return true;
}

bool PendingFile::Finish() {
  bool ok = FlushFileBuffers(H(handle_)) != 0;
  DWORD code = ok ? 0 : GetLastError();
  if (!CloseHandle(H(handle_)) && ok) {
    ok = false;
    code = GetLastError();
  }
  handle_ = -1;
  if (!ok) error_ = ErrorText(code);
  return ok;
}

PendingFile::Publish PendingFile::PublishAs(const std::string& path) {
  // The capture file is hidden while it is written; the published one is an ordinary file.
  SetFileAttributesW(Wide(tmp_).c_str(), FILE_ATTRIBUTE_NORMAL);
  if (MoveFileExW(Wide(tmp_).c_str(), Wide(path).c_str(), MOVEFILE_WRITE_THROUGH)) {
    published_ = true;
    return Publish::Done;
  }
  const DWORD code = GetLastError();
  SetFileAttributesW(Wide(tmp_).c_str(), FILE_ATTRIBUTE_HIDDEN);
  if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) return Publish::NameTaken;
  error_ = ErrorText(code);
  return Publish::Failed;
}

bool PendingFile::PublishReplacing(const std::string& path) {
  SetFileAttributesW(Wide(tmp_).c_str(), FILE_ATTRIBUTE_NORMAL);
  if (MoveFileExW(Wide(tmp_).c_str(), Wide(path).c_str(),
                  MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING)) {
    published_ = true;
    return true;
  }
  const DWORD code = GetLastError();
  SetFileAttributesW(Wide(tmp_).c_str(), FILE_ATTRIBUTE_HIDDEN);
  error_ = ErrorText(code);
  return false;
}

bool Exists(const std::string& path) {
  if (GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  const DWORD code = GetLastError();
  return code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
}

SourceFile::~SourceFile() {
  if (handle_ != -1) CloseHandle(H(handle_));
}

bool SourceFile::Open(const std::string& path) {
  if (IsDeviceName(path)) return false;
  const std::wstring wide = Wide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
    return false;
  // Others may go on writing the file (a capture of another program): share everything.
  const HANDLE h =
      CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size)) {
    CloseHandle(h);
    return false;
  }
  handle_ = Stored(h);
  size_ = static_cast<uint64_t>(size.QuadPart);
  FILETIME written{};
  if (GetFileTime(h, nullptr, nullptr, &written)) {
    // 100-ns steps since 1601.
    const uint64_t ticks = (uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime;
    modifiedNs_ = static_cast<int64_t>(ticks - 116444736000000000ull) * 100;
  }
  return true;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  const HANDLE h = FindFirstFileW(Wide(folder + "*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(Narrow(found.cFileName));
  } while (FindNextFileW(h, &found));
  FindClose(h);
  return names;
}

bool HeldByWriter(const std::string& path) {
  // The writer shares its file for reading only: an open that itself lets others only read
  // fails while the writer has it.
  const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

int64_t SourceFile::ReadAt(uint8_t* into, uint32_t length, uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  if (ReadFile(H(handle_), into, length, &n, &at)) return n;
  const DWORD code = GetLastError();
  if (code == ERROR_HANDLE_EOF) return 0;
  error_ = ErrorText(code);
  return -1;
}

}  // namespace quarlex::capture_fs
