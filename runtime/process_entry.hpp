// The process entry: what runs before and after the program's own main
// function.
//
// runProcess opens the outermost protected region before anything else,
// turns processor conditions into failures, runs the program and ends the
// process.  Every way out flushes standard output exactly once.
#pragma once

namespace tarvel {

// Exit statuses of the process.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitIncomplete = 1;  // ran to its end, with open failures
inline constexpr int kExitMessage = 2;     // stopped with a message of its own
inline constexpr int kExitFailure = 3;     // a failure report ended the run

// The program's own main function; returns the exit status.
using MainProgram = int (*)();

// Runs `program` inside the outermost region and ends the process with its
// status.  A failure that nothing catches, or a processor condition, is
// reported on standard error and ends the process with kExitFailure.
// Files made to replace their targets (runtime/replacement.hpp) are put in
// place when the status is kExitSuccess, and removed on every other end.
[[noreturn]] void runProcess(int argc, char** argv, MainProgram program);

}  // namespace tarvel
