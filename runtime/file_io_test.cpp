#include "runtime/file_io.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/fake_files_test.hpp"

namespace tarvel {
namespace {

using testing::failureOf;
using Lines = std::vector<std::string>;

// Every line of `contents`, asking atEnd before each, read by readLine into
// capacity 256 (or by readWholeLine) from reads of `chunk` bytes.
Lines readLines(const std::string& contents, std::size_t chunk, bool whole = false) {
  testing::FakeFileSystem fs;
  fs.setChunk(chunk);
  fs.add("f", contents);
  InputFile file = openFile(fromTerminated("f"), kGenericRead, fs);
  FixedString<256> line;
  HeapString spill = allocString(4);
  Lines lines;
  while (!atEnd(file)) {
    if (!whole) readLine(file, line);
    lines.emplace_back(whole ? readWholeLine(file, spill) : line.view());
  }
  EXPECT_TRUE(fs.finished(1));  // the end of input gives the file back at once
  EXPECT_EQ(failureOf([&] { readLine(file, line); }), failure::kEndOfFile);
  EXPECT_EQ(line.length(), lines.empty() || whole ? 0 : lines.back().size());  // kept
  return lines;
}

TEST(ReadLine, LineEndsAndPiecesWhereverBlocksEnd) {
  const std::string x255(255, 'x'), x256(256, 'x');
  // clang-format off
  const std::pair<std::string, Lines> cases[] = {
      {"", {}}, {"abc", {"abc"}}, {"abc\r\n", {"abc"}}, {"abc\n", {"abc"}}, {"abc\r", {"abc"}},
      {"a\rb\r\n", {"a\rb"}}, {"a\r\rb\n\r", {"a\r\rb", ""}}, {"\n", {""}}, {"\r", {""}},
      {"\r\n\r\n\n", {"", "", ""}}, {x256 + "x\r\n", {x256, "x"}}, {x256 + "\r\n", {x256, ""}},
      {x256 + x256 + "\r\nz", {x256, x256, "", "z"}}, {x255 + "\ry\n", {x255 + "\r", "y"}},
      {x255 + "\r\r\n", {x255 + "\r", ""}},
      {"longer than sixteen\r\nbytes\rand more\n", {"longer than sixteen", "bytes\rand more"}}};
  // clang-format on
  for (std::size_t chunk : {1, 2, 3, 17, 1 << 16}) {
    for (const auto& [contents, lines] : cases)
      EXPECT_EQ(readLines(contents, chunk), lines) << chunk << ::testing::PrintToString(contents);
  }
  const std::string a(1000, 'a'), c(300, 'c');
  for (std::size_t chunk : {1, 7, 1 << 16}) {
    EXPECT_EQ(readLines(a + "\r\nb\r\r\n" + c + "\rd\n\ne\r", chunk, true),
              (Lines{a, "b\r\r", c + "\rd", "", "e"}));
  }
}

TEST(FileErrors, FailedReadsWriteTheErrorNumberAndOpensRaiseQuietly) {
  testing::FakeFileSystem fs;
  fs.add("f", "abc\nnext");
  fs.failAt("f", 6, 6);
  FixedString<256> line;
  std::string written;
  std::vector<FailureCode> codes;
  {
    testing::CapturedOutput out;
    InputFile f = openFile(fromTerminated("f"), kGenericRead, fs);
    readLine(f, line);
    codes.push_back(failureOf([&] { readLine(f, line); }));  // "ne", then the failure
    codes.push_back(failureOf([&] { atEnd(f); }));
    codes.push_back(failureOf([&] { openFile(fromTerminated("missing"), kGenericRead, fs); }));
    codes.push_back(failureOf([&] { openFile(fromTerminated("f"), kGenericRead, fs); }));
    written = out.text();
  }
  EXPECT_EQ(written, "fgets error = 6\r\nRead/eof error = 6\r\n");
  EXPECT_EQ(line.length(), 3u);  // a failed read leaves the length as it was
  EXPECT_EQ(codes, (std::vector<FailureCode>{failure::kFileRead, failure::kFileRead,
                                             failure::kFileOpen, failure::kFileOpen}));
}

TEST(ConsoleOutput, NumbersTextAndWidthLimits) {
  const int widths[] = {29, -30, 31, -32, 1024, -1024, 1025, -1025};
  std::string written, expected = "-10\r\n-2147483648";
  std::vector<FailureCode> codes;
  {
    testing::CapturedOutput out;
    putNumber(-1);
    putNumber(0);
    putNewline();
    putNumber(INT32_MIN);
    for (int width : widths)
      codes.push_back(
          failureOf([&] { writeNumber(OutputHandle::standardOutput, -7, width, '.'); }));
    written = out.text();
  }
  for (int width : {29, -30, 31, -32, 1024, -1024}) {
    const std::string fill(std::abs(width) - 2, '.');
    expected += width > 0 ? fill + "-7" : "-7" + fill;
  }
  EXPECT_EQ(written, expected);
  EXPECT_EQ(codes, (std::vector<FailureCode>{0, 0, 0, 0, 0, 0, failure::kFieldWidth,
                                             failure::kFieldWidth}));
}

}  // namespace
}  // namespace tarvel
