// The block copier's driver: copyOrdinary, findLineEnd and lastLineStart
// written once over the kernel vocabulary (vocabulary.hpp).  Included by
// each kernel file after its kernel, and instantiated there with that
// file's instruction set: see kernels.hpp for why everything here stays in
// an unnamed namespace and uses only compiler built-ins.
//
// The scan takes the input a block of 64 bytes at a time.  A block is
// loaded once and its masks made: LF, CR (unless the block lies in a
// stretch found to hold none) and the wanted prefixes (prefix_match.hpp).
// The heads of its lines are found and judged only where a wanted prefix
// starts (line_starts.hpp); CrParity finds the LFs that need a CR
// (cr_parity.hpp); the Emitter writes the block out (emitter.hpp).  The
// ways to match prefixes and to put CRs in are picked once per call, from
// samples of the first blocks, and each gets a copy of the scan of its own.
#pragma once

#include <cstddef>

#include "runtime/block_copy/bits.hpp"
#include "runtime/block_copy/cr_parity.hpp"
#include "runtime/block_copy/emitter.hpp"
#include "runtime/block_copy/line_starts.hpp"
#include "runtime/block_copy/prefix_match.hpp"
#include "runtime/block_copy/vocabulary.hpp"

namespace tarvel::blockcopy {
namespace {

// One copy with kernel K, prefix matching PrefixMatch and, with kExpanding,
// the kernel's expansion to put CRs in.  Its members are the whole state of
// the scan.  Everything it calls per block is inlined (always_inline where
// the compiler would not), so that the state stays in registers: one call
// that takes `this`, or a member's address, puts all of it in memory.
template <BlockKernel K, class PrefixMatch, bool kExpanding>
class Scan {
 public:
  Scan(const Prefixes& prefixes, const Input& input, CrRun crBefore, const LineFilter& filter,
       const Sink& sink)
      : wantedAt_(prefixes),
        input_(input),
        filter_(filter),
        crs_(crBefore),
        out_(sink, input.from) {}

  // Copies, and leaves in `crAfter` the run of CRs the copy ends in when
  // it ends inside a line.
  Result run(CrRun& crAfter) {
    const char* base = input_.from;
    const char* const wholeEnd =
        base + (static_cast<std::size_t>(input_.end - base) & ~(kBlock - 1));
    // Windows of whole blocks that hold no CR, the most of LF-only text, go
    // through the scan without CRs.  They start small and grow, so that the
    // look for a CR costs little where copying stops early (text dense with
    // directives), and stay small enough that a CR costs little scan.
    std::size_t window = kFirstWindow;
    bool stopped = false;
    while (!stopped && base != wholeEnd) {
      const char* const windowEnd =
          static_cast<std::size_t>(wholeEnd - base) > window ? base + window : wholeEnd;
      if (window < kLargestWindow) window *= 2;
      stopped = crs_.endsInCr() || blocksHold<K>(base, windowEnd, '\r')
                    ? scanBlocks<Kind::whole>(base, windowEnd)
                    : scanBlocks<Kind::withoutCr>(base, windowEnd);
    }
    if (!stopped && base != input_.end) stopped = scanBlock<Kind::last>(base);

    Result result{stop_, false, lines_};
    crAfter = CrRun{};
    if (!stopped) {
      // The last line waits for its end, unless no input follows or it is
      // the line under way.
      const char* const lastStart = lastLineStartWith<K>(input_.from, input_.end);
      const bool waits = !input_.inputEnds && (lastStart != input_.from || !input_.lineUnderWay);
      result.stop = waits ? lastStart : input_.end;
      result.midLine = !waits && lastStart != input_.end;
      if (!waits) crAfter = crs_.run();
    }
    out_.takeBackTo(result.stop);
    out_.copyTo(result.stop);
    out_.finish();
    return result;
  }

 private:
  // The blocks as the scan takes them.
  enum class Kind {
    withoutCr,  // a whole block in a window without CRs, after no CR
    whole,      // any other whole block
    last,       // the end of the input, less than a block
  };
  static constexpr std::size_t kFirstWindow = 4 * kBlock, kLargestWindow = 64 * kBlock;

  // Scans the blocks from base up to `to`; returns whether copying stops in
  // one, base then at that block.
  template <Kind kind>
  [[gnu::always_inline]] bool scanBlocks(const char*& base, const char* to) {
    for (; base != to; base += kBlock)
      if (scanBlock<kind>(base)) return true;
    return false;
  }

