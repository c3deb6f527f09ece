// The platform module on POSIX systems (Linux first).

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "runtime/platform/platform.hpp"

namespace tarvel::platform {

namespace {

// ---- Process state ----

int savedArgc = 0;
char** savedArgv = nullptr;

bool isArgumentDelimiter(unsigned char c) { return (c >= 1 && c <= 32) || c == 127; }

// ---- Standard output ----

constexpr std::size_t kOutputBufferSize = 256 * 1024;
char outputBuffer[kOutputBufferSize];
// outputBuffer[outputWritten, outputUsed) is waiting to be written.  Each
// index moves only after the bytes are in place or out, so a signal handler
// that flushes never writes a half-copied piece.
std::atomic<std::size_t> outputUsed{0};
std::atomic<std::size_t> outputWritten{0};

// While the program itself is writing the buffer out, a signal handler
// cannot know how much of the interrupted write went out.  A condition
// that arrives then is left here for the flush to deliver once the write
// has returned; interrupts stop a blocked write, since no handler restarts
// calls.
volatile sig_atomic_t flushing = 0;
std::atomic<std::uint32_t> deferredCondition{0};  // 0: none
bool flushAtLineEnd = false;  // standard output is a terminal

// Writes all of `size` bytes to `fd`; 0 or the error number.
int writeAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// ---- Input files ----

// A file this process has opened.  The hold (device and inode) outlives the
// descriptor.
struct OpenFile {
  int fd;
  bool regular;
  off_t size;
};

std::vector<OpenFile> openFiles;  // FileId n is openFiles[n - 1]

struct FileKey {
  dev_t device;
  ino_t inode;
  bool operator==(const FileKey&) const = default;
};

struct FileKeyHash {
  std::size_t operator()(const FileKey& k) const {
    return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(k.inode) * 1000003u ^
                                      static_cast<std::uint64_t>(k.device));
  }
};

std::unordered_set<FileKey, FileKeyHash> heldFiles;

constexpr std::size_t kLargeReadBlock = 1024 * 1024;
constexpr std::size_t kStreamReadBlock = 64 * 1024;
constexpr std::size_t kSmallestReadBlock = 4096;

OpenFile* lookupFile(FileId file) {
  if (file == 0 || file > openFiles.size()) return nullptr;
  return &openFiles[file - 1];
}

// ---- Conditions ----

ConditionHandler conditionHandler = nullptr;
volatile sig_atomic_t handlingCondition = 0;
std::uintptr_t stackLowest = 0;  // lowest address the main stack may reach

constexpr std::size_t kStackGuardReach = 2 * 1024 * 1024;

bool nearStackLimit(const void* address) {
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  if (stackLowest == 0) return false;
  const std::uintptr_t low = stackLowest > kStackGuardReach ? stackLowest - kStackGuardReach : 0;
  return a >= low && a < stackLowest + 64 * 1024;
}

// True for a signal the processor raised at the current instruction, false
// for one sent by a process or the terminal.
bool isFault(int signal, const siginfo_t* info) {
  return signal != SIGINT && info->si_code > 0 && info->si_code != SI_KERNEL;
}

std::uint32_t conditionCode(int signal, const siginfo_t* info) {
  switch (signal) {
    case SIGSEGV:
    case SIGBUS:
      // A signal sent by another process carries no fault address.
      return isFault(signal, info) && nearStackLimit(info->si_addr) ? 0xC00000FD : 0xC0000005;
    case SIGFPE:
      switch (info->si_code) {
        case FPE_INTDIV: return 0xC0000094;
        case FPE_INTOVF: return 0xC0000095;
        case FPE_FLTDIV: return 0xC000008E;
        case FPE_FLTOVF: return 0xC0000091;
        case FPE_FLTUND: return 0xC0000093;
        case FPE_FLTRES: return 0xC000008F;
        case FPE_FLTINV: return 0xC0000090;
        case FPE_FLTSUB: return 0xC000008C;
        default: return 0xC0000090;
      }
    case SIGILL:
      return (info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG) ? 0xC0000096
                                                                            : 0xC000001D;
    case SIGTRAP:
      return info->si_code == TRAP_TRACE ? 0x80000004 : 0x80000003;
    default:  // SIGINT
      return 0xC000013A;
  }
}

void deliverCondition(std::uint32_t code) {
  handlingCondition = 1;
  conditionHandler(code);
  _exit(3);  // the handler does not return; this is only a safeguard
}

void onSignal(int signal, siginfo_t* info, void* /*context*/) {
  // A second interrupt while the first is being reported (say, stuck
  // writing to a pipe nobody reads) ends the process at once.
  if (handlingCondition) _exit(3);
  const std::uint32_t code = conditionCode(signal, info);
  if (flushing && !isFault(signal, info)) {
    deferredCondition.store(code);
    return;
  }
  deliverCondition(code);
}

void findStackLimit() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* address = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attr, &address, &size) == 0)
    stackLowest = reinterpret_cast<std::uintptr_t>(address);
  pthread_attr_destroy(&attr);
}

}  // namespace

// ---- Process ----

void startProcess(int argc, char** argv) {
  savedArgc = argc;
  savedArgv = argv;
  // Deep nesting holds one descriptor per level.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  flushAtLineEnd = isatty(STDOUT_FILENO) == 1;
  // Standard output, when it is a regular file, is held from the start: a
  // tree that includes its own output file cannot read what it writes.
  struct stat st {};
  if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode))
    heldFiles.insert(FileKey{st.st_dev, st.st_ino});
}

