// Test support: an in-memory FileSystem, capture of standard output, the
// code a call raises, and the line-at-a-time readers and writers that only
// tests use.
#pragma once

#include <stdio.h>
#include <unistd.h>  // on Windows, the C runtime's dup, dup2, close, lseek and read

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "runtime/failure.hpp"
#include "runtime/failure_of_test.hpp"
#include "runtime/file_io.hpp"
#include "runtime/output.hpp"
#include "runtime/platform/platform.hpp"

namespace tarvel::testing {

// Reads from `fd` at `offset`.  Windows has no pread: there the position
// moves, and ends where the last read stops.
#if defined(_WIN32)
inline long readAt(int fd, char* block, unsigned size, long offset) {
  return lseek(fd, offset, SEEK_SET) < 0 ? -1 : read(fd, block, size);
}
#else
inline ssize_t readAt(int fd, char* block, std::size_t size, off_t offset) {
  return pread(fd, block, size, offset);
}
#endif

// Files held in memory.  Opens without sharing like the real thing; reads
// deliver at most `chunk` bytes at a time so that block boundaries can be
// put anywhere; a read error can be planted at an offset of a file.
class FakeFileSystem : public FileSystem {
 public:
  void add(const std::string& name, const std::string& contents) { files_[name] = contents; }
  // Reads of `name` fail with `error` once `offset` bytes have been read.
  void failAt(const std::string& name, std::size_t offset, int error) {
    failures_[name] = {offset, error};
  }
  void setChunk(std::size_t chunk) { chunk_ = chunk; }
  // The read-buffer size the reader is told to use.
  void setBlockSize(std::size_t size) { blockSize_ = size; }
  // `name` cannot be positioned, like a pipe.
  void setUnseekable(const std::string& name) { unseekable_.insert(name); }

  platform::FileId open(const char* name, platform::FileFailure& why) override {
    auto it = files_.find(name);
    why = it == files_.end() ? platform::FileFailure::notFound : platform::FileFailure::held;
    if (it == files_.end() || held_.count(name) != 0) return 0;
    why = platform::FileFailure::none;
    held_.insert(name);
    opened_.push_back({name, 0, false});
    if (auto c = changeOnOpen_.find(name); c != changeOnOpen_.end()) changed_.insert(c->second);
    return static_cast<platform::FileId>(opened_.size());
  }
  platform::ReadResult read(platform::FileId file, void* buffer, std::size_t size) override {
    Opened& f = opened_.at(file - 1);
    const std::string& text = files_.at(f.name);
    auto failure = failures_.find(f.name);
    if (failure != failures_.end() && f.offset >= failure->second.first)
      return {-1, failure->second.second};
    std::size_t n = std::min({size, chunk_, text.size() - f.offset});
    if (failure != failures_.end()) n = std::min(n, failure->second.first - f.offset);
    text.copy(static_cast<char*>(buffer), n, f.offset);
    f.offset += n;
    ++reads_;
    return {static_cast<std::int64_t>(n), 0};
  }
  std::size_t blockSize(platform::FileId) override { return blockSize_; }
  bool seek(platform::FileId file, std::uint64_t offset) override {
    Opened& f = opened_.at(file - 1);
    if (f.finished || unseekable_.count(f.name) != 0) return false;
    f.offset = static_cast<std::size_t>(std::min<std::uint64_t>(offset, files_.at(f.name).size()));
    ++seeks_;
    return true;
  }
  void finish(platform::FileId file) override { opened_.at(file - 1).finished = true; }
  // A file changes when a test says so.
  bool unchanged(platform::FileId file) override {
    return changed_.count(opened_.at(file - 1).name) == 0;
  }
  // `changed` changes as soon as `trigger` is opened, as if saved meanwhile.
  void changeOnOpen(const std::string& trigger, const std::string& changed) {
    changeOnOpen_[trigger] = changed;
  }

