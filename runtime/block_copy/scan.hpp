// The block copier's algorithm, written once over a kernel's primitives.
// Included by each kernel file, after the kernel, and instantiated there
// with that file's instruction set: see kernels.hpp for why everything here
// stays in an unnamed namespace and uses only compiler built-ins.
//
// A kernel K provides, for the 64 bytes at p (more may be read past them,
// up to kReadSlack):
//   K::equal(p, c)          the mask of the bytes equal to c
//   K::foldedEqual(p, c)    the mask of the bytes that with bit 0x20 set equal c
//   K::store64(to, from)    copies 64 bytes with the widest stores it has
// and, when K::kExpandsCrs,
//   K::storeAddingCrs(to, from, lf)
//                           stores the 64 bytes at from with a CR before
//                           each LF of `lf` (!= 0), in two 64-byte stores
// and, when K::kHasLookup, a table lookup:
//   K::Table                     a 16-entry table as the kernel holds it
//   K::table(entries)            a table made of 16 characters
//   K::lookupEqual2(p, t0, t1)   the same for t0 and t1 only
//   K::lookupEqual4(p, t0, ..., t3)
//                                the mask of the bytes of p that, with the
//                                three after them, each with bit 0x20 set,
//                                equal t0[f & 15] ... t3[f & 15], where f is
//                                the byte itself (nothing when f has its top
//                                bit set)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "runtime/block_copy/kernels.hpp"

namespace tarvel::blockcopy {
namespace {

constexpr std::size_t kBlock = 64;
// One block writes at most 128 bytes after a piece of at most 64 from
// earlier blocks, and a copy stores 64 at a time.
constexpr std::size_t kBlockRoom = 4 * kBlock;

// Bit helpers on compiler built-ins (see kernels.hpp).  On 32-bit x86 a
// mask is two registers, and the 64-bit built-ins become library calls:
// there they are made of 32-bit ones.
constexpr bool kNarrow = sizeof(std::size_t) < sizeof(Bits);
inline unsigned lowestBit(Bits x) {  // x != 0
  if constexpr (kNarrow) {
    const auto low = static_cast<std::uint32_t>(x);
    return low != 0
               ? static_cast<unsigned>(__builtin_ctz(low))
               : 32 + static_cast<unsigned>(__builtin_ctz(static_cast<std::uint32_t>(x >> 32)));
  }
  return static_cast<unsigned>(__builtin_ctzll(x));
}
// Without a branch: a block holds one LF about as often as two.
inline unsigned lowestBitOr64(Bits x) {
  return lowestBit(x | Bits{1} << 63) + static_cast<unsigned>(x == 0);
}
inline unsigned zerosAtTop(Bits x) {
  if (x == 0) return 64;
  if constexpr (kNarrow) {
    const auto high = static_cast<std::uint32_t>(x >> 32);
    return high != 0 ? static_cast<unsigned>(__builtin_clz(high))
                     : 32 + static_cast<unsigned>(__builtin_clz(static_cast<std::uint32_t>(x)));
  }
  return static_cast<unsigned>(__builtin_clzll(x));
}
inline unsigned onesAtTop(Bits x) { return zerosAtTop(~x); }
inline unsigned countOnes(Bits x) {
  if constexpr (kNarrow)
    return static_cast<unsigned>(__builtin_popcount(static_cast<std::uint32_t>(x)) +
                                 __builtin_popcount(static_cast<std::uint32_t>(x >> 32)));
  return static_cast<unsigned>(__builtin_popcountll(x));
}
inline Bits below(std::size_t n) { return n >= kBlock ? ~Bits{0} : (Bits{1} << n) - 1; }

// The mask of the bytes that start a wanted prefix (see Prefixes), by four
// table lookups: the common case, kept apart so that the tables stay in
// registers.  With kTwoFirst, the four only in blocks where two match.
template <class K, bool kTwoFirst>
class FourByTable {
 public:
  explicit FourByTable(const Prefixes& prefixes)
      : first_(K::table(prefixes.tables[0])),
        second_(K::table(prefixes.tables[1])),
        third_(K::table(prefixes.tables[2])),
        fourth_(K::table(prefixes.tables[3])) {}

