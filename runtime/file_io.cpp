#include "runtime/file_io.hpp"

#include <cstring>
#include <utility>

#include "runtime/failure.hpp"
#include "runtime/output.hpp"

namespace tarvel {

namespace {

constexpr StringLiteral kReadEofError("Read/eof error = ");
constexpr StringLiteral kFgetsError("fgets error = ");
constexpr StringLiteral kNewline("\r\n");

class RealFileSystem final : public FileSystem {
 public:
  platform::FileId open(const char* name) override { return platform::openForReading(name); }
  platform::ReadResult read(platform::FileId file, void* buffer, std::size_t size) override {
    return platform::readFile(file, buffer, size);
  }
  std::size_t blockSize(platform::FileId file) override { return platform::readBlockSize(file); }
  void finish(platform::FileId file) override { platform::finishReading(file); }
};

// Writes `message`, the error number and a line end, then raises 10.
[[noreturn]] void raiseReadFailure(StringRef message, int error) {
  putText(message);
  putNumber(error);
  putNewline();
  raiseFailure(failure::kFileRead);
}

// Line readers deliver into one of these.  A sink may take `room()`
// characters more; a fixed one ends the line when it is full.

// Fills a fixed destination, at most its capacity.
struct FixedSink {
  CountedString dest;
  std::uint32_t count = 0;

  std::size_t room(std::size_t) const { return dest.capacity() - count; }
  bool full() const { return count == dest.capacity(); }
  void put(const char* bytes, std::size_t n) {
    std::memcpy(dest.chars() + count, bytes, n);
    count += static_cast<std::uint32_t>(n);
  }
  void finish() { dest.setLength(count); }
};

// Fills a heap string, growing it so that a line is never cut.
struct GrowingSink {
  HeapString& dest;
  std::uint32_t count = 0;

  // Makes room for at least `want` characters more.
  std::size_t room(std::size_t want) {
    const std::uint64_t needed = std::uint64_t{count} + want;
    if (needed > dest.capacity()) {
      std::uint64_t capacity = std::uint64_t{dest.capacity()} * 2 + 256;
      if (capacity < needed) capacity = needed;
      if (capacity > kMaxStringLength) capacity = kMaxStringLength;
      if (capacity < needed) raiseFailure(failure::kMemoryAllocation);
      HeapString bigger = allocString(static_cast<std::uint32_t>(capacity));
      std::memcpy(bigger.chars(), dest.chars(), count);
      dest = std::move(bigger);
    }
    return want;
  }
  static bool full() { return false; }
  void put(const char* bytes, std::size_t n) {
    std::memcpy(dest.chars() + count, bytes, n);
    count += static_cast<std::uint32_t>(n);
  }
  void finish() { dest.str().setLength(count); }
};

using blockcopy::findLineEnd;

}  // namespace

FileSystem& realFileSystem() {
  static RealFileSystem files;
  return files;
}

void InputFile::BlockDeleter::operator()(char* block) const { freeBlock(block); }

InputFile::InputFile(InputFile&& other) noexcept
    : fs_(other.fs_),
      id_(std::exchange(other.id_, 0)),
      buffer_(std::move(other.buffer_)),
      bufferSize_(other.bufferSize_),
      pos_(other.pos_),
      end_(other.end_),
      ended_(other.ended_),
      streaming_(other.streaming_),
      cr_(other.cr_),
      blanks_(std::move(other.blanks_)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    finish();
    fs_ = other.fs_;
    id_ = std::exchange(other.id_, 0);
    buffer_ = std::move(other.buffer_);
    bufferSize_ = other.bufferSize_;
    pos_ = other.pos_;
    end_ = other.end_;
    ended_ = other.ended_;
    streaming_ = other.streaming_;
    cr_ = other.cr_;
    blanks_ = std::move(other.blanks_);
  }
  return *this;
}

void InputFile::finish() {
  buffer_.reset();
  if (id_ != 0 && !ended_) fs_->finish(id_);
  ended_ = true;
}

bool InputFile::fill(StringRef message) {
  if (ended_) return false;
  char* const buffer = block();
  const platform::ReadResult r = fs_->read(id_, buffer, bufferSize_);
  if (r.count < 0) raiseReadFailure(message, r.error);
  pos_ = 0;
  end_ = static_cast<std::size_t>(r.count);
  if (end_ == 0) {
    // Reading is over: give back the buffer and the descriptor now, so
    // that a run over many files never runs out of either.
    finish();
    return false;
  }
  return true;
}