  bool finished(platform::FileId file) const { return opened_.at(file - 1).finished; }
  std::size_t reads() const { return reads_; }
  std::size_t seeks() const { return seeks_; }

 private:
  struct Opened {
    std::string name;
    std::size_t offset;
    bool finished;
  };
  std::map<std::string, std::string> files_;
  std::map<std::string, std::pair<std::size_t, int>> failures_;
  std::set<std::string> held_;
  std::set<std::string> unseekable_;
  std::set<std::string> changed_;
  std::map<std::string, std::string> changeOnOpen_;
  std::vector<Opened> opened_;
  std::size_t chunk_ = 1 << 16;
  std::size_t blockSize_ = 1 << 16;
  std::size_t reads_ = 0;
  std::size_t seeks_ = 0;
};

// Sends standard output to a temporary file while it lives; text() flushes
// the program's output buffer and returns everything written so far.
class CapturedOutput {
 public:
  CapturedOutput() : file_(tmpfile()), saved_(dup(STDOUT_FILENO)) {
    fflush(stdout);  // the test framework's own output stays out of the capture
    output::flush();
    dup2(fileno(file_), STDOUT_FILENO);
  }
  ~CapturedOutput() {
    output::flush();
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    fclose(file_);
  }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  std::string text() {
    output::flush();
    std::string out;
    char block[4096];
    const int fd = fileno(file_);
    off_t at = 0;
    for (ssize_t n; (n = readAt(fd, block, sizeof block, at)) > 0; at += n) out.append(block, n);
    return out;
  }

 private:
  FILE* file_;
  int saved_;
};

// The line readers of the original interface, kept for tests: they show
// the reader's CR and piece rules one line at a time.
struct LineReaderAccess {
  static bool atEnd(InputFile& file) {
    return file.pos_ == file.end_ && file.readMore(false) == InputFile::Read::ended;
  }
  static void readLine(InputFile& file, LineSink& sink) {
    if (!file.readLine(sink)) raiseFailure(failure::kEndOfFile);
  }
  static std::string_view readWholeLine(InputFile& file, HeapString& spill) {
    return file.readWholeLine(spill);
  }
};

// True when the file has no more input.  Consumes nothing.  Raises 10 after
// writing "Read/eof error = " and the error number when reading fails.
inline bool atEnd(InputFile& file) { return LineReaderAccess::atEnd(file); }

// Reads the next line, or the next piece of a long line, into dest: at most
// dest's capacity characters.  CR LF or LF end a line and are not stored;
// a CR followed by anything else is stored together with that character;
// a CR at the end of input ends the line and is dropped.  Raises 12 at the
// end of input when nothing is left; raises 10 after writing
// "fgets error = " and the error number when reading fails.
// REQUIRES: dest's capacity is at least 1.
inline void readLine(InputFile& file, CountedString dest) {
  class FixedSink final : public LineSink {
   public:
    explicit FixedSink(CountedString dest) : dest_(dest) {}
    std::size_t room(std::size_t want) override {
      return std::min<std::size_t>(want, dest_.capacity() - count_);
    }
    void put(const char* bytes, std::size_t n) override {
      std::memcpy(dest_.chars() + count_, bytes, n);
      count_ += n;
    }
    void finish() override { dest_.setLength(static_cast<std::uint32_t>(count_)); }

   private:
    CountedString dest_;
  } sink(dest);
  LineReaderAccess::readLine(file, sink);
}

// Like readLine with no limit: the whole line, however long, where it lies
// in the read buffer or else in `spill`.
inline std::string_view readWholeLine(InputFile& file, HeapString& spill) {
  return LineReaderAccess::readWholeLine(file, spill);
}

// Writes line, then CR LF, to standard output.
inline void putLine(std::string_view line) {
  output::write(line.data(), line.size());
  output::write("\r\n", 2);
}

// Writes out everything still buffered for standard output.
inline void flushOutput() { output::flush(); }

}  // namespace tarvel::testing
