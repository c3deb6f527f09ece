// Tests of the Windows platform module, where it does what the system
// offers instead of what the POSIX module builds by hand.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/fake_files_test.hpp"
#include "runtime/platform/platform.hpp"
#include "runtime/temp_dir_test.hpp"

namespace tarvel {
namespace {

namespace fs = std::filesystem;

// A fresh directory of test files.  Held files cannot be deleted while the
// process runs, so the directory goes only when the process ends.
const fs::path& scratch() {
  static const testing::TempDir directory("tarvel_win32");
  static const fs::path path = [] {
    fs::create_directories(fs::path(directory.path()) / "sub");
    return fs::path(directory.path());
  }();
  return path;
}

std::string write(const std::string& name, const std::string& contents) {
  testing::writeFile((scratch() / name).string(), contents);
  return (scratch() / name).string();
}

using testing::openNamed;

TEST(Win32Files, HeldByIdentityWhateverNameReachesIt) {
  const std::string path = write("Held.txt", "held\n");
  const platform::FileId id = openNamed(path);
  ASSERT_NE(id, 0u);
  platform::finishReading(id);  // the hold outlasts the reading
  const std::string dir = scratch().string();
  // A second name of the same file, which no folding of names reaches.
  const std::string link = dir + "\\sub\\link.txt";
  ASSERT_TRUE(CreateHardLinkA(link.c_str(), path.c_str(), nullptr)) << GetLastError();
  for (const std::string& other : {path, dir + "\\HELD.TXT", dir + "/held.txt",
                                   dir + "\\sub\\..\\held.txt", dir + "\\.\\hElD.tXt", link}) {
    platform::FileFailure why{};
    EXPECT_EQ(openNamed(other, why), 0u) << other;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << other;
    EXPECT_EQ(why, platform::FileFailure::held) << other;
  }
  write("sub/next.txt", "x");
  EXPECT_NE(openNamed(dir + "/sub\\next.txt"), 0u);
}

// Other readers are welcome; writers are not.
TEST(Win32Files, SharedWithReadersNotWithWriters) {
  const auto openHandle = [](const std::string& path, DWORD access) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const std::string read = write("read.txt", "r\n"), written = write("written.txt", "w\n");
  HANDLE reader = openHandle(read, GENERIC_READ);
  HANDLE writer = openHandle(written, GENERIC_WRITE);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_NE(openNamed(read), 0u);
  platform::FileFailure why{};
  EXPECT_EQ(openNamed(written, why), 0u);
  EXPECT_EQ(why, platform::FileFailure::inUse);
  CloseHandle(reader);
  CloseHandle(writer);

  // Nothing changes under a run: while held here, nobody writes it.
  EXPECT_EQ(openHandle(read, GENERIC_WRITE), INVALID_HANDLE_VALUE);
}

// The file an output replaces stays readable by others while the run
// writes its replacement, and held from the run itself.
TEST(Win32Files, ReplacedTargetSharedWithReaders) {
  const std::string target = write("target.asm", "old\n");
  platform::FileFailure why{};
  ASSERT_NE(platform::createReplacement(target.c_str(), why), 0u);
  HANDLE reader = CreateFileA(target.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  EXPECT_EQ(openNamed(target, why), 0u);
  EXPECT_EQ(why, platform::FileFailure::held);
  platform::discardReplacements();
}

TEST(Win32Files, OnlyFilesOnDiskOpenAndBlocksFitWhatIsLeft) {
  // Devices would never deliver an end, or wait for the user.
  using platform::FileFailure;
  // A console name opens where there is a console; without one, as under
  // a test runner, the system refuses it itself (none: either reason).
  const std::pair<std::string, FileFailure> refused[] = {
      {"CON", FileFailure::none},
      {"NUL", FileFailure::notAFile},
      {"nul.asm", FileFailure::notAFile},
      {"CONIN$", FileFailure::none},
      {scratch().string(), FileFailure::isDirectory},
      {(scratch() / "missing").string(), FileFailure::notFound},
      {(scratch() / "nowhere" / "x").string(), FileFailure::notFound},
  };
  for (const auto& [name, reason] : refused) {
    FileFailure why{};
    EXPECT_EQ(openNamed(name, why), 0u) << name;
    if (reason != FileFailure::none) {
      EXPECT_EQ(why, reason) << name;
    }
    EXPECT_NE(why, FileFailure::none) << name;
  }

  const auto blockOf = [](const std::string& path) {
    return platform::readBlockSize(openNamed(path));
  };
  EXPECT_EQ(blockOf(write("empty", "")), 1u);
  EXPECT_EQ(blockOf(write("ten", "0123456789")), 11u);
  EXPECT_EQ(blockOf(write("large", std::string(1 << 20, 'x'))), 256u * 1024);
}

TEST(Win32Output, BytesGoOutAsTheyStand) {
  // Standard output is a file of the test's for a while.
  HANDLE file =
      CreateFileA((scratch() / "bytes.out").string().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, file);
  const std::string tail = std::string(5000, 't') + "\r";  // too long to gather
  platform::enterOutputSection();
  const platform::WriteResult small = platform::writeStandardOutput("a\r\nb\n", 5, "\032c", 2);
  const platform::WriteResult large =
      platform::writeStandardOutput("\n\r\n", 3, tail.data(), tail.size());
  platform::leaveOutputSection();
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(file);
  EXPECT_EQ(small.written, 7u);
  EXPECT_EQ(large.written, 3 + tail.size());
  EXPECT_EQ(small.error + large.error, 0);
  EXPECT_TRUE(testing::fileText((scratch() / "bytes.out").string()) ==
              "a\r\nb\n\032c\n\r\n" + tail);
}

TEST(Win32Environment, ResultAndTerminatorFitTheRoomExactly) {
  char dest[300];
  SetEnvironmentVariableA("tarvel_value", std::string(254, 'v').c_str());
  EXPECT_EQ(platform::expandEnvironmentStrings("%tarvel_value%", dest, 255), 255u);
  EXPECT_EQ(std::string(dest), std::string(254, 'v'));
  SetEnvironmentVariableA("tarvel_value", std::string(255, 'v').c_str());
  EXPECT_EQ(platform::expandEnvironmentStrings("%tarvel_value%", dest, 255), 256u);
  SetEnvironmentVariableA("tarvel_value", nullptr);
  EXPECT_EQ(platform::expandEnvironmentStrings("a%tarvel_value%", dest, 255), 16u);
}

// Starts the command with a command line exactly as written, in the
// scratch directory, with the standard handles given, and waits for its end
// (30 s at most, then ends it): its exit status, or WAIT_TIMEOUT.
DWORD runTarvel(const std::string& arguments, HANDLE out, HANDLE err) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string line =
      "\"" + (fs::path(self).parent_path() / "tarvel.exe").string() + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = out;
  startup.hStdError = err;
  startup.hStdOutput = out;
  PROCESS_INFORMATION process{};
  SetEnvironmentVariableA("zebinc", "lib");
  const std::string dir = scratch().string();
  DWORD status = 0xFFFFFFFF;
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(),
                     &startup, &process)) {
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process.hProcess, &status);
    } else {
      TerminateProcess(process.hProcess, 99);
      status = WAIT_TIMEOUT;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  return status;
}

SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

// A file of the scratch directory that a child can write.
HANDLE inheritedFile(const std::string& name) {
  return CreateFileA((scratch() / name).string().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                     &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string contentsOf(const std::string& name) {
  std::ifstream file(scratch() / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The command, started with a command line exactly as written: what it
// wrote and its exit status.
std::pair<std::string, DWORD> runCommandLine(const std::string& arguments) {
  HANDLE out = inheritedFile("out");
  // Standard error, which says what is wrong besides, goes nowhere.
  HANDLE nowhere = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD status = runTarvel(arguments, out, nowhere);
  CloseHandle(out);
  CloseHandle(nowhere);
  return {contentsOf("out"), status};
}

// A pipe in no-wait mode that never takes anything ends the run as a
// write that fails, after a bounded wait, instead of a run that spins for
// ever.
TEST(Win32Output, StalledNoWaitPipeFailsTheWrite) {
  write("wide.asm", std::string(200000, 'w') + "\n");
  const std::string name = "\\\\.\\pipe\\tarvel-stalled-" + std::to_string(GetCurrentProcessId());
  HANDLE reader = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT,
                                   1, 4096, 4096, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  HANDLE writer =
      CreateFileA(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0,
                  &inherited, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  DWORD mode = PIPE_NOWAIT;
  ASSERT_TRUE(SetNamedPipeHandleState(writer, &mode, nullptr, nullptr));
  HANDLE err = inheritedFile("stalled.err");
  const DWORD status = runTarvel("wide.asm", writer, err);
  CloseHandle(err);
  CloseHandle(writer);
  CloseHandle(reader);
  EXPECT_EQ(status, 3u) << (status == WAIT_TIMEOUT ? "still writing after 30 s" : "");
  EXPECT_EQ(contentsOf("stalled.err"), "ZEB Exception (9): File write error\r\n");
}

TEST(Win32CommandLine, SplitByTheRuntimeAsTheSystemKeepsIt) {
  write("a b.asm", "spaced\n");
  write("ab.asm", "joined\n");
  const std::string usage = "Usage: tarvel filename\r\n";
  const std::pair<std::string, std::pair<std::string, DWORD>> cases[] = {
      {"\"a b.asm\"", {"spaced\r\n", 0}},
      {"a b.asm", {usage, 2}},
      {"  \"a b.asm", {"spaced\r\n", 0}},  // an open quote runs to the end
      {"\"a\"b.asm", {usage, 2}},          // a closing quote ends the argument
      {"a\\\"b.asm\"", {"Could not open 'lib\\a\\\"b.asm\"'\r\n", 1}},
  };
  for (const auto& [arguments, expected] : cases)
    EXPECT_EQ(runCommandLine(arguments), expected) << arguments;
}

}  // namespace
}  // namespace tarvel
