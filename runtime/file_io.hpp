// Files and console: opening input files, probing them for more input,
// reading them line by line, and writing text and numbers to standard
// output.
//
// Input is read in large blocks and scanned with memchr; standard output
// goes through one buffer in the platform module.  Neither is visible to
// callers: lines come out exactly as a byte-at-a-time reader would deliver
// them, and output leaves in exactly the order of the calls.
//
// An InputFile owns its read buffer and its descriptor; both are given back
// as soon as the end of input has been seen, or when the InputFile is
// destroyed.  The file itself stays held by the process until it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/block_copy/block_copy.hpp"
#include "runtime/counted_string.hpp"
#include "runtime/platform/platform.hpp"

namespace tarvel {

// Raw file access as the line reader sees it: the platform's real files,
// or an in-memory stand-in in tests.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens a file for reading without sharing; 0 on failure.
  virtual platform::FileId open(const char* name) = 0;
  // Reads up to `size` bytes; see platform::ReadResult.
  virtual platform::ReadResult read(platform::FileId file, void* buffer, std::size_t size) = 0;
  // A good read-buffer size for `file`.
  virtual std::size_t blockSize(platform::FileId file) = 0;
  // Reading `file` is over; what it uses may be given back.
  virtual void finish(platform::FileId file) = 0;
};

// The platform's real files.
FileSystem& realFileSystem();

// The access mask for reading.
inline constexpr std::uint32_t kGenericRead = 0x80000000;

// The lines copyLines stops at: see blockcopy::LineFilter.
using blockcopy::LineFilter;

// An open input file.  Move-only; default-constructed, it is not open.
class InputFile {
 public:
  InputFile() = default;
  InputFile(FileSystem& fs, platform::FileId id) : fs_(&fs), id_(id) {}
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() { finish(); }

  bool isOpen() const { return id_ != 0; }

 private:
  friend bool atEnd(InputFile& file);
  friend void readLine(InputFile& file, CountedString dest);
  friend std::string_view readWholeLine(InputFile& file, HeapString& spill);
  friend bool copyLines(InputFile& file, const LineFilter& filter, HeapString& spill,
                        std::string_view& line);

  struct BlockDeleter {
    void operator()(char* block) const;
  };
  template <class Sink>
  void scanLine(Sink& sink);
  // Makes more input available; false at end of input.  A failed read
  // writes `message`, the error number and a line end, then raises 10.
  bool fill(StringRef message);
  void finish();
  // The read buffer, made at the first read with kReadSlack bytes more,
  // and its start: aligned, which makes the system's copies into it faster.
  char* block();
  char* data() const {
    const auto at = reinterpret_cast<std::uintptr_t>(buffer_.get());
    return reinterpret_cast<char*>((at + kBufferAlignment - 1) & ~(kBufferAlignment - 1));
  }
  static constexpr std::uintptr_t kBufferAlignment = 64;
  // Reads into the buffer after [pos_, end_), moved to its front first.
  // False, with nothing read, when that already fills the buffer.  At the
  // end of input the file is given back and the buffer kept.
  bool readMore(StringRef message);
  // Leading blanks of the current line kept out of the buffer.
  void holdBlanks(std::size_t from, std::size_t to);
  void writeHeldBlanks();
  bool copyLines(const LineFilter& filter, HeapString& spill, std::string_view& line);

  FileSystem* fs_ = nullptr;
  platform::FileId id_ = 0;
  std::unique_ptr<char, BlockDeleter> buffer_;
  std::size_t bufferSize_ = 0;
  std::size_t pos_ = 0;  // next unread byte in buffer_
  std::size_t end_ = 0;  // one past the last valid byte in buffer_
  bool ended_ = false;   // end of input has been seen
  // copyLines: the current line has been partly written (its start is
  // judged ordinary), with this run of CRs at the end of what was written.
  bool streaming_ = false;
  blockcopy::CrRun cr_;
  // copyLines: leading blanks of the current line, not written yet, as
  // runs of one character.
  std::vector<std::pair<char, std::uint64_t>> blanks_;
};

// Opens `name` exactly as passed, without sharing.  Raises 7 (and writes
// nothing) when it cannot be opened.
InputFile openFile(StringRef name, std::uint32_t access, FileSystem& fs = realFileSystem());

// Like openFile, but a name that cannot be opened gives a file that is not
// open instead of a failure: the ordinary outcome for a name looked for in
// more than one place.
InputFile tryOpenFile(StringRef name, std::uint32_t access, FileSystem& fs = realFileSystem());

// True when the file has no more input.  Consumes nothing.  Raises 10 after
// writing "Read/eof error = " and the error number when reading fails.
bool atEnd(InputFile& file);

// Reads the next line, or the next piece of a long line, into dest: at most
// dest's capacity characters.  CR LF or LF end a line and are not stored;
// a CR followed by anything else is stored together with that character;
// a CR at the end of input ends the line and is dropped.  Raises 12 at the
// end of input when nothing is left; raises 10 after writing
// "fgets error = " and the error number when reading fails.
// REQUIRES: dest's capacity is at least 1.
void readLine(InputFile& file, CountedString dest);

// Like readLine with no limit: the whole line, however long.  The line is
// returned where it lies: in the file's read buffer when it can be, else in
// `spill` (a present heap string), which grows as needed.  The view is valid
// until the next read from the file or change of spill.
std::string_view readWholeLine(InputFile& file, HeapString& spill);

// Copies lines of the file to standard output, each followed by CR LF, up
// to the next line that `filter` picks out, and returns true with that line
// whole in `line` (without its leading blanks), as readWholeLine returns
// it.  Returns false when the input has ended, the last line written.  Only
// a picked line is ever held whole: other lines, however long, and leading
// blanks go through in pieces.  Read failures are reported as by atEnd at
// the start of a line and as by readLine inside one.
bool copyLines(InputFile& file, const LineFilter& filter, HeapString& spill,
               std::string_view& line);

// Where output goes.  Standard output is the only destination.
enum class OutputHandle { standardOutput };

// Writes the characters of s.  Raises 9, or 11 when the device is full,
// when the output cannot be written.
void writeText(OutputHandle handle, StringRef s);
// Writes value in decimal padded to |width| as formatDecimal does.  Raises
// 16, writing nothing, when |width| is above 1024.
void writeNumber(OutputHandle handle, std::int64_t value, std::int32_t width, char fill);
// writeText to standard output.
void putText(StringRef s);
// Writes CR LF to standard output.
void putNewline();
// Writes line, then CR LF, to standard output.
void putLine(std::string_view line);
// Writes n as a plain signed decimal to standard output.
void putNumber(std::int32_t n);
// Writes out everything still buffered for standard output.  Raises as
// writeText does.
void flushOutput();

}  // namespace tarvel
