// Input files: opening them and copying them to standard output line by
// line, up to the lines the caller wants to see.
//
// Input is read in large blocks and scanned 64 bytes at a time by the block
// copier (block_copy/); standard output goes through one buffer (output.hpp).
// Neither is visible to callers: lines come out exactly as a
// byte-at-a-time reader would deliver them, and output leaves in exactly
// the order of the calls.
//
// An InputFile owns its read buffer and its descriptor; both are given back
// as soon as the end of input has been seen, or when the InputFile is
// destroyed, and the buffer also while the file is set aside.  The file
// itself stays held by the process until it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "runtime/block_copy/block_copy.hpp"
#include "runtime/counted_string.hpp"
#include "runtime/file_system.hpp"
#include "runtime/platform/platform.hpp"

namespace tarvel {

// The smallest read buffer an InputFile uses, whatever its file system
// suggests: room for a byte-order mark, a line's head (LineFilter::headSize)
// and a good deal more, so that a line's head always fits the buffer.
inline constexpr std::size_t kMinimumReadBlock = 128;

// The lines copyLines stops at: see blockcopy::LineFilter.
using blockcopy::LineFilter;

// The descriptor of an open input file: given back to its file system
// once, by release() or when the handle goes.  Move-only.
class FileHandle {
 public:
  FileHandle() = default;
  FileHandle(FileSystem& fs, platform::FileId id) : fs_(&fs), id_(id) {}
  FileHandle(FileHandle&& other) noexcept : fs_(other.fs_), id_(std::exchange(other.id_, 0)) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      release();
      fs_ = other.fs_;
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { release(); }

  // True until the descriptor has been given back.
  bool valid() const { return id_ != 0; }
  // REQUIRES: valid().
  FileSystem& fs() const { return *fs_; }
  platform::FileId id() const { return id_; }
  void release() {
    if (id_ != 0) fs_->finish(std::exchange(id_, 0));
  }

 private:
  FileSystem* fs_ = nullptr;
  platform::FileId id_ = 0;
};

// Where the line reader delivers a line, piece by piece.
class LineSink {
 public:
  virtual ~LineSink() = default;
  // How many characters more may be put now, at most `want`; a sink that
  // can take none ends the line there.
  virtual std::size_t room(std::size_t want) = 0;
  virtual void put(const char* bytes, std::size_t n) = 0;
  // The line is complete.
  virtual void finish() = 0;
  // The characters put so far.
  std::uint64_t count() const { return count_; }

 protected:
  std::uint64_t count_ = 0;
};

namespace testing {
struct LineReaderAccess;
}

// An open input file.  Move-only; default-constructed, it is not open.
//
// Reading keeps at most one block of input, and none while the file is set
// aside; see copyLines for what is held of a line.
class InputFile {
 public:
  InputFile() = default;
  // `name`: the file's name in messages.
  InputFile(FileSystem& fs, platform::FileId id, std::string name = {})
      : source_{FileHandle(fs, id), std::move(name)} {}
  InputFile(InputFile&&) noexcept = default;
  InputFile& operator=(InputFile&&) noexcept = default;

  // True from a successful open until the end of its input has been seen.
  bool isOpen() const { return source_.file.valid(); }

  // Copies lines to standard output, each followed by CR LF, up to the next
  // line that `filter` picks out, and returns true with that line whole in
  // `line`, without its leading blanks: where it lies in the read buffer
  // when it can, else in `spill` (a present heap string, grown as needed;
  // its old contents are lost).  The view is valid until the next call or
  // change of spill.  Returns false when the input has ended, the last line
  // written.
  //
  // Only a picked line is ever held whole: other lines, however long, go
  // through in pieces, and so do the leading blanks of a line not judged
  // yet, which are read again from the file (or, from a file that cannot be
  // positioned, held at one byte each) when the buffer fills before the
  // line's first other character.  At the very start of the file a UTF-8
  // byte-order mark (EF BB BF) is not part of the first line's head: that
  // line is judged without it, and copied with it when it is ordinary.
  //
  // A failed read writes "Read/eof error = " (at the start of a line) or
  // "fgets error = " (inside one), the error number and CR LF, then raises
  // 10.
  bool copyLines(const LineFilter& filter, HeapString& spill, std::string_view& line);

  // The number of the line copyLines returned last, counted from 1: the
  // lines before it are those ended by an LF.
  std::uint64_t pickedLineNumber() const { return pickedLine_; }

  // The lines of the file read past so far: those ended by an LF, and,
  // once copyLines has returned false, a last line without one.
  std::uint64_t linesEnded() const { return lines_; }

  // Gives the read buffer back while another file is read: reading goes on
  // later by reading again from where it stopped, once the file is found
  // unchanged.  A file that cannot be positioned keeps its buffer.
  // REQUIRES: copyLines has not yet returned false.
  //
  // A file that is no longer what it was when opened (its size or its
  // modification time changed), when its reading is taken up again or when
  // its end is reached, ends the run: "tarvel: NAME: changed while it was
  // being read" on standard error, then failure kFileRead.  What comes next
  // would not follow what came before.
  void setAside();

 private:
  friend struct testing::LineReaderAccess;

