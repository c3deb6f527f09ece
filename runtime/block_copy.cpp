#include "runtime/block_copy.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define TARVEL_BLOCK_COPY_SSE2 1
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TARVEL_BLOCK_COPY_AVX2 1
#define TARVEL_AVX2 __attribute__((target("avx2")))
#endif

#include "runtime/output.hpp"

namespace tarvel::blockcopy {

namespace {

using Bits = std::uint64_t;
constexpr std::size_t kBlock = 64;
// Output is reserved at least this much at a time.
constexpr std::size_t kChunk = 32 * 1024;
// One block writes at most 128 bytes, and a copy stores 64 at a time.
constexpr std::size_t kBlockRoom = 3 * kBlock;

static_assert(output::kSlack >= kBlock, "short copies store whole blocks");

// A probe makes the masks of the 64 bytes at p: ends() those of LF and CR,
// heads() those of blanks and of the wanted first characters.

struct BytewiseProbe {
  explicit BytewiseProbe(const char (&w)[4]) : w0(w[0]), w1(w[1]), w2(w[2]), w3(w[3]) {}

  void ends(const char* p, Bits& lf, Bits& cr) const {
    lf = cr = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
      lf |= Bits{p[i] == '\n'} << i;
      cr |= Bits{p[i] == '\r'} << i;
    }
  }
  void heads(const char* p, Bits& blank, Bits& wanted) const {
    blank = wanted = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
      const char c = p[i];
      blank |= Bits{c == ' ' || c == '\t'} << i;
      wanted |= Bits{c == w0 || c == w1 || c == w2 || c == w3} << i;
    }
  }

  char w0, w1, w2, w3;
};

#if defined(TARVEL_BLOCK_COPY_SSE2)
struct Sse2Probe {
  explicit Sse2Probe(const char (&w)[4])
      : w0(_mm_set1_epi8(w[0])),
        w1(_mm_set1_epi8(w[1])),
        w2(_mm_set1_epi8(w[2])),
        w3(_mm_set1_epi8(w[3])) {}

  static __m128i load(const char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static Bits bits(__m128i hits, int i) {
    return static_cast<Bits>(static_cast<std::uint16_t>(_mm_movemask_epi8(hits))) << (16 * i);
  }
  void ends(const char* p, Bits& lf, Bits& cr) const {
    lf = cr = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i v = load(p + 16 * i);
      lf |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), i);
      cr |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), i);
    }
  }
  void heads(const char* p, Bits& blank, Bits& wanted) const {
    blank = wanted = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i v = load(p + 16 * i);
      blank |= bits(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                                 _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))),
                    i);
      wanted |= bits(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, w0), _mm_cmpeq_epi8(v, w1)),
                                  _mm_or_si128(_mm_cmpeq_epi8(v, w2), _mm_cmpeq_epi8(v, w3))),
                     i);
    }
  }

  __m128i w0, w1, w2, w3;
};
#endif

#if defined(TARVEL_BLOCK_COPY_AVX2)
struct Avx2Probe {
  TARVEL_AVX2 explicit Avx2Probe(const char (&w)[4])
      : w0(_mm256_set1_epi8(w[0])),
        w1(_mm256_set1_epi8(w[1])),
        w2(_mm256_set1_epi8(w[2])),
        w3(_mm256_set1_epi8(w[3])) {}

  TARVEL_AVX2 static __m256i load(const char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  TARVEL_AVX2 static Bits bits(__m256i low, __m256i high) {
    return static_cast<Bits>(static_cast<std::uint32_t>(_mm256_movemask_epi8(low))) |
           static_cast<Bits>(static_cast<std::uint32_t>(_mm256_movemask_epi8(high))) << 32;
  }
  TARVEL_AVX2 void ends(const char* p, Bits& lf, Bits& cr) const {
    const __m256i a = load(p), b = load(p + 32);
    const __m256i nl = _mm256_set1_epi8('\n'), ret = _mm256_set1_epi8('\r');
    lf = bits(_mm256_cmpeq_epi8(a, nl), _mm256_cmpeq_epi8(b, nl));
    cr = bits(_mm256_cmpeq_epi8(a, ret), _mm256_cmpeq_epi8(b, ret));
  }
  TARVEL_AVX2 __m256i blanks(__m256i v) const {
    return _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(' ')),
                           _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t')));
  }
  TARVEL_AVX2 __m256i wants(__m256i v) const {
    return _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, w0), _mm256_cmpeq_epi8(v, w1)),
                           _mm256_or_si256(_mm256_cmpeq_epi8(v, w2), _mm256_cmpeq_epi8(v, w3)));
  }
  TARVEL_AVX2 void heads(const char* p, Bits& blank, Bits& wanted) const {
    const __m256i a = load(p), b = load(p + 32);
    blank = bits(blanks(a), blanks(b));
    wanted = bits(wants(a), wants(b));
  }

  __m256i w0, w1, w2, w3;
};
#endif

