// Prefix matching: the mask of the bytes of a block that start a wanted
// prefix (see Prefixes in kernels.hpp), the bytes that make a line a
// candidate for the filter.  Two ways, each a class made once per copy so
// that what it holds stays in registers:
//   TableMatch      four table lookups, in kernels that have them, where
//                   one table holds the prefixes and all four characters
//                   are compared: the common case;
//   EachPrefixMatch any prefixes with any kernel, one prefix at a time.
// Both are called as match(block, p), for the block loaded from p.
#pragma once

#include <cstddef>

#include "runtime/block_copy/bits.hpp"
#include "runtime/block_copy/vocabulary.hpp"

namespace tarvel::blockcopy {
namespace {

// With kScreenByFirstTwo, the four lookups are made only in blocks where
// the first two characters of a prefix match: where those are rare.
template <LookupKernel K, bool kScreenByFirstTwo>
class TableMatch {
 public:
  explicit TableMatch(const Prefixes& prefixes)
      : first_(K::table(prefixes.tables[0])),
        second_(K::table(prefixes.tables[1])),
        third_(K::table(prefixes.tables[2])),
        fourth_(K::table(prefixes.tables[3])) {}

  Bits operator()(const typename K::Block& block, const char* p) const {
    if constexpr (kScreenByFirstTwo) {
      if (K::lookupEqual2(block, p, first_, second_) == 0) [[likely]]
        return 0;
    }
    return K::lookupEqual4(block, p, first_, second_, third_, fourth_);
  }

 private:
  typename K::Table first_, second_, third_, fourth_;
};

// Compares with each prefix in turn, and with its next character only where
// the characters before it match.
template <BlockKernel K>
class EachPrefixMatch {
 public:
  explicit EachPrefixMatch(const Prefixes& prefixes) : prefixes_(prefixes) {}

  Bits operator()(const typename K::Block& block, const char* p) const {
    Bits mask = 0;
    for (std::size_t j = 0; j < prefixes_.count; ++j) {
      const char* prefix = prefixes_.prefixes[j];
      Bits one = K::foldedEqual(block, prefix[0]);
      for (std::size_t k = 1; k < prefixes_.size && one != 0; ++k)
        one &= K::foldedEqual(K::load(p + k), prefix[k]);
      mask |= one;
    }
    return mask;
  }

 private:
  Prefixes prefixes_;
};

// Whether the first blocks at `from` hold next to no line that starts with
// the first two characters of a wanted prefix.  Where they do not, as in
// real code, where many lines start like a directive (`invoke`, `inc`,
// `.if`), a branch on those two would go either way too often, and all
// four are looked up in every block.
template <LookupKernel K>
bool firstTwoRare(const Prefixes& prefixes, const char* from, const char* end) {
  const typename K::Table first = K::table(prefixes.tables[0]);
  const typename K::Table second = K::table(prefixes.tables[1]);
  const Sample withFirstTwo =
      sampleFirstBlocks<K>(from, end, [&](const typename K::Block& block, const char* p) {
        return K::lookupEqual2(block, p, first, second) != 0 ? 1u : 0u;
      });
  return withFirstTwo.total <= 1;
}

}  // namespace
}  // namespace tarvel::blockcopy
