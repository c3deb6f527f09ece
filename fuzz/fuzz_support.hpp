// Shared by the fuzz targets: reading the fuzzer's bytes, a plain
// byte-at-a-time model of the line reader, and capture of standard output.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/counted_string.hpp"
#include "runtime/expansion_model_test.hpp"
#include "runtime/fake_files_test.hpp"
#include "runtime/file_io.hpp"
#include "runtime/output.hpp"

namespace tarvel::fuzzing {

using testing::ExpansionModel;
using testing::fromBytes;
using testing::judged;
using testing::mapMismatch;
using testing::modelLines;
using testing::ModelReader;

// Inputs above this size are ignored, so that every run stays fast.
inline constexpr std::size_t kMaxInput = 64 * 1024;

// A failed check: says what and where, then aborts so that libFuzzer saves
// the input.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

// Takes bytes from the front of the input; 0 once it is used up.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // The rest of the input.
  std::string_view rest() {
    const std::string_view r(reinterpret_cast<const char*>(data_) + pos_, size_ - pos_);
    pos_ = size_;
    return r;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A read size from two bytes: 1 to 192 most of the time (where block
// boundaries fall inside short lines), else up to about 64 KiB.
inline std::size_t readSize(std::uint8_t a, std::uint8_t b) {
  if (a < 0xC0) return std::size_t{a} + 1;
  return 1 + ((std::size_t{a} - 0xC0) << 10 | std::size_t{b} << 2);
}

// Standard output is captured for the whole fuzzing run; take() hands
// over what the runtime wrote since the last call.
class OutputCapture {
 public:
  // Call once, from LLVMFuzzerInitialize.
  static void install() { static UsingFileSystem capturing(files()); }

  static std::string take() {
    output::flush();
    return files().takeWritten();
  }

 private:
  static testing::FaultyFiles& files() {
    static testing::FaultyFiles capture(realFileSystem(), true);
    return capture;
  }
};

}  // namespace tarvel::fuzzing
