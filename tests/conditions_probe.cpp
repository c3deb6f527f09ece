// Ends in a chosen way, for the end-to-end tests of fatal ends:
//   tarvel_conditions_probe <how> <lines> [<failure code>]
// first writes <lines> lines "probe <i>\r\n" (i from 0) to standard output.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "runtime/console.hpp"
#include "runtime/failure.hpp"
#include "runtime/file_io.hpp"
#include "runtime/output.hpp"
#include "runtime/platform/platform.hpp"
#include "runtime/process_entry.hpp"

namespace {

std::string_view how;
int lineCount = 0;
tarvel::FailureCode code = 0;

// Left alone by the sanitizers, which would otherwise report the fault
// themselves before the process entry sees it.
#define PROBE_RAW __attribute__((noinline, no_sanitize("address", "undefined")))

PROBE_RAW void writeThroughNull() {
  int* volatile target = nullptr;  // not known to be null, so not made a trap
  *target = 1;
}

PROBE_RAW int divideByZero() {
  volatile int dividend = 1, divisor = 0;
  return dividend / divisor;
}

// The buffer is used after the call, so this can become neither a loop nor
// a tail call.
#pragma GCC diagnostic ignored "-Winfinite-recursion"
PROBE_RAW int recurse(unsigned depth) {
  volatile char frame[256];
  frame[depth % sizeof frame] = 1;
  return recurse(depth + 1) + frame[depth * 7 % sizeof frame];
}

int program() {
  static constexpr tarvel::StringLiteral kPrefix("probe ");
  for (int i = 0; i < lineCount; ++i) {
    tarvel::putText(kPrefix);
    tarvel::putNumber(i);
    tarvel::putNewline();
  }
  if (how == "null-write") writeThroughNull();
  if (how == "divide") return divideByZero();
  if (how == "recurse") return recurse(0);
  if (how == "interrupt") raise(SIGINT);
  if (how == "interrupt-before-write") {
    // An interrupt that comes inside the output section, before a write
    // that finds standard output full (the test fills it).
    tarvel::platform::enterOutputSection();
    raise(SIGINT);
    static constexpr char kLate[] = "late\r\n";
    tarvel::platform::writeStandardOutput(kLate, sizeof kLate - 1, nullptr, 0);
    tarvel::platform::leaveOutputSection();
  }
  if (how == "buffered-then-wait") {
    // The lines are written out; then a text is left in the C runtime's
    // buffer of standard output, and the main thread waits for the end.
    tarvel::output::flush();
    std::fputs("left in the C runtime\n", stdout);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (how == "raise") tarvel::raiseFailure(code);
  if (how == "raise-in-handler")  // must pass this region and reach the outermost
    tarvel::protectedRegion([] { tarvel::raiseFailure(tarvel::failure::kFileOpen); },
                            [](tarvel::FailureCode) { tarvel::raiseFailure(code); });
  return how == "return" ? 0 : 99;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 99;
  how = argv[1];
  lineCount = std::atoi(argv[2]);
  if (argc > 3) code = static_cast<tarvel::FailureCode>(std::strtoul(argv[3], nullptr, 0));
  tarvel::runProcess(argc, argv, program);
}
