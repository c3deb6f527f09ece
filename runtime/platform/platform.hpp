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
// open files as far as allowed, and prepares standard output; standard
// output counts as held (see openForReading) when it is a file.  Called
// once, first thing, by the process entry.
void startProcess(int argc, char** argv);

// The whole command line as one text: the arguments joined by single
// spaces, each one that is empty, contains a character with code 1 to 32
// or 127, or begins with a double quote wrapped in double quotes.
// The text lives until the process ends.
const char* commandLine();

// What expanding the text "%zebinc%" gives: the variable's value when it is
// defined (empty included), the unchanged text "%zebinc%" when it is not.
const char* zebincExpansion();

// Ends the process with `status` at once.  Standard output is not flushed
// here: callers flush first.
[[noreturn]] void exitProcess(int status);

// Receives a processor or operating-system condition as a failure code.
// Runs inside a signal handler: it may only use async-signal-safe calls,
// and must not return.
using ConditionHandler = void (*)(std::uint32_t code);

// Turns the platform's processor conditions and interrupts into calls of
// `handler`, on a stack of their own so that a stack overflow is reported.
// An interrupt that was ignored when the process started stays ignored.
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
