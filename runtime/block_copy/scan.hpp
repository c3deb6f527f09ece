#include "runtime/block_copy.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
// SSE2 is there on every x86-64 processor and chosen at run time on 32-bit
// x86, where the build cannot assume it.
#include <emmintrin.h>
#define TARVEL_BLOCK_COPY_SSE2 1
#define TARVEL_SSE2 __attribute__((target("sse2")))
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TARVEL_BLOCK_COPY_AVX2 1
#define TARVEL_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt")))
#define TARVEL_AVX512 __attribute__((target("avx512f,avx512bw,bmi,bmi2,popcnt")))
#endif

#include "runtime/output.hpp"

namespace tarvel::blockcopy {

namespace {

using Bits = std::uint64_t;
constexpr std::size_t kBlock = 64;
// Output is reserved at least this much at a time.
constexpr std::size_t kChunk = 32 * 1024;
// One block writes at most 128 bytes after a piece of at most 64 from
// earlier blocks, and a copy stores 64 at a time.
constexpr std::size_t kBlockRoom = 4 * kBlock;

static_assert(output::kSlack >= kBlock, "short copies store whole blocks");

// A probe makes the masks of the 64 bytes at p: marks() those of LF, CR and
// the wanted first characters, blanks() that of blanks.

struct BytewiseProbe {
  explicit BytewiseProbe(const LineFilter& f)
      : w0(f.firsts[0]), w1(f.firsts[1]), w2(f.firsts[2]), w3(f.firsts[3]) {}

  void marks(const char* p, Bits& lf, Bits& cr, Bits& wanted) const {
    lf = cr = wanted = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
      const char c = p[i];
      lf |= Bits{c == '\n'} << i;
      cr |= Bits{c == '\r'} << i;
      wanted |= Bits{c == w0 || c == w1 || c == w2 || c == w3} << i;
    }
  }
  static void copyBlock(char* to, const char* from) { std::memcpy(to, from, kBlock); }
  static Bits blanks(const char* p) {
    Bits blank = 0;
    for (std::size_t i = 0; i < kBlock; ++i) blank |= Bits{p[i] == ' ' || p[i] == '\t'} << i;
    return blank;
  }

  char w0, w1, w2, w3;
};

#if defined(TARVEL_BLOCK_COPY_SSE2)
struct Sse2Probe {
  TARVEL_SSE2 explicit Sse2Probe(const LineFilter& f)
      : w0(_mm_set1_epi8(f.firsts[0])),
        w1(_mm_set1_epi8(f.firsts[1])),
        w2(_mm_set1_epi8(f.firsts[2])),
        w3(_mm_set1_epi8(f.firsts[3])) {}

  TARVEL_SSE2 static __m128i load(const char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  TARVEL_SSE2 static Bits bits(__m128i hits, int i) {
    return static_cast<Bits>(static_cast<std::uint16_t>(_mm_movemask_epi8(hits))) << (16 * i);
  }
  TARVEL_SSE2 void marks(const char* p, Bits& lf, Bits& cr, Bits& wanted) const {
    lf = cr = wanted = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i v = load(p + 16 * i);
      lf |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), i);
      cr |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), i);
      wanted |= bits(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, w0), _mm_cmpeq_epi8(v, w1)),
                                  _mm_or_si128(_mm_cmpeq_epi8(v, w2), _mm_cmpeq_epi8(v, w3))),
                     i);
    }
  }
  static void copyBlock(char* to, const char* from) { std::memcpy(to, from, kBlock); }
  TARVEL_SSE2 static Bits blanks(const char* p) {
    Bits blank = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i v = load(p + 16 * i);
      blank |= bits(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                                 _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))),
                    i);
    }
    return blank;
  }

  __m128i w0, w1, w2, w3;
};
#endif

