#include "runtime/file_io.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/console.hpp"
#include "runtime/fake_files_test.hpp"
#include "runtime/output.hpp"
#include "runtime/replacement.hpp"

namespace tarvel {
namespace {

using testing::atEnd;
using testing::failureOf;
using testing::putLine;
using testing::readLine;
using testing::readWholeLine;
using Lines = std::vector<std::string>;

// Every line of `contents`, asking atEnd before each, read by readLine into
// capacity 256 (or by readWholeLine) from reads of `chunk` bytes.
Lines readLines(const std::string& contents, std::size_t chunk, bool whole = false) {
  testing::FakeFileSystem fs;
  fs.setChunk(chunk);
  fs.add("f", contents);
  InputFile file = openFile(fromTerminated("f"), fs);
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
    InputFile f = openFile(fromTerminated("f"), fs);
    readLine(f, line);
    codes.push_back(failureOf([&] { readLine(f, line); }));  // "ne", then the failure
    codes.push_back(failureOf([&] { atEnd(f); }));
    codes.push_back(failureOf([&] { openFile(fromTerminated("missing"), fs); }));
    codes.push_back(failureOf([&] { openFile(fromTerminated("f"), fs); }));
    written = out.text();
  }
  EXPECT_EQ(written, "fgets error = 6\r\nRead/eof error = 6\r\n");
  EXPECT_EQ(line.length(), 3u);  // a failed read leaves the length as it was
  EXPECT_EQ(codes, (std::vector<FailureCode>{failure::kFileRead, failure::kFileRead,
                                             failure::kFileOpen, failure::kFileOpen}));
}

// Everything copyLines writes for `contents`, each picked line marked, read
// `chunk` bytes at a time into a buffer of the suggested size `block`.
std::string copiedLines(const std::string& contents, const LineFilter& filter,
                        std::size_t chunk = 7, std::size_t block = 100, bool seekable = true) {
  testing::FakeFileSystem fs;
  fs.setChunk(chunk);
  fs.setBlockSize(block);
  fs.add("f", contents);
  if (!seekable) fs.setUnseekable("f");
  InputFile file = openFile(fromTerminated("f"), fs);
  HeapString spill = allocString(4);
  std::string_view line;
  testing::CapturedOutput out;
  while (file.copyLines(filter, spill, line)) {
    putText(fromTerminated("<"));
    putLine(line);
  }
  return out.text();
}

// Heads that the buffer cannot show whole: buffers smaller than a head,
// leading blanks that fill the buffer (read again from a file that can be
// positioned, held from one that cannot), a byte-order mark at the start of
// the file, and picked lines much longer than the buffer.
TEST(CopyLines, HeadsBeyondTheBuffer) {
  const LineFilter in = {{'i', 'I', '.', '#'}, {'n', 'n', 'i', 'i'}, 14, [](std::string_view head) {
                           return head.size() > 1 && (head[0] | 0x20) == 'i' &&
                                  (head[1] | 0x20) == 'n';
                         }};
  std::string blanks;
  for (int i = 0; i < 1500; ++i) blanks += i % 3 == 0 ? "\t" : " ";
  const std::string mark = "\xEF\xBB\xBF", longName(3 << 20, 'n');
  const std::pair<std::string, std::string> cases[] = {
      {"include x\nend\n", "<include x\r\nend\r\n"},
      {"in", "<in\r\n"},
      {blanks + "word\n" + blanks + "In x\r\n" + blanks,
       blanks + "word\r\n<In x\r\n" + blanks + "\r\n"},
      {blanks + "\n\tin", blanks + "\r\n<in\r\n"},
      {mark + "include x\n", "<include x\r\n"},
      {mark + " \tin x", "<in x\r\n"},
      {mark + "word\n", mark + "word\r\n"},
      {mark + blanks + "in x\n" + mark + "in\n", "<in x\r\n" + mark + "in\r\n"},
      {mark + blanks + "w\r", mark + blanks + "w\r\n"},
      {mark, mark + "\r\n"},
      {"\xEF\xBBin\n", "\xEF\xBBin\r\n"},
      {"x\n" + mark + "in\n", "x\r\n" + mark + "in\r\n"},
      {"in" + longName + "\r\nafter\n", "<in" + longName + "\r\nafter\r\n"},
      {blanks + "in" + longName, "<in" + longName + "\r\n"},
  };
  for (const auto& [chunk, block] : {std::pair<std::size_t, std::size_t>{1, 1},
                                     {3, 8},
                                     {1 << 16, 13},
                                     {7, 100},
                                     {1 << 16, 1 << 16}}) {
    for (const bool seekable : {true, false}) {
      for (const auto& [contents, expected] : cases) {
        if (contents.size() > (1 << 20) && chunk < 7) continue;  // slow, and nothing more
        EXPECT_TRUE(copiedLines(contents, in, chunk, block, seekable) == expected)
            << chunk << " " << block << " " << seekable << " "
            << ::testing::PrintToString(contents.substr(0, 40));
      }
    }
  }
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

// What the system does wrong, planted in-process: short writes and
// interrupted ones lose and repeat nothing, a full device and a failed
// write end the run with their failures, and a replacement that cannot be
// put in place says so and leaves its target as it was.
TEST(SystemFaults, WritesAndRenamesThatFail) {
  // The platform's own numbers: an interruption, a full device, another error.
  const int interrupted = platform::isInterruption(EINTR) ? EINTR : 0;
  int full = 0;
  for (int candidate : {ENOSPC, 112}) {
    if (platform::isDeviceFull(candidate)) full = candidate;
  }
  const std::string text = std::string(5000, 'x') + "\r\n" + std::string(70000, 'y');
  struct Case {
    const char* name;
    std::vector<std::pair<std::size_t, int>> faults;  // bytes written, then the error
    FailureCode code;
    std::size_t out;  // bytes that come out
  };
  const Case cases[] = {
      {"short writes", {{3, 0}, {1, 0}, {4096, 0}}, 0, text.size()},
      {"interrupted", {{7, interrupted}, {0, interrupted}}, 0, text.size()},
      {"device full", {{10, full}}, failure::kDiskFull, 10},
      {"refused", {{0, EIO}}, failure::kFileWrite, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.faults.front().second == 0 && c.code == 0 && interrupted == 0 &&
        std::string_view(c.name) == "interrupted")
      continue;  // no system call is interrupted on Windows
    FailureCode code = 0;
    std::string written;
    {
      testing::CapturedOutput out;
      for (const auto& [bytes, error] : c.faults) out.files().faultNextWrite(bytes, error);
      code = failureOf([&] {
        output::write(text.data(), 5002);                       // gathered in the buffer
        output::write(text.data() + 5002, text.size() - 5002);  // written where it lies
        output::flush();
      });
      written = out.files().written();
    }
    EXPECT_EQ(code, c.code);
    EXPECT_TRUE(written == text.substr(0, c.out)) << written.size() << " of " << c.out;
  }

  // A target whose replacement cannot be put in place.
  const testing::TempDir directory("tarvel_faults");
  const std::string target = directory / "faulty-target";
  testing::writeFile(target, "old");
  testing::FaultyFiles files;
  UsingFileSystem using_(files);
  FileFailure why{};
  const ReplacementId id = prepareFile(target, why);
  ASSERT_NE(id, 0u);
  writeToFile(id, "new");
  files.faultPutInPlace(id, EACCES);
  EXPECT_FALSE(putFilesInPlace());
  EXPECT_EQ(testing::fileText(target), "old");
}

}  // namespace
}  // namespace tarvel