// Output through reservations of the standard-output buffer; pieces of a
// block or less are copied with one fixed-width store, and pieces too large
// to be worth copying are written straight from the input.
class Emitter {
 public:
  Emitter() { reserveChunk(kChunk); }
  Emitter(const Emitter&) = delete;
  Emitter& operator=(const Emitter&) = delete;

  // Room for one block's output.
  void makeRoom() {
    if (static_cast<std::size_t>(limit_ - out_) < kBlockRoom) {
      output::commit(out_);
      reserveChunk(kChunk);
    }
  }
  void copy(const char* from, const char* to) {
    const auto n = static_cast<std::size_t>(to - from);
    if (n <= kBlock) {
      std::memcpy(out_, from, kBlock);
      out_ += n;
      return;
    }
    if (n >= output::kDirectWriteSize) {
      output::commit(out_);
      output::write(from, n);
      reserveChunk(kChunk);
      return;
    }
    if (static_cast<std::size_t>(limit_ - out_) < n + kBlockRoom) {
      output::commit(out_);
      reserveChunk(n + kBlockRoom < kChunk ? kChunk : n + kBlockRoom);
    }
    std::memcpy(out_, from, n);
    out_ += n;
  }
  void put(char c) { *out_++ = c; }
  void done() { output::commit(out_); }

 private:
  void reserveChunk(std::size_t size) {
    out_ = output::reserve(size);
    limit_ = out_ + size;
  }
  char* out_;
  char* limit_;
};

inline Bits below(std::size_t n) { return n >= kBlock ? ~Bits{0} : (Bits{1} << n) - 1; }

// Whether the line whose first non-blank character, a wanted one, is at p
// stops the copy: when the filter picks it, or when its head is not all in
// the input yet.
bool stopsAt(const char* p, const char* end, bool final, const LineFilter& filter) {
  const auto rest = static_cast<std::size_t>(end - p);
  const std::size_t size = rest < filter.headSize ? rest : filter.headSize;
  const void* lf = std::memchr(p, '\n', size);
  if (lf == nullptr && size < filter.headSize && !final) return true;
  const std::size_t headSize =
      lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - p) : size;
  return filter.isSpecial({p, headSize});
}

