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
// The masks are made by one of several kernels (AVX-512 with VBMI2,
// AVX-512, AVX2, SSE2, one byte at a time), chosen once at run time from
// what the processor has; every kernel gives the same output.  The
// environment variable TARVEL_BLOCK_COPY (bytewise, sse2, avx2, avx512 or
// avx512vbmi2) names the kernel to
// use instead, for diagnosis; one the processor lacks gives the best one it
// has.
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
// character is one of `firsts` and whose head, the line from that character
// on, cut to at most headSize characters, `isSpecial` accepts.  A head is
// cut at the line's LF (a CR before it may be left on), or at the end of
// input.
//
// The prefix: `isSpecial` never accepts a head that starts with firsts[i]
// unless its next characters, each with bit 0x20 set, are seconds[i], then
// thirds[i] and fourths[i] where those are given (not 0); heads that start
// otherwise may go by without being shown to it.  The third and fourth
// characters are used only when every entry gives them.  REQUIRES: headSize
// is at most 64.
struct LineFilter {
  char firsts[4];
  char seconds[4];
  std::size_t headSize;
  bool (*isSpecial)(std::string_view head);
  char thirds[4] = {};
  char fourths[4] = {};
};

// Bytes that may be read past the end of the input handed to copyOrdinary:
// a block of 64, and the three after it that a prefix starting in it needs.
inline constexpr std::size_t kReadSlack = 64 + 3;

// The run of CRs at the end of what has been copied of a line: whether
// there is one, and whether its length is odd.
struct CrRun {
  bool last = false;
  bool odd = false;
};

struct Result {
  const char* stop;   // input up to here has been copied
  bool midLine;       // stop is inside a line: its start was copied, its end not
  std::size_t lines;  // the LFs in what was copied: the lines it ended
};

// Copies the input [from, end) to standard output as lines ending in CR LF.
// `from` lies inside a line already judged ordinary; `cr` describes what was
// copied of that line before (and is updated).  Copying stops at the start
// of the first later line that `filter` picks, or whose head (its first
// non-blank character, or more of it when it starts with a wanted prefix)
// is not in the input yet.  Unless `final` (no input follows `end`), a last
// line without its LF is not copied either, except the line at `from` when
// `streamCurrent`.  Without `final` and `streamCurrent`, a result with
// stop == from and not midLine means that the line at from has no LF before
// end.  At `final` the line end of a last line without one is left to the
// caller.  REQUIRES: from < end, and kReadSlack readable bytes after end.
Result copyOrdinary(const char* from, const char* end, bool final, bool streamCurrent, CrRun& cr,
                    const LineFilter& filter);

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

// The kernels.  All give the same results.
enum class Method { bytewise, sse2, avx2, avx512, avx512vbmi2 };

// The methods this build and this processor can use, the fastest last.
std::span<const Method> availableMethods();

// The method in use: at first the one TARVEL_BLOCK_COPY names, else the
// fastest available.
Method currentMethod();

// Makes every scan use `method` from now on (tests compare them); one that
// is not available gives the fastest that is.
void useMethod(Method method);

}  // namespace tarvel::blockcopy
