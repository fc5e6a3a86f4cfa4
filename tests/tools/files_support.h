#pragma once
// Helpers for the capture-file tests (tools and window): a scratch folder removed afterwards,
// and small file utilities.
#include <dirent.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
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
    char tmpl[] = "/tmp/quarlex-files-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    // Make everything removable again (tests change modes), then remove the tree.
    nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int type, FTW*) {
          if (type == FTW_D || type == FTW_DP || type == FTW_DNR) chmod(p, 0700);
          return 0;
        },
        16, FTW_PHYS);
    nftw(
        path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The folder with a trailing '/', as ExeFolder holds it.
  std::string Folder() const { return path_ + "/"; }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
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
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace quarlex::testing_support
