// Failure signalling and the fatal-failure report.
//
// An operation that cannot complete raises a FailureCode with raiseFailure;
// control leaves it at once and passes to the handler of the innermost
// enclosing protected region.  A region is removed before its handler runs,
// so a failure raised by the handler goes to the next-outer region.  The
// outermost region belongs to the process entry, whose handler writes the
// report and ends the process.
//
// The report is a caption ("ZEB Exception (" code ")") and a text naming
// the failure, built into caller-supplied buffers without allocating, so
// that it can also be built inside a signal handler.
//
// The path of a failure, written down once here:
//   1. raiseFailure throws; protected regions (protectedRegion) catch it on
//      the way out, and only a few do (the open of a file looked for in
//      more than one place, the command line's help check).
//   2. What no region catches reaches runProcess (process_entry), which
//      calls endWithReport with the code.  A processor condition or an
//      interrupt arrives there directly, from the platform's handler (a
//      signal handler on POSIX, the faulting thread or a thread of the
//      report's own on Windows), never through a region.
//   3. endWithReport claims the report (platform::claimReport; a second
//      failure or condition meanwhile yields to it), writes out the
//      pending standard output (output::flushForReport: all of it, but
//      after an interrupt only what goes out at once), removes the files
//      that would have replaced their targets
//      (platform::discardReplacements), shows the report
//      (platform::showFailureReport: one line on standard error, and a
//      window where someone can see it) and ends the process with status
//      3 (platform::exitProcess).
//   4. A read failure writes its line ("Read/eof error = ", "fgets error =
//      ") to standard output before it raises kFileRead; a write failure
//      says "Could not write" on standard error before kFileWrite or
//      kDiskFull; the file_io and replacement units do that.
// Signals that end a process without a report (SIGTERM and the like)
// remove the temporaries in the platform module and end the process as
// the signal would.
#pragma once

#include <cstdint>
#include <utility>

#include "runtime/counted_string.hpp"

namespace tarvel {

using FailureCode = std::uint32_t;

// The codes this program raises, with the report text each one shows.
namespace failure {
inline constexpr FailureCode kStringOverflow = 1;      // "String Overflow"
inline constexpr FailureCode kIndexOutOfRange = 2;     // "Index into string is out of range"
inline constexpr FailureCode kValueOutOfRange = 3;     // "Value out of range"
inline constexpr FailureCode kFileOpen = 7;            // "File open failure"
inline constexpr FailureCode kFileWrite = 9;           // "File write error"
inline constexpr FailureCode kFileRead = 10;           // "File read error"
inline constexpr FailureCode kDiskFull = 11;           // "Disk full error"
inline constexpr FailureCode kEndOfFile = 12;          // "End of file error"
inline constexpr FailureCode kMemoryAllocation = 13;   // "Memory allocation failure"
inline constexpr FailureCode kNullPointer = 14;        // "Attempt to dereference a NULL pointer"
inline constexpr FailureCode kFieldWidth = 16;         // a field too wide to write
inline constexpr FailureCode kTooManyParameters = 17;  // "Too many command line parameters"
inline constexpr FailureCode kAssertion = 23;          // "Assertion Failed: " + assertionMessage

// Processor and operating-system conditions.
inline constexpr FailureCode kBreakpoint = 0x80000003;
inline constexpr FailureCode kSingleStep = 0x80000004;
inline constexpr FailureCode kAccessViolation = 0xC0000005;
inline constexpr FailureCode kIllegalInstruction = 0xC000001D;
inline constexpr FailureCode kArrayBoundsExceeded = 0xC000008C;
inline constexpr FailureCode kFloatDivideByZero = 0xC000008E;
inline constexpr FailureCode kFloatInexactResult = 0xC000008F;
inline constexpr FailureCode kFloatInvalidOperation = 0xC0000090;
inline constexpr FailureCode kFloatOverflow = 0xC0000091;
inline constexpr FailureCode kFloatUnderflow = 0xC0000093;
inline constexpr FailureCode kIntegerDivideByZero = 0xC0000094;
inline constexpr FailureCode kIntegerOverflow = 0xC0000095;
inline constexpr FailureCode kPrivilegedInstruction = 0xC0000096;
inline constexpr FailureCode kStackOverflow = 0xC00000FD;
inline constexpr FailureCode kControlC = 0xC000013A;
}  // namespace failure

// What raiseFailure throws.  Deliberately not a std::exception: only a
// protected region catches it.
class Failure {
 public:
  explicit Failure(FailureCode code) : code_(code) {}
  FailureCode code() const { return code_; }

 private:
  FailureCode code_;
};

// Hands `code` to the innermost protected region.  Never returns.
[[noreturn]] void raiseFailure(FailureCode code);

// Runs body(); if a failure reaches it, runs handler(code) after the region
// has been left, so that a failure raised by the handler goes outward.
template <class Body, class Handler>
void protectedRegion(Body&& body, Handler&& handler) {
  FailureCode code = 0;
  bool failed = false;
  try {
    std::forward<Body>(body)();
  } catch (const Failure& f) {
    failed = true;
    code = f.code();
  }
  if (failed) std::forward<Handler>(handler)(code);
}

// The text that follows "Assertion Failed: " in the report for code 23.
// Absent unless someone sets it.
extern StringRef assertionMessage;

// Capacities of the report's two buffers.
inline constexpr std::uint32_t kReportCaptionCapacity = 64;
inline constexpr std::uint32_t kReportTextCapacity = 240;

// The report text of a code from the runtime's own table (1 to 24) or the
// condition table; null for any other code.
const char* failureText(FailureCode code);

// Builds "ZEB Exception (" code ")" into caption: the code in decimal up to
// 0xFFFF, above that as "$" and eight hexadecimal characters with one "_".
// REQUIRES: caption has room for 26 characters.
void buildReportCaption(FailureCode code, CountedString caption);
// Builds the text naming the failure into text.  For code 23 it is
// "Assertion Failed: " and assertionMessage, cut to fit.
// REQUIRES: text has room for 48 characters.
void buildReportText(FailureCode code, CountedString text);

// Shows the report of `code`: on standard error as one line, caption, ": ",
// text, and in a window where the system has one.  Allocates nothing; safe
// inside a signal handler.
void reportFailure(FailureCode code);

}  // namespace tarvel
