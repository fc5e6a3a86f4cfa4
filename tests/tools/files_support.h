#pragma once
// Helpers for the capture-file tests (tools and window): a scratch folder removed afterwards,
// and small file utilities.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarlex::testing_support {

// FNV-1a, 64 bit, fed incrementally: compares long streams without keeping them.
struct StreamChecksum {
  uint64_t h = 1469598103934665603ull;
  uint64_t length = 0;
  void Add(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    length += n;
  }
};

class TempDir {
 public:
  TempDir() {
    namespace fs = std::filesystem;
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
      const fs::path p = fs::temp_directory_path() /
                         ("quarlex-files-" + std::to_string(stamp) + "-" + std::to_string(counter++));
      if (fs::create_directory(p)) {
        path_ = p.generic_string();
        return;
      }
    }
    throw std::runtime_error("cannot make a scratch folder");
  }
  ~TempDir() {
    // Make everything removable again (tests change modes), then remove the tree.
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, ec);
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The folder with a trailing '/', as ExeFolder holds it.
  std::string Folder() const { return path_ + "/"; }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// While it lives, this process cannot create files in `folder` (one implementation per platform,
// in files_posix_test.cpp and files_win32_test.cpp). Made() is false where the system will not
// refuse (root without the immutable flag, or ACLs that are not enforced).
class UnwritableFolder {
 public:
  explicit UnwritableFolder(std::string folder);
  ~UnwritableFolder();
  UnwritableFolder(const UnwritableFolder&) = delete;
  UnwritableFolder& operator=(const UnwritableFolder&) = delete;
  bool Made() const { return made_; }

 private:
  std::string folder_;
  bool made_ = false;
};

inline std::vector<uint8_t> ReadWhole(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

// Names in a folder, sorted, without "." and "..".
inline std::vector<std::string> ListNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace quarlex::testing_support
