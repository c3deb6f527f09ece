// The seam between the runtime and the system for everything about files
// and output: the input files the line reader reads, the writes to
// standard output, and the files that replace their targets when a run
// succeeds.  The real one calls the platform module; tests put in-memory
// stand-ins or fault-injecting wrappers in its place, so that short
// writes, a full device, an interrupted call or a failed rename are tried
// in-process on every system.
//
// The line reader is handed its file system; the output buffer and the
// replacement files use the process's, systemFiles(), which a test may
// swap for a while with UsingFileSystem.  What the end of a run needs in a
// signal handler or on another thread (removing the temporaries, the
// output section, standard error) stays a direct platform call: it must
// not depend on what a test left in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/platform/platform.hpp"

namespace tarvel {

using platform::FileFailure;
using platform::ReplacementId;

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // ---- Input files (see the platform calls of the same names) ----

  // Opens a file for reading, held by the run (other readers may read it,
  // nobody may write it); 0 on failure, with the reason in `why`.
  virtual platform::FileId open(const char* name, FileFailure& why) = 0;
  // Standard input, read like an input file; 0 when there is none.
  virtual platform::FileId openStandardInput() = 0;
  // Reads up to `size` bytes; see platform::ReadResult.
  virtual platform::ReadResult read(platform::FileId file, void* buffer, std::size_t size) = 0;
  // A good read-buffer size for the rest of `file`.  Only a suggestion:
  // the line reader uses at least kMinimumReadBlock, so any value is safe,
  // including one below what the file holds (a file whose reported size
  // is smaller than its contents).
  virtual std::size_t blockSize(platform::FileId file) = 0;
  // Moves the read position of `file` to `offset` bytes from its start.
  // False, with nothing changed, when the file cannot be positioned (a
  // pipe, a terminal).
  virtual bool seek(platform::FileId file, std::uint64_t offset) = 0;
  // Reading `file` is over; what it uses may be given back.
  virtual void finish(platform::FileId file) = 0;
  // False once `file` is no longer what it was when opened.
  virtual bool unchanged(platform::FileId file) = 0;

  // ---- Standard output (see platform::writeStandardOutput) ----

  // Writes `first` then `second`; may write fewer bytes than asked.
  virtual platform::WriteResult writeOutput(const char* first, std::size_t firstSize,
                                            const char* second, std::size_t secondSize) = 0;
  // The same for the failure report: see platform::writeStandardOutputForReport.
  virtual platform::WriteResult writeOutputForReport(const char* first, std::size_t firstSize,
                                                     const char* second,
                                                     std::size_t secondSize) = 0;

  // ---- Files that replace their targets (see platform) ----

  virtual ReplacementId createReplacement(const char* target, FileFailure& why) = 0;
  virtual ReplacementId replacementOf(const char* name) = 0;
  // 0, or the platform's error number.
  virtual int sendOutputTo(ReplacementId id) = 0;
  virtual int writeReplacement(ReplacementId id, const char* bytes, std::size_t size) = 0;
  virtual int putReplacementsInPlace(ReplacementId& failed) = 0;
};

// The system's own files.
FileSystem& realFileSystem();

// The file system of the output buffer and of the replacement files.
FileSystem& systemFiles();

// Puts `files` in the place of systemFiles() while it lives (tests).
class UsingFileSystem {
 public:
  explicit UsingFileSystem(FileSystem& files);
  ~UsingFileSystem();
  UsingFileSystem(const UsingFileSystem&) = delete;
  UsingFileSystem& operator=(const UsingFileSystem&) = delete;

 private:
  FileSystem* previous_;
};

// Hands every call on to `target`: the base of a file system that changes
// a few calls and leaves the rest as they are.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
  FileSystem& target() const { return target_; }

  platform::FileId open(const char* name, FileFailure& why) override {
    return target_.open(name, why);
  }
  platform::FileId openStandardInput() override { return target_.openStandardInput(); }
  platform::ReadResult read(platform::FileId file, void* buffer, std::size_t size) override {
    return target_.read(file, buffer, size);
  }
  std::size_t blockSize(platform::FileId file) override { return target_.blockSize(file); }
  bool seek(platform::FileId file, std::uint64_t offset) override {
    return target_.seek(file, offset);
  }
  void finish(platform::FileId file) override { target_.finish(file); }
  bool unchanged(platform::FileId file) override { return target_.unchanged(file); }
  platform::WriteResult writeOutput(const char* first, std::size_t firstSize, const char* second,
                                    std::size_t secondSize) override {
    return target_.writeOutput(first, firstSize, second, secondSize);
  }
  platform::WriteResult writeOutputForReport(const char* first, std::size_t firstSize,
                                             const char* second, std::size_t secondSize) override {
    return target_.writeOutputForReport(first, firstSize, second, secondSize);
  }
  ReplacementId createReplacement(const char* target, FileFailure& why) override {
    return target_.createReplacement(target, why);
  }
  ReplacementId replacementOf(const char* name) override { return target_.replacementOf(name); }
  int sendOutputTo(ReplacementId id) override { return target_.sendOutputTo(id); }
  int writeReplacement(ReplacementId id, const char* bytes, std::size_t size) override {
    return target_.writeReplacement(id, bytes, size);
  }
  int putReplacementsInPlace(ReplacementId& failed) override {
    return target_.putReplacementsInPlace(failed);
  }

 private:
  FileSystem& target_;
};

}  // namespace tarvel