  Bits operator()(const char* p) const {
    if constexpr (kTwoFirst) {
      if (K::lookupEqual2(p, first_, second_) == 0) [[likely]]
        return 0;
    }
    return K::lookupEqual4(p, first_, second_, third_, fourth_);
  }

 private:
  typename K::Table first_, second_, third_, fourth_;
};

// The same for any Prefixes, comparing with each prefix in turn, and with
// its next character only where the characters before it match.
template <class K>
class EachPrefix {
 public:
  explicit EachPrefix(const Prefixes& prefixes) : prefixes_(prefixes) {}

  Bits operator()(const char* p) const {
    Bits mask = 0;
    for (std::size_t j = 0; j < prefixes_.count; ++j) {
      const char* prefix = prefixes_.prefixes[j];
      Bits one = K::foldedEqual(p, prefix[0]);
      for (std::size_t k = 1; k < prefixes_.size && one != 0; ++k)
        one &= K::foldedEqual(p + k, prefix[k]);
      mask |= one;
    }
    return mask;
  }

 private:
  Prefixes prefixes_;
};

// Output goes through reservations of the standard-output buffer; the two
// pointers are passed and returned by value so that they stay in registers.
struct Room {
  char* out;
  char* limit;
};
// Output is reserved at least this much at a time.
constexpr std::size_t kChunk = 32 * 1024;

Room reserveRoom(std::size_t size) {
  char* const out = reserveOutput(size);
  return {out, out + size};
}

// Copies a piece longer than a block.
[[gnu::noinline]] Room copyLong(Room room, const char* from, std::size_t n) {
  if (n >= kDirectWriteSize) {
    commitOutput(room.out);
    writeOutput(from, n);
    return reserveRoom(kChunk);
  }
  if (static_cast<std::size_t>(room.limit - room.out) < n + kBlockRoom) {
    commitOutput(room.out);
    room = reserveRoom(n + kBlockRoom < kChunk ? kChunk : n + kBlockRoom);
  }
  std::memcpy(room.out, from, n);
  room.out += n;
  return room;
}

[[gnu::noinline]] Room moreRoom(Room room) {
  commitOutput(room.out);
  return reserveRoom(kChunk);
}

// Output into the standard-output buffer; pieces of a block or less are
// copied with one fixed-width store.
template <class K, bool kExpanding>
class Emitter {
 public:
  Emitter() : room_(reserveRoom(kChunk)) {}
  Emitter(const Emitter&) = delete;
  Emitter& operator=(const Emitter&) = delete;

