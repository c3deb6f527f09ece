// Block copying of ordinary lines: the piece of the line reader that turns
// input into output without visiting lines one by one.
//
// Output is the input with a few edits: a CR goes in before every LF that
// does not already end a CR LF, and copying stops in front of the lines that
// the caller wants to look at itself.  Which lines those are is found 64
// bytes at a time with bit masks (LF, CR, wanted first character, and where
// needed blank).  Only a block that holds a wanted character (followed by
// its second, where the masks can tell) is looked at line by line: there
// the first non-blank character of every line falls out of mask arithmetic,
// the head of a line whose first non-blank character is wanted is judged on
// the spot, and only the lines it picks stop the copy.  A block with an LF
// to edit goes out whole, a piece per LF; runs of lines that need no edit
// go out straight from the input when they are long.
//
// The masks are made with AVX-512 or AVX2 where the processor has them
// (chosen at run time), else with SSE2, else one byte at a time.
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
// input.  `isSpecial` never accepts a head that starts with firsts[i]
// unless its next character, with bit 0x20 set, is seconds[i]; heads that
// start otherwise may go by without being shown to it.  REQUIRES: headSize
// is at most 64.
struct LineFilter {
  char firsts[4];
  char seconds[4];
  std::size_t headSize;
  bool (*isSpecial)(std::string_view head);
};

// Bytes that may be read past the end of the input handed to copyOrdinary.
inline constexpr std::size_t kReadSlack = 64;

// The run of CRs at the end of what has been copied of a line: whether
// there is one, and whether its length is odd.
struct CrRun {
  bool last = false;
  bool odd = false;
};

struct Result {
  const char* stop;  // input up to here has been copied
  bool midLine;      // stop is inside a line: its start was copied, its end not
};

// Copies the input [from, end) to standard output as lines ending in CR LF.
// `from` lies inside a line already judged ordinary; `cr` describes what was
// copied of that line before (and is updated).  Copying stops at the start
// of the first later line that `filter` picks, or whose head (its first
// non-blank character, or more of it when that character is one of
// filter.firsts) is not in the input yet.  Unless `final` (no input follows `end`), a last line
// without its LF is not copied either, except the line at `from` when `streamCurrent`. Without
// `final` and `streamCurrent`, a result with stop == from and not midLine means that the line at
// from has no LF before end.  At `final` the line end of a last line without one is left to the
// caller. REQUIRES: from < end, and kReadSlack readable bytes after end.
Result copyOrdinary(const char* from, const char* end, bool final, bool streamCurrent, CrRun& cr,
                    const LineFilter& filter);

// The ways of making the masks.  All give the same output.
enum class Method { bytewise, sse2, avx2, avx512 };

// The methods this build and this processor can use, the fastest last.
std::span<const Method> availableMethods();

// Makes copyOrdinary use `method` from now on (tests compare them); it
// starts with the fastest available.  REQUIRES: method is available.
void useMethod(Method method);

}  // namespace tarvel::blockcopy
