// The plain kernel: masks made with ordinary integer arithmetic, eight
// bytes to a machine word.  Every processor runs it.
#include <bit>
#include <cstdint>
#include <cstring>

#include "runtime/block_copy/kernels.hpp"
#include "runtime/block_copy/vocabulary.hpp"

namespace tarvel::blockcopy {
namespace {

struct Bytewise {
  // A block stays where it is: its eight words would not fit the registers
  // besides the scan's own, and copied aside they cost more than read
  // again for each mask (measured).
  struct Block {
    const char* bytes;
  };

  static Block load(const char* p) { return {p}; }
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
  // nothing else lands in the top byte.  Example, byte 0 'A' (0x41) and
  // byte 1 zero: byte 0 gives (0x41 + 0x7f) | 0x41 | 0x7f = 0xff, whose
  // complement has its top bit clear; byte 1 gives 0x7f, complement 0x80.
  // So top has bit 15 set, top >> 7 bit 8, and the multiplication puts it
  // on bit 8 + 49 = 57 (by the constant's bit 49): bit 1 of the result.
  static Bits zeroBytes(std::uint64_t x) {
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
    const std::uint64_t top = ~(((x & kLow7) + kLow7) | x | kLow7);
    return ((top >> 7) * 0x0102040810204080ull) >> 56;
  }
  static Bits equal(const Block& block, char c) {
    const std::uint64_t pattern = 0x0101010101010101ull * static_cast<unsigned char>(c);
    Bits mask = 0;
    for (unsigned i = 0; i < 8; ++i)
      mask |= zeroBytes(word(block.bytes + 8 * i) ^ pattern) << (8 * i);
    return mask;
  }
  static Bits foldedEqual(const Block& block, char c) {
    constexpr std::uint64_t kFold = 0x2020202020202020ull;
    const std::uint64_t pattern = 0x0101010101010101ull * static_cast<unsigned char>(c);
    Bits mask = 0;
    for (unsigned i = 0; i < 8; ++i)
      mask |= zeroBytes((word(block.bytes + 8 * i) | kFold) ^ pattern) << (8 * i);
    return mask;
  }
  static void copy64(char* to, const char* from) { std::memcpy(to, from, 64); }
};
static_assert(BlockKernel<Bytewise>);

}  // namespace
}  // namespace tarvel::blockcopy

#include "runtime/block_copy/scan.hpp"

namespace tarvel::blockcopy {
const KernelEntryPoints bytewiseKernel = entryPointsOf<Bytewise>();
}  // namespace tarvel::blockcopy
