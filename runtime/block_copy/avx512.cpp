// The AVX-512 kernel: 64-byte compares straight into masks, wanted prefixes
// by table lookup.  Compiled with -mavx512bw (and the bit instructions that
// come with it), for x86 processors that have them, 32-bit ones included.
#include <immintrin.h>

#include "runtime/block_copy/kernels.hpp"

namespace tarvel::blockcopy {
namespace {

struct Avx512 {
  static constexpr bool kHasLookup = true;
  using Table = __m512i;

  static __m512i load(const char* p) { return _mm512_loadu_si512(p); }
  static __m512i folded(const char* p) { return _mm512_or_si512(load(p), _mm512_set1_epi8(0x20)); }
  static Bits equal(const char* p, char c) {
    return _mm512_cmpeq_epi8_mask(load(p), _mm512_set1_epi8(c));
  }
  static Bits foldedEqual(const char* p, char c) {
    return _mm512_cmpeq_epi8_mask(folded(p), _mm512_set1_epi8(c));
  }
  // The table in every 16-byte lane: the lookup works lane by lane.
  static Table table(const char* entries) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(entries)));
  }
  static Bits lookupEqual(const char* p, const char* key, Table t) {
    return _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(t, folded(key)), folded(p));
  }
  static void store64(char* to, const char* from) { _mm512_storeu_si512(to, load(from)); }
};

}  // namespace
}  // namespace tarvel::blockcopy

#include "runtime/block_copy/scan.hpp"

namespace tarvel::blockcopy {
const Kernel kAvx512Kernel = kernelOf<Avx512>();
}  // namespace tarvel::blockcopy
