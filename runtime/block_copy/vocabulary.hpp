// The kernel vocabulary: what each kernel file provides, as C++ concepts
// that the file checks with static_assert, and the simple scans made of the
// vocabulary alone (the next line end, the last line start, whether blocks
// hold a byte, sampling the first blocks).
//
// A kernel K loads a block of 64 bytes once, into K::Block, and makes every
// mask of it from there (a kernel whose registers cannot hold a block
// beside the scan's own keeps a Block that points at it, and reads it again
// for each mask):
//   K::load(p)              the block of the 64 bytes at p (more may be read
//                           past them, up to kReadSlack)
//   K::equal(b, c)          the mask of the bytes of b equal to c
//   K::foldedEqual(b, c)    the mask of the bytes that with bit 0x20 set
//                           equal c
//   K::copy64(to, from)     copies 64 bytes with the widest stores it has
// An ExpandingKernel also has
//   K::copy64AddingCrs(to, from, lf)
//                           stores the 64 bytes at from with a CR before
//                           each LF of `lf` (!= 0), in two 64-byte stores
// and a LookupKernel a table lookup:
//   K::Table                a 16-entry table as the kernel holds it
//   K::table(entries)       a table made of 16 characters
//   K::lookupEqual4(b, p, t0, t1, t2, t3)
//                           the mask of the bytes of b, the block at p, that
//                           with the three after them, each with bit 0x20
//                           set, equal t0[f & 15] ... t3[f & 15], where f is
//                           the byte itself (nothing when f has its top bit
//                           set)
//   K::lookupEqual2(b, p, t0, t1)
//                           the same for t0 and t1 only
#pragma once

#include <concepts>
#include <cstddef>

#include "runtime/block_copy/bits.hpp"

namespace tarvel::blockcopy {
namespace {

template <class K>
concept BlockKernel = requires(const char* p, char* to, char c, const typename K::Block& block) {
  { K::load(p) } -> std::same_as<typename K::Block>;
  { K::equal(block, c) } -> std::same_as<Bits>;
  { K::foldedEqual(block, c) } -> std::same_as<Bits>;
  { K::copy64(to, p) } -> std::same_as<void>;
};

template <class K>
concept ExpandingKernel = BlockKernel<K> && requires(char* to, const char* from, Bits lf) {
  { K::copy64AddingCrs(to, from, lf) } -> std::same_as<void>;
};

template <class K>
concept LookupKernel = BlockKernel<K> &&
    requires(const char* p, const typename K::Block& block, const typename K::Table& t) {
  { K::table(p) } -> std::same_as<typename K::Table>;
  { K::lookupEqual4(block, p, t, t, t, t) } -> std::same_as<Bits>;
  { K::lookupEqual2(block, p, t, t) } -> std::same_as<Bits>;
};

template <BlockKernel K>
const char* lastLineStartWith(const char* from, const char* to) {
  for (; to - from >= static_cast<std::ptrdiff_t>(kBlock); to -= kBlock) {
    const Bits lf = K::equal(K::load(to - kBlock), '\n');
    if (lf != 0) return to - kBlock + pastHighestBit(lf);
  }
  for (; to != from; --to)
    if (to[-1] == '\n') return to;
  return from;
}

template <BlockKernel K>
const char* findLineEndWith(const char* p, std::size_t n) {
  for (; n >= kBlock; p += kBlock, n -= kBlock) {
    const typename K::Block block = K::load(p);
    const Bits ends = K::equal(block, '\n') | K::equal(block, '\r');
    if (ends != 0) return p + lowestBit(ends);
  }
  for (; n > 0; ++p, --n)
    if (*p == '\r' || *p == '\n') return p;
  return nullptr;
}

// Whether any of the whole blocks in [from, to) holds c.  Four blocks at a
// time, with one branch.
template <BlockKernel K>
bool blocksHold(const char* from, const char* to, char c) {
  for (; to - from >= static_cast<std::ptrdiff_t>(4 * kBlock); from += 4 * kBlock) {
    if ((K::equal(K::load(from), c) | K::equal(K::load(from + kBlock), c) |
         K::equal(K::load(from + 2 * kBlock), c) | K::equal(K::load(from + 3 * kBlock), c)) != 0)
      return true;
  }
  for (; from != to; from += kBlock)
    if (K::equal(K::load(from), c) != 0) return true;
  return false;
}

// What `count` gives for the first whole blocks at `from` (16 at most),
// and how many it looked at: the scan samples them to pick its ways.
struct Sample {
  std::size_t total;
  std::size_t blocks;
};
template <BlockKernel K, class Count>
Sample sampleFirstBlocks(const char* from, const char* end, const Count& count) {
  constexpr std::size_t kMostSampled = 16;
  const std::size_t whole = static_cast<std::size_t>(end - from) / kBlock;
  Sample sample{0, whole < kMostSampled ? whole : kMostSampled};
  for (std::size_t i = 0; i < sample.blocks; ++i)
    sample.total += count(K::load(from + i * kBlock), from + i * kBlock);
  return sample;
}

}  // namespace
}  // namespace tarvel::blockcopy
