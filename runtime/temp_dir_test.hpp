// Test support for tests that use real files: a fresh directory of the
// test's own, removed with everything in it when it goes, and whole files
// written and read as text.  Header-only, on the standard library alone, so
// that the end-to-end tests (a host program, also when the command is built
// for another system) use it too.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace tarvel::testing {

class TempDir {
 public:
  explicit TempDir(const char* prefix) {
    // Unique within the process by the count, across processes by the
    // clock: process ids come back soon (under wine, at once).
    static std::atomic<unsigned> made{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = (std::filesystem::temp_directory_path() /
             (std::string(prefix) + "-" + std::to_string(stamp) + "-" + std::to_string(made++)))
                .string();
    std::filesystem::create_directories(path_);
  }
  // What cannot be removed (a file a Windows process still holds) stays.
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` in the directory.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `text` to `path`, its directories made first.
inline void writeFile(const std::string& path, const std::string& text) {
  const std::filesystem::path where(path);
  if (where.has_parent_path()) std::filesystem::create_directories(where.parent_path());
  std::ofstream(where, std::ios::binary) << text;
}

// The whole of the file at `path`; empty when it cannot be read.
inline std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace tarvel::testing
