// Start-up: the command's main program, from the options and the include
// directory to the expansion and the exit status it returns; the process
// entry (runtime/process_entry) ends the process with it.
//
// It answers --help and --version when either is the only argument.
// Otherwise it takes the include directory from the variable zebinc, checks
// that the command line names exactly one file, expands that file to
// standard output and returns the process's exit status.
#pragma once

namespace tarvel {

// The main program.  Returns kExitSuccess (also after the help or version
// text), kExitIncomplete when some file could not be opened, or kExitMessage
// after the include-directory or usage message.  Failures it does not
// catch end the run through the process entry.
int mainProgram();

}  // namespace tarvel
