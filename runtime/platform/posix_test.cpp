#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "runtime/console.hpp"
#include "runtime/fake_files_test.hpp"
#include "runtime/file_io.hpp"
#include "runtime/platform/platform.hpp"
#include "runtime/temp_dir_test.hpp"

namespace tarvel {
namespace {

using testing::atEnd;
using testing::failureOf;
using testing::flushOutput;
using testing::readLine;
using testing::readWholeLine;

// The path of `name` in a directory of test files.  A file stays held by
// device and inode after its reading is over, and a deleted file's inode may
// be given to a new one, so the files go only when the process ends.
std::string scratch(const std::string& name) {
  static const testing::TempDir directory("tarvel_posix");
  static const bool withSub = std::filesystem::create_directories(directory / "sub");
  (void)withSub;
  return directory / name;
}

std::string write(const std::string& name, const std::string& contents) {
  testing::writeFile(scratch(name), contents);
  return scratch(name);
}

using testing::openNamed;

TEST(PosixFiles, HeldWhateverNameReachesItAndDirectoriesRefused) {
  const std::string path = write("held.txt", "held\n");
  ASSERT_EQ(link(path.c_str(), scratch("hard").c_str()), 0);
  ASSERT_EQ(symlink(path.c_str(), scratch("soft").c_str()), 0);
  const platform::FileId id = openNamed(path);
  ASSERT_NE(id, 0u);
  platform::finishReading(id);  // the hold outlives the descriptor
  using platform::FileFailure;
  const std::pair<std::string, FileFailure> refused[] = {
      {path, FileFailure::held},
      {scratch("./held.txt"), FileFailure::held},
      {scratch("sub/../held.txt"), FileFailure::held},
      {scratch("hard"), FileFailure::held},
      {scratch("soft"), FileFailure::held},
      {scratch("\\held.txt"), FileFailure::held},
      {scratch(""), FileFailure::isDirectory},
      {scratch("sub"), FileFailure::isDirectory},
      {scratch("missing"), FileFailure::notFound},
      {scratch("held.txt/inside"), FileFailure::notFound},
      {scratch(std::string(300, 'n')), FileFailure::nameTooLong},
  };
  for (const auto& [other, reason] : refused) {
    FileFailure why{};
    EXPECT_EQ(openNamed(other, why), 0u) << other;
    EXPECT_EQ(why, reason) << other;
  }

  write("sub/back.txt", "via backslashes\n");
  InputFile file = openFile(fromTerminated(scratch("sub\\back.txt").c_str()));
  HeapString spill = allocString(0);
  EXPECT_EQ(readWholeLine(file, spill), "via backslashes");
  EXPECT_EQ(failureOf([] { openFile(fromTerminated(scratch("sub/back.txt").c_str())); }),
            failure::kFileOpen);
}

TEST(PosixFiles, FifosAndFilesOfManyBlocksComeLineByLine) {
  ASSERT_EQ(mkfifo(scratch("fifo").c_str(), 0600), 0);
  const std::string longLine(70000, 'w');
  std::thread writer([&] { std::ofstream(scratch("fifo")) << "one\r\n" << longLine << "\ntwo"; });
  InputFile pipe = openFile(fromTerminated(scratch("fifo").c_str()));
  HeapString spill = allocString(16);
  std::vector<std::string> lines;
  while (!atEnd(pipe)) lines.emplace_back(readWholeLine(pipe, spill));
  writer.join();
  EXPECT_EQ(lines, (std::vector<std::string>{"one", longLine, "two"}));

  EXPECT_LE(platform::readBlockSize(openNamed(write("small", "x\n"))), 65536u);
  // A file of a few blocks: a CR LF split by the first block boundary, a CR
  // and the character after it split by the second.
  const std::size_t size = (3 << 20) + 100;
  ASSERT_EQ(truncate(write("probe", "").c_str(), size), 0);
  const std::size_t block = platform::readBlockSize(openNamed(scratch("probe")));
  ASSERT_GE(block, 65536u);
  ASSERT_LT(2 * block + 1, size - 1);
  std::string contents(size, 'x');
  contents[block - 1] = contents[2 * block - 1] = '\r';
  contents[block] = contents[size - 1] = '\n';
  InputFile big = openFile(fromTerminated(write("big", contents).c_str()));
  EXPECT_TRUE(readWholeLine(big, spill) == contents.substr(0, block - 1));
  EXPECT_TRUE(readWholeLine(big, spill) == contents.substr(block + 1, size - block - 2));
  EXPECT_TRUE(atEnd(big));
}

TEST(PosixDevices, FailedReadsAndAFullDevice) {
  FailureCode codes[3] = {};
  std::string written;
  {
    testing::CapturedOutput out;
    codes[0] = failureOf([] {
      InputFile file = openFile(StringLiteral("/proc/self/mem"));
      FixedString<256> line;
      readLine(file, line);
    });
    written = out.text();
  }
  EXPECT_EQ(written, "fgets error = 5\r\n");

  std::fflush(stdout);
  output::flush();
  const int saved = dup(STDOUT_FILENO);
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  dup2(full, STDOUT_FILENO);
  close(full);
  const HeapString big = fromTerminated(std::string(300 * 1024, 'o').c_str());
  codes[1] = failureOf([&] { putText(big); });  // more than the output buffer holds
  putText(StringLiteral("buffered"));
  codes[2] = failureOf(flushOutput);
  output::flush();
  dup2(saved, STDOUT_FILENO);
  close(saved);
  EXPECT_EQ(codes[0], failure::kFileRead);
  EXPECT_EQ(codes[1], failure::kDiskFull);
  EXPECT_EQ(codes[2], failure::kDiskFull);
}

TEST(PosixEnvironment, ReferencesExpandLikeTheWindowsCall) {
  const char* old = getenv("zebinc");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  unsetenv("tarvel_unset");
  std::string seen;
  char dest[64];
  for (const char* value : {"/usr/include/zeb", "", static_cast<const char*>(nullptr)}) {
    value != nullptr ? setenv("zebinc", value, 1) : unsetenv("zebinc");
    for (const char* text : {"%zebinc%", "a%%b%tarvel_unset%zebinc%x%", "%zebinc"}) {
      const std::uint32_t n = platform::expandEnvironmentStrings(text, dest, sizeof dest);
      seen += (n == std::strlen(dest) + 1 ? std::string(dest) : "?") + "|";
    }
  }
  if (saved) setenv("zebinc", saved->c_str(), 1);
  EXPECT_EQ(seen,
            "/usr/include/zeb|a%%b%tarvel_unset/usr/include/zebx%|%zebinc|"
            "|a%%b%tarvel_unsetx%|%zebinc|"
            "%zebinc%|a%%b%tarvel_unset%zebinc%x%|%zebinc|");
  EXPECT_EQ(platform::expandEnvironmentStrings("%zebinc%", dest, 3), 9u);  // too small: the need
}

}  // namespace
}  // namespace tarvel