char* InputFile::block() {
  if (!buffer_) {
    bufferSize_ = fs_->blockSize(id_);
    const std::size_t size = bufferSize_ + blockcopy::kReadSlack + kBufferAlignment - 1;
    buffer_.reset(static_cast<char*>(allocBlock(static_cast<std::uint32_t>(size))));
  }
  return data();
}

bool InputFile::readMore(StringRef message) {
  char* const buffer = block();
  const std::size_t kept = end_ - pos_;
  if (kept >= bufferSize_) return false;
  std::memmove(buffer, buffer + pos_, kept);
  pos_ = 0;
  end_ = kept;
  const platform::ReadResult r = fs_->read(id_, buffer + kept, bufferSize_ - kept);
  if (r.count < 0) raiseReadFailure(message, r.error);
  if (r.count == 0) {
    // The descriptor goes back now; the buffer still holds input.
    fs_->finish(id_);
    ended_ = true;
  }
  end_ += static_cast<std::size_t>(r.count);
  return true;
}

void InputFile::holdBlanks(std::size_t from, std::size_t to) {
  for (const char* p = data() + from; p != data() + to; ++p) {
    if (blanks_.empty() || blanks_.back().first != *p) blanks_.emplace_back(*p, 0);
    ++blanks_.back().second;
  }
}

void InputFile::writeHeldBlanks() {
  for (auto [blank, count] : blanks_) {
    while (count != 0) {
      const std::size_t n = count < 4096 ? static_cast<std::size_t>(count) : 4096;
      char* to = output::reserve(n);
      std::memset(to, blank, n);
      output::commit(to + n);
      count -= n;
    }
  }
  blanks_.clear();
}

bool InputFile::copyLines(const LineFilter& filter, HeapString& spill, std::string_view& line) {
  // pos_ is at the start of a line that has not been judged, unless
  // streaming_; leading blanks may be held already.
  for (;;) {
    if (pos_ == end_) {
      const bool midLine = streaming_ || !blanks_.empty();
      if (ended_ || !readMore(midLine ? StringRef(kFgetsError) : StringRef(kReadEofError)) ||
          pos_ == end_) {
        // The end of input ends a last line that has no end.
        // After an odd run of CRs the last CR is the line end's own.
        if (streaming_) output::write(cr_.odd ? "\n" : "\r\n", cr_.odd ? 1 : 2);
        if (!blanks_.empty()) {
          writeHeldBlanks();
          putNewline();
        }
        streaming_ = false;
        cr_ = blockcopy::CrRun{};
        buffer_.reset();
        return false;
      }
    }
    char* const buffer = data();
    if (!streaming_) {
      const char* p = buffer + pos_;
      const char* const end = buffer + end_;
      while (p != end && (*p == ' ' || *p == '\t')) ++p;
      if (p == end && !ended_) {
        // Not judged until its first non-blank character is read.
        if (!readMore(kFgetsError)) {
          holdBlanks(pos_, end_);
          pos_ = end_;
        }
        continue;
      }
      const char* const f = filter.firsts;
      if (p != end && (*p == f[0] || *p == f[1] || *p == f[2] || *p == f[3])) {
        const auto rest = static_cast<std::size_t>(end - p);
        const std::size_t size = rest < filter.headSize ? rest : filter.headSize;
        const void* lf = std::memchr(p, '\n', size);
        if (lf == nullptr && size < filter.headSize && !ended_) {
          // The head goes on past what has been read.
          const auto at = static_cast<std::size_t>(p - buffer);
          holdBlanks(pos_, at);
          pos_ = at;
          readMore(kFgetsError);
          continue;
        }
        const std::size_t headSize = lf != nullptr ? static_cast<const char*>(lf) - p : size;
        if (filter.isSpecial({p, headSize})) {
          blanks_.clear();
          pos_ = static_cast<std::size_t>(p - buffer);
          line = readWholeLine(*this, spill);
          return true;
        }
      }
      if (!blanks_.empty()) {
        writeHeldBlanks();
        streaming_ = true;
      }
    }
    const blockcopy::Result r =
        blockcopy::copyOrdinary(buffer + pos_, buffer + end_, ended_, streaming_, cr_, filter);
    const auto stop = static_cast<std::size_t>(r.stop - buffer);
    if (stop == pos_ && !r.midLine) {
      // A line without its end yet: read on, or write it in pieces when
      // it fills the buffer.
      if (!readMore(kFgetsError)) streaming_ = true;
      continue;
    }
    pos_ = stop;
    streaming_ = r.midLine;
  }
}

