// The AVX2 kernel: masks made 32 bytes at a time, wanted prefixes by table
// lookup.  Compiled with -mavx2 (and the bit instructions that come with
// it), for x86 processors that have them, 32-bit ones included.
#include <immintrin.h>

#include <cstdint>

#include "runtime/block_copy/kernels.hpp"

namespace tarvel::blockcopy {
namespace {

struct Avx2 {
  static constexpr bool kExpandsCrs = false;
  static constexpr bool kHasLookup = true;
  using Table = __m256i;

  static __m256i load(const char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static __m256i folded(const char* p) { return _mm256_or_si256(load(p), _mm256_set1_epi8(0x20)); }
  // The mask of the 64 bytes that `low` and `high` mark.
  static Bits halves(__m256i low, __m256i high) {
    return Bits{static_cast<std::uint32_t>(_mm256_movemask_epi8(low))} |
           Bits{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
  }
  static Bits equal(const char* p, char c) {
    const __m256i wanted = _mm256_set1_epi8(c);
    return halves(_mm256_cmpeq_epi8(load(p), wanted), _mm256_cmpeq_epi8(load(p + 32), wanted));
  }
  static Bits foldedEqual(const char* p, char c) {
    const __m256i wanted = _mm256_set1_epi8(c);
    return halves(_mm256_cmpeq_epi8(folded(p), wanted), _mm256_cmpeq_epi8(folded(p + 32), wanted));
  }
  // The table in both 16-byte lanes: the lookup works lane by lane.
  static Table table(const char* entries) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(entries)));
  }
  // The differences of 32 bytes from their entries, gathered in one
  // vector with bit 0x20 left out.
  static __m256i firstTwo(const char* p, Table t0, Table t1) {
    const __m256i key = load(p);
    return _mm256_or_si256(_mm256_xor_si256(_mm256_shuffle_epi8(t0, key), key),
                           _mm256_xor_si256(_mm256_shuffle_epi8(t1, key), load(p + 1)));
  }
  static __m256i differences(const char* p, Table t0, Table t1) {
    return _mm256_andnot_si256(_mm256_set1_epi8(0x20), firstTwo(p, t0, t1));
  }
  static __m256i differences(const char* p, Table t0, Table t1, Table t2, Table t3) {
    const __m256i key = load(p);
    const __m256i differ = _mm256_or_si256(
        firstTwo(p, t0, t1),
        _mm256_or_si256(_mm256_xor_si256(_mm256_shuffle_epi8(t2, key), load(p + 2)),
                        _mm256_xor_si256(_mm256_shuffle_epi8(t3, key), load(p + 3))));
    return _mm256_andnot_si256(_mm256_set1_epi8(0x20), differ);
  }
  // One compare and one mask per 32 bytes: the key needs no folding, as
  // the lookup reads only its low four bits and its top bit.
  static Bits lookupEqual2(const char* p, Table t0, Table t1) {
    const __m256i zero = _mm256_setzero_si256();
    return halves(_mm256_cmpeq_epi8(differences(p, t0, t1), zero),
                  _mm256_cmpeq_epi8(differences(p + 32, t0, t1), zero));
  }
  static Bits lookupEqual4(const char* p, Table t0, Table t1, Table t2, Table t3) {
    const __m256i zero = _mm256_setzero_si256();
    return halves(_mm256_cmpeq_epi8(differences(p, t0, t1, t2, t3), zero),
                  _mm256_cmpeq_epi8(differences(p + 32, t0, t1, t2, t3), zero));
  }
  static void store64(char* to, const char* from) {
    const __m256i low = load(from), high = load(from + 32);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), low);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32), high);
  }
};

}  // namespace
}  // namespace tarvel::blockcopy

#include "runtime/block_copy/scan.hpp"

namespace tarvel::blockcopy {
const Kernel kAvx2Kernel = kernelOf<Avx2>();
}  // namespace tarvel::blockcopy
