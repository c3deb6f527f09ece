// The AVX-512 kernel with VBMI2 and BMI2: the CRs of a block go in with
// two byte expansions instead of a store per LF, which pays where lines are
// short.  Compiled with -mavx512vbmi2 -mbmi2 besides the AVX-512 kernel's
// options, for x86 processors that have them, 32-bit ones included.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "runtime/block_copy/avx512.hpp"

namespace tarvel::blockcopy {
namespace {

std::uint32_t ones(std::uint32_t x) { return static_cast<std::uint32_t>(__builtin_popcount(x)); }

// Bit deposit and extraction of 64-bit words; 32-bit x86 has only the
// 32-bit instructions, used a half at a time.
#if defined(__x86_64__)
Bits deposit(Bits from, Bits mask) { return _pdep_u64(from, mask); }
Bits extract(Bits from, Bits mask) { return _pext_u64(from, mask); }
#else
Bits deposit(Bits from, Bits mask) {
  const auto low = static_cast<std::uint32_t>(mask), high = static_cast<std::uint32_t>(mask >> 32);
  return _pdep_u32(static_cast<std::uint32_t>(from), low) |
         Bits{_pdep_u32(static_cast<std::uint32_t>(from >> ones(low)), high)} << 32;
}
Bits extract(Bits from, Bits mask) {
  const auto low = static_cast<std::uint32_t>(mask), high = static_cast<std::uint32_t>(mask >> 32);
  return _pext_u32(static_cast<std::uint32_t>(from), low) |
         Bits{_pext_u32(static_cast<std::uint32_t>(from >> 32), high)} << ones(low);
}
#endif

struct Avx512Vbmi2 : Avx512 {
  // The places in the output of the 32 bytes whose LFs are `lf`: a CR
  // before each LF, so each byte takes one place and an LF two, the first
  // for its CR.  As bits, over 32 + popcount(lf) places: 1 where a byte of
  // the input goes, 0 for a CR.  Made by giving every byte two places (bit
  // 2i for a CR, bit 2i + 1 for the byte itself) and extracting those in
  // use.  Example, "a\nb" + 29 bytes without LF: in use are the places
  // 1, 2, 3, 5, 7, ...; extracted from ...10101010 that is ...1111101:
  // 'a', CR, LF, 'b', ...
  static Bits placesOf(std::uint32_t lf) {
    constexpr Bits kCrPlaces = 0x5555555555555555, kBytePlaces = ~kCrPlaces;
    return extract(kBytePlaces, deposit(lf, kCrPlaces) | kBytePlaces);
  }
  // Stores the block at `from` with a CR before each LF of `lf`: 64 +
  // popcount(lf) bytes, and more up to 128 (any bytes).  Each half of 32
  // bytes goes out with one expansion, which reads only the 32 bytes.
  static void copy64AddingCrs(char* to, const char* from, Bits lf) {
    const auto lfLow = static_cast<std::uint32_t>(lf),
               lfHigh = static_cast<std::uint32_t>(lf >> 32);
    const __m512i cr = _mm512_set1_epi8('\r');
    _mm512_storeu_si512(to, _mm512_mask_expandloadu_epi8(cr, placesOf(lfLow), from));
    _mm512_storeu_si512(to + 32 + ones(lfLow),
                        _mm512_mask_expandloadu_epi8(cr, placesOf(lfHigh), from + 32));
  }
};
static_assert(ExpandingKernel<Avx512Vbmi2> && LookupKernel<Avx512Vbmi2>);

}  // namespace
}  // namespace tarvel::blockcopy

#include "runtime/block_copy/scan.hpp"

namespace tarvel::blockcopy {
const KernelEntryPoints avx512vbmi2Kernel = entryPointsOf<Avx512Vbmi2>();
}  // namespace tarvel::blockcopy
