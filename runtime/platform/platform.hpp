// The platform module: every call into the operating system goes through
// these functions, and nothing else lives here.  One implementation file per
// operating system (posix.cpp, ...) is chosen by the build; the interface
// uses no type of any of them.
//
// Nothing here raises failures: errors come back as values and the runtime
// decides what they mean.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvel::platform {

// ---- Process ----

// Records the arguments the process was started with, raises the limit on
// open files as far as allowed, and prepares standard output.  Called once,
// first thing, by the process entry.
void startProcess(int argc, char** argv);

// The command line as the system hands it over: one raw text where the
// system keeps one (`raw`), else the arguments already split (`argc`,
// `argv`, with `raw` null).  Both live until the process ends.
struct CommandLine {
  const char* raw;
  int argc;
  const char* const* argv;
};
CommandLine commandLine();

// Expands every "%NAME%" reference in `source` whose variable is defined
// into its value, leaving other text as written, and stores the result and
// a NUL in `dest`, which has room for `room` characters, the NUL included.
// Returns the characters the whole result needs, the NUL included: more
// than `room` when it did not fit (dest then holds nothing useful), 0 when
// the expansion failed.
std::uint32_t expandEnvironmentStrings(const char* source, char* dest, std::uint32_t room);

// Ends the process with `status` at once.  Standard output is not flushed
// here: callers flush first.
[[noreturn]] void exitProcess(int status);

// Receives a processor or operating-system condition as a failure code.
// Runs inside a signal handler: it may only use async-signal-safe calls,
// and must not return.
using ConditionHandler = void (*)(std::uint32_t code);

// Turns the platform's processor conditions and interrupts into calls of
// `handler`, on a stack of their own so that a stack overflow is reported.
void installConditionHandlers(ConditionHandler handler);

// ---- Memory ----

// A block of `size` bytes, not cleared; null when refused.
void* allocateMemory(std::size_t size);
// Gives back a block from allocateMemory; null is ignored.
void releaseMemory(void* block);

// ---- Input files ----

// Names an open input file; 0 never does.
using FileId = std::uint32_t;

// Opens an existing file for reading by name, with no sharing: while this
// process holds a file, every further open of that same file fails,
// whatever name reaches it.  Backslashes in the name are taken as directory
// separators.  Directories cannot be opened.  Returns 0 on failure.
FileId openForReading(const char* name);

// Result of a read: count >= 0 bytes delivered (0 at end of input), or
// count < 0 with the platform's error number in `error`.
struct ReadResult {
  std::int64_t count;
  int error;
};

// Reads up to `size` bytes into `buffer`.
ReadResult readFile(FileId file, void* buffer, std::size_t size);

// A good size for the read buffer of `file`: large blocks, but no larger
// than a small regular file needs.
std::size_t readBlockSize(FileId file);

// Gives back what reading `file` uses (its descriptor) once reading is over.
// The file stays held: it still cannot be opened again.
void finishReading(FileId file);

// ---- Standard output and standard error ----

// Appends bytes to the standard-output buffer, writing it out as it fills
// (and at every line end when standard output is a terminal).  Returns 0,
// or the platform's error number when a write failed; the bytes that could
// not be written are dropped.
int writeStandardOutput(const char* bytes, std::size_t size);

// Writes out whatever the standard-output buffer holds.  Returns 0 or the
// error number of a failed write.  An interrupt that arrives while it
// writes is handed to the condition handler as soon as the write returns,
// so that no byte is written twice.
int flushStandardOutput();

// Like flushStandardOutput, but usable inside a signal handler.
void flushStandardOutputFromSignal();

// True when `error` means the device is full (no space, or over quota).
bool isDeviceFull(int error);

// Writes bytes to standard error, unbuffered, ignoring failures.  Usable
// inside a signal handler.
void writeStandardError(const char* bytes, std::size_t size);

}  // namespace tarvel::platform
