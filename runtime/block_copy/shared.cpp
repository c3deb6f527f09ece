// The scalar parts of the block copier, shared by every kernel and compiled
// for the plain instruction set: the filter's prefixes as tables, head
// judging, and output reservations.
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

Bits firstStop(const char* base, std::size_t n, Bits lf, Bits candidates, const char* end,
               bool final, const LineFilter& filter) {
  for (; candidates != 0; candidates &= candidates - 1) {
    const auto at = static_cast<std::size_t>(__builtin_ctzll(candidates));
    bool stops;
    if (at + filter.headSize <= n) {
      // The head lies inside the block: its LF, if any, is in the mask.
      const Bits below = filter.headSize >= 64 ? ~Bits{0} : (Bits{1} << filter.headSize) - 1;
      const Bits after = (lf >> at) & below;
      const std::size_t headSize =
          after != 0 ? static_cast<std::size_t>(__builtin_ctzll(after)) : filter.headSize;
      stops = filter.isSpecial({base + at, headSize});
    } else {
      stops = judgeHead(base + at, end, final, filter) != Head::ordinary;
    }
    if (stops) return Bits{1} << at;
  }
  return 0;
}

Bits lineRunsTo(const char* from, const char* at) {
  while (at != from && (at[-1] == ' ' || at[-1] == '\t')) --at;
  return at != from && at[-1] == '\n' ? 1 : 0;
}

namespace {

static_assert(output::kSlack >= 64, "short copies store whole blocks");

Room reserveRoom(std::size_t size) {
  char* const out = output::reserve(size);
  return {out, out + size};
}

}  // namespace

Room firstRoom() { return reserveRoom(kChunk); }

Room moreRoom(Room room) {
  output::commit(room.out);
  return reserveRoom(kChunk);
}

Room copyLong(Room room, const char* from, std::size_t n, std::size_t reserve) {
  if (n >= output::kDirectWriteSize) {
    output::commit(room.out);
    output::write(from, n);
    return reserveRoom(kChunk);
  }
  if (static_cast<std::size_t>(room.limit - room.out) < n + reserve) {
    output::commit(room.out);
    room = reserveRoom(n + reserve < kChunk ? kChunk : n + reserve);
  }
  std::memcpy(room.out, from, n);
  room.out += n;
  return room;
}

void handOver(Room room) { output::commit(room.out); }

}  // namespace tarvel::blockcopy
