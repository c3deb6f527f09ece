// The AVX2 kernel: masks made 32 bytes at a time, wanted prefixes by table
// lookup.  Compiled with -mavx2 (and the bit instructions that come with
// it), for x86 processors that have them, 32-bit ones included.
#include <immintrin.h>

#include <cstdint>

#include "runtime/block_copy/kernels.hpp"
#include "runtime/block_copy/vocabulary.hpp"

namespace tarvel::blockcopy {
namespace {

struct Avx2 {
  struct Block {
    __m256i low, high;
  };
  using Table = __m256i;

  static __m256i load32(const char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static Block load(const char* p) { return {load32(p), load32(p + 32)}; }
  // The mask of the 64 bytes that `low` and `high` mark.
  static Bits halves(__m256i low, __m256i high) {
    return Bits{static_cast<std::uint32_t>(_mm256_movemask_epi8(low))} |
           Bits{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
  }
  static Bits equal(const Block& block, char c) {
    const __m256i wanted = _mm256_set1_epi8(c);
    return halves(_mm256_cmpeq_epi8(block.low, wanted), _mm256_cmpeq_epi8(block.high, wanted));
  }
  static Bits foldedEqual(const Block& block, char c) {
    const __m256i wanted = _mm256_set1_epi8(c), fold = _mm256_set1_epi8(0x20);
    return halves(_mm256_cmpeq_epi8(_mm256_or_si256(block.low, fold), wanted),
                  _mm256_cmpeq_epi8(_mm256_or_si256(block.high, fold), wanted));
  }
  // The table in both 16-byte lanes: the lookup works lane by lane.
  static Table table(const char* entries) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(entries)));
  }
  // The differences of the 32 bytes `key`, loaded from p, from their
  // entries, gathered in one vector with bit 0x20 left out.
  static __m256i firstTwo(__m256i key, const char* p, Table t0, Table t1) {
    return _mm256_or_si256(_mm256_xor_si256(_mm256_shuffle_epi8(t0, key), key),
                           _mm256_xor_si256(_mm256_shuffle_epi8(t1, key), load32(p + 1)));
  }
  static __m256i differences(__m256i key, const char* p, Table t0, Table t1) {
    return _mm256_andnot_si256(_mm256_set1_epi8(0x20), firstTwo(key, p, t0, t1));
  }
  static __m256i differences(__m256i key, const char* p, Table t0, Table t1, Table t2, Table t3) {
    const __m256i differ = _mm256_or_si256(
        firstTwo(key, p, t0, t1),
        _mm256_or_si256(_mm256_xor_si256(_mm256_shuffle_epi8(t2, key), load32(p + 2)),
                        _mm256_xor_si256(_mm256_shuffle_epi8(t3, key), load32(p + 3))));
    return _mm256_andnot_si256(_mm256_set1_epi8(0x20), differ);
  }
  // One compare and one mask per 32 bytes: the key needs no folding, as
  // the lookup reads only its low four bits and its top bit.
  static Bits lookupEqual2(const Block& block, const char* p, Table t0, Table t1) {
    const __m256i zero = _mm256_setzero_si256();
    return halves(_mm256_cmpeq_epi8(differences(block.low, p, t0, t1), zero),
                  _mm256_cmpeq_epi8(differences(block.high, p + 32, t0, t1), zero));
  }
  static Bits lookupEqual4(const Block& block, const char* p, Table t0, Table t1, Table t2,
                           Table t3) {
    const __m256i zero = _mm256_setzero_si256();
    return halves(_mm256_cmpeq_epi8(differences(block.low, p, t0, t1, t2, t3), zero),
                  _mm256_cmpeq_epi8(differences(block.high, p + 32, t0, t1, t2, t3), zero));
  }
  static void copy64(char* to, const char* from) {
    const Block block = load(from);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), block.low);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32), block.high);
  }
};
static_assert(LookupKernel<Avx2>);

}  // namespace
}  // namespace tarvel::blockcopy

#include "runtime/block_copy/scan.hpp"

namespace tarvel::blockcopy {
const KernelEntryPoints avx2Kernel = entryPointsOf<Avx2>();
}  // namespace tarvel::blockcopy
