// CR-run parity: which LFs of a block need a CR put in before them.
//
// An LF after no CR needs a CR; after a run of CRs it needs one when the
// run is even, every CR then pairing with the next as data (see the CR
// rules in block_copy.hpp).  A run may reach back into earlier blocks, and
// into earlier calls: CrParity takes the blocks in order and carries the
// run at the end of what it has seen.
#pragma once

#include <cstddef>

#include "runtime/block_copy/bits.hpp"

namespace tarvel::blockcopy {
namespace {

// Of the LFs of `lfAfterCrPair` (each after two CRs, the first of which may
// lie in the block before), those after an even run of CRs.  The run that
// reaches back to bit 0 goes on in the block before, whose run of CRs at
// its end has the parity `runBeforeOdd`.
//
// Worked example, the block before ending in "\r\r\r" (runBeforeOdd 1):
//   bit    0  1  2  3  4  5  6  7  8  9
//   byte   \r \n a  \r \r \n \r \r \r \n
// The LF at 1 has a run of 1 below it that reaches bit 0 (run == at), so
// the whole run is 1 + 3 = 4 CRs, even (1 ^ 1 == 0): it needs a CR.  The
// LF at 5 has a run of 2 (bits 3-4), even: it needs a CR.  The LF at 9 has
// a run of 3 (bits 6-8), odd: the last CR ends the line with it.
[[gnu::noinline]] Bits afterEvenRuns(Bits lfAfterCrPair, Bits crs, Bits runBeforeOdd) {
  Bits even = 0;
  for (; lfAfterCrPair != 0; lfAfterCrPair &= lfAfterCrPair - 1) {
    const unsigned at = lowestBit(lfAfterCrPair);
    const unsigned run = at == 0 ? 0u : onesAtTop(crs << (64 - at));
    const Bits odd = (run == at ? run ^ runBeforeOdd : run) & 1;
    if (odd == 0) even |= Bits{1} << at;
  }
  return even;
}

class CrParity {
 public:
  explicit CrParity(CrRun before)
      : endingRun_((before.present ? kEndsInCr : 0) | (before.present && before.odd ? kOdd : 0)) {}

  // Whether what has been seen ends in a CR.
  bool endsInCr() const { return (endingRun_ & kEndsInCr) != 0; }

  CrRun run() const { return {endsInCr(), (endingRun_ & kOdd) != 0}; }

  // Of the LFs `lf` of the next block, whose CRs are `crs`, those that need
  // a CR.  Only LFs after two CRs need the run counted: `crs << 2` marks
  // the bytes two after a CR, and for bits 0 and 1 the bytes two before lie
  // in the block before, whose last byte is a CR when crEndsBlockBefore
  // (the one before that is taken as one too, and afterEvenRuns counts).
  // Example, the block before ending in no CR:
  //   bit          0  1  2  3  4  5  6  7
  //   byte         a  \r \r \n \r \r \r \n
  //   crs          .  1  1  .  1  1  1  .
  //   crBefore     .  .  1  1  .  1  1  1     (crs << 1 | crEndsBlockBefore)
  //   crs << 2     .  .  .  1  1  .  1  1
  // No LF goes without a CR before; both are after two CRs, and
  // afterEvenRuns finds the run before bit 3 even (it needs a CR: "a\r\r"
  // is the line) and the run before bit 7 odd (its last CR is the end).
  Bits lfNeedingCr(Bits lf, Bits crs) const {
    const Bits crEndsBlockBefore = endingRun_ & kEndsInCr;
    const Bits crBefore = (crs << 1) | crEndsBlockBefore;
    Bits needing = lf & ~crBefore;
    const Bits lfAfterCrPair = lf & crBefore & ((crs << 2) | (crEndsBlockBefore * 3));
    if (lfAfterCrPair != 0) [[unlikely]]
      needing |= afterEvenRuns(lfAfterCrPair, crs, endingRun_ >> 1);
    return needing;
  }

  // Moves past that block, of `size` bytes (64 but at the end of input):
  // the run of CRs at its end, and its parity counted back into earlier
  // blocks when it fills the block.
  void pass(Bits crs, std::size_t size) {
    if (((crs >> (size - 1)) & 1) == 0) [[likely]] {
      endingRun_ = 0;
      return;
    }
    const std::size_t run = onesAtTop(crs << (kBlock - size));
    endingRun_ = kEndsInCr | ((run == size ? run ^ (endingRun_ >> 1) : run) & 1) * kOdd;
  }

 private:
  // The run of CRs at the end of what has been seen: kEndsInCr when there
  // is one, and kOdd besides when its length is odd.  One word, so that the
  // scan needs one register less.
  static constexpr Bits kEndsInCr = 1, kOdd = 2;
  Bits endingRun_;
};

}  // namespace
}  // namespace tarvel::blockcopy