  // Where copyLines stands.
  enum class Stage : std::uint8_t {
    lineStart,  // the window's pos starts a line not judged yet, or goes on
                // with one whose start has left the window (lineStart_)
    midLine,    // the line at the window's pos is ordinary and partly
                // written, or is read again from its start
    done,       // the input has ended and its last line is written
  };
  // What a step of copyLines came to.
  enum class Step : std::uint8_t { movedOn, picked };
  // What a read came to.
  enum class Read : std::uint8_t { more, ended, full };
  // Whether the file can be positioned, found at the first try.
  enum class Positioning : std::uint8_t { unknown, yes, no };

  // Hands a read block on to the next file that needs one (see
  // takeBlock), or back to the system.
  struct BlockDeleter {
    std::size_t size;  // as allocated
    void operator()(char* block) const;
  };
  using Block = std::unique_ptr<char, BlockDeleter>;
  // A block of at least `size` bytes: the one kept from a file read
  // before when it is large enough, else a new one.
  static Block takeBlock(std::size_t size);

  // lineStart: judges the line at the window's pos by its head, reading more when the
  // head is not complete yet; an ordinary line starts to be copied.
  Step judgeLine(const LineFilter& filter);
  // Reads on for a head that starts at buffer byte `headFrom`; when the
  // buffer is full, what lies before the head is held instead.
  Step moreForHead(std::size_t headFrom);
  // Copies ordinary text from the window's pos as far as the input allows, up to the
  // next line that must be judged.
  Step copyOrdinary(const LineFilter& filter);
  // Moves [pos, to) of the window, the current line's start, out of the
  // buffer (see LineStart).
  void holdLineStart(std::size_t to);
  // Ends the last line, if it has no end yet, and gives everything back.
  void endInput();
  // The whole line at the window's pos, as copyLines hands it out.
  std::string_view readWholeLine(HeapString& spill);
  // Reads the line at the window's pos into sink (see LineSink); false at the end of
  // input with nothing put.
  bool readLine(LineSink& sink);
  // Reads into the buffer after the unread bytes, moved to its front first.
  // A failed read is reported as one inside a line or at its start.
  Read readMore(bool insideLine);
  // The read buffer, made at the first read with kReadSlack bytes more,
  // and its start: aligned, which makes the system's copies into it faster.
  char* block();
  static char* aligned(char* block) {
    const auto at = reinterpret_cast<std::uintptr_t>(block);
    return reinterpret_cast<char*>((at + kBufferAlignment - 1) & ~(kBufferAlignment - 1));
  }
  char* data() const { return aligned(window_.block.get()); }
  static constexpr std::uintptr_t kBufferAlignment = 64;
  // Raises failure kFileRead after its message when the file has changed.
  void checkUnchanged();
  // The file offset of buffer byte `at`.
  std::uint64_t offsetOf(std::size_t at) const { return source_.readTo - (window_.end - at); }

  // The file and how far it has been read.
  struct Source {
    FileHandle file;
    std::string name;          // the file's name in messages
    std::uint64_t readTo = 0;  // the file offset just past the window's last byte
    bool ended = false;        // the end of input has been read
    Positioning positioning = Positioning::unknown;
    bool takenUp = false;  // set aside and not read since: the next read checks the file first
  };
  // The read buffer and what of it is unread.
  struct Window {
    Block block;
    std::size_t size = 0;  // the bytes a read may fill
    std::size_t pos = 0;   // the next unread byte
    std::size_t end = 0;   // one past the last byte read
  };

  // Where the start of the current line lives while its head is not judged
  // yet (lineStart), when the buffer filled before the head's first
  // character: the line then goes on at the window's pos.
  struct InWindow {};  // the line starts at the window's pos: the usual case
  struct Held {        // its first bytes, from a file that cannot be positioned
    std::vector<char> bytes;
  };
  struct ReadAgain {  // its first bytes are read again from the file
    std::uint64_t offset;
  };
  using LineStart = std::variant<InWindow, Held, ReadAgain>;

  Source source_;
  Window window_;
  Stage stage_ = Stage::lineStart;
  LineStart lineStart_;
  // The first line of the file has not been judged yet.
  bool atFileStart_ = true;
  // midLine: the run of CRs at the end of what was written of the line.
  blockcopy::CrRun cr_;
  // The lines of the file that have ended (see linesEnded).
  std::uint64_t lines_ = 0;
  std::uint64_t pickedLine_ = 0;
};

// Opens `name` exactly as passed, held as FileSystem::open holds it.
// Raises kFileOpen (and writes nothing) when it cannot be opened.
InputFile openFile(StringRef name, FileSystem& fs = realFileSystem());

// Like openFile, but a name that cannot be opened gives a file that is not
// open instead of a failure, and the reason in `why`: the ordinary outcome
// for a name looked for in more than one place.
InputFile tryOpenFile(StringRef name, FileSystem& fs, platform::FileFailure& why);
InputFile tryOpenFile(StringRef name, FileSystem& fs = realFileSystem());

// Reads the whole of file `name`, opened as openFile opens it, into `text`.
// False, with the reason in `why`, when it cannot be opened; a failed read
// gives FileFailure::other.
bool readWholeFile(StringRef name, std::string& text, FileFailure& why,
                   FileSystem& fs = realFileSystem());

// The name a file is opened by, as the system is given it: on POSIX with
// "/" for every backslash.
std::string systemName(std::string_view name);

// Why a file could not be opened, and the words for it, the same on every
// system ("no such file or directory").
using platform::FileFailure;
std::string_view describe(FileFailure why);

}  // namespace tarvel