#if defined(TARVEL_BLOCK_COPY_AVX2)
// The wanted first characters as table lookups: a byte is wanted when,
// with bit 0x20 set, it equals the `firsts` entry its low four bits pick,
// and the byte after it, with bit 0x20 set, equals the `seconds` entry.
// That folds 'i' and 'I' together and lets through a few control
// characters as well (0x03 with '#', say), which is harmless: a wanted
// character only makes a line a candidate, and the filter judges every
// candidate.  The byte after the last byte of input is whatever lies there;
// that is harmless too, since that byte is only looked at for the last line
// of the input, which is never copied before its end has been read, and
// whose head, when the input ends there, is too short to be picked.
// Usable when no two folded first characters share their low bits, and a
// first character that folds like another needs the same second.
struct FoldedTables {
  explicit FoldedTables(const LineFilter& filter) {
    for (char& entry : firsts) entry = static_cast<char>(0x80);  // matches no folded byte
    for (char& entry : seconds) entry = static_cast<char>(0x80);
    for (std::size_t i = 0; i < 4; ++i) {
      const char first = static_cast<char>(filter.firsts[i] | 0x20);
      const char second = static_cast<char>(filter.seconds[i] | 0x20);
      const std::size_t at = first & 0x0f;
      // A lookup with the top bit set gives 0, which matches nothing.
      if ((first & 0x80) != 0 || (firsts[at] != static_cast<char>(0x80) && firsts[at] != first) ||
          (seconds[at] != static_cast<char>(0x80) && seconds[at] != second))
        usable = false;
      firsts[at] = first;
      seconds[at] = second;
    }
  }
  char firsts[16];
  char seconds[16];
  bool usable = true;
};

// kByTable: the wanted characters are found by table (see FoldedTables).
template <bool kByTable>
struct Avx2Probe {
  TARVEL_AVX2 explicit Avx2Probe(const LineFilter& f)
      : w0(_mm256_set1_epi8(f.firsts[0])),
        w1(_mm256_set1_epi8(f.firsts[1])),
        w2(_mm256_set1_epi8(f.firsts[2])),
        w3(_mm256_set1_epi8(f.firsts[3])) {
    const FoldedTables tables(f);
    firsts = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(tables.firsts)));
    seconds = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(tables.seconds)));
  }

  TARVEL_AVX2 static __m256i load(const char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  TARVEL_AVX2 static Bits bits(__m256i low, __m256i high) {
    return static_cast<Bits>(static_cast<std::uint32_t>(_mm256_movemask_epi8(low))) |
           static_cast<Bits>(static_cast<std::uint32_t>(_mm256_movemask_epi8(high))) << 32;
  }
  TARVEL_AVX2 void marks(const char* p, Bits& lf, Bits& cr, Bits& wanted) const {
    const __m256i a = load(p), b = load(p + 32);
    const __m256i nl = _mm256_set1_epi8('\n'), ret = _mm256_set1_epi8('\r');
    lf = bits(_mm256_cmpeq_epi8(a, nl), _mm256_cmpeq_epi8(b, nl));
    cr = bits(_mm256_cmpeq_epi8(a, ret), _mm256_cmpeq_epi8(b, ret));
    wanted = bits(wants(a, load(p + 1)), wants(b, load(p + 33)));
  }
  // A byte is a blank when the table entry its low four bits pick is the
  // byte itself: only a space and a tab are in the table, and a byte with
  // its top bit set looks up 0.
  TARVEL_AVX2 static __m256i blanksOf(__m256i v) {
    const __m256i table =
        _mm256_setr_epi8(' ', -128, -128, -128, -128, -128, -128, -128, -128, '\t', -128, -128,
                         -128, -128, -128, -128, ' ', -128, -128, -128, -128, -128, -128, -128,
                         -128, '\t', -128, -128, -128, -128, -128, -128);
    return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, v), v);
  }
  // Wanted first characters (by table, those followed by their second).
  TARVEL_AVX2 __m256i wants(__m256i v, __m256i next) const {
    if constexpr (kByTable) {
      const __m256i fold = _mm256_set1_epi8(0x20);
      const __m256i folded = _mm256_or_si256(v, fold);
      return _mm256_and_si256(
          _mm256_cmpeq_epi8(_mm256_shuffle_epi8(firsts, folded), folded),
          _mm256_cmpeq_epi8(_mm256_shuffle_epi8(seconds, folded), _mm256_or_si256(next, fold)));
    }
    return _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, w0), _mm256_cmpeq_epi8(v, w1)),
                           _mm256_or_si256(_mm256_cmpeq_epi8(v, w2), _mm256_cmpeq_epi8(v, w3)));
  }
  TARVEL_AVX2 static void copyBlock(char* to, const char* from) {
    const __m256i a = load(from), b = load(from + 32);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32), b);
  }
  TARVEL_AVX2 static Bits blanks(const char* p) {
    return bits(blanksOf(load(p)), blanksOf(load(p + 32)));
  }

  __m256i w0, w1, w2, w3, firsts, seconds;
};

