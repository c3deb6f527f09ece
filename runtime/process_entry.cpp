#include "runtime/process_entry.hpp"

#include <cstdint>
#include <new>

#include "runtime/failure.hpp"
#include "runtime/output.hpp"
#include "runtime/platform/platform.hpp"
#include "runtime/replacement.hpp"

namespace tarvel {

namespace {

// The outermost handler: standard output first, so that everything handed
// to it before the failure is out, then the report.  Only the first failure
// or condition of the run is reported.  Uses only calls that are safe inside
// a signal handler, since conditions arrive through one.
[[noreturn]] void endWithReport(FailureCode code) {
  if (!platform::claimReport()) platform::yieldToReport();
  output::flushForReport();
  platform::discardReplacements();
  reportFailure(code);
  platform::exitProcess(kExitFailure);
}

// The run succeeded: files written under temporary names take their
// targets' places.  The report is claimed first, as for a failure, so that
// an interrupt from now on adds nothing: a run never ends with a failure
// status after some target was replaced.
[[noreturn]] void endWithSuccess() {
  if (!platform::claimReport()) platform::yieldToReport();
  if (!putFilesInPlace()) {
    reportFailure(failure::kFileWrite);
    platform::exitProcess(kExitFailure);
  }
  platform::exitProcess(kExitSuccess);
}

void onCondition(std::uint32_t code) { endWithReport(code); }

}  // namespace

void runProcess(int argc, char** argv, MainProgram program) {
  platform::startProcess(argc, argv);
  output::start(platform::standardOutputIsInteractive());
  // Conditions end the run from where they arrive rather than travelling
  // to the innermost region: the only inner regions guard file opens,
  // which no condition should be mistaken for.  With memory so short that
  // this fails, throwing may fail too: the report is made straight away.
  if (!platform::installConditionHandlers(onCondition)) endWithReport(failure::kMemoryAllocation);

  int status = kExitFailure;
  FailureCode code = 0;
  bool failed = false;
  try {
    status = program();
    output::flush();
  } catch (const Failure& f) {
    failed = true;
    code = f.code();
  } catch (const std::bad_alloc&) {
    failed = true;
    code = failure::kMemoryAllocation;
  }
  if (failed) endWithReport(code);
  if (status == kExitSuccess) endWithSuccess();
  platform::discardReplacements();
  platform::exitProcess(status);
}

}  // namespace tarvel
