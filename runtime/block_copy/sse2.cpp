// The SSE2 kernel: masks made 16 bytes at a time.  Compiled with -msse2,
// for x86 processors that have it (every 64-bit one).
#include <emmintrin.h>

#include <cstdint>

#include "runtime/block_copy/kernels.hpp"

namespace tarvel::blockcopy {
namespace {

struct Sse2 {
  static constexpr bool kExpandsCrs = false;
  static constexpr bool kHasLookup = false;

  static __m128i load(const char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  // The mask of the 16 bytes `hits` marks, placed as the i-th quarter.
  static Bits quarter(__m128i hits, int i) {
    return Bits{static_cast<std::uint16_t>(_mm_movemask_epi8(hits))} << (16 * i);
  }
  static Bits equal(const char* p, char c) {
    const __m128i wanted = _mm_set1_epi8(c);
    Bits mask = 0;
    for (int i = 0; i < 4; ++i) mask |= quarter(_mm_cmpeq_epi8(load(p + 16 * i), wanted), i);
    return mask;
  }
  static Bits foldedEqual(const char* p, char c) {
    const __m128i wanted = _mm_set1_epi8(c);
    const __m128i fold = _mm_set1_epi8(0x20);
    Bits mask = 0;
    for (int i = 0; i < 4; ++i)
      mask |= quarter(_mm_cmpeq_epi8(_mm_or_si128(load(p + 16 * i), fold), wanted), i);
    return mask;
  }
  static void store64(char* to, const char* from) {
    for (int i = 0; i < 4; ++i)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16 * i), load(from + 16 * i));
  }
};

}  // namespace
}  // namespace tarvel::blockcopy

#include "runtime/block_copy/scan.hpp"

namespace tarvel::blockcopy {
const Kernel kSse2Kernel = kernelOf<Sse2>();
}  // namespace tarvel::blockcopy