template <class Sink>
void InputFile::scanLine(Sink& sink) {
  for (;;) {
    if (pos_ == end_ && !fill(kFgetsError)) {
      if (sink.count == 0) raiseFailure(failure::kEndOfFile);
      break;  // the end of input ends the line
    }
    // Room for this block and for a CR and the character after it.
    const std::size_t available = end_ - pos_;
    const std::size_t room = sink.room(available + 2);
    const std::size_t limit = available < room ? available : room;
    const char* start = data() + pos_;
    const char* stop = findLineEnd(start, limit);
    const std::size_t span = stop != nullptr ? static_cast<std::size_t>(stop - start) : limit;
    sink.put(start, span);
    pos_ += span;
    if (stop == nullptr) {
      if (sink.full()) break;
      continue;
    }
    ++pos_;
    if (*stop == '\n') break;

    // A CR at the end of input ends the line and is dropped.
    if (pos_ == end_ && !fill(kFgetsError)) break;
    const char next = data()[pos_];
    if (next == '\n') {
      ++pos_;
      break;
    }
    sink.put("\r", 1);
    // When the CR fills the line, the character after it starts the next
    // call.  Otherwise it is stored as it stands, even when it is a CR.
    if (sink.full()) break;
    ++pos_;
    sink.put(&next, 1);
    if (sink.full()) break;
  }
  sink.finish();
}

InputFile tryOpenFile(StringRef name, std::uint32_t /*access*/, FileSystem& fs) {
  const platform::FileId id = fs.open(name.chars());
  return id == 0 ? InputFile() : InputFile(fs, id);
}

InputFile openFile(StringRef name, std::uint32_t access, FileSystem& fs) {
  InputFile file = tryOpenFile(name, access, fs);
  if (!file.isOpen()) raiseFailure(failure::kFileOpen);
  return file;
}

bool atEnd(InputFile& file) {
  if (file.pos_ < file.end_) return false;
  return !file.fill(kReadEofError);
}

void readLine(InputFile& file, CountedString dest) {
  FixedSink sink{dest};
  file.scanLine(sink);
}

std::string_view readWholeLine(InputFile& file, HeapString& spill) {
  // Most lines lie whole in the read buffer, their end included: hand them
  // out where they are.
  const std::size_t available = file.end_ - file.pos_;
  const char* start = file.data() + file.pos_;
  if (const char* stop = findLineEnd(start, available); stop != nullptr) {
    const auto n = static_cast<std::size_t>(stop - start);
    if (*stop == '\n') {
      file.pos_ += n + 1;
      return {start, n};
    }
    if (n + 1 < available && stop[1] == '\n') {
      file.pos_ += n + 2;
      return {start, n};
    }
  }
  GrowingSink sink{spill};
  file.scanLine(sink);
  return spill.view();
}

bool copyLines(InputFile& file, const LineFilter& filter, HeapString& spill,
               std::string_view& line) {
  return file.copyLines(filter, spill, line);
}

void writeText(OutputHandle /*handle*/, StringRef s) { output::write(s.chars(), s.length()); }

void writeNumber(OutputHandle handle, std::int64_t value, std::int32_t width, char fill) {
  const std::int64_t w = width < 0 ? -std::int64_t{width} : width;
  if (w > 1024) raiseFailure(failure::kFieldWidth);
  // A scratch of 40 characters, or of the width rounded up to a word.
  FixedString<1024> scratch;
  const auto rounded = static_cast<std::uint32_t>((w + 3) & ~std::int64_t{3});
  scratch.setCapacity(rounded < 32 ? 40 : rounded);
  formatDecimal(value, width, fill, scratch);
  writeText(handle, scratch);
}

void putText(StringRef s) { writeText(OutputHandle::standardOutput, s); }

void putNewline() { putText(kNewline); }

void putLine(std::string_view line) {
  if (line.size() >= output::kDirectWriteSize) {
    output::write(line.data(), line.size());
    output::write("\r\n", 2);
    return;
  }
  char* to = output::reserve(line.size() + 2);
  std::memcpy(to, line.data(), line.size());
  to += line.size();
  to[0] = '\r';
  to[1] = '\n';
  output::commit(to + 2);
}

void putNumber(std::int32_t n) { writeNumber(OutputHandle::standardOutput, n, 0, ' '); }

void flushOutput() { output::flush(); }

}  // namespace tarvel
