// The AVX-512 kernel's primitives: 64-byte compares straight into masks,
// wanted prefixes by table lookup.  Included by the kernel files compiled
// with AVX-512BW (avx512.cpp, and avx512vbmi2.cpp, which adds to it).
#pragma once

#include <immintrin.h>

#include "runtime/block_copy/kernels.hpp"
#include "runtime/block_copy/vocabulary.hpp"

namespace tarvel::blockcopy {
namespace {

struct Avx512 {
  using Block = __m512i;
  using Table = __m512i;

  static Block load(const char* p) { return _mm512_loadu_si512(p); }
  static Bits equal(Block block, char c) {
    return _mm512_cmpeq_epi8_mask(block, _mm512_set1_epi8(c));
  }
  static Bits foldedEqual(Block block, char c) {
    return _mm512_cmpeq_epi8_mask(_mm512_or_si512(block, _mm512_set1_epi8(0x20)),
                                  _mm512_set1_epi8(c));
  }
  // The table in every 16-byte lane: the lookup works lane by lane.
  static Table table(const char* entries) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(entries)));
  }
  // Each byte's differences from its entries gather in one vector, so that
  // one test makes the mask: fewer operations on the shuffle port, which
  // the compares into masks share.  The key, the block itself, needs no
  // folding: the lookup reads only its low four bits and its top bit.
  static Bits lookupEqual4(Block key, const char* p, Table t0, Table t1, Table t2, Table t3) {
    constexpr int kOrOfXor = 0xf6;  // a | (b ^ c)
    __m512i differ = _mm512_xor_si512(_mm512_shuffle_epi8(t0, key), key);
    differ = _mm512_ternarylogic_epi32(differ, _mm512_shuffle_epi8(t1, key), load(p + 1), kOrOfXor);
    differ = _mm512_ternarylogic_epi32(differ, _mm512_shuffle_epi8(t2, key), load(p + 2), kOrOfXor);
    differ = _mm512_ternarylogic_epi32(differ, _mm512_shuffle_epi8(t3, key), load(p + 3), kOrOfXor);
    return _mm512_testn_epi8_mask(differ, _mm512_set1_epi8(static_cast<char>(~0x20)));
  }
  static Bits lookupEqual2(Block key, const char* p, Table t0, Table t1) {
    constexpr int kOrOfXor = 0xf6;  // a | (b ^ c)
    __m512i differ = _mm512_xor_si512(_mm512_shuffle_epi8(t0, key), key);
    differ = _mm512_ternarylogic_epi32(differ, _mm512_shuffle_epi8(t1, key), load(p + 1), kOrOfXor);
    return _mm512_testn_epi8_mask(differ, _mm512_set1_epi8(static_cast<char>(~0x20)));
  }
  static void copy64(char* to, const char* from) { _mm512_storeu_si512(to, load(from)); }
};
static_assert(LookupKernel<Avx512>);

}  // namespace
}  // namespace tarvel::blockcopy
