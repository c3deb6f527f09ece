// Shared by the fuzz targets: reading the fuzzer's bytes, a plain
// byte-at-a-time model of the line reader, and capture of standard output.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/counted_string.hpp"
#include "runtime/file_io.hpp"
#include "runtime/output.hpp"

namespace tarvel::fuzzing {

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

// A heap string holding exactly `bytes` (which may contain NULs).
inline HeapString fromBytes(std::string_view bytes) {
  HeapString s = allocString(static_cast<std::uint32_t>(bytes.size()));
  std::memcpy(s.chars(), bytes.data(), bytes.size());
  s.str().setLength(static_cast<std::uint32_t>(bytes.size()));
  return s;
}

// The line reader's rules applied one byte at a time, with nothing in
// common with the real reader: LF and CR LF end a line; a CR followed by
// anything else is kept together with that character; a CR at the end of
// input ends the line and is dropped.
class ModelReader {
 public:
  explicit ModelReader(std::string_view input) : in_(input) {}
  bool atEnd() const { return pos_ == in_.size(); }

  // The next line, or the next piece of at most `capacity` characters of
  // it (0: no limit).  REQUIRES: !atEnd().
  std::string line(std::size_t capacity = 0) {
    std::string out;
    auto full = [&] { return capacity != 0 && out.size() == capacity; };
    while (pos_ < in_.size()) {
      const char c = in_[pos_++];
      if (c == '\n') break;
      if (c != '\r') {
        out += c;
        if (full()) break;
        continue;
      }
      if (pos_ == in_.size()) break;
      if (in_[pos_] == '\n') {
        ++pos_;
        break;
      }
      out += '\r';
      if (full()) break;  // the character after the CR starts the next piece
      out += in_[pos_++];
      if (full()) break;
    }
    return out;
  }

 private:
  std::string_view in_;
  std::size_t pos_ = 0;
};

inline std::vector<std::string> modelLines(std::string_view input) {
  ModelReader reader(input);
  std::vector<std::string> lines;
  while (!reader.atEnd()) lines.push_back(reader.line());
  return lines;
}

// Standard output goes to an in-memory file for the whole fuzzing run;
// take() hands over what the runtime wrote since the last call.
class OutputCapture {
 public:
  // Call once, from LLVMFuzzerInitialize.
  static void install() {
    const int fd = memfd_create("tarvel-fuzz-stdout", 0);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
      std::perror("capturing standard output");
      std::abort();
    }
    close(fd);
  }

  static std::string take() {
    output::flush();
    std::string out;
    char block[4096];
    off_t at = 0;
    for (ssize_t n; (n = pread(STDOUT_FILENO, block, sizeof block, at)) > 0; at += n)
      out.append(block, static_cast<std::size_t>(n));
    FUZZ_CHECK(ftruncate(STDOUT_FILENO, 0) == 0);
    FUZZ_CHECK(lseek(STDOUT_FILENO, 0, SEEK_SET) == 0);
    return out;
  }
};

}  // namespace tarvel::fuzzing
