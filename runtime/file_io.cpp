#include "runtime/file_io.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "runtime/console.hpp"
#include "runtime/failure.hpp"
#include "runtime/output.hpp"

namespace tarvel {

namespace {

constexpr StringLiteral kReadEofError("Read/eof error = ");
constexpr StringLiteral kFgetsError("fgets error = ");

// Writes `message`, the error number and a line end, then raises kFileRead.
[[noreturn]] void raiseReadFailure(StringRef message, int error) {
  putText(message);
  putNumber(error);
  putNewline();
  raiseFailure(failure::kFileRead);
}

// A block that goes straight back to the system.
struct FreeBlock {
  void operator()(char* block) const { freeBlock(block); }
};

// Gathers a line too long for the read buffer.  What does not fit the
// spill's present room goes into pieces of a fixed size, so that nothing is
// copied while the line grows; at its end the line is joined in the spill,
// made as large as the line, and each piece goes as soon as it is copied.
// A line of n characters so takes at most 2n bytes and one piece.
class PiecedSink final : public LineSink {
 public:
  explicit PiecedSink(HeapString& spill) : spill_(spill) {}

  std::size_t room(std::size_t want) override { return want; }
  void put(const char* bytes, std::size_t n) override {
    if (count_ + n > kMaxStringLength) raiseFailure(failure::kMemoryAllocation);
    const std::uint64_t inSpill = spill_.capacity();
    if (pieces_.empty() && count_ < inSpill) {
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(n, inSpill - count_));
      std::memcpy(spill_.chars() + count_, bytes, take);
      count_ += take;
      bytes += take;
      n -= take;
    }
    while (n > 0) {
      const auto at = static_cast<std::size_t>((count_ - inSpill) % kPieceSize);
      if (at == 0) pieces_.emplace_back(static_cast<char*>(allocBlock(kPieceSize)));
      const std::size_t take = std::min(n, kPieceSize - at);
      std::memcpy(pieces_.back().get() + at, bytes, take);
      count_ += take;
      bytes += take;
      n -= take;
    }
  }
  void finish() override {
    const auto length = static_cast<std::uint32_t>(count_);
    if (!pieces_.empty()) {
      const std::uint32_t first = spill_.capacity();
      HeapString whole = allocString(length);
      std::memcpy(whole.chars(), spill_.chars(), first);
      spill_ = std::move(whole);
      std::uint64_t at = first;
      for (auto& piece : pieces_) {
        const auto take =
            static_cast<std::size_t>(std::min<std::uint64_t>(kPieceSize, count_ - at));
        std::memcpy(spill_.chars() + at, piece.get(), take);
        piece.reset();
        at += take;
      }
      pieces_.clear();
    }
    spill_.str().setLength(length);
  }

 private:
  static constexpr std::size_t kPieceSize = 1 << 20;
  HeapString& spill_;
  std::vector<std::unique_ptr<char, FreeBlock>> pieces_;
};

using blockcopy::findLineEnd;

}  // namespace

namespace {

// The read block that the last file to end gave back, kept for the next
// file instead of going back to the system.  A fresh block costs a page
// fault on every page of it that a read fills, and a heap may give a large
// free block back to the system at once (Windows's does): over a tree of
// a few hundred files of a few hundred KiB, that cost more than the
// reading itself.  One block is kept, the largest given back, so a run
// holds at most one read block more than it reads into.
struct SpareBlock {
  char* block = nullptr;
  std::size_t size = 0;
  SpareBlock() = default;
  SpareBlock(const SpareBlock&) = delete;
  SpareBlock& operator=(const SpareBlock&) = delete;
  ~SpareBlock() { freeBlock(block); }
};
SpareBlock& spareBlock() {
  static SpareBlock spare;
  return spare;
}

}  // namespace

InputFile::Block InputFile::takeBlock(std::size_t size) {
  SpareBlock& spare = spareBlock();
  if (spare.block != nullptr && spare.size >= size)
    return Block(std::exchange(spare.block, nullptr), BlockDeleter{std::exchange(spare.size, 0)});
  return Block(static_cast<char*>(allocBlock(static_cast<std::uint32_t>(size))),
               BlockDeleter{size});
}

void InputFile::BlockDeleter::operator()(char* block) const {
  SpareBlock& spare = spareBlock();
  if (size <= spare.size) {
    freeBlock(block);
    return;
  }
  freeBlock(spare.block);
  spare.block = block;
  spare.size = size;
}

