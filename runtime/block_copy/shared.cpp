// The parts of the block copier that every kernel shares and that are
// compiled for the plain instruction set: the filter's prefixes as tables,
// head judging, and the way to the output buffer.
#include <cstring>

#include "runtime/block_copy/kernels.hpp"
#include "runtime/output.hpp"

namespace tarvel::blockcopy {

namespace {

char folded(char c) { return static_cast<char>(c | 0x20); }

// The characters of the prefixes every entry of `filter` gives: 2 to 4.
std::size_t prefixSize(const LineFilter& filter) {
  std::size_t size = 4;
  for (std::size_t i = 0; i < 4; ++i) {
    if (filter.thirds[i] == 0) size = 2;
    if (filter.fourths[i] == 0 && size > 3) size = 3;
  }
  return size;
}

}  // namespace

Prefixes prefixesOf(const LineFilter& filter) {
  Prefixes result{};
  result.size = prefixSize(filter);
  result.byTable = true;
  for (auto& table : result.tables)
    for (char& entry : table) entry = kNoByte;
  for (std::size_t i = 0; i < 4; ++i) {
    const char prefix[4] = {folded(filter.firsts[i]), folded(filter.seconds[i]),
                            folded(filter.thirds[i]), folded(filter.fourths[i])};
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
  const char c = *first;
  if (c != filter.firsts[0] && c != filter.firsts[1] && c != filter.firsts[2] &&
      c != filter.firsts[3])
    return Head::ordinary;
  const auto rest = static_cast<std::size_t>(end - first);
  const std::size_t size = rest < filter.headSize ? rest : filter.headSize;
  const void* lf = std::memchr(first, '\n', size);
  if (lf == nullptr && size < filter.headSize && !final) return Head::incomplete;
  const std::size_t headSize =
      lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - first) : size;
  return filter.isSpecial({first, headSize}) ? Head::picked : Head::ordinary;
}

bool picks(const LineFilter& filter, const char* head, std::size_t size) {
  return filter.isSpecial({head, size});
}

char* reserveOutput(std::size_t size) { return output::reserve(size); }
void commitOutput(char* end) { output::commit(end); }
void writeOutput(const char* from, std::size_t n) { output::write(from, n); }
const std::size_t kDirectWriteSize = output::kDirectWriteSize;

static_assert(output::kSlack >= 64, "short copies store whole blocks");

}  // namespace tarvel::blockcopy
