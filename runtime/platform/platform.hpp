// The platform module: every call into the operating system goes through
// these functions, and nothing else lives here.  One implementation file per
// operating system (posix.cpp, win32.cpp) is chosen by the build; the
// interface uses no type of any of them.
//
// Nothing here raises failures: errors come back as values and the runtime
// decides what they mean.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvel::platform {

// ---- Process ----

// Records the arguments the process was started with, raises the limit on
// open files as far as allowed, and looks at what standard output is.
// Called once, first thing, by the process entry.
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

// The system's own way of asking a command for help, understood besides
// "--help" as the one and only argument: "/?" on Windows, where no file
// can bear that name; null where there is none.
const char* helpSwitch();

// Expands every "%NAME%" reference in `source` whose variable is defined
// into its value, leaving other text as written, and stores the result and
// a NUL in `dest`, which has room for `room` characters, the NUL included.
// Returns the characters the whole result needs, the NUL included: more
// than `room` when it did not fit (dest then holds nothing useful), 0 when
// the expansion failed.
std::uint32_t expandEnvironmentStrings(const char* source, char* dest, std::uint32_t room);

// Ends the process with `status`.  On POSIX no exit handler runs.  On
// Windows the main thread of a run that no console event reached ends the
// usual way; any other thread, or the main one once a console event has
// started threads, terminates the process without the modules' exit code,
// which could wait for locks another thread holds.  Standard output is not
// flushed here: callers flush first.
[[noreturn]] void exitProcess(int status);

// ---- Conditions and the failure report ----

// Receives a processor condition or an interrupt as a failure code.  It
// runs where the condition arrived: inside a signal handler on POSIX, on the
// faulting thread or on the console's control thread on Windows.  It may
// use only the output, report and exit calls of this module, and must not
// return.
using ConditionHandler = void (*)(std::uint32_t code);

// Turns the platform's processor conditions and interrupts into calls of
// `handler`, with room kept to report a stack overflow.  An interrupt that
// the process inherited as ignored stays ignored; a second interrupt ends
// the process at once with status 3.  Returns false when the memory this
// needs is refused.
bool installConditionHandlers(ConditionHandler handler);

// Claims the failure report: true for the first claim of the run, false
// once a report is under way.
bool claimReport();

// For a failure or condition that meets a report already under way: ends
// the process at once with status 3, unless that report belongs to another
// thread, which then ends the process itself (the caller waits for it).
[[noreturn]] void yieldToReport();

// Shows the failure report to the user: "caption: text" as one line on
// standard error, ended as the system ends lines (CR LF on Windows), and
// where the system has one and someone is there to dismiss it, a
// notification window.  A standard error that cannot take the line at
// once (a full pipe) goes without it.  Safe inside a signal handler.
void showFailureReport(const char* caption, std::size_t captionSize, const char* text,
                       std::size_t textSize);

// ---- Memory ----

// A block of `size` bytes, not cleared; null when refused.
void* allocateMemory(std::size_t size);
// Gives back a block from allocateMemory; null is ignored.
void releaseMemory(void* block);

// ---- Input files ----

// Names an open input file; 0 never does.
using FileId = std::uint32_t;

// Why a file could not be opened, in terms every system shares, so that
// the command says the same thing everywhere.
enum class FileFailure : std::uint8_t {
  none,
  notFound,     // no such file, or a directory on the way is missing
  denied,       // no permission
  isDirectory,  // a directory
  held,         // this process holds it already, or writes it
  inUse,        // another process holds it so that it cannot be read
  notAFile,     // a device or pipe that may never end (Windows)
  tooManyOpen,  // the process or the system has no descriptor left
  nameTooLong,  // the name, or one of its parts, is too long
  linkLoop,     // symbolic links that lead round in a circle
  noSpace,      // the device is full, or the quota spent
  readOnly,     // a read-only file system
  other,        // anything else
};

// The reason behind the platform's error number `error`.
FileFailure failureOf(int error);

// Opens an existing file for reading by name, and holds it: other
// processes may read it too but not write it, and while this process holds
// a file, every further open of that same file by this process fails,
// whatever name reaches it.  Standard output, when it is a file, counts as
// held from the start.  Backslashes in the name are directory separators.
// Directories cannot be opened.  Returns 0 on failure, with the reason in
// `why`.
FileId openForReading(const char* name, FileFailure& why);

// Standard input, to be read like an input file (a pipe, a terminal or a
// file, taken as it is: not held, never found changed, never positioned).
// Returns 0 when the process has none.
FileId openStandardInput();

// Result of a read: count >= 0 bytes delivered (0 at end of input), or
// count < 0 with the platform's error number in `error`.
struct ReadResult {
  std::int64_t count;
  int error;
};

// Reads up to `size` bytes into `buffer`.
ReadResult readFile(FileId file, void* buffer, std::size_t size);

// A good size for the read buffer of `file`: large blocks, but no larger
// than what a regular file can still deliver, plus one byte to see its end.
// Only a suggestion, which may be tiny: the reader keeps to a minimum of its
// own (see FileSystem::blockSize).
std::size_t readBlockSize(FileId file);

// Moves the read position of `file` to `offset` bytes from its start.
// False, with the position unchanged, for anything but a file on disk.
bool seekFile(FileId file, std::uint64_t offset);

