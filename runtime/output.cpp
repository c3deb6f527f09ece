#include "runtime/output.hpp"

#include "runtime/failure.hpp"
#include "runtime/file_system.hpp"
#include "runtime/platform/platform.hpp"

namespace tarvel::output {

namespace detail {

alignas(64) char buffer[kBufferSize + kSlack];  // aligned for the system's copies
std::atomic<std::size_t> used{0};
bool interactive = false;

namespace {

// buffer[written, used) and then direct[directWritten, directSize) are
// pending.  They change only inside an output section, so a condition's
// handler, which never runs inside one, always finds them consistent.
std::atomic<std::size_t> written{0};
std::atomic<const char*> direct{nullptr};
std::atomic<std::size_t> directSize{0};
std::atomic<std::size_t> directWritten{0};

// Forgets everything pending.  REQUIRES: inside an output section.
void clearPending() {
  written.store(0);
  used.store(0);
  direct.store(nullptr);
  directSize.store(0);
  directWritten.store(0);
}

// Writes out what is pending, one system call at a time, each inside an
// output section.  A condition held back during a call is handed over as
// the section is left, with the record of what went out already up to
// date.  Returns 0, or the error of a failed write; `keepOnError` leaves the
// rest pending (for the report) instead of dropping it.
int writeOut(bool keepOnError) {
  for (;;) {
    const std::size_t from = written.load(), to = used.load();
    const char* extra = direct.load();
    const std::size_t extraFrom = directWritten.load(), extraTo = directSize.load();
    const std::size_t inBuffer = to - from, inExtra = extraTo - extraFrom;
    platform::enterOutputSection();
    if (inBuffer == 0 && inExtra == 0) {
      clearPending();
      platform::leaveOutputSection();
      return 0;
    }
    const platform::WriteResult r = systemFiles().writeOutput(
        buffer + from, inBuffer, extra == nullptr ? nullptr : extra + extraFrom, inExtra);
    const std::size_t fromBuffer = r.written < inBuffer ? r.written : inBuffer;
    written.store(from + fromBuffer);
    directWritten.store(extraFrom + (r.written - fromBuffer));
    const bool failed = r.error != 0 && !platform::isInterruption(r.error);
    if (failed && !keepOnError) clearPending();
    platform::leaveOutputSection();
    if (failed) return r.error;
  }
}

}  // namespace

int flushPending() { return writeOut(false); }

void raiseWriteFailure(int error) {
  raiseFailure(platform::isDeviceFull(error) ? failure::kDiskFull : failure::kFileWrite);
}

}  // namespace detail

void start(bool interactive) { detail::interactive = interactive; }

void write(const char* bytes, std::size_t n) {
  using namespace detail;
  if (n >= kDirectWriteSize) {
    // Too large to be worth copying: out with the buffer, in one gather
    // write, straight from where it lies.
    platform::enterOutputSection();
    direct.store(bytes);
    directWritten.store(0);
    directSize.store(n);
    platform::leaveOutputSection();
    if (const int error = flushPending(); error != 0) raiseWriteFailure(error);
    return;
  }
  char* to = reserve(n);
  std::memcpy(to, bytes, n);
  commit(to + n);
}

void flush() {
  if (const int error = detail::flushPending(); error != 0) detail::raiseWriteFailure(error);
}

void flushForReport() {
  using namespace detail;
  for (;;) {
    // Another thread stuck in a write (Windows) keeps the section: then
    // nothing more goes out.
    if (!platform::enterOutputSectionForReport()) return;
    const std::size_t from = written.load(), to = used.load();
    const char* extra = direct.load();
    const std::size_t extraFrom = directWritten.load(), extraTo = directSize.load();
    const std::size_t inBuffer = to - from, inExtra = extraTo - extraFrom;
    if (inBuffer == 0 && inExtra == 0) {
      clearPending();
      platform::leaveOutputSection();
      return;
    }
    const platform::WriteResult r = systemFiles().writeOutputForReport(
        buffer + from, inBuffer, extra == nullptr ? nullptr : extra + extraFrom, inExtra);
    const std::size_t fromBuffer = r.written < inBuffer ? r.written : inBuffer;
    written.store(from + fromBuffer);
    directWritten.store(extraFrom + (r.written - fromBuffer));
    const bool again = r.error == 0 ? r.written != 0 : platform::isInterruption(r.error);
    if (!again) clearPending();
    platform::leaveOutputSection();
    if (!again) return;
  }
}

void discardPending() {
  platform::enterOutputSection();
  detail::clearPending();
  platform::leaveOutputSection();
}

}  // namespace tarvel::output
