// Test support: an in-memory FileSystem, capture of standard output and
// faults planted in what the system does, the code a call raises, and the
// line-at-a-time readers and writers that only tests use.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime/failure.hpp"
#include "runtime/failure_of_test.hpp"
#include "runtime/file_io.hpp"
#include "runtime/output.hpp"
#include "runtime/platform/platform.hpp"
#include "runtime/temp_dir_test.hpp"

namespace tarvel::testing {

// Files held in memory.  A file open once cannot be opened again, like the
// real thing; reads
// deliver at most `chunk` bytes at a time so that block boundaries can be
// put anywhere; a read error can be planted at an offset of a file.  The
// output and the replacement files are the real ones.
class FakeFileSystem : public FileSystemWrapper {
 public:
  FakeFileSystem() : FileSystemWrapper(realFileSystem()) {}
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
  // Standard input is the file named "-".
  platform::FileId openStandardInput() override {
    FileFailure ignored{};
    return open("-", ignored);
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

// What the system does, with faults planted in it: writes to standard
// output that fail or take fewer bytes than asked, and a failure to put
// the replacement files in place.  Each fault is taken once, in the order
// planted; the rest goes on to the system beneath (or, for standard
// output, into `written` when capturing).
class FaultyFiles : public FileSystemWrapper {
 public:
  explicit FaultyFiles(FileSystem& target = realFileSystem(), bool capture = false)
      : FileSystemWrapper(target), capture_(capture) {}

  // The next write to standard output fails with `error` after writing
  // `written` bytes (error 0: it just takes `written` bytes, fewer than
  // asked).
  void faultNextWrite(std::size_t written, int error) { writeFaults_.push_back({written, error}); }
  // Putting the replacement files in place fails with `error` for the one
  // numbered `failed`, which is left as it was.
  void faultPutInPlace(ReplacementId failed, int error) { putFault_ = {failed, error}; }

  // What standard output was given, when capturing.
  const std::string& written() const { return written_; }
  // The same, and forgets it.
  std::string takeWritten() { return std::exchange(written_, {}); }

  platform::WriteResult writeOutput(const char* first, std::size_t firstSize, const char* second,
                                    std::size_t secondSize) override {
    std::size_t limit = firstSize + secondSize;
    int error = 0;
    if (!writeFaults_.empty()) {
      limit = std::min(limit, writeFaults_.front().first);
      error = writeFaults_.front().second;
      writeFaults_.erase(writeFaults_.begin());
    }
    if (!capture_ && limit == firstSize + secondSize && error == 0)
      return FileSystemWrapper::writeOutput(first, firstSize, second, secondSize);
    const std::size_t fromFirst = std::min(limit, firstSize);
    const std::size_t fromSecond = limit - fromFirst;
    if (capture_) {
      written_.append(first, fromFirst);
      written_.append(second == nullptr ? "" : second, fromSecond);
      return {limit, error};
    }
    platform::WriteResult r = FileSystemWrapper::writeOutput(first, fromFirst, second, fromSecond);
    return {r.written, r.error != 0 ? r.error : error};
  }
  platform::WriteResult writeOutputForReport(const char* first, std::size_t firstSize,
                                             const char* second, std::size_t secondSize) override {
    return writeOutput(first, firstSize, second, secondSize);
  }
  int putReplacementsInPlace(ReplacementId& failed) override {
    if (putFault_.second == 0) return FileSystemWrapper::putReplacementsInPlace(failed);
    failed = putFault_.first;
    const int error = putFault_.second;
    putFault_ = {};
    platform::discardReplacements();
    return error;
  }

 private:
  bool capture_;
  std::string written_;
  std::vector<std::pair<std::size_t, int>> writeFaults_;
  std::pair<ReplacementId, int> putFault_{0, 0};
};

// Captures standard output while it lives: text() writes out the
// program's output buffer and returns everything written so far.
class CapturedOutput {
 public:
  CapturedOutput() = default;
  ~CapturedOutput() { output::flush(); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  std::string text() {
    output::flush();
    return files_.written();
  }
  // Faults to plant in the writes.
  FaultyFiles& files() { return files_; }

 private:
  // What came before goes where it was going.
  [[maybe_unused]] bool flushedBefore_ = (output::flush(), true);
  FaultyFiles files_{realFileSystem(), true};
  UsingFileSystem using_{files_};
};

// The line readers of the original interface, kept for tests: they show
// the reader's CR and piece rules one line at a time.
struct LineReaderAccess {
  static bool atEnd(InputFile& file) {
    return file.window_.pos == file.window_.end && file.readMore(false) == InputFile::Read::ended;
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

// Opens `name` straight through the platform module, the reason of a
// failure in `why`.
inline platform::FileId openNamed(const std::string& name, platform::FileFailure& why) {
  return platform::openForReading(name.c_str(), why);
}
inline platform::FileId openNamed(const std::string& name) {
  platform::FileFailure ignored{};
  return openNamed(name, ignored);
}

}  // namespace tarvel::testing
