#include "runtime/console.hpp"

#include <string>

#include "runtime/failure.hpp"
#include "runtime/output.hpp"
#include "runtime/platform/platform.hpp"

namespace tarvel {

namespace {

constexpr StringLiteral kNewline("\r\n");

}  // namespace

void writeText(OutputHandle handle, StringRef s) {
  if (handle == OutputHandle::standardError) {
    platform::writeStandardError(s.chars(), s.length());
    return;
  }
  output::write(s.chars(), s.length());
}

void putErrorLine(std::string_view text) {
  std::string line(text);
  line += platform::standardErrorLineEnd();
  platform::writeStandardError(line.data(), line.size());
}

void writeNumber(OutputHandle handle, std::int64_t value, std::int32_t width, char fill) {
  const std::int64_t w = width < 0 ? -std::int64_t{width} : width;
  if (w > 1024) raiseFailure(failure::kFieldWidth);
  // A scratch of 40 characters, or of the width rounded up to a word.
  FixedString<1024> scratch;
  const auto rounded = static_cast<std::uint32_t>((w + 3) & ~std::int64_t{3});
  scratch.setCapacity(rounded < 32 ? 40 : rounded);
  formatDecimal(value, width, fill, scratch);
  writeText(handle, scratch);
}

void putText(StringRef s) { writeText(OutputHandle::standardOutput, s); }

void putNewline() { putText(kNewline); }

void putNumber(std::int32_t n) { writeNumber(OutputHandle::standardOutput, n, 0, ' '); }

}  // namespace tarvel
