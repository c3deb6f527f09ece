#include "runtime/block_copy.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/output.hpp"

namespace tarvel::blockcopy {

namespace {

using Bits = std::uint64_t;
constexpr std::size_t kBlock = 64;
// Output is reserved this much at a time.
constexpr std::size_t kChunk = 32 * 1024;
// One block writes at most 128 bytes, and a copy stores 64 at a time.
constexpr std::ptrdiff_t kBlockRoom = 3 * kBlock;

static_assert(output::kSlack >= kBlock, "short copies store whole blocks");

struct Masks {
  Bits lf, cr, blank, wanted;
};

// The characters looked for, ready for comparing.
#if defined(__SSE2__)
struct Probe {
  explicit Probe(const char (&w)[4])
      : lf(_mm_set1_epi8('\n')),
        cr(_mm_set1_epi8('\r')),
        space(_mm_set1_epi8(' ')),
        tab(_mm_set1_epi8('\t')),
        w0(_mm_set1_epi8(w[0])),
        w1(_mm_set1_epi8(w[1])),
        w2(_mm_set1_epi8(w[2])),
        w3(_mm_set1_epi8(w[3])) {}

  Masks masks(const char* p) const {
    Masks m{0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
      const auto bits = [](__m128i hits) {
        return static_cast<Bits>(static_cast<std::uint16_t>(_mm_movemask_epi8(hits)));
      };
      const int shift = 16 * i;
      m.lf |= bits(_mm_cmpeq_epi8(v, lf)) << shift;
      m.cr |= bits(_mm_cmpeq_epi8(v, cr)) << shift;
      m.blank |= bits(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab))) << shift;
      m.wanted |= bits(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, w0), _mm_cmpeq_epi8(v, w1)),
                                    _mm_or_si128(_mm_cmpeq_epi8(v, w2), _mm_cmpeq_epi8(v, w3))))
                  << shift;
    }
    return m;
  }

  __m128i lf, cr, space, tab, w0, w1, w2, w3;
};
#else
struct Probe {
  explicit Probe(const char (&w)[4]) : w0(w[0]), w1(w[1]), w2(w[2]), w3(w[3]) {}

  Masks masks(const char* p) const {
    Masks m{0, 0, 0, 0};
    for (std::size_t i = 0; i < kBlock; ++i) {
      const char c = p[i];
      const Bits bit = Bits{1} << i;
      if (c == '\n') m.lf |= bit;
      if (c == '\r') m.cr |= bit;
      if (c == ' ' || c == '\t') m.blank |= bit;
      if (c == w0 || c == w1 || c == w2 || c == w3) m.wanted |= bit;
    }
    return m;
  }

  char w0, w1, w2, w3;
};
#endif

// Output through reservations of the standard-output buffer; pieces of a
// block or less are copied with one fixed-width store.
class Emitter {
 public:
  Emitter() { reserveChunk(); }
  Emitter(const Emitter&) = delete;
  Emitter& operator=(const Emitter&) = delete;

  // Room for one block's output.
  void makeRoom() {
    if (limit_ - out_ < kBlockRoom) {
      output::commit(out_);
      reserveChunk();
    }
  }
  void copy(const char* from, const char* to) {
    const auto n = static_cast<std::size_t>(to - from);
    if (n <= kBlock) {
      std::memcpy(out_, from, kBlock);
      out_ += n;
      return;
    }
    output::commit(out_);
    output::write(from, n);
    reserveChunk();
  }
  void put(char c) { *out_++ = c; }
  void done() { output::commit(out_); }

 private:
  void reserveChunk() {
    out_ = output::reserve(kChunk);
    limit_ = out_ + kChunk;
  }
  char* out_;
  char* limit_;
};

Bits below(std::size_t n) { return n >= kBlock ? ~Bits{0} : (Bits{1} << n) - 1; }

}  // namespace

Result copyOrdinary(const char* from, const char* end, bool final, bool streamCurrent, CrRun& cr,
                    const char (&wanted)[4]) {
  const Probe probe(wanted);
  Emitter out;
  const char* clean = from;  // input before this has been copied
  const char* tail = from;   // the start of the last line that begins here
  Bits startCarry = 0;       // the block starts a line
  Bits crLast = cr.last, crOdd = cr.odd;
  for (const char* base = from; base < end; base += kBlock) {
    const auto n = static_cast<std::size_t>(end - base < 64 ? end - base : 64);
    const Bits valid = below(n);
    const Masks m = probe.masks(base);
    const Bits lf = m.lf & valid, crs = m.cr & valid, blank = m.blank & valid;

    // The first non-blank character of each line that starts here: adding
    // a line start to the run of blanks it begins carries to the end of
    // the run.  A line whose blanks reach the end of the block is not
    // judged yet.
    const Bits starts = (lf << 1) | startCarry;
    Bits sum = 0;
    const bool runsOn = __builtin_add_overflow(blank, starts & blank, &sum);
    const Bits firsts = (sum | starts) & ~blank;
    const Bits stops = firsts & m.wanted & valid;
    const bool unjudged = runsOn || (n < kBlock && ((firsts >> n) & 1) != 0);

    // An LF after no CR is bare; after a run of CRs it is bare when the run
    // is even, every CR then pairing with the next as data.
    const Bits crBefore = (crs << 1) | crLast;
    Bits bare = lf & ~crBefore;
    for (Bits unsure = lf & crBefore & ((crs << 2) | (crLast * 3)); unsure != 0;
         unsure &= unsure - 1) {
      const auto at = static_cast<unsigned>(std::countr_zero(unsure));
      const auto run = at == 0 ? 0u : static_cast<unsigned>(std::countl_one(crs << (64 - at)));
      const Bits odd = (run == at ? run ^ crOdd : run) & 1;
      if (odd == 0) bare |= Bits{1} << at;
    }

    // Where copying stops in this block: the start of the first wanted
    // line, or of the line not judged yet.
    std::size_t limit = n;
    const bool stop = stops != 0 || unjudged;
    if (stop) {
      const Bits lfBefore = stops != 0 ? lf & ((stops & (~stops + 1)) - 1) : lf;
      limit = lfBefore == 0 ? 0 : kBlock - static_cast<std::size_t>(std::countl_zero(lfBefore));
      bare &= below(limit);
    }

    out.makeRoom();
    for (; bare != 0; bare &= bare - 1) {
      const char* at = base + std::countr_zero(bare);
      out.copy(clean, at);
      out.put('\r');
      clean = at;
    }
    if (stop) {
      out.copy(clean, base + limit);
      out.done();
      cr = CrRun{};
      return {base + limit, false};
    }

    if (lf != 0) tail = base + kBlock - std::countl_zero(lf);
    if (((crs >> (n - 1)) & 1) != 0) {
      const auto run = static_cast<std::size_t>(std::countl_one(crs << (kBlock - n)));
      crOdd = (run == n ? run ^ crOdd : run) & 1;
      crLast = 1;
    } else {
      crLast = crOdd = 0;
    }
    startCarry = lf >> 63;
  }

  if (!final && (tail != from || !streamCurrent)) {
    // The last line waits for its end.
    out.copy(clean, tail);
    out.done();
    cr = CrRun{};
    return {tail, false};
  }
  out.copy(clean, end);
  out.done();
  cr = CrRun{crLast != 0, crOdd != 0};
  return {end, tail != end};
}

}  // namespace tarvel::blockcopy
