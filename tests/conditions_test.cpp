// End-to-end tests of the fatal ends: processor conditions and failures
// reported by the process entry, in the probe program and in tarvel.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process_test.hpp"

namespace {

using tarvel::testing::ChildResult;
using tarvel::testing::fileText;
using tarvel::testing::kReportEnd;
using tarvel::testing::kTestingWindowsBuild;
using tarvel::testing::TempDir;

// Signals other than SIGINT reach a Windows program under wine as wine
// sees fit: Windows has no such thing.  SIGINT stands for Control-C.
constexpr const char* kNoWindowsSignal = "a signal sent with kill has no Windows counterpart";

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
  EXPECT_TRUE(err == report + kReportEnd || err.ends_with("\n" + report + kReportEnd)) << err;
#else
  EXPECT_EQ(err, report + kReportEnd);
#endif
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
  if (kTestingWindowsBuild && c.args[0] == "interrupt")
    GTEST_SKIP()
        << "on Windows, raise(SIGINT) stays inside the C runtime: Control-C is a console event";
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
  EXPECT_EQ(most.err, "tarvel: one file name expected, but 'a1' follows 'a0'" + kReportEnd +
                          "Try 'tarvel --help' for more information." + kReportEnd);

  argv.push_back("one-more");
  const ChildResult tooMany = runChild(argv);
  EXPECT_EQ(tooMany.status, 3);
  EXPECT_EQ(tooMany.out, "");
  expectReport(tooMany.err, "ZEB Exception (17): Too many command line parameters");
}

// How tarvel is started by the tests below, which watch it while it runs.
struct Launch {
  std::vector<std::string> args;  // after the program name
  int outFd = -1;                 // standard output; -1: closed
  bool ignoreInterrupt = false;   // started with SIGINT ignored
  rlim_t addressLimit = 0;        // bytes of address space, 0: unlimited
  const char* program = TARVEL_BINARY;
  int errFd = -1;  // standard error; -1: the file err in the directory
};

// Waits (10 s at most) until `ready` holds.
bool await(const std::function<bool()>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (bool done = ready();; done = ready()) {
    if (done || std::chrono::steady_clock::now() > deadline) return done;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Waits until the pipe read by `fd` is full: the same fill level, above
// zero, seen twice in a row.  Returns the level.
int awaitFullPipe(int fd) {
  int pending = 0, before = -1;
  EXPECT_TRUE(await([&] {
    const bool same = ioctl(fd, FIONREAD, &pending) == 0 && pending > 0 && pending == before;
    before = pending;
    return same;
  }));
  return pending;
}

// Everything left to read on `fd` until its writers are gone (10 s at most).
std::string drain(int fd) {
  std::string text;
  char block[65536];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 10000) <= 0) {
      ADD_FAILURE() << "standard output still open after 10 s";
      return text;
    }
    const ssize_t n = read(fd, block, sizeof block);
    if (n <= 0) return text;
    text.append(block, static_cast<std::size_t>(n));
  }
}

// tarvel run as a child that the test watches, in a directory of its own.
class TarvelChild {
 public:
  // Starts tarvel as `launch` says.
  void start(const Launch& launch) {
    const std::string err = dir_ + "/err";
    std::vector<std::string> words = {launch.program}, env = {"zebinc=inc", kAsanOptions};
    words.insert(words.end(), launch.args.begin(), launch.args.end());
    tarvel::testing::prepareForRunner(words, env);
    std::vector<char*> argv, envp;
    for (std::string& w : words) argv.push_back(w.data());
    for (std::string& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(126);
      dup2(launch.errFd >= 0 ? launch.errFd : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
           2);
      launch.outFd >= 0 ? dup2(launch.outFd, 1) : close(1);
      if (launch.ignoreInterrupt) signal(SIGINT, SIG_IGN);
      if (launch.addressLimit != 0) {
        const rlimit limit{launch.addressLimit, launch.addressLimit};
        setrlimit(RLIMIT_AS, &limit);
      }
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
  }
  // Waits for the end: the exit status, or minus the signal that ended it.
  int finish() {
    int raw = 0;
    waitpid(pid_, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
  }
  std::string err() const { return fileText(dir_ + "/err"); }
  // True while signal `s` waits to be delivered to the child, which is
  // false too once the child has ended.
  bool pending(int s) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    unsigned long long mask = 0;
    for (std::string key; status >> key;) {
      std::string state;
      if (key == "State:" && (status >> state) && state == "Z") return false;  // ended
      if (key == "SigPnd:" || key == "ShdPnd:") {
        status >> std::hex >> mask >> std::dec;
        if (mask & (1ull << (s - 1))) return true;
      }
    }
    return false;
  }
  // The ids of the child's threads.
  std::set<std::string> threads() const {
    std::set<std::string> ids;
    std::error_code ignored;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ignored))
      ids.insert(task.path().filename());
    return ids;
  }
  // True once the child has ended (or cannot be seen).
  bool ended() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string key, state; status >> key;) {
      if (key == "State:") return !(status >> state) || state == "Z";
    }
    return true;
  }
  // Sends signal `s` and waits until the child has taken it, or has ended.
  // A Windows program takes Control-C, which is what wine makes of SIGINT,
  // on a thread that the system starts in it once the signal is gone; that
  // thread drops the interrupt or hands it to a thread of the program's
  // own, which waits for the write in progress, and then ends.  So the
  // interrupt is taken once a thread that came after the signal has gone
  // again.  How long the system's thread takes to get there depends on the
  // load of the machine, not on the program: on a busy machine it has been
  // seen to take well over 5 ms before the program's handler ran.  Should
  // that thread come and go between two looks, only the program's own is
  // seen, which stays until the write is over: after 2 s the interrupt is
  // taken to be in.  An interrupt that meets a report under way is
  // dropped, which changes nothing: there is nothing to wait for.
  void signalAndAwait(int s, bool reportUnderWay = false) {
    const std::set<std::string> before = threads();
    kill(pid_, s);
    // Signals of one kind that are pending together arrive as one.
    EXPECT_TRUE(await([&] { return !pending(s); }));
    if (!kTestingWindowsBuild || reportUnderWay) return;
    std::set<std::string> arrived;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!ended() && std::chrono::steady_clock::now() < deadline) {
      const std::set<std::string> now = threads();
      for (const std::string& id : arrived) {
        if (now.count(id) == 0) return;
      }
      for (const std::string& id : now) {
        if (before.count(id) == 0) arrived.insert(id);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }

  TempDir temp_{"tarvel-child"};
  const std::string& dir_ = temp_.path();
  pid_t pid_ = -1;
};

