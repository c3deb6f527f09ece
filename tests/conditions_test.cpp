// End-to-end tests of the fatal ends: processor conditions and failures
// reported by the process entry, in the probe program and in tarvel.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process_test.hpp"

namespace {

using tarvel::testing::ChildResult;
using tarvel::testing::TempDir;

// Keeps a sanitizer runtime from taking SIGSEGV over from the process entry.
const std::string kAsanOptions = "ASAN_OPTIONS=allow_user_segv_handler=1";

ChildResult runChild(const std::vector<std::string>& argv) {
  tarvel::testing::ChildOptions options;
  options.env = {"zebinc=inc", kAsanOptions};
  return tarvel::testing::runChild(argv, options);
}

// The report must be all of standard error, but a sanitizer runtime may
// have written lines of its own in front of it.
void expectReport(const std::string& err, const std::string& report) {
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_TRUE(err == report + "\n" || err.ends_with("\n" + report + "\n")) << err;
#else
  EXPECT_EQ(err, report + "\n");
#endif
}

std::string fileText(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// What the probe writes before it ends.
std::string probeLines(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "probe " + std::to_string(i) + "\r\n";
  return text;
}

struct FatalCase {
  const char* name;
  std::vector<std::string> args;  // how, line count, failure code
  const char* caption;            // the code as the report shows it
  const char* text;
};
void PrintTo(const FatalCase& c, std::ostream* os) { *os << c.name; }

class FatalEnd : public ::testing::TestWithParam<FatalCase> {};

TEST_P(FatalEnd, ReportsAfterAllOutput) {
  const FatalCase& c = GetParam();
  std::vector<std::string> argv = {TARVEL_CONDITIONS_PROBE};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const ChildResult r = runChild(argv);
  EXPECT_EQ(r.status, 3) << "signal " << r.signal;
  expectReport(r.err, std::string("ZEB Exception (") + c.caption + "): " + c.text);
  const std::string expected = probeLines(std::stoi(c.args[1]));
  EXPECT_TRUE(r.out == expected) << r.out.size() << " bytes out of " << expected.size();
}

// 30000 lines are about 400 KB, more than the output buffer holds: part is
// already out when the end comes, the rest still buffered.
INSTANTIATE_TEST_SUITE_P(
    Conditions, FatalEnd,
    ::testing::Values(
        FatalCase{"NullWrite", {"null-write", "10"}, "$C000_0005", "Memory Access Violation"},
        FatalCase{
            "NullWriteLate", {"null-write", "30000"}, "$C000_0005", "Memory Access Violation"},
        FatalCase{"DivideByZero", {"divide", "7"}, "$C000_0094", "Division error"},
        FatalCase{"StackOverflow", {"recurse", "5"}, "$C000_00FD", "Stack overflow"},
        FatalCase{"Interrupt", {"interrupt", "3"}, "$C000_013A", "Control-C exception"},
        FatalCase{"OutsideRegions", {"raise", "4", "7"}, "7", "File open failure"},
        FatalCase{
            "OutsideRegionsLate", {"raise", "30000", "13"}, "13", "Memory allocation failure"},
        FatalCase{"LargestDecimal", {"raise", "1", "65535"}, "65535", "Unknown (user) exception"},
        FatalCase{"SmallestHex", {"raise", "2", "65536"}, "$001_0000", "Unknown (user) exception"},
        FatalCase{"InRegionHandler",
                  {"raise-in-handler", "6", "17"},
                  "17",
                  "Too many command line parameters"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NormalEnd, ReturnWritesAllOutputAndNoReport) {
  const ChildResult r = runChild({TARVEL_CONDITIONS_PROBE, "return", "30001"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out == probeLines(30001)) << r.out.size() << " bytes";
}

TEST(TarvelArguments, TooManyEndWithFailure17MostThatFitGiveUsage) {
  std::vector<std::string> argv = {TARVEL_BINARY};
  for (int i = 0; i < 254; ++i) argv.push_back("a" + std::to_string(i));
  const ChildResult most = runChild(argv);
  EXPECT_EQ(most.status, 2);
  EXPECT_EQ(most.out, "Usage: tarvel filename\r\n");
  EXPECT_EQ(most.err, "");

  argv.push_back("one-more");
  const ChildResult tooMany = runChild(argv);
  EXPECT_EQ(tooMany.status, 3);
  EXPECT_EQ(tooMany.out, "");
  expectReport(tooMany.err, "ZEB Exception (17): Too many command line parameters");
}

// tarvel run as a child that the test sends signals to, in a directory of
// its own.
class TarvelChild : public ::testing::Test {
 protected:
  // Starts tarvel on `input` with standard output on `outFd`, and with
  // interrupts ignored when `ignoreInterrupt`.
  void start(const std::string& input, int outFd, bool ignoreInterrupt = false) {
    const std::string env[] = {"zebinc=inc", kAsanOptions}, err = dir_ + "/err";
    char* envp[] = {const_cast<char*>(env[0].c_str()), const_cast<char*>(env[1].c_str()), nullptr};
    char* argv[] = {const_cast<char*>(TARVEL_BINARY), const_cast<char*>(input.c_str()), nullptr};
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      dup2(outFd, 1);
      dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      if (ignoreInterrupt) signal(SIGINT, SIG_IGN);
      execve(TARVEL_BINARY, argv, envp);
      _exit(127);
    }
  }
  // Waits (10 s at most) until `ready` holds.
  static bool await(const std::function<bool()>& ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (bool done = ready();; done = ready()) {
      if (done || std::chrono::steady_clock::now() > deadline) return done;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // The run must end with the report, which is all of standard error.
  void expectEndWithReport(const char* report) {
    int raw = 0;
    waitpid(pid_, &raw, 0);
    ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << WTERMSIG(raw);
    EXPECT_EQ(WEXITSTATUS(raw), 3);
    expectReport(fileText(dir_ + "/err"), report);
  }

  TempDir temp_{"tarvel-signal"};
  const std::string& dir_ = temp_.path();
  pid_t pid_ = -1;
};

// tarvel ended by a signal.
class TarvelSignal : public TarvelChild,
                     public ::testing::WithParamInterface<std::pair<int, const char*>> {};

// tarvel blocks reading a FIFO after copying one line; the signal must end
// it with that line written out.
TEST_P(TarvelSignal, WhileReadingFifo) {
  const std::string fifo = dir_ + "/input.asm", outPath = dir_ + "/out";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  start(fifo, out);
  close(out);
  // Not blocking in open, so that a child that never reads cannot hang the
  // test.  The line has been read once the FIFO is empty again; the pause
  // lets tarvel copy it and block in the next read.
  int writer = -1, pending = 1;
  ASSERT_TRUE(await([&] { return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }));
  ASSERT_EQ(write(writer, "  mov eax, 1\n", 13), 13);
  EXPECT_TRUE(await([&] { return ioctl(writer, FIONREAD, &pending) == 0 && pending == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  kill(pid_, GetParam().first);
  expectEndWithReport(GetParam().second);
  close(writer);
  EXPECT_EQ(fileText(outPath), "  mov eax, 1\r\n");
}

// tarvel blocks writing a full pipe; the signal comes in the middle of a
// write of the output buffer, whose rest must still come out, once.
TEST_P(TarvelSignal, WhileWritingFullPipe) {
  std::string input, expected;
  for (int i = 0; i < 60000; ++i) input += "\tpush " + std::to_string(i) + "\n";
  std::ofstream(dir_ + "/input.asm") << input;
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  start(dir_ + "/input.asm", pipeFds[1]);
  close(pipeFds[1]);
  int pending = 0, before = -1;  // full: the same count twice in a row
  EXPECT_TRUE(await([&] {
    const bool same =
        ioctl(pipeFds[0], FIONREAD, &pending) == 0 && pending > 0 && pending == before;
    before = pending;
    return same;
  }));
  kill(pid_, GetParam().first);
  const std::string out = tarvel::testing::readAll(pipeFds[0]);
  close(pipeFds[0]);
  expectEndWithReport(GetParam().second);
  for (int i = 0; expected.size() < out.size(); ++i)
    expected += "\tpush " + std::to_string(i) + "\r\n";
  EXPECT_GT(out.size(), std::size_t(pending));
  EXPECT_TRUE(out == expected.substr(0, out.size()))
      << out.size() << " bytes; first difference at "
      << std::mismatch(out.begin(), out.end(), expected.begin()).first - out.begin();
}

// An interrupt ignored by the parent, as in a background job, stays
// ignored: the run reads on to its normal end.
TEST_F(TarvelChild, InterruptIgnoredOnEntryStaysIgnored) {
  const std::string fifo = dir_ + "/input.asm", outPath = dir_ + "/out";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  start(fifo, out, true);
  close(out);
  int writer = -1, pending = 1;
  ASSERT_TRUE(await([&] { return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }));
  ASSERT_EQ(write(writer, "one\n", 4), 4);
  EXPECT_TRUE(await([&] { return ioctl(writer, FIONREAD, &pending) == 0 && pending == 0; }));
  kill(pid_, SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(write(writer, "two\n", 4), 4);
  close(writer);
  int raw = 0;
  waitpid(pid_, &raw, 0);
  ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << WTERMSIG(raw);
  EXPECT_EQ(WEXITSTATUS(raw), 0);
  EXPECT_EQ(fileText(outPath), "one\r\ntwo\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, TarvelSignal,
    ::testing::Values(std::pair{SIGINT, "ZEB Exception ($C000_013A): Control-C exception"},
                      std::pair{SIGSEGV, "ZEB Exception ($C000_0005): Memory Access Violation"}),
    [](const auto& info) { return std::string(sigabbrev_np(info.param.first)); });

}  // namespace