const char* commandLine() {
  static std::string line;
  static bool built = false;
  if (!built) {
    built = true;
    for (int i = 0; i < savedArgc; ++i) {
      const char* arg = savedArgv[i];
      if (i > 0) line += ' ';
      bool quote = *arg == '\0' || *arg == '"';
      for (const char* c = arg; *c != '\0' && !quote; ++c)
        quote = isArgumentDelimiter(static_cast<unsigned char>(*c));
      if (quote) line += '"';
      line += arg;
      if (quote) line += '"';
    }
  }
  return line.c_str();
}

const char* zebincExpansion() {
  const char* value = std::getenv("zebinc");
  return value != nullptr ? value : "%zebinc%";
}

void exitProcess(int status) { _exit(status); }

void installConditionHandlers(ConditionHandler handler) {
  conditionHandler = handler;
  findStackLimit();

  // A stack of its own, so that a stack overflow can still be reported.
  static std::vector<char> alternateStack(256 * 1024);
  stack_t stack{};
  stack.ss_sp = alternateStack.data();
  stack.ss_size = alternateStack.size();
  sigaltstack(&stack, nullptr);

  struct sigaction action {};
  action.sa_sigaction = onSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigfillset(&action.sa_mask);
  sigdelset(&action.sa_mask, SIGINT);
  for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP})
    sigaction(signal, &action, nullptr);
  // An interrupt the parent chose to ignore (a background job) stays ignored.
  struct sigaction inherited {};
  if (sigaction(SIGINT, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
    sigaction(SIGINT, &action, nullptr);
}

// ---- Memory ----

void* allocateMemory(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

void releaseMemory(void* block) { std::free(block); }

// ---- Input files ----

FileId openForReading(const char* name) {
  std::string path(name);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  // Checked before opening too, so that a held FIFO is refused at once
  // instead of waiting for a writer.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 &&
      (S_ISDIR(st.st_mode) || heldFiles.count(FileKey{st.st_dev, st.st_ino}) != 0))
    return 0;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return 0;

  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
      !heldFiles.insert(FileKey{st.st_dev, st.st_ino}).second) {
    ::close(fd);
    return 0;
  }
  openFiles.push_back(OpenFile{fd, S_ISREG(st.st_mode), st.st_size});
  return static_cast<FileId>(openFiles.size());
}

ReadResult readFile(FileId file, void* buffer, std::size_t size) {
  const OpenFile* f = lookupFile(file);
  if (f == nullptr || f->fd < 0) return {-1, EBADF};
  for (;;) {
    const ssize_t n = ::read(f->fd, buffer, size);
    if (n >= 0) return {n, 0};
    if (errno != EINTR) return {-1, errno};
  }
}

std::size_t readBlockSize(FileId file) {
  const OpenFile* f = lookupFile(file);
  if (f == nullptr || !f->regular) return kStreamReadBlock;
  // Big enough for the whole of a small file and its end in one read.
  const auto wanted = static_cast<std::size_t>(f->size) + 1;
  if (wanted < kSmallestReadBlock) return kSmallestReadBlock;
  return wanted < kLargeReadBlock ? wanted : kLargeReadBlock;
}

void finishReading(FileId file) {
  OpenFile* f = lookupFile(file);
  if (f == nullptr || f->fd < 0) return;
  ::close(f->fd);
  f->fd = -1;
}

// ---- Standard output and standard error ----

int writeStandardOutput(const char* bytes, std::size_t size) {
  std::size_t used = outputUsed.load(std::memory_order_relaxed);
  if (used + size > kOutputBufferSize) {
    if (const int error = flushStandardOutput(); error != 0) return error;
    used = 0;
  }
  if (size >= kOutputBufferSize) return writeAll(STDOUT_FILENO, bytes, size);
  std::memcpy(outputBuffer + used, bytes, size);
  outputUsed.store(used + size, std::memory_order_release);
  if (flushAtLineEnd && std::memchr(bytes, '\n', size) != nullptr) return flushStandardOutput();
  return 0;
}

int flushStandardOutput() {
  int error = 0;
  flushing = 1;
  for (;;) {
    if (deferredCondition.load() != 0) break;
    const std::size_t from = outputWritten.load();
    const std::size_t used = outputUsed.load();
    if (from >= used) break;
    const ssize_t n = ::write(STDOUT_FILENO, outputBuffer + from, used - from);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;  // what could not be written is dropped
      break;
    }
    outputWritten.store(from + static_cast<std::size_t>(n));
  }
  flushing = 0;
  // The condition's handler writes out the rest and ends the process.
  if (const std::uint32_t code = deferredCondition.exchange(0); code != 0) deliverCondition(code);
  // In this order, a signal between the two stores finds nothing to write.
  outputUsed.store(0);
  outputWritten.store(0);
  return error;
}

void flushStandardOutputFromSignal() {
  const std::size_t from = outputWritten.load();
  const std::size_t used = outputUsed.load();
  if (from < used) writeAll(STDOUT_FILENO, outputBuffer + from, used - from);
  outputUsed.store(0);
  outputWritten.store(0);
}

bool isDeviceFull(int error) { return error == ENOSPC || error == EDQUOT; }

void writeStandardError(const char* bytes, std::size_t size) {
  writeAll(STDERR_FILENO, bytes, size);
}

}  // namespace tarvel::platform
