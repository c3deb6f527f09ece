// The plain kernel: masks made with ordinary integer arithmetic, eight
// bytes to a machine word.  Every processor runs it, and the other kernels
// are tested against it.
#include <bit>
#include <cstdint>
#include <cstring>

#include "runtime/block_copy/kernels.hpp"

namespace tarvel::blockcopy {
namespace {

struct Bytewise {
  static constexpr bool kExpandsCrs = false;
  static constexpr bool kHasLookup = false;

  // The eight bytes at p, the first in the lowest bits.
  static std::uint64_t word(const char* p) {
    std::uint64_t bytes;
    std::memcpy(&bytes, p, 8);
    if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
    return bytes;
  }
  // One bit per zero byte of x, the first byte's lowest.  Adding 0x7f to
  // the low seven bits of a byte carries into its top bit unless they are
  // all zero, and no carry crosses into the next byte; or-ing the byte
  // itself covers its own top bit.  The top bits of the zero bytes are then
  // gathered by a multiplication: the bit of byte i lands on bit 56 + i, and
  // nothing else lands in the top byte.
  static Bits zeroBytes(std::uint64_t x) {
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
    const std::uint64_t top = ~(((x & kLow7) + kLow7) | x | kLow7);
    return ((top >> 7) * 0x0102040810204080ull) >> 56;
  }
  static Bits equal(const char* p, char c) {
    const std::uint64_t pattern = 0x0101010101010101ull * static_cast<unsigned char>(c);
    Bits mask = 0;
    for (unsigned i = 0; i < 8; ++i) mask |= zeroBytes(word(p + 8 * i) ^ pattern) << (8 * i);
    return mask;
  }
  static Bits foldedEqual(const char* p, char c) {
    constexpr std::uint64_t kFold = 0x2020202020202020ull;
    const std::uint64_t pattern = 0x0101010101010101ull * static_cast<unsigned char>(c);
    Bits mask = 0;
    for (unsigned i = 0; i < 8; ++i)
      mask |= zeroBytes((word(p + 8 * i) | kFold) ^ pattern) << (8 * i);
    return mask;
  }
  static void store64(char* to, const char* from) { std::memcpy(to, from, 64); }
};

}  // namespace
}  // namespace tarvel::blockcopy

#include "runtime/block_copy/scan.hpp"

namespace tarvel::blockcopy {
const Kernel kBytewiseKernel = kernelOf<Bytewise>();
}  // namespace tarvel::blockcopy