// The same with 64-byte compares straight into masks.
// kByTable: the wanted characters are found by table (see FoldedTables).
template <bool kByTable>
struct Avx512Probe {
  TARVEL_AVX512 explicit Avx512Probe(const LineFilter& f)
      : w0(_mm512_set1_epi8(f.firsts[0])),
        w1(_mm512_set1_epi8(f.firsts[1])),
        w2(_mm512_set1_epi8(f.firsts[2])),
        w3(_mm512_set1_epi8(f.firsts[3])) {
    const FoldedTables tables(f);
    firsts = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tables.firsts)));
    seconds =
        _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tables.seconds)));
  }

  TARVEL_AVX512 static __m512i load(const char* p) { return _mm512_loadu_si512(p); }
  TARVEL_AVX512 void marks(const char* p, Bits& lf, Bits& cr, Bits& wanted) const {
    const __m512i v = load(p);
    lf = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\n'));
    cr = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\r'));
    if constexpr (kByTable) {
      const __m512i fold = _mm512_set1_epi8(0x20);
      const __m512i folded = _mm512_or_si512(v, fold);
      const __mmask64 first = _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(firsts, folded), folded);
      wanted = _mm512_mask_cmpeq_epi8_mask(first, _mm512_shuffle_epi8(seconds, folded),
                                           _mm512_or_si512(load(p + 1), fold));
    } else {
      wanted = (_mm512_cmpeq_epi8_mask(v, w0) | _mm512_cmpeq_epi8_mask(v, w1)) |
               (_mm512_cmpeq_epi8_mask(v, w2) | _mm512_cmpeq_epi8_mask(v, w3));
    }
  }
  TARVEL_AVX512 static void copyBlock(char* to, const char* from) {
    _mm512_storeu_si512(to, load(from));
  }
  TARVEL_AVX512 static Bits blanks(const char* p) {
    const __m512i v = load(p);
    const __m512i table = _mm512_broadcast_i32x4(
        _mm_setr_epi8(' ', -128, -128, -128, -128, -128, -128, -128, -128, '\t', -128, -128, -128,
                      -128, -128, -128));
    return _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(table, v), v);
  }

  __m512i w0, w1, w2, w3, firsts, seconds;
};
#endif

// Output through reservations of the standard-output buffer; pieces of a
// block or less are copied with one fixed-width store, and pieces too large
// to be worth copying are written straight from the input.  The two
// pointers are passed and returned by value so that they stay in registers.
struct Room {
  char* out;
  char* limit;
};

Room reserveChunk(std::size_t size) {
  char* const out = output::reserve(size);
  return {out, out + size};
}

// Copies a piece longer than a block.
[[gnu::noinline]] Room copyLong(Room room, const char* from, std::size_t n) {
  if (n >= output::kDirectWriteSize) {
    output::commit(room.out);
    output::write(from, n);
    return reserveChunk(kChunk);
  }
  if (static_cast<std::size_t>(room.limit - room.out) < n + kBlockRoom) {
    output::commit(room.out);
    room = reserveChunk(n + kBlockRoom < kChunk ? kChunk : n + kBlockRoom);
  }
  std::memcpy(room.out, from, n);
  room.out += n;
  return room;
}

[[gnu::noinline]] Room moreRoom(Room room) {
  output::commit(room.out);
  return reserveChunk(kChunk);
}

template <class Probe>
class Emitter {
 public:
  Emitter() : room_(reserveChunk(kChunk)) {}
  Emitter(const Emitter&) = delete;
  Emitter& operator=(const Emitter&) = delete;

