// Where the block copier meets the rest of the program, compiled plainly:
// standard output as a Sink, and the kernel TARVEL_BLOCK_COPY names.  No
// other file of the block copier reaches the output buffer or the
// environment.
#include <cstdint>
#include <string_view>

#include "runtime/block_copy/kernels.hpp"
#include "runtime/counted_string.hpp"
#include "runtime/environment.hpp"
#include "runtime/output.hpp"

namespace tarvel::blockcopy {

namespace {

char* reserveOutput(void*, std::size_t size) { return output::reserve(size); }
void commitOutput(void*, char* end) { output::commit(end); }
void writeOutput(void*, const char* from, std::size_t n) { output::write(from, n); }

static_assert(output::kSlack >= kSinkScratch, "the scan's stores reach past the room it reserves");
static_assert(output::kDirectWriteSize > 64, "pieces of a block or less are copied");

}  // namespace

const Sink& standardOutput() {
  static constexpr Sink kStandardOutput = {nullptr, reserveOutput, commitOutput, writeOutput,
                                           output::kDirectWriteSize};
  return kStandardOutput;
}

std::string_view kernelNamedByEnvironment() {
  constexpr std::uint32_t kLongestName = 16;
  static FixedString<kLongestName> value;
  // An unset variable stays a reference, which names no kernel; a value too
  // long names none either.
  if (!tryExpandEnvironment("%TARVEL_BLOCK_COPY%", value, kLongestName + 1)) return {};
  return value.view();
}

}  // namespace tarvel::blockcopy