  // Room for one block's output.
  void makeRoom() {
    if (static_cast<std::size_t>(room_.limit - room_.out) < kBlockRoom) room_ = moreRoom(room_);
  }
  void copy(const char* from, const char* to) {
    const auto n = static_cast<std::size_t>(to - from);
    if (n <= kBlock) [[likely]] {
      K::store64(room_.out, from);
      room_.out += n;
      return;
    }
    room_ = copyLong(room_, from, n);
  }
  // Copies a piece of at most a block, then a CR.  REQUIRES: room made.
  void copyShortCr(const char* from, const char* to) {
    K::store64(room_.out, from);
    room_.out += to - from;
    *room_.out++ = '\r';
  }
  // Copies the whole block at base with a CR before each LF of
  // `lfNeedingCr`.  Expanding, with the kernel's expansion; else every
  // piece goes with one fixed-width store, and the first two without a
  // branch on whether they exist (a missing one lands past the end, in
  // scratch).  REQUIRES: room made, lfNeedingCr != 0, kReadSlack bytes
  // readable after the block.
  void copyBlockAddingCrs(const char* base, Bits lfNeedingCr) {
    if constexpr (kExpanding) {
      K::storeAddingCrs(room_.out, base, lfNeedingCr);
      room_.out += kBlock + countOnes(lfNeedingCr);
      return;
    }
    char* const to = room_.out;
    Bits rest = lfNeedingCr & (lfNeedingCr - 1);
    const std::size_t first = lowestBit(lfNeedingCr);
    const std::size_t second = lowestBitOr64(rest);
    K::store64(to, base);
    to[first] = '\r';
    K::store64(to + first + 1, base + first);
    to[second + 1] = '\r';
    K::store64(to + second + 2, base + second);
    std::size_t crsAdded = 2;
    for (rest &= rest - 1; rest != 0; rest &= rest - 1, ++crsAdded) [[unlikely]] {
        const std::size_t at = lowestBit(rest);
        to[at + crsAdded] = '\r';
        K::store64(to + at + crsAdded + 1, base + at);
      }
    room_.out = to + kBlock + countOnes(lfNeedingCr);
  }
  // Takes back the last n bytes copied.  REQUIRES: they were copied since
  // the last makeRoom, copy or copyBlockAddingCrs that could hand output
  // over.
  void takeBack(std::size_t n) { room_.out -= n; }
  void put(char c) { *room_.out++ = c; }
  void done() { commitOutput(room_.out); }