  // Room for one block's output.
  [[gnu::always_inline]] void makeRoom() {
    if (static_cast<std::size_t>(room_.limit - room_.out) < kBlockRoom) room_ = moreRoom(room_);
  }
  [[gnu::always_inline]] void copy(const char* from, const char* to) {
    const auto n = static_cast<std::size_t>(to - from);
    if (n <= kBlock) [[likely]] {
      Probe::copyBlock(room_.out, from);
      room_.out += n;
      return;
    }
    room_ = copyLong(room_, from, n);
  }
  // Copies a piece of at most a block, then a CR.  REQUIRES: room made.
  [[gnu::always_inline]] void copyShortCr(const char* from, const char* to) {
    Probe::copyBlock(room_.out, from);
    room_.out += to - from;
    *room_.out++ = '\r';
  }
  // Copies the whole block at base with a CR before each LF at `bare`.
  // Every piece goes with one fixed-width store, and the first two without
  // a branch on whether they exist (a missing one lands past the end, in
  // scratch).  REQUIRES: room made, bare != 0, kReadSlack bytes readable
  // after the block.
  [[gnu::always_inline]] void spread(const char* base, Bits bare) {
    char* const to = room_.out;
    Bits rest = bare & (bare - 1);
    const auto first = static_cast<std::size_t>(std::countr_zero(bare));
    const auto second = static_cast<std::size_t>(std::countr_zero(rest));  // 64 when none
    Probe::copyBlock(to, base);
    to[first] = '\r';
    Probe::copyBlock(to + first + 1, base + first);
    to[second + 1] = '\r';
    Probe::copyBlock(to + second + 2, base + second);
    std::size_t crs = 2;
    for (rest &= rest - 1; rest != 0; rest &= rest - 1, ++crs) [[unlikely]] {
      const auto at = static_cast<std::size_t>(std::countr_zero(rest));
      to[at + crs] = '\r';
      Probe::copyBlock(to + at + crs + 1, base + at);
    }
    room_.out = to + kBlock + std::popcount(bare);
  }
  // Takes back the last n bytes copied.  REQUIRES: they were copied since
  // the last makeRoom, copy or spread that could hand output over.
  [[gnu::always_inline]] void takeBack(std::size_t n) { room_.out -= n; }
  [[gnu::always_inline]] void put(char c) { *room_.out++ = c; }
  [[gnu::always_inline]] void done() { output::commit(room_.out); }

 private:
  Room room_;
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

// Of the lines of the block at base (n bytes of input, LFs at `lf`) whose
// first non-blank character is at a bit of `candidates`, the first that
// stops the copy (its bit), or 0.  A head that lies inside the block is cut
// at its LF by the mask.
[[gnu::noinline]] Bits firstStop(const char* base, std::size_t n, Bits lf, Bits candidates,
                                 const char* end, bool final, const LineFilter& filter) {
  for (; candidates != 0; candidates &= candidates - 1) {
    const auto at = static_cast<std::size_t>(std::countr_zero(candidates));
    bool stops;
    if (at + filter.headSize <= n) {
      const Bits after = (lf >> at) & below(filter.headSize);
      const std::size_t headSize =
          after != 0 ? static_cast<std::size_t>(std::countr_zero(after)) : filter.headSize;
      stops = filter.isSpecial({base + at, headSize});
    } else {
      stops = stopsAt(base + at, end, final, filter);
    }
    if (stops) return Bits{1} << at;
  }
  return 0;
}

// Of the LFs at `unsure`, each after a CR that follows another CR (or the
// run before the block), those after an even run of CRs.
[[gnu::noinline]] Bits afterEvenRuns(Bits unsure, Bits crs, Bits crOdd) {
  Bits even = 0;
  for (; unsure != 0; unsure &= unsure - 1) {
    const auto at = static_cast<unsigned>(std::countr_zero(unsure));
    const auto run = at == 0 ? 0u : static_cast<unsigned>(std::countl_one(crs << (64 - at)));
    const Bits odd = (run == at ? run ^ crOdd : run) & 1;
    if (odd == 0) even |= Bits{1} << at;
  }
  return even;
}

// The start of the last line that begins in [from, to): just after its
// last LF, or `from` when it has none.
#if defined(__SSE2__)
const char* lastLineStart(const char* from, const char* to) {
  const __m128i lf = _mm_set1_epi8('\n');
  for (; to - from >= 16; to -= 16) {
    const int hits = _mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(to - 16)), lf));
    if (hits != 0) return to - 16 + (32 - std::countl_zero(static_cast<std::uint32_t>(hits)));
  }
  for (; to != from; --to)
    if (to[-1] == '\n') return to;
  return from;
}
#else
const char* lastLineStart(const char* from, const char* to) {
  for (; to != from; --to)
    if (to[-1] == '\n') return to;
  return from;
}
#endif

// What the scan carries from one block to the next.
struct Scan {
  const char* from;   // where the input starts, inside a line already judged
  const char* clean;  // input before this has been copied
  Bits crLast;        // the block before ends in a CR
  Bits crOdd;         // ... in an odd run of them
};

// 1 when a line starts at `at`, or when only blanks lie between the start of
// a line and `at`; else 0.  Only lines that start after `from` count.
[[gnu::noinline]] Bits lineRunsTo(const char* from, const char* at) {
  while (at != from && (at[-1] == ' ' || at[-1] == '\t')) --at;
  return at != from && at[-1] == '\n' ? 1 : 0;
}

