// The line reader gives the same lines however its reads are cut.
//
// Input: a mode byte, a count byte and 1 to 4 two-byte read sizes, a piece
// capacity byte, a call-pattern byte, two bytes of read-error offset, then
// the file's contents.  The contents are read four ways - readLine into
// capacity 256, readLine into a small capacity, readWholeLine, and the two
// mixed call by call - once with reads cycling through the sizes and once
// with the whole file in one read.  Each must give exactly what the
// byte-at-a-time model gives, and the end of input must leave the file
// given back and raise failure::kEndOfFile on one more read.  With bit 0 of
// the mode set, reads fail past an offset: the lines read before must be
// the model's first lines, and the failure must be failure::kFileRead after
// exactly one error message.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "runtime/failure.hpp"
#include "runtime/fake_files_test.hpp"
#include "runtime/file_io.hpp"

namespace tarvel::fuzzing {
namespace {

using testing::atEnd;
using testing::readLine;
using testing::readWholeLine;

constexpr int kPlantedError = 5;

// Reads of varying size: each read takes the next size of the cycle.
class VaryingReads : public testing::FakeFileSystem {
 public:
  explicit VaryingReads(std::vector<std::size_t> sizes) : sizes_(std::move(sizes)) {}
  platform::ReadResult read(platform::FileId file, void* buffer, std::size_t size) override {
    setChunk(sizes_[next_++ % sizes_.size()]);
    return FakeFileSystem::read(file, buffer, size);
  }

 private:
  std::vector<std::size_t> sizes_;
  std::size_t next_ = 0;
};

enum class Calls { line256, lineSmall, whole, mixed };

struct Plan {
  std::vector<std::size_t> sizes;
  std::uint32_t smallCapacity;
  std::uint8_t pattern;  // for mixed calls: bit i % 8 set means readWholeLine
  bool failing;
  std::size_t failAt;
};

// Whether call number i reads a whole line.
bool wholeCall(Calls calls, const Plan& plan, std::size_t i) {
  switch (calls) {
    case Calls::whole:
      return true;
    case Calls::mixed:
      return (plan.pattern >> (i % 8) & 1) != 0;
    default:
      return false;
  }
}

std::uint32_t capacityOf(Calls calls, const Plan& plan) {
  return calls == Calls::lineSmall ? plan.smallCapacity : 256;
}

// What the model reads with the calls of `calls`.
std::vector<std::string> modelRead(std::string_view contents, Calls calls, const Plan& plan) {
  ModelReader reader(contents);
  std::vector<std::string> lines;
  for (std::size_t i = 0; !reader.atEnd(); ++i)
    lines.push_back(reader.line(wholeCall(calls, plan, i) ? 0 : capacityOf(calls, plan)));
  return lines;
}

// Reads the whole file with the calls of `calls` and checks what comes out.
void checkReading(std::string_view contents, Calls calls, const Plan& plan,
                  const std::vector<std::size_t>& sizes) {
  VaryingReads fs(sizes);
  fs.add("f", std::string(contents));
  if (plan.failing) fs.failAt("f", plan.failAt, kPlantedError);
  const std::vector<std::string> expected = modelRead(contents, calls, plan);

  InputFile file = openFile(StringLiteral("f"), fs);
  FixedString<256> line;
  line.setCapacity(capacityOf(calls, plan));
  HeapString spill = allocString(4);
  std::vector<std::string> lines;
  FailureCode code = 0;
  try {
    for (std::size_t i = 0; !atEnd(file); ++i) {
      if (wholeCall(calls, plan, i)) {
        lines.emplace_back(readWholeLine(file, spill));
      } else {
        readLine(file, line);
        lines.emplace_back(line.view());
      }
    }
  } catch (const Failure& f) {
    code = f.code();
  }
  const std::string written = OutputCapture::take();

  if (!plan.failing) {
    FUZZ_CHECK(code == 0);
    FUZZ_CHECK(written.empty());
    FUZZ_CHECK(lines == expected);
    FUZZ_CHECK(fs.finished(1));  // given back as soon as the end was seen
    const std::uint32_t kept = line.length();
    FUZZ_CHECK(testing::failureOf([&] { readLine(file, line); }) == failure::kEndOfFile);
    FUZZ_CHECK(line.length() == kept);
    FUZZ_CHECK(testing::failureOf([&] { readWholeLine(file, spill); }) == failure::kEndOfFile);
    return;
  }
  // A planted error at or before the end is always met, by atEnd or by a read.
  FUZZ_CHECK(code == failure::kFileRead);
  FUZZ_CHECK(written == "fgets error = 5\r\n" || written == "Read/eof error = 5\r\n");
  FUZZ_CHECK(lines.size() <= expected.size());
  FUZZ_CHECK(std::equal(lines.begin(), lines.end(), expected.begin()));
}

}  // namespace
}  // namespace tarvel::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarvel::fuzzing::OutputCapture::install();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel::fuzzing;
  if (size > kMaxInput) return 0;
  ByteReader in(data, size);
  Plan plan;
  const std::uint8_t mode = in.byte();
  const int count = in.byte() % 4 + 1;
  for (int i = 0; i < count; ++i) {
    const std::uint8_t a = in.byte();
    plan.sizes.push_back(readSize(a, in.byte()));
  }
  plan.smallCapacity = in.byte() % 16 + 1;
  plan.pattern = in.byte();
  const std::size_t offset = in.byte() | std::size_t{in.byte()} << 8;
  const std::string_view contents = in.rest();
  plan.failing = (mode & 1) != 0;
  plan.failAt = contents.empty() ? 0 : offset % (contents.size() + 1);

  for (Calls calls : {Calls::line256, Calls::lineSmall, Calls::whole, Calls::mixed}) {
    checkReading(contents, calls, plan, plan.sizes);
    // The whole file in one read (never 0: a read of 0 means the end).
    checkReading(contents, calls, plan, {contents.size() + 1});
  }
  return 0;
}
