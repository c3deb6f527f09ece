// Line starts in a block: where the head of each line begins (its first
// non-blank character), and which of the heads that begin with a wanted
// prefix stop the copy.  The scan asks only in blocks where a wanted prefix
// starts, so that most blocks never pay for blanks.
#pragma once

#include <cstddef>

#include "runtime/block_copy/bits.hpp"
#include "runtime/block_copy/vocabulary.hpp"

namespace tarvel::blockcopy {
namespace {

// The line-start bit that the block at `at` takes from the blocks before
// it: 1 when a line starts at `at`, or when only blanks lie between the
// start of a line and `at`, so that the line's head may begin in this
// block; else 0.  Only lines that start after `from` count: the one at
// `from` has been judged.
[[gnu::noinline]] Bits headCarryIn(const char* from, const char* at) {
  while (at != from && (at[-1] == ' ' || at[-1] == '\t')) --at;
  return at != from && at[-1] == '\n' ? 1 : 0;
}

// The mask of the heads that begin in `block`, whose LFs are `lf`: the
// first non-blank byte of each line falls out of adding each line start to
// the run of blanks it begins, the carry going to the end of the run.  A
// run that goes past the block leaves its head to the next one (see
// headCarryIn).
//
// Worked example (bit 0 first; the block before ended inside a line):
//   bit                   0  1  2  3  4  5  6  7  8  9
//   byte                  \n sp tab m  o  v  sp \n i  n
//   lineStarts            .  1  .  .  .  .  .  .  1  .   (after each LF)
//   blank                 .  1  1  .  .  .  1  .  .  .
//   lineStarts & blank    .  1  .  .  .  .  .  .  .  .
//   blank + that          .  .  .  1  .  .  1  .  .  .   (bits 1, 2 carry into 3)
//   heads = (sum | lineStarts) & ~blank: bits 3 and 8, the 'm' and the 'i';
// the blank at 6, inside a line, starts no carry and is not a head.
template <BlockKernel K>
[[gnu::always_inline]] inline Bits headsIn(const typename K::Block& block, Bits lf, Bits carryIn) {
  const Bits lineStarts = (lf << 1) | carryIn;
  const Bits blank = K::equal(block, ' ') | K::equal(block, '\t');
  const Bits sum = blank + (lineStarts & blank);
  return (sum | lineStarts) & ~blank;
}

// Of the lines whose heads begin in the block at base, whose LFs are `lf`,
// with a wanted prefix (at a bit of `wanted`), the first that stops the
// copy (the bit of its head), or 0: one the filter picks, or one whose head
// is cut by the end of the input when more may follow.  A head that lies
// inside the block and the input is cut at its LF by the mask; one that
// goes on past either is judged as judgeHead judges it.  Out of line, and
// loading the block again, so that the scan of the blocks without a wanted
// prefix, the most, keeps its registers to itself: inlined, this costs
// those blocks more than the call and the second load cost these
// (measured).
template <BlockKernel K>
[[gnu::noinline]] Bits firstStoppingHead(Input input, const char* base, Bits lf, Bits wanted,
                                         const LineFilter& filter) {
  const auto inInput = static_cast<std::size_t>(input.end - base);
  const std::size_t inBlock = inInput < kBlock ? inInput : kBlock;
  Bits candidates = headsIn<K>(K::load(base), lf, headCarryIn(input.from, base)) & wanted;
  for (; candidates != 0; candidates &= candidates - 1) {
    const std::size_t at = lowestBit(candidates);
    bool stops;
    if (at + filter.headSize <= inBlock) {
      const Bits lfAfter = (lf >> at) & firstBytes(filter.headSize);
      stops = picksHead(filter, base + at, lfAfter != 0 ? lowestBit(lfAfter) : filter.headSize);
    } else {
      stops = judgeHead(base + at, input.end, input.inputEnds, filter) != Head::ordinary;
    }
    if (stops) return Bits{1} << at;
  }
  return 0;
}

}  // namespace
}  // namespace tarvel::blockcopy
