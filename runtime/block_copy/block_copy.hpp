// Block copying of ordinary lines: the piece of the line reader that turns
// input into output without visiting lines one by one, and the two scans
// the line reader makes itself (the next line end, the last line start).
//
// Output is the input with a few edits: a CR goes in before every LF that
// does not already end a CR LF, and copying stops in front of the lines that
// the caller wants to look at itself.  Which lines those are is found 64
// bytes at a time with bit masks (LF, CR, the wanted first characters
// followed by the rest of their prefix, and where needed blank).  Only a
// block that holds a wanted prefix is looked at line by line: there the
// first non-blank character of every line falls out of mask arithmetic, the
// head of a line that starts with a wanted prefix is judged on the spot,
// and only the lines the filter picks stop the copy.  A block with an LF to
// edit goes out whole, a piece per LF; runs of lines that need no edit go
// out straight from the input when they are long.  Stretches of input
// found to hold no CR, the most of LF-only text, are scanned without the
// CR masks and their arithmetic.
//
// The masks are made by one of several kernels (the plain one, "bytewise",
// and those of kernel_table.hpp), chosen once at run time from what the
// processor has; every kernel gives the same output.  The environment
// variable TARVEL_BLOCK_COPY names the kernel to use instead, for
// diagnosis; one the processor lacks gives the best one it has.
//
// The CR rules are those of the line reader: a CR followed by anything but
// LF is data stored together with that next byte, so in a run of CRs before
// an LF only an odd run ends its last CR with the LF.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace tarvel::blockcopy {

// The lines copying stops at: those whose first non-blank (space or tab)
// character is one of `prefixFirst` and whose head, the line from that
// character on, cut to at most headSize characters, `picks` accepts.  A
// head is cut at the line's LF (a CR before it may be left on), or at the
// end of input.
//
// The wanted prefixes: prefixFirst[i], prefixSecond[i], prefixThird[i] and
// prefixFourth[i] are the characters of the i-th.  `picks` never accepts a
// head that starts with prefixFirst[i] unless its next characters, each with
// bit 0x20 set, are prefixSecond[i], then prefixThird[i] and
// prefixFourth[i] where those are given (not 0); heads that start otherwise
// may go by without being shown to it.  The third and fourth characters are
// used only when every entry gives them.  REQUIRES: headSize is at most 64.
struct LineFilter {
  char prefixFirst[4];
  char prefixSecond[4];
  std::size_t headSize;
  bool (*picks)(std::string_view head);
  char prefixThird[4] = {};
  char prefixFourth[4] = {};
};

// Bytes that may be read past the end of the input handed to copyOrdinary:
// a block of 64, and the three after it that a prefix starting in it needs.
inline constexpr std::size_t kReadSlack = 64 + 3;

// The run of CRs at the end of what has been copied of a line: whether
// there is one, and whether its length is odd.
struct CrRun {
  bool present = false;
  bool odd = false;
};

// Where copied lines go.  The copy reserves room a large chunk at a time,
// fills it and hands over what it filled; pieces of at least
// `directWriteSize` bytes are handed over straight from the input instead.
// Every function gets `context` first.
struct Sink {
  void* context;
  // Room for at least `size` bytes, and kSinkScratch bytes past them that
  // may be written but are never handed over.
  char* (*reserve)(void* context, std::size_t size);
  // Hands over the bytes of the last reservation up to `end`.
  void (*commit)(void* context, char* end);
  // Hands over n bytes at `from`.  Called only with nothing reserved that
  // has not been committed.
  void (*write)(void* context, const char* from, std::size_t n);
  std::size_t directWriteSize;  // more than 64
};
inline constexpr std::size_t kSinkScratch = 64;

// Standard output as a Sink.
const Sink& standardOutput();

// What one copyOrdinary call reads.
struct Input {
  const char* from;  // inside a line already judged ordinary
  const char* end;   // with kReadSlack readable bytes after it
  bool inputEnds;    // no input follows `end`
  // The line at `from` is being written out in pieces: what of it the
  // input holds may go without its end.
  bool lineUnderWay;
};

struct Result {
  const char* stop;   // input up to here has been copied
  bool midLine;       // stop is inside a line: its start was copied, its end not
  std::size_t lines;  // the LFs in what was copied: the lines it ended
};

// Copies `input` to `sink` as lines ending in CR LF.  `cr` describes what
// was copied of the line at input.from before (and is updated).  Copying
// stops at the start of the first later line that `filter` picks.  Unless
// input.inputEnds, it stops too at the start of a last line without its LF
// (whose head may not be whole yet), except the line at input.from when
// input.lineUnderWay; without either, a result with stop == from and not
// midLine means that the line at from has no LF before end.  Copying to the
// end of input leaves the line end of a last line without one to the
// caller.  REQUIRES: from < end.
Result copyOrdinary(const Input& input, CrRun& cr, const LineFilter& filter, const Sink& sink);

// How the head of a line stands with a filter.
enum class Head {
  ordinary,    // the filter does not pick the line
  picked,      // the filter picks it
  incomplete,  // the head goes on past the input read so far
};

// Judges the line whose first non-blank character is at `first`, with the
// input read so far ending at `end` (`final`: no input follows).  This is
// the judgement copyOrdinary makes of every line it passes.  REQUIRES:
// first < end.
Head judgeHead(const char* first, const char* end, bool final, const LineFilter& filter);

// The first CR or LF among the n bytes at p, or null.
const char* findLineEnd(const char* p, std::size_t n);

// The start of the last line that begins in [from, to): just after its
// last LF, or `from` when it has none.
const char* lastLineStart(const char* from, const char* to);

// The kernels this build and this processor can run, by the names
// TARVEL_BLOCK_COPY gives them, the fastest last ("bytewise" first).
std::span<const std::string_view> availableKernels();

// The name of the kernel in use: at first the one TARVEL_BLOCK_COPY names,
// else the fastest available.
std::string_view currentKernel();

// Makes every scan use the kernel `name` from now on (tests compare them);
// a name that is not available gives the fastest kernel that is.
void useKernel(std::string_view name);

}  // namespace tarvel::blockcopy