// Reading `file` is over: gives back what it can (on POSIX, the descriptor)
// while keeping the hold, so that the file still cannot be opened again.
void finishReading(FileId file);

// True while `file`, a file on disk, still is what it was when it was
// opened: of the same size, with the same modification time.  Anything
// but a file on disk, and a file whose reading is over, always is.
bool unchangedSinceOpen(FileId file);

// ---- Files that take their targets' places only when the run succeeds ----
//
// Such a file is written under a fresh name in its target's directory and
// renamed over the target at the end of a run that succeeded; on every
// other end the temporary is removed and the target is left as it was.

// Names one of these files; 0 never does.  At most two exist in a run.
using ReplacementId = std::uint32_t;

// Creates a new, empty file for `target`: exclusively, under a fresh name
// in the directory of `target`, never an existing file and never through a
// link planted at that name, with the permissions a new file gets there (on
// POSIX 0666 less the umask).  Where `target` is a symbolic link, the file
// it leads to is replaced instead, in that file's directory, and the link
// stays, as a shell's redirection writes through it.  The replacement of an
// existing file gets its permissions (on POSIX its mode bits and, where the
// process may set them, its owner and group).  A device, FIFO or socket is
// not replaced but written directly, as a redirection would: opening a
// FIFO waits for its reader, and what is written there stays even when the
// run fails.  A directory is refused (isDirectory), and so is a target
// that is the file of a replacement made before, whatever its name (held).
// From now on `target`, when it exists, counts as held, as standard output
// does.  Returns 0 with the reason in `why` when the file cannot be made.
ReplacementId createReplacement(const char* target, FileFailure& why);

// The replacement whose target is the file `name` reaches, whatever name
// reaches it; 0 for none.
ReplacementId replacementOf(const char* name);

// Standard output goes to replacement `id` from now on, and counts as
// held as a file that standard output writes to always does.  Returns 0,
// or the platform's error when standard output stays as it was.
int sendStandardOutputTo(ReplacementId id);

// Writes all of the bytes to replacement `id`; 0 or the platform's error.
int writeReplacement(ReplacementId id, const char* bytes, std::size_t size);

// Renames every replacement over its target, in the order they were made.
// Returns 0; or, when one cannot be put in place, the platform's error,
// with its number in `failed`: then its temporary and those after it are
// removed, and so are the targets of those before it, already replaced,
// so that no target stands there without the ones made with it.  No
// interrupt or termination signal gets between the renames: the process
// is to end right after, and they stay held back until it does.
int putReplacementsInPlace(ReplacementId& failed);

// Removes the temporary of every replacement not yet put in place.  Safe
// inside a signal handler and on any thread.
void discardReplacements();

// Turns the directory separators of a name into the system's own, in place
// (on POSIX a backslash becomes "/"), as the system is given the name when
// a file is opened.
void useSystemSeparators(char* name, std::size_t size);

// ---- Standard output and standard error ----

// True when standard output is interactive (a terminal or a console):
// output then goes out at every line end.
bool standardOutputIsInteractive();

// Result of a write: the bytes written, and 0 or the platform's error
// number when the call failed.
struct WriteResult {
  std::size_t written;
  int error;
};

// Writes the bytes of `first` and then those of `second` to standard
// output, in one system call where the system gathers writes (POSIX), in
// one for each where it does not (Windows), bytes as they are.  May write fewer than asked;
// waits while standard output cannot take more (a non-blocking descriptor
// whose reader is slow) instead of failing.  A pipe whose reader has gone
// ends the process: through SIGPIPE on POSIX (unless it is ignored, when
// the write fails), at once with status 3 and no report on Windows.
WriteResult writeStandardOutput(const char* first, std::size_t firstSize, const char* second,
                                std::size_t secondSize);

// For the failure report: writes as writeStandardOutput does, waiting for
// room, but only until an interrupt comes (or has come: the report of an
// interrupt waits for nothing).  Then it writes what standard output takes
// at once, and returns 0 bytes and no error when it takes nothing (a pipe
// whose reader has stopped reading, say), as also once a write under way
// has been given up (see enterOutputSectionForReport).
WriteResult writeStandardOutputForReport(const char* first, std::size_t firstSize,
                                         const char* second, std::size_t secondSize);

// True when `error` only means that an interrupt stopped the write; the
// rest can be written by calling again.
bool isInterruption(int error);

// True when `error` means the device is full (no space, or over quota).
bool isDeviceFull(int error);

// Brackets every write to standard output, so that no byte is written
// twice: a condition that arrives inside is not handed over there and then.
// On POSIX it is held back and handed to the condition handler by
// leaveOutputSection; on Windows the thread it arrives on waits until the
// section is left.  Sections do not nest.
void enterOutputSection();
void leaveOutputSection();

// For the failure report: enters the output section, unless another thread
// holds it (on Windows, one stuck in a write to a pipe that nobody reads)
// for longer than a moment once an interrupt has come: then standard
// output is given up, nothing more is written to it, and false comes back.
bool enterOutputSectionForReport();

// Writes bytes to standard error, unbuffered, ignoring failures.  Usable
// inside a signal handler.
void writeStandardError(const char* bytes, std::size_t size);

// The line end of the lines the program writes to standard error: LF where
// text lines end in LF, CR LF on Windows, like everything else it writes.
const char* standardErrorLineEnd();

}  // namespace tarvel::platform