// The run must end with the report, which is all of standard error.
void expectEndWithReport(TarvelChild& child, const char* report) {
  EXPECT_EQ(child.finish(), 3);
  expectReport(child.err(), report);
}

// tarvel run as a child that the test ends with a signal: one that it
// reports (first: the signal, second: the report), or one that ends it as
// the signal would, silently (second: null).
class TarvelSignal : public ::testing::TestWithParam<std::pair<int, const char*>>,
                     protected TarvelChild {
 protected:
  void start(const std::string& input, int outFd) { TarvelChild::start({{input}, outFd}); }
  void expectEndWithReport(const char* report) { ::expectEndWithReport(*this, report); }
  // The end the signal of the case gives.
  void expectEnd() {
    if (GetParam().second != nullptr) {
      expectEndWithReport(GetParam().second);
      return;
    }
    EXPECT_EQ(finish(), -GetParam().first);
    EXPECT_EQ(err(), "");
  }
  // Skips the cases of signals that end the run silently: there is no
  // report to follow the output.
  bool reported() const { return GetParam().second != nullptr; }
};

// tarvel blocks reading a FIFO after copying one line; the signal must end
// it with that line written out.
TEST_P(TarvelSignal, WhileReadingFifo) {
  if (kTestingWindowsBuild)
    GTEST_SKIP() << "a FIFO is no file on disk: the Windows build refuses it";
  if (!reported()) GTEST_SKIP() << "ends as the signal would, with no report after the output";
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

// The same with -o: the run ends with the report, the output file is as it
// was and no temporary file is left beside it.
TEST_P(TarvelSignal, WhileReadingFifoWithOutputFile) {
  if (kTestingWindowsBuild)
    GTEST_SKIP() << "a FIFO is no file on disk: the Windows build refuses it";
  const std::string fifo = dir_ + "/input.asm";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::ofstream(dir_ + "/flat.asm") << "old";
  TarvelChild::start({{"-o", "flat.asm", "--depfile=flat.d", "input.asm"}, -1});
  int writer = -1;
  ASSERT_TRUE(await([&] { return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }));
  ASSERT_EQ(write(writer, "  mov eax, 1\n", 13), 13);
  // Once the line is read, tarvel waits in the next read, its temporary
  // file made.
  int pending = 1;
  EXPECT_TRUE(await([&] { return ioctl(writer, FIONREAD, &pending) == 0 && pending == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto temporaries = [&] {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      const std::string name = entry.path().filename();
      if (name != "input.asm" && name != "flat.asm" && name != "err") names.push_back(name);
    }
    return names;
  };
  EXPECT_EQ(temporaries().size(), 2u);  // the output's and the dependency file's
  kill(pid_, GetParam().first);
  expectEnd();
  close(writer);
  EXPECT_EQ(fileText(dir_ + "/flat.asm"), "old");
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// A reader gone from standard error (2>&1 | grep -q, say) loses the
// messages, not the run: it ends as it would have, with its files.
TEST(StandardErrorGone, LosesTheMessagesNotTheRun) {
  for (const bool toFile : {false, true}) {
    SCOPED_TRACE(toFile ? "-o" : "standard output");
    TarvelChild child;
    std::ofstream(child.dir_ + "/main.asm") << "a\ninclude gone.inc\nb\n";
    std::ofstream(child.dir_ + "/flat.asm") << "old";
    int errFds[2];
    ASSERT_EQ(pipe2(errFds, O_CLOEXEC), 0);
    close(errFds[0]);
    const std::string outPath = child.dir_ + "/out";
    Launch launch{toFile ? std::vector<std::string>{"-o", "flat.asm", "main.asm"}
                         : std::vector<std::string>{"main.asm"},
                  open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    launch.errFd = errFds[1];
    child.start(launch);
    close(errFds[1]);
    close(launch.outFd);
    EXPECT_EQ(child.finish(), 1);
    EXPECT_EQ(fileText(child.dir_ + "/flat.asm"), "old");
    EXPECT_EQ(fileText(outPath), toFile ? "" : "a\r\nCould not open 'inc\\gone.inc'\r\nb\r\n");
  }
}

// An interrupt at any moment of a run with -o: the run either ends with
// status 0 and the whole text in place, or with the report, the output
// file as it was and no temporary file left.
TEST(InterruptWithOutputFile, EitherAllInPlaceOrNothingChanged) {
  const std::string line = "\tmov eax, dword ptr [ebx+ecx*4+16] ; a line of usual length";
  std::string input, expected;
  for (int i = 0; i < 400000; ++i) {
    input += line + "\n";
    expected += line + "\r\n";
  }
  std::set<int> statuses;
  for (int delayMs : {0, 1, 2, 5, 10, 20, 40, 80}) {
    SCOPED_TRACE(delayMs);
    TarvelChild child;
    std::ofstream(child.dir_ + "/input.asm") << input;
    std::ofstream(child.dir_ + "/flat.asm") << "old";
    child.start({{"-o", "flat.asm", "--depfile=flat.d", "input.asm"}, -1});
    // From the moment the temporary file is there (the run has begun).
    const auto names = [&] {
      std::set<std::string> found;
      for (const auto& entry : std::filesystem::directory_iterator(child.dir_))
        found.insert(entry.path().filename().string());
      return found;
    };
    EXPECT_TRUE(await([&] { return names().size() > 3 || child.ended(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(child.pid_, SIGINT);
    const int status = child.finish();
    statuses.insert(status);
    if (status == 0) {
      EXPECT_EQ(names(), (std::set<std::string>{"err", "input.asm", "flat.asm", "flat.d"}));
      EXPECT_TRUE(fileText(child.dir_ + "/flat.asm") == expected);
      EXPECT_EQ(child.err(), "");
    } else {
      EXPECT_EQ(status, 3);
      EXPECT_EQ(names(), (std::set<std::string>{"err", "input.asm", "flat.asm"}));
      EXPECT_EQ(fileText(child.dir_ + "/flat.asm"), "old");
      expectReport(child.err(), "ZEB Exception ($C000_013A): Control-C exception");
    }
  }
  // Some run was interrupted in its middle.
  EXPECT_TRUE(statuses.count(3)) << "every run ended before its interrupt";
}

// tarvel blocks writing a full pipe; the signal comes in the middle of a
// write of the output buffer, whose rest must come out at most once.
TEST_P(TarvelSignal, WhileWritingFullPipe) {
  if (kTestingWindowsBuild && GetParam().first != SIGINT) GTEST_SKIP() << kNoWindowsSignal;
  if (!reported()) GTEST_SKIP() << "ends as the signal would, with no report after the output";
  std::string input, expected;
  for (int i = 0; i < 60000; ++i) input += "\tpush " + std::to_string(i) + "\n";
  std::ofstream(dir_ + "/input.asm") << input;
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  start(dir_ + "/input.asm", pipeFds[1]);
  close(pipeFds[1]);
  const int pending = awaitFullPipe(pipeFds[0]);
  signalAndAwait(GetParam().first);
  const std::string out = tarvel::testing::readAll(pipeFds[0]);
  close(pipeFds[0]);
  expectEndWithReport(GetParam().second);
  for (int i = 0; expected.size() < out.size(); ++i)
    expected += "\tpush " + std::to_string(i) + "\r\n";
  // The report of a fault writes the rest out; after an interrupt only
  // what the pipe takes at once goes, and the reader is slow here.
  if (GetParam().first == SIGINT) {
    EXPECT_GE(out.size(), std::size_t(pending));
  } else {
    EXPECT_GT(out.size(), std::size_t(pending));
  }
  EXPECT_TRUE(out == expected.substr(0, out.size()))
      << out.size() << " bytes; first difference at "
      << std::mismatch(out.begin(), out.end(), expected.begin()).first - out.begin();
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, TarvelSignal,
    ::testing::Values(std::pair{SIGINT, "ZEB Exception ($C000_013A): Control-C exception"},
                      std::pair{SIGSEGV, "ZEB Exception ($C000_0005): Memory Access Violation"},
                      // What build tools, terminals and timeouts send.
                      std::pair{SIGTERM, nullptr}, std::pair{SIGHUP, nullptr},
                      std::pair{SIGUSR1, nullptr}, std::pair{SIGALRM, nullptr}),
    [](const auto& info) { return std::string(sigabbrev_np(info.param.first)); });

}  // namespace

namespace {

// Lines "line <i>" ended by LF, and what tarvel writes for them.
std::pair<std::string, std::string> numberedLines(int count) {
  std::string in, out;
  for (int i = 0; i < count; ++i) {
    const std::string line = "line " + std::to_string(100000 + i);
    in += line + "\n";
    out += line + "\r\n";
  }
  return {in, out};
}

// tarvel blocked writing to a pipe that nobody reads yet: once the pipe is
// full the signals are sent, then the pipe is read to its end.
struct StuckCase {
  const char* name;
  std::string input;     // main.asm
  std::string expected;  // standard output in full, or what it must be a prefix of
  std::size_t minimum;   // how much of expected must come out
  std::vector<int> signals;
  bool ignoreInterrupt;
  bool nonBlocking;  // standard output is a non-blocking pipe
  int status;        // exit status, or minus the ending signal
  const char* report;
  // Done to main.asm once the pipe is full; the last line written may
  // then be one cut short by it.
  void (*whileStuck)(const std::string& path) = nullptr;
  // False: the pipe is read only once the run has ended, which it must
  // within a second of the signals.
  bool readerReads = true;
};
void PrintTo(const StuckCase& c, std::ostream* os) { *os << c.name; }

const std::string kControlC = "ZEB Exception ($C000_013A): Control-C exception";
const std::string kChangedWhileRead = "tarvel: main.asm: changed while it was being read" +
                                      kReportEnd + "ZEB Exception (10): File read error";

class StuckOutput : public ::testing::TestWithParam<StuckCase>, protected TarvelChild {};

TEST_P(StuckOutput, EveryByteAtMostOnceAndOneReport) {
  const StuckCase& c = GetParam();
  if (kTestingWindowsBuild) {
    for (int s : c.signals) {
      if (s != SIGINT) GTEST_SKIP() << kNoWindowsSignal;
    }
    if (c.ignoreInterrupt)
      GTEST_SKIP() << "Windows passes an ignored Control-C on in the process parameters, "
                      "which an ignored SIGINT does not set";
  }
  std::ofstream(dir_ + "/main.asm", std::ios::binary) << c.input;
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  if (c.nonBlocking) fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  Launch launch{{"main.asm"}, fds[1]};
  launch.ignoreInterrupt = c.ignoreInterrupt;
  start(launch);
  close(fds[1]);
  awaitFullPipe(fds[0]);
  if (c.whileStuck != nullptr) c.whileStuck(dir_ + "/main.asm");
  const bool failureReport = *c.report != '\0' && c.report != kControlC;
  const auto signalled = std::chrono::steady_clock::now();
  for (int s : c.signals) signalAndAwait(s, failureReport);
  if (!c.readerReads) {
    while (!ended() && std::chrono::steady_clock::now() - signalled < std::chrono::seconds(1))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(ended()) << "still running 1 s after the signal, its output full";
  }
  const std::string out = drain(fds[0]);
  close(fds[0]);
  EXPECT_EQ(finish(), c.status);
  if (*c.report != '\0' && !(c.signals.size() > 1 && err().empty())) {
    expectReport(err(), c.report);
  } else {
    EXPECT_EQ(err(), "");
  }
  std::size_t whole = out.size();
  if (c.whileStuck != nullptr && whole > 2) {
    EXPECT_TRUE(out.ends_with("\r\n"));
    whole = out.rfind("\r\n", whole - 3) + 2;  // the lines before the last
  }
  const std::size_t common =
      std::mismatch(out.begin(), out.end(), c.expected.begin(), c.expected.end()).first -
      out.begin();
  EXPECT_GE(common, whole) << "differs from what was written";
  EXPECT_GE(out.size(), c.minimum) << out.size() << " bytes out of " << c.expected.size();
}

const auto kLines = numberedLines(60000);
const auto kBeforeFailure = numberedLines(16000);
const std::string kLongLine(400 * 1024, 'w');

// An interrupt that comes inside the output section, just before a write
// that finds standard output full, gets through at once: the wait for room
// lets it in, and the report follows with nothing written twice.
TEST(InterruptBeforeWrite, IsNotHeldBehindTheWait) {
  if (kTestingWindowsBuild)
    GTEST_SKIP()
        << "on Windows, raise(SIGINT) stays inside the C runtime: Control-C is a console event";
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  // Full before the probe starts, and blocking again for it.
  const std::string filler(4096, 'f');
  std::size_t filled = 0;
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = write(fds[1], filler.data(), filler.size())) > 0;) filled += n;
  fcntl(fds[1], F_SETFL, 0);
  TarvelChild probe;
  probe.start({{"interrupt-before-write", "0"}, fds[1], false, 0, TARVEL_CONDITIONS_PROBE});
  close(fds[1]);
  const bool ended = await([&] { return probe.ended(); });
  EXPECT_TRUE(ended) << "still waiting for room after 10 s";
  if (!ended) kill(probe.pid_, SIGKILL);
  EXPECT_EQ(probe.finish(), ended ? 3 : -SIGKILL);
  if (ended) expectReport(probe.err(), kControlC);
  EXPECT_EQ(drain(fds[0]).size(), filled);  // the filler, and not a byte more
  close(fds[0]);
}

// An interrupt while the main thread is busy elsewhere, here asleep with
// text left in the C runtime's buffer of standard output.  The report ends
// the run from a thread of its own, and no exit code of the C runtime or
// of other modules runs: it could wait for locks that the main thread
// holds.  So what the C runtime still buffers is dropped, on every system.
TEST(InterruptFromAnotherThread, EndsWithoutTheModulesExitCode) {
  TarvelChild probe;
  const std::string outPath = probe.dir_ + "/out";
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  probe.start({{"buffered-then-wait", "2"}, out, false, 0, TARVEL_CONDITIONS_PROBE});
  close(out);
  // The lines are out just before the text is buffered; the pause lets
  // the probe go on to its wait.
  EXPECT_TRUE(await([&] { return fileText(outPath) == probeLines(2) || probe.ended(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  probe.signalAndAwait(SIGINT);
  const bool ended = await([&] { return probe.ended(); });
  EXPECT_TRUE(ended) << "still running 10 s after the interrupt";
  if (!ended) kill(probe.pid_, SIGKILL);
  EXPECT_EQ(probe.finish(), ended ? 3 : -SIGKILL);
  if (ended) expectReport(probe.err(), kControlC);
  EXPECT_EQ(fileText(outPath), probeLines(2));
}

// With -o the text goes to the file, never to the pipe or terminal that
// standard output was at the start, whatever way that was written.
TEST(OutputFile, NotThePipeStandardOutputWas) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  TarvelChild child;
  std::ofstream(child.dir_ + "/main.asm", std::ios::binary) << "text\n";
  child.start({{"-o", "flat.asm", "main.asm"}, fds[1]});
  close(fds[1]);
  EXPECT_EQ(drain(fds[0]), "");
  close(fds[0]);
  EXPECT_EQ(child.finish(), 0);
  EXPECT_EQ(fileText(child.dir_ + "/flat.asm"), "text\r\n");
}

INSTANTIATE_TEST_SUITE_P(Interrupts, StuckOutput,
                         ::testing::Values(
                             // An interrupt while the report of a failure
                             // waits to write out the rest: the report
                             // goes on without it.
                             StuckCase{"DuringFailureReport",
                                       kBeforeFailure.first + ".include\n",
                                       kBeforeFailure.second,
                                       0,
                                       {SIGINT},
                                       false,
                                       false,
                                       3,
                                       "ZEB Exception (2): Index into string is out of range",
                                       nullptr,
                                       false},
                             // The line streams through in read blocks of
                             // 256 KiB, each handed over whole, and the
                             // one under way is given up.
                             StuckCase{"DuringLongPiece",
                                       kLongLine + "\n",
                                       kLongLine + "\r\n",
                                       0,
                                       {SIGINT},
                                       false,
                                       false,
                                       3,
                                       kControlC.c_str(),
                                       nullptr,
                                       false},
                             // The reader never reads again: the report
                             // drops what cannot go out.
                             StuckCase{"ReaderNeverReads",
                                       kLines.first,
                                       kLines.second,
                                       0,
                                       {SIGINT},
                                       false,
                                       false,
                                       3,
                                       kControlC.c_str(),
                                       nullptr,
                                       false},
                             // The first report or none: the second
                             // interrupt may come while it is made.
                             StuckCase{"SecondEndsAtOnce",
                                       kLines.first,
                                       kLines.second,
                                       0,
                                       {SIGINT, SIGINT},
                                       false,
                                       false,
                                       3,
                                       kControlC.c_str()},
                             StuckCase{"TerminateEndsAtOnce",
                                       kLines.first,
                                       kLines.second,
                                       0,
                                       {SIGTERM},
                                       false,
                                       false,
                                       -SIGTERM,
                                       ""},
                             StuckCase{"InheritedIgnoreKept",
                                       kLines.first,
                                       kLines.second,
                                       kLines.second.size(),
                                       {SIGINT},
                                       true,
                                       false,
                                       0,
                                       ""},
                             // Read to its new end, which the run takes
                             // for what it is: not the end it had.
                             StuckCase{"FileShrinksWhileRead",
                                       kLines.first,
                                       kLines.second,
                                       0,
                                       {},
                                       false,
                                       false,
                                       3,
                                       kChangedWhileRead.c_str(),
                                       [](const std::string& path) {
                                         std::filesystem::resize_file(path, 10);
                                       }},
                             StuckCase{"NonBlockingOutputWaits",
                                       kLines.first,
                                       kLines.second,
                                       kLines.second.size(),
                                       {},
                                       false,
                                       true,
                                       0,
                                       ""}),
                         [](const auto& info) { return std::string(info.param.name); });

// Inputs and surroundings that try to make tarvel crash, hang, lose output
// or grow without end: each has a defined outcome.
enum class Output {
  kFile,        // the file out.txt in the directory
  kClosed,      // no standard output at all
  kReaderGone,  // a pipe whose reader has gone before the run began
};
struct HostileCase {
  const char* name;
  std::function<std::vector<std::string>(const std::string& dir)> setUp;  // the arguments
  Output output;
  int status;          // exit status, or minus the ending signal
  std::string out;     // the whole of out.txt
  std::string report;  // all of standard error, but its last line end
};
void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class Hostile : public ::testing::TestWithParam<HostileCase>, protected TarvelChild {};

void put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST_P(Hostile, DefinedOutcome) {
  const HostileCase& c = GetParam();
  if (kTestingWindowsBuild && std::string_view(c.name).starts_with("NameWithQuote"))
    GTEST_SKIP() << "a Windows file name cannot hold a double quote";
  if (kTestingWindowsBuild && std::string_view(c.name) == "NameWithNewline")
    GTEST_SKIP() << "a Windows command line is one text, in which a newline separates arguments";
  if (kTestingWindowsBuild && (std::string_view(c.name) == "FifoIncluded" ||
                               std::string_view(c.name) == "ParentChangedWhileIncludeRead"))
    GTEST_SKIP() << "a FIFO is no file on disk: the Windows build refuses it";
  Launch launch{c.setUp(dir_)};
  const std::string outPath = dir_ + "/out.txt";
  if (c.output == Output::kFile)
    launch.outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (c.output == Output::kReaderGone) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    close(fds[0]);
    launch.outFd = fds[1];
  }
  start(launch);
  if (launch.outFd >= 0) close(launch.outFd);
  EXPECT_EQ(finish(), c.status);
  if (!c.report.empty()) {
    expectReport(err(), c.report);
  } else {
    EXPECT_EQ(err(), "");
  }
  if (c.output == Output::kFile) {
    EXPECT_TRUE(fileText(outPath) == c.out) << fileText(outPath).size();
  }
}

const std::string kLongName(4000, 'n');

// A file named `name` given as the one argument.
HostileCase namedAsItIs(const char* caseName, const std::string& name) {
  return HostileCase{caseName,
                     [name](const std::string& d) {
                       put(d + "/" + name, "q\n");
                       return std::vector<std::string>{name};
                     },
                     Output::kFile,
                     0,
                     "q\r\n",
                     ""};
}
const auto kBulk = numberedLines(30000);  // more than the output buffer holds

INSTANTIATE_TEST_SUITE_P(
    Inputs, Hostile,
    ::testing::Values(
        HostileCase{"NameWithNewline",
                    [](const std::string& d) {
                      put(d + "/a\nb.asm", "x\n");
                      return std::vector<std::string>{"a\nb.asm"};
                    },
                    Output::kFile, 0, "x\r\n", ""},
        HostileCase{"NameWithLeadingDash",
                    [](const std::string& d) {
                      put(d + "/-x.asm", "x\n");
                      return std::vector<std::string>{"-x.asm"};
                    },
                    Output::kFile, 0, "x\r\n", ""},
        HostileCase{
            "NameTooLong",
            [](const std::string& d) {
              put(d + "/main.asm", "include " + kLongName + "\nend\n");
              return std::vector<std::string>{"main.asm"};
            },
            Output::kFile, 1, "Could not open 'inc\\" + kLongName + "'\r\nend\r\n",
            "tarvel: main.asm:1: cannot open '" + kLongName.substr(0, 200) + "...': name too long"},
        // Read like any file once a writer comes.
        HostileCase{"FifoIncluded",
                    [](const std::string& d) {
                      const std::string fifo = d + "/pipe.inc";
                      mkfifo(fifo.c_str(), 0600);
                      put(d + "/main.asm", "a\ninclude pipe.inc\nb\n");
                      std::thread([fifo] {
                        int writer = -1;
                        if (!await([&] {
                              return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0;
                            }))
                          return;
                        if (write(writer, "f\n", 2) != 2) ADD_FAILURE() << "cannot feed the FIFO";
                        close(writer);
                      }).detach();
                      return std::vector<std::string>{"main.asm"};
                    },
                    Output::kFile, 0, "a\r\nf\r\nb\r\n", ""},
        // Changed by another process while an include, a FIFO, is read:
        // the run fails rather than go on with text that does not follow.
        HostileCase{"ParentChangedWhileIncludeRead",
                    [](const std::string& d) {
                      const std::string fifo = d + "/pipe.inc", main = d + "/main.asm";
                      mkfifo(fifo.c_str(), 0600);
                      put(main, "include pipe.inc\n" + numberedLines(30000).first);
                      std::thread([fifo, main] {
                        int writer = -1;
                        if (!await([&] {
                              return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0;
                            }))
                          return;
                        std::filesystem::resize_file(main, 10);
                        if (write(writer, "f\n", 2) != 2) ADD_FAILURE() << "cannot feed the FIFO";
                        close(writer);
                      }).detach();
                      return std::vector<std::string>{"main.asm"};
                    },
                    Output::kFile, 3, "f\r\n",
                    "tarvel: main.asm: changed while it was being read" + kReportEnd +
                        "ZEB Exception (10): File read error"},
        HostileCase{"DirectoryAndLinkLoop",
                    [](const std::string& d) {
                      std::filesystem::create_directory(d + "/sub");
                      std::filesystem::create_symlink("loop", d + "/loop");
                      put(d + "/main.asm", "include sub\ninclude loop\n");
                      return std::vector<std::string>{"main.asm"};
                    },
                    Output::kFile, 1, "Could not open 'inc\\sub'\r\nCould not open 'inc\\loop'\r\n",
                    "tarvel: main.asm:1: cannot open 'sub': is a directory" + kReportEnd +
                        "tarvel: main.asm:2: cannot open 'loop': too many levels of symbolic "
                        "links"},
        // Reading back what it writes would never end.
        HostileCase{
            "OwnOutputFile",
            [](const std::string& d) {
              put(d + "/main.asm", kBulk.first + "include out.txt\n.include \"./out.txt\"\n");
              return std::vector<std::string>{"main.asm"};
            },
            Output::kFile, 1,
            kBulk.second + "Could not open 'inc\\out.txt'\r\nCould not open 'inc\\./out.txt'\r\n",
            "tarvel: main.asm:30001: cannot open 'out.txt': already open in this run, or written "
            "by it" +
                kReportEnd +
                "tarvel: main.asm:30002: cannot open './out.txt': already open in this run, or "
                "written by it"},
        // The shell has split the words already: a name is taken as it is.
        namedAsItIs("NameWithQuotes", "a \"b\".asm"), namedAsItIs("NameWithQuoteFirst", "\"q.asm"),
        namedAsItIs("NameWithQuoteAndBlank", "a b\"c"),
        HostileCase{"OutputClosed",
                    [](const std::string& d) {
                      put(d + "/main.asm", "x\n");
                      return std::vector<std::string>{"main.asm"};
                    },
                    Output::kClosed, 3, "", "ZEB Exception (9): File write error"},
        // As with cat on POSIX; on Windows the run ends as quietly, with
        // status 3 (and no window).
        HostileCase{"ReaderGone",
                    [](const std::string& d) {
                      put(d + "/main.asm", "x\n");
                      return std::vector<std::string>{"main.asm"};
                    },
                    Output::kReaderGone, kTestingWindowsBuild ? 3 : -SIGPIPE, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs share the files they read: while one run, stuck writing to a pipe
// nobody reads yet, holds an include, a second run that includes it too
// reads it, and both give their whole output.
TEST(SharedIncludes, ConcurrentRunsBothComplete) {
  TarvelChild first;
  const auto& [bulkIn, bulkOut] = kBulk;
  put(first.dir_ + "/shared.inc", bulkIn);
  put(first.dir_ + "/a.asm", "a\ninclude shared.inc\n");
  put(first.dir_ + "/b.asm", "b\ninclude shared.inc\n");
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  first.start({{"a.asm"}, fds[1]});
  close(fds[1]);
  awaitFullPipe(fds[0]);

  const ChildResult second =
      tarvel::testing::runChild({TARVEL_BINARY, "b.asm"}, {first.dir_, {"zebinc=inc"}, {}});
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_TRUE(second.out == "b\r\n" + bulkOut) << second.out.substr(0, 80);

  const std::string out = drain(fds[0]);
  close(fds[0]);
  EXPECT_EQ(first.finish(), 0);
  EXPECT_EQ(first.err(), "");
  EXPECT_TRUE(out == "a\r\n" + bulkOut) << out.size() << " bytes";
}

// However little memory the process may have, it ends with its output or
// with the report of failure 13, never with an abort.
TEST(MemoryLimit, StartUpReportsRefusedMemory) {
  if (kTestingWindowsBuild) GTEST_SKIP() << "a limit on address space is a POSIX resource limit";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer runtime needs far more address space than the limits tried";
#endif
  int reported = 0;
  for (rlim_t kib = 4000; kib <= 9000; kib += 250) {
    TarvelChild child;
    put(child.dir_ + "/main.asm", "x\n");
    Launch launch{{"main.asm"}, open((child.dir_ + "/out").c_str(), O_WRONLY | O_CREAT, 0600)};
    launch.addressLimit = kib * 1024;
    child.start(launch);
    close(launch.outFd);
    const int status = child.finish();
    SCOPED_TRACE(kib);
    if (status == 127) continue;  // the loader could not map the libraries
    if (status == 3) {
      ++reported;
      EXPECT_EQ(child.err(), "ZEB Exception (13): Memory allocation failure\n");
    } else {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(fileText(child.dir_ + "/out"), "x\r\n");
    }
  }
  RecordProperty("reported", reported);
}

}  // namespace

namespace {

// One endless line streams through in blocks, as with cat: memory stays
// small, and the run ends when its reader goes.
TEST(EndlessLine, StreamsInLittleMemory) {
  if (kTestingWindowsBuild)
    GTEST_SKIP() << "/dev/zero is a device, which the Windows build refuses, and a reader that "
                    "goes ends a Windows program with a write error, not SIGPIPE";
  TarvelChild child;
  put(child.dir_ + "/main.asm", "before\ninclude /dev/zero\n");
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  child.start({{"main.asm"}, fds[1]});
  close(fds[1]);
  std::string head;
  std::size_t total = 0;
  char block[65536];
  for (ssize_t n; total < 64 * 1024 * 1024 && (n = read(fds[0], block, sizeof block)) > 0;) {
    if (head.size() < 16) head.append(block, static_cast<std::size_t>(n));
    total += static_cast<std::size_t>(n);
  }
  long peakKiB = 0;
  std::ifstream status("/proc/" + std::to_string(child.pid_) + "/status");
  for (std::string key; status >> key;) {
    if (key == "VmHWM:") status >> peakKiB;
  }
  close(fds[0]);
  EXPECT_EQ(child.finish(), -SIGPIPE);
  EXPECT_GE(total, 64u * 1024 * 1024);
  EXPECT_EQ(head.substr(0, 9), std::string("before\r\n\0", 9));
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(peakKiB, 16 * 1024);
#endif
}

}  // namespace

namespace {

// Memory follows neither the length of a line's leading blanks, nor more
// than twice the length of a directive line, nor the depth of nesting.
struct MemoryCase {
  const char* name;
  std::function<void(const std::string& dir)> setUp;  // makes main.asm
  long boundKiB;                                      // the peak must stay below
  int status;
};
void PrintTo(const MemoryCase& c, std::ostream* os) { *os << c.name; }

class PeakMemory : public ::testing::TestWithParam<MemoryCase> {};

constexpr std::size_t kBig = 16 << 20;
constexpr long kProgramKiB = 8 * 1024;

TEST_P(PeakMemory, StaysUnderItsBound) {
  if (kTestingWindowsBuild) GTEST_SKIP() << "a limit on address space is a POSIX resource limit";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer runtime needs far more address space than the bounds";
#endif
  const MemoryCase& c = GetParam();
  TarvelChild child;
  c.setUp(child.dir_);
  // The bound, and room for the program and its libraries: memory beyond
  // it is refused, which ends the run with the report of failure 13.
  Launch launch{{"main.asm"}, open("/dev/null", O_WRONLY | O_CLOEXEC)};
  launch.addressLimit = static_cast<rlim_t>(c.boundKiB + kProgramKiB) * 1024;
  child.start(launch);
  close(launch.outFd);
  EXPECT_EQ(child.finish(), c.status);
  // No report: at most the line of a file that could not be opened.
  if (c.status == 1) {
    EXPECT_TRUE(child.err().starts_with("tarvel: main.asm:1: cannot open '")) << child.err();
  } else {
    EXPECT_EQ(child.err(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, PeakMemory,
    ::testing::Values(MemoryCase{"BlankRunBeforeAWord",
                                 [](const std::string& d) {
                                   std::string text;
                                   for (std::size_t i = 0; i < kBig / 2; ++i) text += " \t";
                                   put(d + "/main.asm", text + "word\n");
                                 },
                                 8 * 1024, 0},
                      MemoryCase{"LongDirectiveLine",
                                 [](const std::string& d) {
                                   put(d + "/main.asm", "include " + std::string(kBig, 'n') + "\n");
                                 },
                                 2 * kBig / 1024 + 8 * 1024, 1},
                      MemoryCase{"ChainOfLargeFiles",
                                 [](const std::string& d) {
                                   std::string body;
                                   while (body.size() < 300000)
                                     body += "\tmov eax, ebx ; a line of the body\n";
                                   for (int i = 0; i < 200; ++i) {
                                     put(d + (i == 0 ? "/main.asm"
                                                     : "/f" + std::to_string(i) + ".inc"),
                                         "include f" + std::to_string(i + 1) + ".inc\n" + body);
                                   }
                                   put(d + "/f200.inc", "end\n");
                                 },
                                 16 * 1024, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
