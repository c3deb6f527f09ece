// The standard-output buffer: everything the program writes to standard
// output passes through it, in order.
//
// Bytes are copied into one process-wide buffer and written out in large
// blocks; a piece too large to be worth copying is written straight from
// the caller's memory together with what the buffer holds, in one gather
// write.  What has been handed over is always either written or pending
// here, so that the fatal-failure report path (flushForReport) can write
// out exactly the rest, even from a signal handler: no byte is lost and no
// byte is written twice.
//
// When standard output is interactive, it is written out at every line end.
// Write failures raise kFileWrite, or kDiskFull when the device is full; the bytes that
// could not be written are dropped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>

namespace tarvel::output {

// The buffer's size, and the bytes past it that a reservation may scribble
// on (so that copies of small pieces can use fixed-width stores).
inline constexpr std::size_t kBufferSize = 256 * 1024;
inline constexpr std::size_t kSlack = 64;

// Pieces at least this long are written straight from the caller's memory.
inline constexpr std::size_t kDirectWriteSize = 64 * 1024;

namespace detail {
extern char buffer[kBufferSize + kSlack];
extern std::atomic<std::size_t> used;  // buffer[written, used) is pending
extern bool interactive;
[[noreturn]] void raiseWriteFailure(int error);
int flushPending();
}  // namespace detail

// Notes whether standard output is interactive.  Called once at start-up.
void start(bool interactive);

// Room for at least n bytes (plus kSlack scratch past them) at the end of
// the buffer, writing the buffer out first when it lacks that room.  The
// bytes are handed over only by commit.  REQUIRES: n <= kBufferSize.
inline char* reserve(std::size_t n) {
  std::size_t at = detail::used.load(std::memory_order_relaxed);
  if (at + n > kBufferSize) {
    if (const int error = detail::flushPending(); error != 0) detail::raiseWriteFailure(error);
    at = detail::used.load(std::memory_order_relaxed);
  }
  return detail::buffer + at;
}

// Hands the bytes from the last reservation up to `end` over to standard
// output.  REQUIRES: end lies within the room reserve gave.
inline void commit(char* end) {
  const char* from = detail::buffer + detail::used.load(std::memory_order_relaxed);
  detail::used.store(static_cast<std::size_t>(end - detail::buffer), std::memory_order_release);
  if (detail::interactive && std::memchr(from, '\n', static_cast<std::size_t>(end - from)))
    if (const int error = detail::flushPending(); error != 0) detail::raiseWriteFailure(error);
}

// Hands n bytes over to standard output.
void write(const char* bytes, std::size_t n);

// Writes out everything handed over so far.  Raises on a failed write.
void flush();

// For the failure report: writes out whatever is still pending, waiting for
// a slow reader, but once an interrupt has come only what standard output
// takes at once: the rest is dropped, so that an interrupt ends the run
// even when the reader has stopped reading.  Failures are ignored; no byte
// is written twice.  Safe inside a signal handler.
void flushForReport();

// Forgets whatever is pending without writing it (tests only).
void discardPending();

}  // namespace tarvel::output