bool InputFile::copyLines(const LineFilter& filter, HeapString& spill, std::string_view& line) {
  for (;;) {
    Step step = Step::movedOn;
    switch (stage_) {
      case Stage::lineStart:
        step = judgeLine(filter);
        break;
      case Stage::midLine:
        step = copyOrdinary(filter);
        break;
      case Stage::done:
        return false;
    }
    if (step == Step::picked) {
      pickedLine_ = lines_ + 1;
      line = readWholeLine(spill);
      return true;
    }
  }
}

InputFile::Step InputFile::judgeLine(const LineFilter& filter) {
  if (window_.pos == window_.end && source_.ended && std::holds_alternative<InWindow>(lineStart_)) {
    endInput();
    return Step::movedOn;
  }
  const char* const buffer = data();
  const char* const end = buffer + window_.end;
  const char* p = buffer + window_.pos;
  if (atFileStart_) {
    if (window_.end - window_.pos < 3 && !source_.ended) return moreForHead(window_.pos);
    if (window_.end - window_.pos >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
  }
  const bool markSkipped = p != buffer + window_.pos;
  while (p != end && (*p == ' ' || *p == '\t')) ++p;
  if (p == end && !source_.ended) return moreForHead(static_cast<std::size_t>(p - buffer));
  // The same judgement as the block copier makes of the lines it passes.
  const blockcopy::Head head =
      p != end ? blockcopy::judgeHead(p, end, source_.ended, filter) : blockcopy::Head::ordinary;
  // The head goes on past what has been read.
  if (head == blockcopy::Head::incomplete) return moreForHead(static_cast<std::size_t>(p - buffer));
  if (head == blockcopy::Head::picked) {
    lineStart_ = InWindow{};
    atFileStart_ = false;
    window_.pos = static_cast<std::size_t>(p - buffer);
    return Step::picked;
  }
  // An ordinary line.
  atFileStart_ = false;
  if (const ReadAgain* again = std::get_if<ReadAgain>(&lineStart_)) {
    // Its start is read again, and the line copied from there.
    const std::uint64_t offset = again->offset;
    lineStart_ = InWindow{};
    if (!source_.file.fs().seek(source_.file.id(), offset)) raiseReadFailure(kFgetsError, 0);
    source_.readTo = offset;
    window_.pos = window_.end = 0;
    source_.ended = false;
    stage_ = Stage::midLine;
    return Step::movedOn;
  }
  if (const Held* held = std::get_if<Held>(&lineStart_)) {
    output::write(held->bytes.data(), held->bytes.size());
    lineStart_ = InWindow{};
    stage_ = Stage::midLine;
    return Step::movedOn;
  }
  // A line that begins with the mark is copied from its start.
  if (markSkipped) {
    stage_ = Stage::midLine;
    return Step::movedOn;
  }
  return copyOrdinary(filter);
}

InputFile::Step InputFile::moreForHead(std::size_t headFrom) {
  const bool insideLine =
      window_.pos != window_.end || !std::holds_alternative<InWindow>(lineStart_);
  if (readMore(insideLine) == Read::full) {
    // The buffer holds nothing but the start of this line: what lies
    // before its head leaves the buffer.
    holdLineStart(headFrom);
    atFileStart_ = false;
  }
  return Step::movedOn;
}

void InputFile::holdLineStart(std::size_t to) {
  if (std::holds_alternative<InWindow>(lineStart_)) {
    // Positioned back to where reading stands: the file can be read again.
    if (source_.positioning != Positioning::no)
      source_.positioning = source_.file.fs().seek(source_.file.id(), source_.readTo)
                                ? Positioning::yes
                                : Positioning::no;
    if (source_.positioning == Positioning::yes)
      lineStart_ = ReadAgain{offsetOf(window_.pos)};
    else
      lineStart_ = Held{};
  }
  if (Held* held = std::get_if<Held>(&lineStart_))
    held->bytes.insert(held->bytes.end(), data() + window_.pos, data() + to);
  window_.pos = to;
}

InputFile::Step InputFile::copyOrdinary(const LineFilter& filter) {
  if (window_.pos == window_.end) {
    // Only inside a line: a line start is judged first.
    if (readMore(true) == Read::ended) endInput();
    return Step::movedOn;
  }
  const bool streaming = stage_ == Stage::midLine;
  char* const buffer = data();
  const blockcopy::Result r = blockcopy::copyOrdinary(
      {buffer + window_.pos, buffer + window_.end, source_.ended, streaming}, cr_, filter,
      blockcopy::standardOutput());
  const auto stop = static_cast<std::size_t>(r.stop - buffer);
  if (stop == window_.pos && !r.midLine) {
    // A line without its end yet: read on, or write it in pieces when it
    // fills the buffer.
    if (readMore(true) == Read::full) stage_ = Stage::midLine;
    return Step::movedOn;
  }
  window_.pos = stop;
  lines_ += r.lines;
  stage_ = r.midLine ? Stage::midLine : Stage::lineStart;
  return Step::movedOn;
}

void InputFile::endInput() {
  // The end of input ends a last line that has no end.  After an odd run
  // of CRs the last CR is the line end's own.
  if (stage_ == Stage::midLine) {
    output::write(cr_.odd ? "\n" : "\r\n", cr_.odd ? 1 : 2);
    ++lines_;
  }
  stage_ = Stage::done;
  cr_ = blockcopy::CrRun{};
  window_.block.reset();
  window_.pos = window_.end = 0;
  source_.file.release();
}

void InputFile::setAside() {
  if (!window_.block || stage_ == Stage::done) return;
  const std::size_t kept = window_.end - window_.pos;
  if (source_.ended) {
    // Nothing more comes from the file: only the unread rest stays.
    // A block of its own size, not the spare one: the file's block becomes
    // the spare, for the file read next.
    const std::size_t size = kept + blockcopy::kReadSlack + kBufferAlignment - 1;
    Block rest(static_cast<char*>(allocBlock(static_cast<std::uint32_t>(size))),
               BlockDeleter{size});
    char* const to = aligned(rest.get());
    std::memcpy(to, data() + window_.pos, kept);
    std::memset(to + kept, 0, blockcopy::kReadSlack);
    window_.block = std::move(rest);
    window_.size = kept;
    window_.pos = 0;
    window_.end = kept;
    return;
  }
  if (source_.positioning != Positioning::no &&
      source_.file.fs().seek(source_.file.id(), offsetOf(window_.pos))) {
    source_.positioning = Positioning::yes;
    source_.readTo = offsetOf(window_.pos);
    source_.takenUp = true;
    window_.block.reset();
    window_.pos = window_.end = 0;
    return;
  }
  source_.positioning = Positioning::no;
}

void InputFile::checkUnchanged() {
  if (!source_.file.valid() || source_.file.fs().unchanged(source_.file.id())) return;
  std::string line = "tarvel: ";
  line += source_.name;
  line += ": changed while it was being read";
  putErrorLine(line);
  raiseFailure(failure::kFileRead);
}

InputFile::Read InputFile::readMore(bool insideLine) {
  if (source_.ended) return Read::ended;
  if (source_.takenUp) {
    source_.takenUp = false;
    checkUnchanged();
  }
  char* const buffer = block();
  const std::size_t kept = window_.end - window_.pos;
  if (kept >= window_.size) return Read::full;
  std::memmove(buffer, buffer + window_.pos, kept);
  window_.pos = 0;
  window_.end = kept;
  const platform::ReadResult r =
      source_.file.fs().read(source_.file.id(), buffer + kept, window_.size - kept);
  if (r.count < 0)
    raiseReadFailure(insideLine ? StringRef(kFgetsError) : StringRef(kReadEofError), r.error);
  window_.end += static_cast<std::size_t>(r.count);
  source_.readTo += static_cast<std::uint64_t>(r.count);
  // The scanners may look at the bytes after the input: they hold zeros,
  // never bytes nobody wrote.
  std::memset(buffer + window_.end, 0, blockcopy::kReadSlack);
  if (r.count == 0) {
    checkUnchanged();
    source_.ended = true;
    // The descriptor goes back now, unless the start of the current line
    // is still to be read again.
    if (!std::holds_alternative<ReadAgain>(lineStart_)) source_.file.release();
    return Read::ended;
  }
  return Read::more;
}

char* InputFile::block() {
  if (!window_.block) {
    const std::size_t suggested =
        source_.file.valid() ? source_.file.fs().blockSize(source_.file.id()) : 0;
    window_.size = suggested > kMinimumReadBlock ? suggested : kMinimumReadBlock;
    const std::size_t size = window_.size + blockcopy::kReadSlack + kBufferAlignment - 1;
    window_.block = takeBlock(size);
  }
  return data();
}

bool InputFile::readLine(LineSink& sink) {
  for (;;) {
    if (window_.pos == window_.end && readMore(true) == Read::ended) {
      if (sink.count() == 0) return false;
      break;  // the end of input ends the line
    }
    // Room for this block and for a CR and the character after it.
    const std::size_t available = window_.end - window_.pos;
    const std::size_t room = sink.room(available + 2);
    const std::size_t limit = available < room ? available : room;
    const char* start = data() + window_.pos;
    const char* stop = findLineEnd(start, limit);
    const std::size_t span = stop != nullptr ? static_cast<std::size_t>(stop - start) : limit;
    sink.put(start, span);
    window_.pos += span;
    if (stop == nullptr) {
      if (sink.room(1) == 0) break;
      continue;
    }
    ++window_.pos;
    if (*stop == '\n') {
      ++lines_;
      break;
    }

    // A CR at the end of input ends the line and is dropped.
    if (window_.pos == window_.end && readMore(true) == Read::ended) break;
    const char next = data()[window_.pos];
    if (next == '\n') {
      ++window_.pos;
      ++lines_;
      break;
    }
    sink.put("\r", 1);
    // When the CR fills the line, the character after it starts the next
    // call.  Otherwise it is stored as it stands, even when it is a CR.
    if (sink.room(1) == 0) break;
    ++window_.pos;
    sink.put(&next, 1);
    if (sink.room(1) == 0) break;
  }
  sink.finish();
  return true;
}

std::string_view InputFile::readWholeLine(HeapString& spill) {
  // Most lines lie whole in the read buffer, their end included: hand them
  // out where they are.
  const std::size_t available = window_.end - window_.pos;
  const char* start = data() + window_.pos;
  if (const char* stop = findLineEnd(start, available); stop != nullptr) {
    const auto n = static_cast<std::size_t>(stop - start);
    if (*stop == '\n') {
      window_.pos += n + 1;
      ++lines_;
      return {start, n};
    }
    if (n + 1 < available && stop[1] == '\n') {
      window_.pos += n + 2;
      ++lines_;
      return {start, n};
    }
  }
  PiecedSink sink(spill);
  if (!readLine(sink)) raiseFailure(failure::kEndOfFile);
  return spill.view();
}

InputFile tryOpenFile(StringRef name, FileSystem& fs, platform::FileFailure& why) {
  const platform::FileId id = fs.open(name.chars(), why);
  return id == 0 ? InputFile() : InputFile(fs, id, systemName(name.view()));
}

InputFile tryOpenFile(StringRef name, FileSystem& fs) {
  platform::FileFailure ignored{};
  return tryOpenFile(name, fs, ignored);
}

InputFile openFile(StringRef name, FileSystem& fs) {
  InputFile file = tryOpenFile(name, fs);
  if (!file.isOpen()) raiseFailure(failure::kFileOpen);
  return file;
}

bool readWholeFile(StringRef name, std::string& text, FileFailure& why, FileSystem& fs) {
  const platform::FileId id = fs.open(name.chars(), why);
  if (id == 0) return false;
  const FileHandle file(fs, id);
  text.clear();
  for (;;) {
    const std::size_t had = text.size();
    text.resize(had + 64 * 1024);
    const platform::ReadResult r = fs.read(id, text.data() + had, text.size() - had);
    text.resize(had + static_cast<std::size_t>(r.count > 0 ? r.count : 0));
    if (r.count == 0) return true;
    if (r.count < 0) {
      why = FileFailure::other;
      return false;
    }
  }
}

std::string systemName(std::string_view name) {
  std::string converted(name);
  platform::useSystemSeparators(converted.data(), converted.size());
  return converted;
}

std::string_view describe(FileFailure why) {
  switch (why) {
    case FileFailure::none:
    case FileFailure::notFound:
      return "no such file or directory";
    case FileFailure::denied:
      return "permission denied";
    case FileFailure::isDirectory:
      return "is a directory";
    case FileFailure::held:
      return "already open in this run, or written by it";
    case FileFailure::inUse:
      return "in use by another program";
    case FileFailure::notAFile:
      return "not a file on disk";
    case FileFailure::tooManyOpen:
      return "too many open files";
    case FileFailure::nameTooLong:
      return "name too long";
    case FileFailure::linkLoop:
      return "too many levels of symbolic links";
    case FileFailure::noSpace:
      return "no space left on device";
    case FileFailure::readOnly:
      return "read-only file system";
    case FileFailure::other:
      break;
  }
  return "refused by the system";
}

}  // namespace tarvel
