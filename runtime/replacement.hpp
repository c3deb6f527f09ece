// Files that take their targets' places only when the run succeeds: the
// output file named on the command line, and files written with it.
//
// Each is written under a fresh name in its target's directory.  The
// process entry puts them all in place, in the order they were made, at
// the end of a run with status 0, and removes them on every other end, a
// fatal failure or an interrupt included: a target is never left
// half-written, nor newer than a run that failed.
#pragma once

#include <string_view>

namespace tarvel {

// Writes out what standard output holds so far, then sends standard output
// to a new file that replaces `target` when the run succeeds.  From now on
// `target` counts as held.  When the file cannot be made, writes
// "Could not write '<target>'" to standard error and raises 9.
void sendOutputToFile(std::string_view target);

// Writes `text` to a new file that replaces `target` when the run
// succeeds.  Raises 9, or 11 when the device is full, after the same
// message, when the file cannot be made or written.
void writeFileOnSuccess(std::string_view target, std::string_view text);

// For the process entry, at the end of a run with status 0: puts every
// such file in place.  When one cannot be, writes its message to standard
// error and returns false; then none of them stands in its target's place
// and the temporaries are gone.
bool putFilesInPlace();

}  // namespace tarvel
