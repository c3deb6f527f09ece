// Bit helpers for the block copier's masks (Bits: bit i for byte i of a
// 64-byte block), made of compiler built-ins: see kernels.hpp for why the
// scan uses no library templates.  On 32-bit x86 a mask lives in two
// registers and the 64-bit built-ins become library calls: there they are
// made of 32-bit ones.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/block_copy/kernels.hpp"

namespace tarvel::blockcopy {
namespace {

// The bytes the scan looks at, and masks, at a time.
constexpr std::size_t kBlock = 64;

constexpr bool kMaskInTwoRegisters = sizeof(std::size_t) < sizeof(Bits);

// The index of the lowest set bit.  REQUIRES: x != 0.
inline unsigned lowestBit(Bits x) {
  if constexpr (kMaskInTwoRegisters) {
    const auto low = static_cast<std::uint32_t>(x);
    return low != 0
               ? static_cast<unsigned>(__builtin_ctz(low))
               : 32 + static_cast<unsigned>(__builtin_ctz(static_cast<std::uint32_t>(x >> 32)));
  }
  return static_cast<unsigned>(__builtin_ctzll(x));
}

// The same, or 64 when x == 0, without a branch: a block holds one LF about
// as often as two.
inline unsigned lowestBitOr64(Bits x) {
  return lowestBit(x | Bits{1} << 63) + static_cast<unsigned>(x == 0);
}

// The clear bits above the highest set bit: 64 when x == 0.
inline unsigned zerosAtTop(Bits x) {
  if (x == 0) return 64;
  if constexpr (kMaskInTwoRegisters) {
    const auto high = static_cast<std::uint32_t>(x >> 32);
    return high != 0 ? static_cast<unsigned>(__builtin_clz(high))
                     : 32 + static_cast<unsigned>(__builtin_clz(static_cast<std::uint32_t>(x)));
  }
  return static_cast<unsigned>(__builtin_clzll(x));
}

inline unsigned onesAtTop(Bits x) { return zerosAtTop(~x); }

// Just past the highest set bit: where the line after the last LF of a
// mask starts.  REQUIRES: x != 0.
inline std::size_t pastHighestBit(Bits x) { return kBlock - zerosAtTop(x); }

inline unsigned countOnes(Bits x) {
  if constexpr (kMaskInTwoRegisters)
    return static_cast<unsigned>(__builtin_popcount(static_cast<std::uint32_t>(x)) +
                                 __builtin_popcount(static_cast<std::uint32_t>(x >> 32)));
  return static_cast<unsigned>(__builtin_popcountll(x));
}

// The mask of the first n bytes of a block.
inline Bits firstBytes(std::size_t n) { return n >= kBlock ? ~Bits{0} : (Bits{1} << n) - 1; }

}  // namespace
}  // namespace tarvel::blockcopy