// Makes `to` the end of what has been copied when a whole block was copied
// past it (into the start of a line that must wait): no LF lies between, so
// the bytes to take back are exactly those of the input.
template <class Probe>
[[gnu::always_inline]] inline void takeBackTo(Emitter<Probe>& out, Scan& s, const char* to) {
  if (to < s.clean) [[unlikely]] {
    out.takeBack(static_cast<std::size_t>(s.clean - to));
    s.clean = to;
  }
}

// Scans and copies the block at base, n bytes of input (64 when kFull).
// Returns whether copying stops, and then where.
template <bool kFull, class Probe>
[[gnu::always_inline]] inline bool scanBlock(const Probe& probe, const char* base, std::size_t n,
                                             const char* end, bool final,
                                             const LineFilter& filter, Emitter<Probe>& out, Scan& s,
                                             const char*& stopAt) {
  Bits lf = 0, crs = 0, wanted = 0;
  probe.marks(base, lf, crs, wanted);
  if constexpr (!kFull) {
    const Bits valid = below(n);
    lf &= valid;
    crs &= valid;
    wanted &= valid;
  }

  // Lines are looked at only in blocks with a wanted character, where the
  // first non-blank character of each line that starts here falls out of
  // adding each line start to the run of blanks it begins: the carry goes
  // to the end of the run.  A run that reaches the end of the input leaves
  // its line not judged yet.  The last block is always looked at, for that.
  Bits stops = 0;
  bool unjudged = false;
  if (!kFull || wanted != 0) [[unlikely]] {
    const Bits starts = (lf << 1) | lineRunsTo(s.from, base);
    Bits blank = Probe::blanks(base);
    if constexpr (!kFull) blank &= below(n);
    const Bits sum = blank + (starts & blank);
    const Bits firsts = (sum | starts) & ~blank;
    const Bits candidates = firsts & wanted;
    if constexpr (!kFull) unjudged = n < kBlock && ((firsts >> n) & 1) != 0;
    // Of the lines with a wanted first character, the first that stops
    // the copy.
    if (candidates != 0) [[unlikely]]
      stops = firstStop(base, n, lf, candidates, end, final, filter);
  }

  // An LF after no CR is bare; after a run of CRs it is bare when the run
  // is even, every CR then pairing with the next as data.
  const Bits crBefore = (crs << 1) | s.crLast;
  Bits bare = lf & ~crBefore;
  const Bits unsure = lf & crBefore & ((crs << 2) | (s.crLast * 3));
  if (unsure != 0) [[unlikely]]
    bare |= afterEvenRuns(unsure, crs, s.crOdd);

  if (stops != 0 || unjudged) [[unlikely]] {
    // Copying stops at the start of the first line that stops it, or of
    // the line not judged yet, which began in an earlier block when no LF
    // comes before it in this one.
    const Bits lfBefore = stops != 0 ? lf & (stops - 1) : lf;
    const std::size_t limit =
        lfBefore == 0 ? 0 : kBlock - static_cast<std::size_t>(std::countl_zero(lfBefore));
    stopAt = lfBefore != 0 ? base + limit : lastLineStart(s.from, base);
    bare &= below(limit);
    takeBackTo(out, s, stopAt);
    out.makeRoom();
    for (; bare != 0; bare &= bare - 1) {
      const char* at = base + std::countr_zero(bare);
      out.copy(s.clean, at);
      out.put('\r');
      s.clean = at;
    }
    out.copy(s.clean, stopAt);
    return true;
  }

  if (bare != 0) {
    out.makeRoom();
    if constexpr (kFull) {
      // A block that needs an edit goes out whole, after the run before
      // it that needed none.  That may copy the start of the last line
      // too early; it is taken back when copying ends (takeBackTo).
      if (s.clean != base) [[unlikely]]
        out.copy(s.clean, base);
      out.spread(base, bare);
      s.clean = base + kBlock;
    } else {
      // The first piece may have begun in an earlier block; the others
      // lie inside this one.
      const char* at = base + std::countr_zero(bare);
      out.copy(s.clean, at);
      out.put('\r');
      for (bare &= bare - 1; bare != 0; bare &= bare - 1) {
        const char* const next = base + std::countr_zero(bare);
        out.copyShortCr(at, next);
        at = next;
      }
      s.clean = at;
    }
  }

  const std::size_t lastBit = kFull ? kBlock - 1 : n - 1;
  if (((crs >> lastBit) & 1) != 0) [[unlikely]] {
    const std::size_t size = kFull ? kBlock : n;
    const auto run = static_cast<std::size_t>(std::countl_one(crs << (kBlock - size)));
    s.crOdd = (run == size ? run ^ s.crOdd : run) & 1;
    s.crLast = 1;
  } else {
    s.crLast = s.crOdd = 0;
  }
  return false;
}

