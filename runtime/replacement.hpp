// Files that take their targets' places only when the run succeeds: the
// output file named on the command line, and files written with it.
//
// Each is written under a fresh name in its target's directory.  The
// process entry puts them all in place, in the order they were made, at
// the end of a run with status 0, and removes them on every other end, a
// fatal failure, an interrupt or a termination signal included: a target
// is never left half-written, nor newer than a run that failed.  A device,
// FIFO or socket cannot be replaced and is written directly instead; see
// platform::createReplacement for symbolic links and permissions.
#pragma once

#include <string_view>

#include "runtime/file_io.hpp"
#include "runtime/file_system.hpp"

namespace tarvel {

// Makes the new, empty file that replaces `target` when the run succeeds;
// from now on `target` counts as held, so that the run cannot read it.
// Returns 0, with the reason in `why` and nothing written, when it cannot
// be made: FileFailure::held when `target` is the target of a file made
// before, whatever its name.
ReplacementId prepareFile(std::string_view target, FileFailure& why);

// Writes "Could not write '<target>': <reason>" to standard error, then
// raises kDiskFull when the device is full, else 9.
[[noreturn]] void failToWrite(std::string_view target, FileFailure why);

// Writes out what standard output holds so far, then sends standard output
// to file `id`.  Raises as failToWrite does when it cannot.
void sendOutputTo(ReplacementId id);

// Writes `text` to file `id`.  Raises as failToWrite does when it cannot.
void writeToFile(ReplacementId id, std::string_view text);

// True when `name`, opened as the line reader opens names, reaches the
// target of file `id`.
bool isTargetOf(std::string_view name, ReplacementId id);

// For the process entry, at the end of a run with status 0: puts every
// such file in place.  When one cannot be, writes its message to standard
// error and returns false; then none of them stands in its target's place
// and the temporaries are gone.
bool putFilesInPlace();

}  // namespace tarvel
