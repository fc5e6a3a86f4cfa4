#pragma once
// Internal to the settings stores (serial/storage/comport_storage*.cpp): reading and safely replacing a
// whole store file, and the small text helpers both store formats share. Failures throw
// std::runtime_error with a message naming the file; StoreSettings / LoadSettings turn any of
// them into error 16 or 17.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarlex::storage_detail {

// A settings store is a few hundred bytes; anything this large is not one, and reading it whole
// would only cost memory.
inline constexpr size_t kMaxStoreFile = 16u << 20;

[[noreturn]] void Fail(const std::string& what);
[[noreturn]] void FailErrno(const std::string& what, const std::filesystem::path& path, int error);

// The file's bytes; nullopt when it does not exist. Fails for anything but a regular file, a
// file over 16 MiB (no settings store is that large) and a file holding NUL bytes (not text:
// neither ours to parse nor to overwrite).
std::optional<std::string> ReadStoreFile(const std::filesystem::path& path);

// Replaces the file's content as a whole, so a failure or a crash never leaves half a file (see
// the platform's definition, posix_store_file.cpp or win32_store_file.cpp, for links,
// permissions and read-only files).
void ReplaceStoreFile(const std::filesystem::path& path, const std::string& data);

// Splits into lines at "\n", dropping one "\r" before it; tells whether the file used "\r\n".
std::vector<std::string> SplitLines(std::string_view data, bool& crlf);

// Without blanks (space, tab) at either end.
std::string_view Trim(std::string_view s);

// A 32-bit signed decimal integer making up the whole text (an optional sign, then digits).
std::optional<int32_t> ParseInteger(std::string_view text);

}  // namespace quarlex::storage_detail