  // Scans and copies the block at base; returns whether copying stops in
  // it, at stop_.
  template <Kind kind>
  [[gnu::always_inline]] bool scanBlock(const char* base) {
    const std::size_t size =
        kind == Kind::last ? static_cast<std::size_t>(input_.end - base) : kBlock;
    const Bits inInput = firstBytes(size);
    const typename K::Block block = K::load(base);
    const Bits lf = K::equal(block, '\n') & inInput;
    const Bits crs = kind == Kind::withoutCr ? 0 : K::equal(block, '\r') & inInput;
    const Bits wanted = wantedAt_(block, base) & inInput;
    Bits stopping = 0;
    if (wanted != 0) [[unlikely]]
      stopping = firstStoppingHead<K>(input_, base, lf, wanted, filter_);
    const Bits lfNeedingCr = kind == Kind::withoutCr ? lf : crs_.lfNeedingCr(lf, crs);
    if (stopping != 0) [[unlikely]] {
      stopBefore(base, lf, lfNeedingCr, stopping);
      return true;
    }
    lines_ += countOnes(lf);
    if (lfNeedingCr != 0) {
      out_.makeRoom();
      if constexpr (kind == Kind::last)
        out_.copyPiecesAddingCrs(base, lfNeedingCr);
      else
        out_.copyBlockAddingCrs(base, lfNeedingCr);
    }
    if constexpr (kind != Kind::withoutCr) crs_.pass(crs, size);
    return false;
  }

  // Stops at the start of the line whose head is at the bit `stopping` of
  // the block at base: just after the last LF before the head, or where an
  // earlier block has it when this one has none.  Copies the input up to
  // the last LF before it that needs a CR.
  [[gnu::always_inline]] void stopBefore(const char* base, Bits lf, Bits lfNeedingCr,
                                         Bits stopping) {
    const Bits lfBefore = lf & (stopping - 1);
    lines_ += countOnes(lfBefore);
    if (lfBefore == 0) {
      stop_ = lastLineStartWith<K>(input_.from, base);
      return;
    }
    stop_ = base + pastHighestBit(lfBefore);
    if ((lfNeedingCr & lfBefore) != 0) {
      out_.makeRoom();
      out_.copyPiecesAddingCrs(base, lfNeedingCr & lfBefore);
    }
  }

  const PrefixMatch wantedAt_;  // made here, where its tables can stay in registers
  const Input input_;
  const LineFilter& filter_;
  CrParity crs_;
  Emitter<K, kExpanding> out_;
  std::size_t lines_ = 0;
  const char* stop_ = nullptr;  // where a block stopped copying
};

// Kept apart for each way of matching prefixes and of putting CRs in, so
// that each gets the registers to itself.
template <BlockKernel K, class PrefixMatch, bool kExpanding>
[[gnu::noinline]] Result copyWith(const Prefixes& prefixes, const Input& input, CrRun& cr,
                                  const LineFilter& filter, const Sink& sink) {
  Scan<K, PrefixMatch, kExpanding> scan(prefixes, input, cr, filter, sink);
  return scan.run(cr);
}

// Whether the lines at `from` are short: more than two LFs to a block in
// the first blocks.  Where they are, most blocks that need CRs need more
// than two, the branch on that goes either way, and the kernel's expansion
// of a block, without branches, is faster; where they are not, the stores
// of one or two pieces are.
template <BlockKernel K>
bool shortLines(const char* from, const char* end) {
  const Sample lfs = sampleFirstBlocks<K>(
      from, end,
      [](const typename K::Block& block, const char*) { return countOnes(K::equal(block, '\n')); });
  return lfs.total > 2 * lfs.blocks;
}

template <BlockKernel K, class PrefixMatch>
Result copyFitting(const Prefixes& prefixes, const Input& input, CrRun& cr,
                   const LineFilter& filter, const Sink& sink) {
  if constexpr (ExpandingKernel<K>) {
    if (shortLines<K>(input.from, input.end))
      return copyWith<K, PrefixMatch, true>(prefixes, input, cr, filter, sink);
  }
  return copyWith<K, PrefixMatch, false>(prefixes, input, cr, filter, sink);
}

template <BlockKernel K>
Result copyOrdinaryWith(const Input& input, CrRun& cr, const LineFilter& filter, const Sink& sink) {
  const Prefixes prefixes = prefixesOf(filter);
  if constexpr (LookupKernel<K>) {
    if (prefixes.byTable && prefixes.size == 4) {
      if (firstTwoRare<K>(prefixes, input.from, input.end))
        return copyFitting<K, TableMatch<K, true>>(prefixes, input, cr, filter, sink);
      return copyFitting<K, TableMatch<K, false>>(prefixes, input, cr, filter, sink);
    }
  }
  return copyFitting<K, EachPrefixMatch<K>>(prefixes, input, cr, filter, sink);
}

// The entry points of kernel K.
template <BlockKernel K>
constexpr KernelEntryPoints entryPointsOf() {
  return {copyOrdinaryWith<K>, findLineEndWith<K>, lastLineStartWith<K>};
}

}  // namespace
}  // namespace tarvel::blockcopy
