// The SSE2 kernel: masks made 16 bytes at a time.  Compiled with -msse2,
// for x86 processors that have it (every 64-bit one).
#include <emmintrin.h>

#include <cstdint>

#include "runtime/block_copy/kernels.hpp"
#include "runtime/block_copy/vocabulary.hpp"

namespace tarvel::blockcopy {
namespace {

struct Sse2 {
  // A block stays where it is: each compare reads its 16 bytes again, as
  // an SSE2 compare overwrites its operand and 32-bit x86 has only eight
  // vector registers; kept in four registers, a block measures slower.
  struct Block {
    const char* bytes;
  };

  static __m128i load16(const char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static Block load(const char* p) { return {p}; }
  // The mask of the 16 bytes `hits` marks, placed as the i-th quarter.
  static Bits quarter(__m128i hits, int i) {
    return Bits{static_cast<std::uint16_t>(_mm_movemask_epi8(hits))} << (16 * i);
  }
  static Bits equal(const Block& block, char c) {
    const __m128i wanted = _mm_set1_epi8(c);
    Bits mask = 0;
    for (int i = 0; i < 4; ++i)
      mask |= quarter(_mm_cmpeq_epi8(load16(block.bytes + 16 * i), wanted), i);
    return mask;
  }
  static Bits foldedEqual(const Block& block, char c) {
    const __m128i wanted = _mm_set1_epi8(c);
    const __m128i fold = _mm_set1_epi8(0x20);
    Bits mask = 0;
    for (int i = 0; i < 4; ++i)
      mask |= quarter(_mm_cmpeq_epi8(_mm_or_si128(load16(block.bytes + 16 * i), fold), wanted), i);
    return mask;
  }
  static void copy64(char* to, const char* from) {
    for (int i = 0; i < 4; ++i)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16 * i), load16(from + 16 * i));
  }
};
static_assert(BlockKernel<Sse2>);

}  // namespace
}  // namespace tarvel::blockcopy

#include "runtime/block_copy/scan.hpp"

namespace tarvel::blockcopy {
const KernelEntryPoints sse2Kernel = entryPointsOf<Sse2>();
}  // namespace tarvel::blockcopy