 private:
  Room room_;
};

// Of the LFs of `lfAfterCrPair` (each after two CRs, the first of which may
// lie in the block before), those after an even run of CRs: there every CR
// pairs with the next as data, and the LF needs a CR of its own.  The run
// that reaches back to bit 0 goes on in the block before, whose run of CRs
// at its end has the parity `crRunOdd`.
//
// Worked example, the block before ending in "\r\r\r" (crRunOdd 1):
//   bit    0  1  2  3  4  5  6  7  8  9
//   byte   \r \n a  \r \r \n \r \r \r \n
// The LF at 1 has a run of 1 below it that reaches bit 0 (run == at), so
// the whole run is 1 + 3 = 4 CRs, even (1 ^ 1 == 0): it needs a CR.  The
// LF at 5 has a run of 2 (bits 3-4), even: it needs a CR.  The LF at 9 has
// a run of 3 (bits 6-8), odd: the last CR ends the line with it.
[[gnu::noinline]] Bits afterEvenRuns(Bits lfAfterCrPair, Bits crs, Bits crRunOdd) {
  Bits even = 0;
  for (; lfAfterCrPair != 0; lfAfterCrPair &= lfAfterCrPair - 1) {
    const unsigned at = lowestBit(lfAfterCrPair);
    const unsigned run = at == 0 ? 0u : onesAtTop(crs << (64 - at));
    const Bits odd = (run == at ? run ^ crRunOdd : run) & 1;
    if (odd == 0) even |= Bits{1} << at;
  }
  return even;
}

// Of the lines of the block at base (n bytes of input, LFs at `lf`) whose
// first non-blank character is at a bit of `candidates`, the first that
// stops the copy (its bit), or 0: one the filter picks, or one whose head
// is cut by the end of the input when more may follow.  A head that lies
// inside the block is cut at its LF by the mask.
[[gnu::noinline]] Bits firstStop(const char* base, std::size_t n, Bits lf, Bits candidates,
                                 const char* end, bool final, const LineFilter& filter) {
  for (; candidates != 0; candidates &= candidates - 1) {
    const std::size_t at = lowestBit(candidates);
    bool stops;
    if (at + filter.headSize <= n) {
      const Bits lfAfter = (lf >> at) & below(filter.headSize);
      stops = picks(filter, base + at, lfAfter != 0 ? lowestBit(lfAfter) : filter.headSize);
    } else {
      stops = judgeHead(base + at, end, final, filter) != Head::ordinary;
    }
    if (stops) return Bits{1} << at;
  }
  return 0;
}

// 1 when a line starts at `at`, or when only blanks lie between the start
// of a line and `at`; else 0.  Only lines that start after `from` count.
[[gnu::noinline]] Bits lineRunsTo(const char* from, const char* at) {
  while (at != from && (at[-1] == ' ' || at[-1] == '\t')) --at;
  return at != from && at[-1] == '\n' ? 1 : 0;
}

// What the scan carries from one block to the next.
struct Carry {
  const char* from;      // where the input starts, inside a line already judged
  const char* copiedTo;  // input before this has been copied
  // The run of CRs the block before ends in: 0 when it ends in none, else
  // 1 when the run, counted back into earlier blocks, is even, 3 when odd.
  // One word, so that the scan needs one register less.
  Bits crRun;
  std::size_t lines;  // the LFs in the blocks scanned, up to where copying stops
};

// Makes `to` the end of what has been copied when a whole block was copied
// past it (into the start of a line that must wait): no LF lies between, so
// the bytes to take back are exactly those of the input.
template <class Out>
void takeBackTo(Out& out, Carry& carry, const char* to) {
  if (to < carry.copiedTo) [[unlikely]] {
    out.takeBack(static_cast<std::size_t>(carry.copiedTo - to));
    carry.copiedTo = to;
  }
}

template <class K>
const char* lastLineStartWith(const char* from, const char* to) {
  for (; to - from >= static_cast<std::ptrdiff_t>(kBlock); to -= kBlock) {
    const Bits lf = K::equal(to - kBlock, '\n');
    if (lf != 0) return to - kBlock + (kBlock - zerosAtTop(lf));
  }
  for (; to != from; --to)
    if (to[-1] == '\n') return to;
  return from;
}

template <class K>
const char* findLineEndWith(const char* p, std::size_t n) {
  for (; n >= kBlock; p += kBlock, n -= kBlock) {
    const Bits ends = K::equal(p, '\n') | K::equal(p, '\r');
    if (ends != 0) return p + lowestBit(ends);
  }
  for (; n > 0; ++p, --n)
    if (*p == '\r' || *p == '\n') return p;
  return nullptr;
}

// Whether any of the whole blocks in [from, to) holds c.  Four blocks at a
// time, with one branch.
template <class K>
bool blocksHold(const char* from, const char* to, char c) {
  for (; to - from >= static_cast<std::ptrdiff_t>(4 * kBlock); from += 4 * kBlock) {
    if ((K::equal(from, c) | K::equal(from + kBlock, c) | K::equal(from + 2 * kBlock, c) |
         K::equal(from + 3 * kBlock, c)) != 0)
      return true;
  }
  for (; from != to; from += kBlock)
    if (K::equal(from, c) != 0) return true;
  return false;
}

// Scans and copies the block at base, n bytes of input (64 when kFull).
// Without kCrs the block holds no CR, and the block before did not end in
// one (carry.crRun is 0): every LF needs a CR, and nothing about CRs needs
// working out, which makes most of the work of LF-only text.  Returns
// whether copying stops, and then where.
template <bool kFull, bool kCrs, class K, class WantedAt, class Out>
inline bool scanBlock(const WantedAt& wantedAt, const char* base, std::size_t n, const char* end,
                      bool final, const LineFilter& filter, Out& out, Carry& carry,
                      const char*& stopAt) {
  Bits lf = K::equal(base, '\n');
  Bits crs = kCrs ? K::equal(base, '\r') : 0;
  Bits wanted = wantedAt(base);
  if constexpr (!kFull) {
    const Bits valid = below(n);
    lf &= valid;
    crs &= valid;
    wanted &= valid;
  }

  // Lines are looked at only in blocks with a wanted prefix, where the
  // first non-blank character of each line that starts here falls out of
  // adding each line start to the run of blanks it begins: the carry goes
  // to the end of the run.  A run that reaches the end of the input leaves
  // its line not judged yet.  The last block is always looked at, for that.
  //
  // Worked example (bit 0 first; the block before ended inside a line):
  //   bit                   0  1  2  3  4  5  6  7  8  9
  //   byte                  \n sp tab m  o  v  sp \n i  n
  //   lineStarts            .  1  .  .  .  .  .  .  1  .   (after each LF)
  //   blank                 .  1  1  .  .  .  1  .  .  .
  //   lineStarts & blank    .  1  .  .  .  .  .  .  .  .
  //   blank + that          .  .  .  1  .  .  1  .  .  .   (bits 1, 2 carry into 3)
  //   firsts = (sum | lineStarts) & ~blank: bits 3 and 8, the 'm' and the 'i';
  // the blank at 6, inside a line, starts no carry and is not a first.
  Bits stops = 0;
  bool unjudged = false;
  if (!kFull || wanted != 0) [[unlikely]] {
    const Bits lineStarts = (lf << 1) | lineRunsTo(carry.from, base);
    Bits blank = K::equal(base, ' ') | K::equal(base, '\t');
    if constexpr (!kFull) blank &= below(n);
    const Bits sum = blank + (lineStarts & blank);
    const Bits firsts = (sum | lineStarts) & ~blank;
    const Bits candidates = firsts & wanted;
    if constexpr (!kFull) unjudged = n < kBlock && ((firsts >> n) & 1) != 0;
    if (candidates != 0) [[unlikely]]
      stops = firstStop(base, n, lf, candidates, end, final, filter);
  }

  // An LF after no CR needs a CR; after a run of CRs it needs one when the
  // run is even, every CR then pairing with the next as data.  Only LFs
  // after two CRs need the run counted: `crs << 2` marks the bytes two
  // after a CR, and for bits 0 and 1 the bytes two before lie in the block
  // before, whose last byte is a CR when crEndsBlock (the one before that
  // is taken as one too, and afterEvenRuns counts).  Example, the block
  // before ending in no CR:
  //   bit          0  1  2  3  4  5  6  7
  //   byte         a  \r \r \n \r \r \r \n
  //   crs          .  1  1  .  1  1  1  .
  //   crBefore     .  .  1  1  .  1  1  1     (crs << 1 | crEndsBlock)
  //   crs << 2     .  .  .  1  1  .  1  1
  // No LF goes without a CR before; both are after two CRs, and
  // afterEvenRuns finds the run before bit 3 even (it needs a CR: "a\r\r"
  // is the line) and the run before bit 7 odd (its last CR is the end).
  const Bits crEndsBlock = kCrs ? carry.crRun & 1 : 0;
  const Bits crBefore = (crs << 1) | crEndsBlock;
  Bits lfNeedingCr = lf & ~crBefore;
  if constexpr (kCrs) {
    const Bits lfAfterCrPair = lf & crBefore & ((crs << 2) | (crEndsBlock * 3));
    if (lfAfterCrPair != 0) [[unlikely]]
      lfNeedingCr |= afterEvenRuns(lfAfterCrPair, crs, carry.crRun >> 1);
  }

  if (stops != 0 || unjudged) [[unlikely]] {
    // Copying stops at the start of the first line that stops it, or of
    // the line not judged yet, which began in an earlier block when no LF
    // comes before it in this one.
    const Bits lfBefore = stops != 0 ? lf & (stops - 1) : lf;
    carry.lines += countOnes(lfBefore);
    const std::size_t limit = lfBefore == 0 ? 0 : kBlock - zerosAtTop(lfBefore);
    stopAt = lfBefore != 0 ? base + limit : lastLineStartWith<K>(carry.from, base);
    lfNeedingCr &= below(limit);
    takeBackTo(out, carry, stopAt);
    out.makeRoom();
    for (; lfNeedingCr != 0; lfNeedingCr &= lfNeedingCr - 1) {
      const char* at = base + lowestBit(lfNeedingCr);
      out.copy(carry.copiedTo, at);
      out.put('\r');
      carry.copiedTo = at;
    }
    out.copy(carry.copiedTo, stopAt);
    return true;
  }

  carry.lines += countOnes(lf);
  if (lfNeedingCr != 0) {
    out.makeRoom();
    if constexpr (kFull) {
      // A block that needs an edit goes out whole, after the run before
      // it that needed none.  That may copy the start of the last line
      // too early; it is taken back when copying ends (takeBackTo).
      if (carry.copiedTo != base) [[unlikely]]
        out.copy(carry.copiedTo, base);
      out.copyBlockAddingCrs(base, lfNeedingCr);
      carry.copiedTo = base + kBlock;
    } else {
      // The first piece may have begun in an earlier block; the others
      // lie inside this one.
      const char* at = base + lowestBit(lfNeedingCr);
      out.copy(carry.copiedTo, at);
      out.put('\r');
      for (lfNeedingCr &= lfNeedingCr - 1; lfNeedingCr != 0; lfNeedingCr &= lfNeedingCr - 1) {
        const char* const next = base + lowestBit(lfNeedingCr);
        out.copyShortCr(at, next);
        at = next;
      }
      carry.copiedTo = at;
    }
  }

  // The run of CRs at the end of the block, and its parity counted back
  // into earlier blocks when it fills this one.
  if constexpr (!kCrs) return false;
  const std::size_t lastBit = kFull ? kBlock - 1 : n - 1;
  if (((crs >> lastBit) & 1) != 0) [[unlikely]] {
    const std::size_t size = kFull ? kBlock : n;
    const std::size_t run = onesAtTop(crs << (kBlock - size));
    carry.crRun = 1 | ((run == size ? run ^ (carry.crRun >> 1) : run) & 1) << 1;
  } else {
    carry.crRun = 0;
  }
  return false;
}

// Kept apart for each way of finding wanted prefixes, so that each gets
// the registers to itself.
template <class K, class WantedAt, bool kExpanding>
[[gnu::noinline]] Result copyWith(const Prefixes& prefixes, const char* from, const char* end,
                                  bool final, bool streamCurrent, CrRun& cr,
                                  const LineFilter& filter) {
  const WantedAt wantedAt(prefixes);  // here, where its tables can stay in registers
  Emitter<K, kExpanding> out;
  Carry carry{from, from, Bits{cr.last} | Bits{cr.odd} << 1, 0};
  const char* base = from;
  const char* stopAt = nullptr;
  bool stopped = false;
  const char* const lastFull = from + (static_cast<std::size_t>(end - from) & ~(kBlock - 1));
  // Windows of whole blocks that hold no CR, the most of LF-only text, go
  // through the scan without CRs.  They start small and grow, so that the
  // look for a CR costs little where copying stops early (text dense with
  // directives), and stay small enough that a CR costs little scan.
  constexpr std::size_t kLargestWindow = 64 * kBlock;
  std::size_t window = 4 * kBlock;
  while (base != lastFull && !stopped) {
    const char* const windowEnd =
        static_cast<std::size_t>(lastFull - base) > window ? base + window : lastFull;
    if (window < kLargestWindow) window *= 2;
    if (carry.crRun == 0 && !blocksHold<K>(base, windowEnd, '\r')) {
      for (; base != windowEnd; base += kBlock) {
        if (scanBlock<true, false, K>(wantedAt, base, kBlock, end, final, filter, out, carry,
                                      stopAt)) {
          stopped = true;
          break;
        }
      }
    } else {
      for (; base != windowEnd; base += kBlock) {
        if (scanBlock<true, true, K>(wantedAt, base, kBlock, end, final, filter, out, carry,
                                     stopAt)) {
          stopped = true;
          break;
        }
      }
    }
  }
  if (!stopped && base < end)
    stopped = scanBlock<false, true, K>(wantedAt, base, static_cast<std::size_t>(end - base), end,
                                        final, filter, out, carry, stopAt);
  if (stopped) {
    out.done();
    cr = CrRun{};
    return {stopAt, false, carry.lines};
  }

  const char* const tail = lastLineStartWith<K>(from, end);
  if (!final && (tail != from || !streamCurrent)) {
    // The last line waits for its end.
    takeBackTo(out, carry, tail);
    out.copy(carry.copiedTo, tail);
    out.done();
    cr = CrRun{};
    return {tail, false, carry.lines};
  }
  out.copy(carry.copiedTo, end);
  out.done();
  cr = CrRun{(carry.crRun & 1) != 0, (carry.crRun >> 1) != 0};
  return {end, tail != end, carry.lines};
}

// Whether the lines at `from` are short: more than two LFs to a block in
// the first blocks.  Where they are, most blocks that need CRs need more
// than two, the branch on that goes either way, and the kernel's expansion
// of a block, without branches, is faster; where they are not, the stores
// of one or two pieces are.
template <class K>
bool shortLines(const char* from, const char* end) {
  constexpr std::size_t kMostSampled = 16;
  const std::size_t blocks = static_cast<std::size_t>(end - from) / kBlock;
  const std::size_t sampled = blocks < kMostSampled ? blocks : kMostSampled;
  std::size_t lfs = 0;
  for (std::size_t i = 0; i < sampled; ++i) lfs += countOnes(K::equal(from + i * kBlock, '\n'));
  return lfs > 2 * sampled;
}

// Copies with the output that suits the lines.
template <class K, class WantedAt>
Result copyFitting(const Prefixes& prefixes, const char* from, const char* end, bool final,
                   bool streamCurrent, CrRun& cr, const LineFilter& filter) {
  if constexpr (K::kExpandsCrs) {
    if (shortLines<K>(from, end))
      return copyWith<K, WantedAt, true>(prefixes, from, end, final, streamCurrent, cr, filter);
  }
  return copyWith<K, WantedAt, false>(prefixes, from, end, final, streamCurrent, cr, filter);
}

// Whether the first blocks at `from` hold next to no line that starts
// with the first two characters of a wanted prefix.  Where they do not,
// as in real code, where many lines start like a directive (`invoke`,
// `inc`, `.if`), a branch on those two would go either way too often, and
// all four are looked up in every block.
template <class K>
bool fewFirstTwos(const Prefixes& prefixes, const char* from, const char* end) {
  constexpr std::size_t kMostSampled = 16;
  const std::size_t blocks = static_cast<std::size_t>(end - from) / kBlock;
  const std::size_t sampled = blocks < kMostSampled ? blocks : kMostSampled;
  const typename K::Table first = K::table(prefixes.tables[0]);
  const typename K::Table second = K::table(prefixes.tables[1]);
  std::size_t withTwo = 0;
  for (std::size_t i = 0; i < sampled; ++i)
    withTwo += K::lookupEqual2(from + i * kBlock, first, second) != 0;
  return withTwo <= 1;
}

template <class K>
Result copyOrdinaryWith(const char* from, const char* end, bool final, bool streamCurrent,
                        CrRun& cr, const LineFilter& filter) {
  const Prefixes prefixes = prefixesOf(filter);
  if constexpr (K::kHasLookup) {
    if (prefixes.byTable && prefixes.size == 4) {
      if (fewFirstTwos<K>(prefixes, from, end))
        return copyFitting<K, FourByTable<K, true>>(prefixes, from, end, final, streamCurrent, cr,
                                                    filter);
      return copyFitting<K, FourByTable<K, false>>(prefixes, from, end, final, streamCurrent, cr,
                                                   filter);
    }
  }
  return copyFitting<K, EachPrefix<K>>(prefixes, from, end, final, streamCurrent, cr, filter);
}

// The entry points of kernel K.
template <class K>
constexpr Kernel kernelOf() {
  return {copyOrdinaryWith<K>, findLineEndWith<K>, lastLineStartWith<K>};
}

}  // namespace
}  // namespace tarvel::blockcopy