template <class Probe>
[[gnu::always_inline]] inline Result copyWith(const Probe& probe, const char* from, const char* end,
                                              bool final, bool streamCurrent, CrRun& cr,
                                              const LineFilter& filter) {
  Emitter out;
  const char* clean = from;  // input before this has been copied
  const char* tail = from;   // the start of the last line that begins here
  Bits startCarry = 0;       // the block starts a line
  Bits crLast = cr.last, crOdd = cr.odd;
  for (const char* base = from; base < end; base += kBlock) {
    const auto n = static_cast<std::size_t>(end - base < 64 ? end - base : 64);
    const Bits valid = below(n);
    Bits lf = 0, crs = 0;
    probe.ends(base, lf, crs);
    lf &= valid;
    crs &= valid;
    if ((lf | crs | startCarry) == 0) {
      // Inside a line, with nothing to edit or judge.
      crLast = crOdd = 0;
      continue;
    }

    // The first non-blank character of each line that starts here: adding
    // a line start to the run of blanks it begins carries to the end of
    // the run.  A run that reaches the end of the block goes on in the
    // next one; one that reaches the end of the input is not judged yet.
    const Bits starts = (lf << 1) | startCarry;
    Bits firsts = 0, candidates = 0;
    bool runsOn = false;
    if (starts != 0) {
      Bits blank = 0, wanted = 0;
      probe.heads(base, blank, wanted);
      blank &= valid;
      Bits sum = 0;
      runsOn = __builtin_add_overflow(blank, starts & blank, &sum);
      firsts = (sum | starts) & ~blank;
      candidates = firsts & wanted & valid;
    }
    const bool unjudged = n < kBlock && ((firsts >> n) & 1) != 0;
    // Of the lines with a wanted first character, the first that stops
    // the copy.
    Bits stops = 0;
    for (; candidates != 0; candidates &= candidates - 1) {
      const auto at = static_cast<std::size_t>(std::countr_zero(candidates));
      if (stopsAt(base + at, end, final, filter)) {
        stops = Bits{1} << at;
        break;
      }
    }

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

    // Where copying stops: the start of the first line that stops it, or
    // of the line not judged yet, which began in an earlier block when no
    // LF comes before it in this one.
    const bool stop = stops != 0 || unjudged;
    const char* stopAt = tail;
    if (stop) {
      const Bits lfBefore = stops != 0 ? lf & (stops - 1) : lf;
      const std::size_t limit =
          lfBefore == 0 ? 0 : kBlock - static_cast<std::size_t>(std::countl_zero(lfBefore));
      if (lfBefore != 0) stopAt = base + limit;
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
      out.copy(clean, stopAt);
      out.done();
      cr = CrRun{};
      return {stopAt, false};
    }

    if (lf != 0) tail = base + kBlock - std::countl_zero(lf);
    if (((crs >> (n - 1)) & 1) != 0) {
      const auto run = static_cast<std::size_t>(std::countl_one(crs << (kBlock - n)));
      crOdd = (run == n ? run ^ crOdd : run) & 1;
      crLast = 1;
    } else {
      crLast = crOdd = 0;
    }
    startCarry = (lf >> 63) | Bits{runsOn};
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

using Copier = Result (*)(const char*, const char*, bool, bool, CrRun&, const LineFilter&);

Result copyBytewise(const char* from, const char* end, bool final, bool streamCurrent, CrRun& cr,
                    const LineFilter& filter) {
  return copyWith(BytewiseProbe(filter.firsts), from, end, final, streamCurrent, cr, filter);
}

#if defined(TARVEL_BLOCK_COPY_SSE2)
Result copySse2(const char* from, const char* end, bool final, bool streamCurrent, CrRun& cr,
                const LineFilter& filter) {
  return copyWith(Sse2Probe(filter.firsts), from, end, final, streamCurrent, cr, filter);
}
#endif

#if defined(TARVEL_BLOCK_COPY_AVX2)
__attribute__((target("avx2"))) Result copyAvx2(const char* from, const char* end, bool final,
                                                bool streamCurrent, CrRun& cr,
                                                const LineFilter& filter) {
  return copyWith(Avx2Probe(filter.firsts), from, end, final, streamCurrent, cr, filter);
}
#endif

// The copier of each method, or null when this build or this processor
// cannot use it.
#if defined(TARVEL_BLOCK_COPY_SSE2)
Copier sse2Copier() { return copySse2; }
#else
Copier sse2Copier() { return nullptr; }
#endif

#if defined(TARVEL_BLOCK_COPY_AVX2)
Copier avx2Copier() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? copyAvx2 : nullptr;
}
#else
Copier avx2Copier() { return nullptr; }
#endif

Copier copierFor(Method method) {
  switch (method) {
    case Method::bytewise:
      break;
    case Method::sse2:
      return sse2Copier();
    case Method::avx2:
      return avx2Copier();
  }
  return copyBytewise;
}

struct Methods {
  Method list[3];
  std::size_t count;
};

Methods findMethods() {
  Methods found{{Method::bytewise, Method::bytewise, Method::bytewise}, 1};
  for (const Method method : {Method::sse2, Method::avx2})
    if (copierFor(method) != nullptr) found.list[found.count++] = method;
  return found;
}

const Methods& methods() {
  static const Methods found = findMethods();
  return found;
}

Copier copier = nullptr;

}  // namespace

std::span<const Method> availableMethods() { return {methods().list, methods().count}; }

void useMethod(Method method) {
  const Copier chosen = copierFor(method);
  copier = chosen != nullptr ? chosen : copyBytewise;
}

Result copyOrdinary(const char* from, const char* end, bool final, bool streamCurrent, CrRun& cr,
                    const LineFilter& filter) {
  if (copier == nullptr) useMethod(availableMethods().back());
  return copier(from, end, final, streamCurrent, cr, filter);
}

}  // namespace tarvel::blockcopy
