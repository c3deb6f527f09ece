// What the block copier's kernels share, compiled for the plain
// instruction set: the filter's prefixes as tables, and head judging.
#include <cstring>

#include "runtime/block_copy/kernels.hpp"

namespace tarvel::blockcopy {

namespace {

char folded(char c) { return static_cast<char>(c | 0x20); }

// The characters of the prefixes every entry of `filter` gives: 2 to 4.
std::size_t prefixSize(const LineFilter& filter) {
  std::size_t size = 4;
  for (std::size_t i = 0; i < 4; ++i) {
    if (filter.prefixThird[i] == 0) size = 2;
    if (filter.prefixFourth[i] == 0 && size > 3) size = 3;
  }
  return size;
}

// Whether a head that starts with c may be picked: c is one of the filter's
// first characters as it gives them, unfolded.
bool startsWanted(const LineFilter& filter, char c) {
  return c == filter.prefixFirst[0] || c == filter.prefixFirst[1] || c == filter.prefixFirst[2] ||
         c == filter.prefixFirst[3];
}

}  // namespace

Prefixes prefixesOf(const LineFilter& filter) {
  Prefixes result{};
  result.size = prefixSize(filter);
  result.byTable = true;
  for (auto& table : result.tables)
    for (char& entry : table) entry = kNoByte;
  for (std::size_t i = 0; i < 4; ++i) {
    const char prefix[4] = {folded(filter.prefixFirst[i]), folded(filter.prefixSecond[i]),
                            folded(filter.prefixThird[i]), folded(filter.prefixFourth[i])};
    bool known = false;
    for (std::size_t j = 0; j < result.count; ++j)
      known = known || std::memcmp(result.prefixes[j], prefix, result.size) == 0;
    if (known) continue;
    std::memcpy(result.prefixes[result.count++], prefix, result.size);
    // A byte with its top bit set looks up nothing (see the kernels), and a
    // row holds one prefix.
    const auto row = static_cast<std::size_t>(prefix[0] & 0x0f);
    if ((prefix[0] & 0x80) != 0 || result.tables[0][row] != kNoByte) result.byTable = false;
    for (std::size_t k = 0; k < result.size; ++k) result.tables[k][row] = prefix[k];
  }
  return result;
}

Head judgeHead(const char* first, const char* end, bool final, const LineFilter& filter) {
  if (!startsWanted(filter, *first)) return Head::ordinary;
  const auto rest = static_cast<std::size_t>(end - first);
  const std::size_t size = rest < filter.headSize ? rest : filter.headSize;
  const void* lf = std::memchr(first, '\n', size);
  if (lf == nullptr && size < filter.headSize && !final) return Head::incomplete;
  const std::size_t headSize =
      lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - first) : size;
  return filter.picks({first, headSize}) ? Head::picked : Head::ordinary;
}

bool picksHead(const LineFilter& filter, const char* head, std::size_t size) {
  return startsWanted(filter, *head) && filter.picks({head, size});
}

}  // namespace tarvel::blockcopy