template <class Probe>
[[gnu::always_inline]] inline Result copyWith(const Probe& probe, const char* from, const char* end,
                                              bool final, bool streamCurrent, CrRun& cr,
                                              const LineFilter& filter) {
  Emitter<Probe> out;
  Scan s{from, from, cr.last, cr.odd};
  const char* base = from;
  const char* stopAt = nullptr;
  bool stopped = false;
  const char* const lastFull = from + (static_cast<std::size_t>(end - from) & ~(kBlock - 1));
  for (; base != lastFull; base += kBlock) {
    if (scanBlock<true>(probe, base, kBlock, end, final, filter, out, s, stopAt)) {
      stopped = true;
      break;
    }
  }
  if (!stopped && base < end)
    stopped = scanBlock<false>(probe, base, static_cast<std::size_t>(end - base), end, final,
                               filter, out, s, stopAt);
  if (stopped) {
    out.done();
    cr = CrRun{};
    return {stopAt, false};
  }

  const char* const tail = lastLineStart(from, end);
  if (!final && (tail != from || !streamCurrent)) {
    // The last line waits for its end.
    takeBackTo(out, s, tail);
    out.copy(s.clean, tail);
    out.done();
    cr = CrRun{};
    return {tail, false};
  }
  out.copy(s.clean, end);
  out.done();
  cr = CrRun{s.crLast != 0, s.crOdd != 0};
  return {end, tail != end};
}

using Copier = Result (*)(const char*, const char*, bool, bool, CrRun&, const LineFilter&);

Result copyBytewise(const char* from, const char* end, bool final, bool streamCurrent, CrRun& cr,
                    const LineFilter& filter) {
  return copyWith(BytewiseProbe(filter), from, end, final, streamCurrent, cr, filter);
}

#if defined(TARVEL_BLOCK_COPY_SSE2)
TARVEL_SSE2 Result copySse2(const char* from, const char* end, bool final, bool streamCurrent,
                            CrRun& cr, const LineFilter& filter) {
  return copyWith(Sse2Probe(filter), from, end, final, streamCurrent, cr, filter);
}
#endif

#if defined(TARVEL_BLOCK_COPY_AVX2)
TARVEL_AVX2 Result copyAvx2(const char* from, const char* end, bool final,
                                                bool streamCurrent, CrRun& cr,
                                                const LineFilter& filter) {
  if (FoldedTables(filter).usable)
    return copyWith(Avx2Probe<true>(filter), from, end, final, streamCurrent, cr, filter);
  return copyWith(Avx2Probe<false>(filter), from, end, final, streamCurrent, cr, filter);
}

TARVEL_AVX512 Result copyAvx512(const char* from, const char* end, bool final,
                                bool streamCurrent, CrRun& cr, const LineFilter& filter) {
  if (FoldedTables(filter).usable)
    return copyWith(Avx512Probe<true>(filter), from, end, final, streamCurrent, cr, filter);
  return copyWith(Avx512Probe<false>(filter), from, end, final, streamCurrent, cr, filter);
}
#endif

// The copier of each method, or null when this build or this processor
// cannot use it.
#if defined(TARVEL_BLOCK_COPY_SSE2)
Copier sse2Copier() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse2") ? copySse2 : nullptr;
}
#else
Copier sse2Copier() { return nullptr; }
#endif

#if defined(TARVEL_BLOCK_COPY_AVX2)
// The bit instructions the AVX2 and AVX-512 ways are compiled with.
bool hasBitInstructions() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
         __builtin_cpu_supports("popcnt");
}

Copier avx2Copier() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && hasBitInstructions() ? copyAvx2 : nullptr;
}
Copier avx512Copier() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512bw") && hasBitInstructions() ? copyAvx512 : nullptr;
}
#else
Copier avx2Copier() { return nullptr; }
Copier avx512Copier() { return nullptr; }
#endif

Copier copierFor(Method method) {
  switch (method) {
    case Method::bytewise:
      break;
    case Method::sse2:
      return sse2Copier();
    case Method::avx2:
      return avx2Copier();
    case Method::avx512:
      return avx512Copier();
  }
  return copyBytewise;
}

struct Methods {
  Method list[4];
  std::size_t count;
};

Methods findMethods() {
  Methods found{{Method::bytewise, Method::bytewise, Method::bytewise, Method::bytewise}, 1};
  for (const Method method : {Method::sse2, Method::avx2, Method::avx512})
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
