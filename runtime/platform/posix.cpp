// The platform module on POSIX systems (Linux first).

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "runtime/platform/fresh_name.hpp"
#include "runtime/platform/platform.hpp"
#include "runtime/platform/report_line.hpp"

namespace tarvel::platform {

namespace {

// A file this process has opened.  The hold (device and inode) outlives the
// descriptor.
struct OpenFile {
  int fd;
  bool regular;
  off_t size;  // when opened
  timespec modified;
};

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

struct Replacement {
  std::string target;               // where the file goes: the name given, through its links
  std::string temporary;            // made before the file, never changed after
  std::string place;                // the target's directory, resolved, and its name
  std::optional<FileKey> existing;  // the target, when it exists
  int fd = -1;
  bool direct = false;             // a device, FIFO or socket, written in place
  volatile sig_atomic_t live = 0;  // the temporary exists and is this run's
};

constexpr std::size_t kMaxReplacements = 3;

// Everything this module remembers between calls, in one place.  What a
// signal handler reads or writes is atomic or a volatile sig_atomic_t.
struct State {
  // ---- The process ----
  int argc = 0;
  char** argv = nullptr;
  // The handler of conditions, and the lowest address the main stack may
  // reach (0: unknown), which tells a stack overflow from another fault.
  ConditionHandler conditionHandler = nullptr;
  std::uintptr_t stackLowest = 0;
  std::atomic<bool> reportClaimed{false};
  std::atomic<int> interruptsSeen{0};

  // ---- Standard output and standard error ----
  bool interactiveOutput = false;
  bool outputIsRegular = false;  // standard output is a regular file
  // Where standard output is written.  A pipe or a terminal is written
  // through a description of its own that never blocks (opened again
  // through /proc), so that waiting for room is a ppoll that an interrupt
  // can always break; elsewhere, and where that open fails, standard
  // output itself.
  int outputFd = STDOUT_FILENO;
  // Inside an output section, a condition that is not a fault is held
  // back here and handed over when the section is left: the handler cannot
  // know how much of an interrupted write went out.  Interrupts stop a
  // blocked write, since no handler asks for calls to be restarted.
  volatile sig_atomic_t inOutputSection = 0;
  std::atomic<std::uint32_t> heldCondition{0};  // 0: none
  // Set while standard error is written: a reader gone from it loses the
  // messages, not the run.
  volatile sig_atomic_t writingStandardError = 0;

  // ---- Input files ----
  std::vector<OpenFile> openFiles;  // FileId n is openFiles[n - 1]
  // Every file this process holds, by device and inode, and standard
  // output's when it is a file.
  std::unordered_set<FileKey, FileKeyHash> heldFiles;
  std::optional<FileKey> outputFile;

  // ---- Files that replace their targets ----
  std::array<Replacement, kMaxReplacements> replacements;
  std::size_t replacementsMade = 0;
};
State state;

// Calls `call` again for as long as a signal interrupts it (-1 with EINTR):
// the one place where calls are restarted.  The waits that an interrupt
// must end (ppoll for room in standard output) do not come through here.
template <typename Call>
auto retryInterrupted(Call call) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// ---- Standard output ----

// The signals whose conditions an output section holds back.
sigset_t heldSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP}) sigaddset(&set, signal);
  return set;
}

// The signals that end the process by default and that a build tool, a
// terminal or a pipe sends: each removes the temporaries first, then ends
// the process as the signal would have.
constexpr int kTerminationSignals[] = {SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1,
                                       SIGUSR2, SIGALRM, SIGPIPE};

// Those and the interrupt: held back while replacements are made and put
// in place, so that the temporaries are recorded exactly and the targets
// are replaced all or none.
sigset_t heldBackAtEnd() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  for (int signal : kTerminationSignals) sigaddset(&set, signal);
  return set;
}

// Waits until standard output takes more.  False when a condition is held
// back, or one came while waiting: the caller returns from the write so
// that the section can end and hand it over.  The signals stay blocked from
// the look at the held condition until ppoll unblocks them as it starts to
// wait, so that none can slip in between and leave the wait endless.
bool awaitWritable() {
  const sigset_t held = heldSignals();
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &held, &before);
  bool writable = false;
  if (state.heldCondition.load() == 0) {
    pollfd wait{state.outputFd, POLLOUT, 0};
    writable = ::ppoll(&wait, 1, nullptr, &before) >= 0;
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return writable;
}

// Writes all of `size` bytes to `fd`, waiting while a non-blocking `fd` is
// full; 0 or the error number.
int writeAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = retryInterrupted([&] { return ::write(fd, bytes, size); });
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd wait{fd, POLLOUT, 0};
        ::poll(&wait, 1, -1);
        continue;
      }
      return errno;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// ---- Input files ----

bool isHeld(const FileKey& key) {
  return key == state.outputFile || state.heldFiles.count(key) != 0;
}

constexpr std::size_t kLargeReadBlock = 256 * 1024;
constexpr std::size_t kStreamReadBlock = 64 * 1024;

OpenFile* lookupFile(FileId file) {
  if (file == 0 || file > state.openFiles.size()) return nullptr;
  return &state.openFiles[file - 1];
}

// ---- Files that replace their targets ----

Replacement* lookupReplacement(ReplacementId id) {
  if (id == 0 || id > state.replacementsMade) return nullptr;
  return &state.replacements[id - 1];
}

// The name a write through `name` lands on: `name` itself, or where the
// chain of symbolic links at `name` ends, which need not exist.  A link's
// relative value is relative to the link's own directory.  False after
// too many links (a loop).
bool throughLinks(std::string& name) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::string value(PATH_MAX, '\0');
    const ssize_t n = ::readlink(name.c_str(), value.data(), value.size());
    if (n <= 0 || static_cast<std::size_t>(n) == value.size()) return true;
    value.resize(static_cast<std::size_t>(n));
    const std::size_t slash = name.rfind('/');
    name =
        value[0] == '/' || slash == std::string::npos ? value : name.substr(0, slash + 1) + value;
  }
  return false;
}

// Where `name` lies, spelt one way only: its directory resolved (links,
// "." and "..", repeated slashes), then its last part.  Empty when the
// directory cannot be resolved.
std::string placeOf(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : name.substr(0, slash + 1);
  char resolved[PATH_MAX];
  if (::realpath(directory.c_str(), resolved) == nullptr) return {};
  return std::string(resolved) + "/" + name.substr(slash == std::string::npos ? 0 : slash + 1);
}

// A fresh temporary name in `directory`: see fresh_name.hpp.
std::string freshName(const std::string& directory) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const std::uint64_t clock =
      static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 20);
  return platform::freshName(directory, clock, static_cast<std::uint64_t>(getpid()));
}

// ---- Conditions ----

constexpr std::size_t kStackGuardReach = 2 * 1024 * 1024;

bool nearStackLimit(const void* address) {
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  if (state.stackLowest == 0) return false;
  const std::uintptr_t low =
      state.stackLowest > kStackGuardReach ? state.stackLowest - kStackGuardReach : 0;
  return a >= low && a < state.stackLowest + 64 * 1024;
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
        case FPE_INTDIV:
          return 0xC0000094;
        case FPE_INTOVF:
          return 0xC0000095;
        case FPE_FLTDIV:
          return 0xC000008E;
        case FPE_FLTOVF:
          return 0xC0000091;
        case FPE_FLTUND:
          return 0xC0000093;
        case FPE_FLTRES:
          return 0xC000008F;
        case FPE_FLTINV:
          return 0xC0000090;
        case FPE_FLTSUB:
          return 0xC000008C;
        default:
          return 0xC0000090;
      }
    case SIGILL:
      return (info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG) ? 0xC0000096 : 0xC000001D;
    case SIGTRAP:
      return info->si_code == TRAP_TRACE ? 0x80000004 : 0x80000003;
    default:  // SIGINT
      return 0xC000013A;
  }
}

// Ends the process with status 3 without a report, leaving no temporary
// file behind.
[[noreturn]] void endAtOnce() {
  discardReplacements();
  _exit(3);
}

[[noreturn]] void deliverCondition(std::uint32_t code) {
  state.conditionHandler(code);
  _exit(3);  // the handler does not return; this is only a safeguard
}

// Runs with no signal blocked (SA_NODEFER, empty mask), so that a second
// interrupt or a fault in the report path re-enters it and ends the process
// instead of waiting behind the first.
void onSignal(int signal, siginfo_t* info, void* /*context*/) {
  const bool fault = isFault(signal, info);
  const bool interrupt = signal == SIGINT && !fault;
  // A second interrupt ends the process at once: say, one stuck writing
  // to a pipe nobody reads.
  if (interrupt && ++state.interruptsSeen >= 2) endAtOnce();
  if (state.reportClaimed.load()) {
    // The report under way goes on; the first interrupt adds nothing.
    if (interrupt) return;
    endAtOnce();
  }
  const std::uint32_t code = conditionCode(signal, info);
  if (state.inOutputSection && !fault) {
    std::uint32_t none = 0;
    state.heldCondition.compare_exchange_strong(none, code);
    return;
  }
  deliverCondition(code);
}

void onTermination(int signal) {
  if (signal == SIGPIPE && state.writingStandardError) return;  // the write fails instead
  discardReplacements();
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(signal, &standard, nullptr);
  // Not blocked here (SA_NODEFER): the process ends now, by the signal.
  raise(signal);
}

void findStackLimit() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* address = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attr, &address, &size) == 0)
    state.stackLowest = reinterpret_cast<std::uintptr_t>(address);
  pthread_attr_destroy(&attr);
}

}  // namespace

// ---- Process ----

void startProcess(int argc, char** argv) {
  state.argc = argc;
  state.argv = argv;
  // Deep nesting holds one descriptor per level.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  state.interactiveOutput = isatty(STDOUT_FILENO) == 1;
  // A file that standard output writes to counts as held from the start,
  // so that a tree that includes it cannot read back what it writes.
  // Noted apart from the other holds, since nothing may be allocated yet.
  struct stat out {};
  if (fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode)) {
    state.outputFile = FileKey{out.st_dev, out.st_ino};
    state.outputIsRegular = true;
  }
  // Pipes and terminals have no position to share, so a description of
  // their own changes nothing for anyone else.
  if (S_ISFIFO(out.st_mode) || state.interactiveOutput) {
    const int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) state.outputFd = fd;
  }
}

CommandLine commandLine() { return CommandLine{nullptr, state.argc, state.argv}; }

const char* helpSwitch() { return nullptr; }  // "/?" is a file name like any other

std::uint32_t expandEnvironmentStrings(const char* source, char* dest, std::uint32_t room) {
  std::string result;
  for (const char* p = source; *p != '\0';) {
    const char* close = *p == '%' ? std::strchr(p + 1, '%') : nullptr;
    if (close == nullptr) {
      result += *p++;
      continue;
    }
    const std::string name(p + 1, close);
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value != nullptr) {
      result += value;
      p = close + 1;
    } else {
      // Left as written; the closing '%' may open the next reference.
      result.append(p, close);
      p = close;
    }
  }
  const std::size_t needed = result.size() + 1;
  if (needed > 0xFFFFFFFFu) return 0;
  if (needed <= room) std::memcpy(dest, result.c_str(), needed);
  return static_cast<std::uint32_t>(needed);
}

void exitProcess(int status) { _exit(status); }

bool installConditionHandlers(ConditionHandler handler) {
  state.conditionHandler = handler;
  findStackLimit();

  // A stack of its own, so that a stack overflow can still be reported.
  constexpr std::size_t kAlternateStackSize = 256 * 1024;
  void* const alternateStack = allocateMemory(kAlternateStackSize);
  if (alternateStack == nullptr) return false;
  stack_t stack{};
  stack.ss_sp = alternateStack;
  stack.ss_size = kAlternateStackSize;
  sigaltstack(&stack, nullptr);

  struct sigaction action {};
  action.sa_sigaction = onSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP}) sigaction(signal, &action, nullptr);
  // An interrupt the process was started with ignored (a background job
  // of a shell) stays ignored.
  struct sigaction inherited {};
  if (sigaction(SIGINT, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
    sigaction(SIGINT, &action, nullptr);
  // The same for the others: ignored ones (nohup's SIGHUP, say) stay so.
  struct sigaction termination {};
  termination.sa_handler = onTermination;
  termination.sa_flags = SA_NODEFER;
  sigemptyset(&termination.sa_mask);
  for (int signal : kTerminationSignals) {
    if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
      sigaction(signal, &termination, nullptr);
  }
  return true;
}

bool claimReport() { return !state.reportClaimed.exchange(true); }

void yieldToReport() { endAtOnce(); }

void showFailureReport(const char* caption, std::size_t captionSize, const char* text,
                       std::size_t textSize) {
  // One line, written with one call so that it is never interleaved.
  char line[512];
  const std::size_t n = reportLine(line, caption, captionSize, text, textSize);
  // After an interrupt, a standard error that cannot take the line at
  // once goes without it.
  if (state.interruptsSeen.load() == 0) {
    writeStandardError(line, n);
    return;
  }
  pollfd ready{STDERR_FILENO, POLLOUT, 0};
  if (::poll(&ready, 1, 0) <= 0) return;
  state.writingStandardError = 1;
  (void)::write(STDERR_FILENO, line, n);  // short: a pipe with room takes it whole
  state.writingStandardError = 0;
}

// ---- Memory ----

void* allocateMemory(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

void releaseMemory(void* block) { std::free(block); }

// ---- Input files ----

FileFailure failureOf(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return FileFailure::notFound;
    case EACCES:
    case EPERM:
      return FileFailure::denied;
    case EISDIR:
      return FileFailure::isDirectory;
    case EMFILE:
    case ENFILE:
      return FileFailure::tooManyOpen;
    case ENAMETOOLONG:
      return FileFailure::nameTooLong;
    case ELOOP:
      return FileFailure::linkLoop;
    case ENOSPC:
    case EDQUOT:
      return FileFailure::noSpace;
    case EROFS:
      return FileFailure::readOnly;
    default:
      return FileFailure::other;
  }
}

FileId openForReading(const char* name, FileFailure& why) {
  why = FileFailure::none;
  // A name the system could never open is refused before it is copied: a
  // directive line of any length may name one.
  if (::strnlen(name, PATH_MAX) == PATH_MAX) {
    why = FileFailure::nameTooLong;
    return 0;
  }
  std::string path(name);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  // Checked before opening too, so that a held FIFO is refused at once
  // instead of waiting for a writer.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // Nothing there to open: spare the system the second look.
    if (errno == ENOENT || errno == ENOTDIR) {
      why = FileFailure::notFound;
      return 0;
    }
  } else if (S_ISDIR(st.st_mode)) {
    why = FileFailure::isDirectory;
    return 0;
  } else if (isHeld(FileKey{st.st_dev, st.st_ino})) {
    why = FileFailure::held;
    return 0;
  }
  const int fd = retryInterrupted([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) {
    why = failureOf(errno);
    return 0;
  }

  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
      FileKey{st.st_dev, st.st_ino} == state.outputFile ||
      !state.heldFiles.insert(FileKey{st.st_dev, st.st_ino}).second) {
    why = S_ISDIR(st.st_mode) ? FileFailure::isDirectory : FileFailure::held;
    ::close(fd);
    return 0;
  }
  state.openFiles.push_back(OpenFile{fd, S_ISREG(st.st_mode), st.st_size, st.st_mtim});
  return static_cast<FileId>(state.openFiles.size());
}

FileId openStandardInput() {
  // A descriptor of its own, so that finishReading leaves descriptor 0 be.
  const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return 0;
  state.openFiles.push_back(OpenFile{fd, false, 0, {}});
  return static_cast<FileId>(state.openFiles.size());
}

ReadResult readFile(FileId file, void* buffer, std::size_t size) {
  const OpenFile* f = lookupFile(file);
  if (f == nullptr || f->fd < 0) return {-1, EBADF};
  const ssize_t n = retryInterrupted([&] { return ::read(f->fd, buffer, size); });
  return n >= 0 ? ReadResult{n, 0} : ReadResult{-1, errno};
}

std::size_t readBlockSize(FileId file) {
  const OpenFile* f = lookupFile(file);
  if (f == nullptr || !f->regular) return kStreamReadBlock;
  // Big enough for the rest of a small file and its end in one read, and
  // no bigger: a deep chain of small files keeps one buffer per level.
  const off_t at = f->fd >= 0 ? ::lseek(f->fd, 0, SEEK_CUR) : -1;
  const off_t rest = at >= 0 && at <= f->size ? f->size - at : f->size;
  const auto wanted = static_cast<std::size_t>(rest) + 1;
  return wanted < kLargeReadBlock ? wanted : kLargeReadBlock;
}

bool seekFile(FileId file, std::uint64_t offset) {
  const OpenFile* f = lookupFile(file);
  if (f == nullptr || f->fd < 0 || !f->regular) return false;
  const auto at = static_cast<off_t>(offset);
  return at >= 0 && ::lseek(f->fd, at, SEEK_SET) == at;
}

bool unchangedSinceOpen(FileId file) {
  const OpenFile* f = lookupFile(file);
  struct stat st {};
  if (f == nullptr || f->fd < 0 || !f->regular || fstat(f->fd, &st) != 0) return true;
  return st.st_size == f->size && st.st_mtim.tv_sec == f->modified.tv_sec &&
         st.st_mtim.tv_nsec == f->modified.tv_nsec;
}

void finishReading(FileId file) {
  OpenFile* f = lookupFile(file);
  if (f == nullptr || f->fd < 0) return;
  ::close(f->fd);
  f->fd = -1;
}

// ---- Files that replace their targets ----

ReplacementId createReplacement(const char* target, FileFailure& why) {
  why = FileFailure::none;
  if (state.replacementsMade == kMaxReplacements) {
    why = FileFailure::tooManyOpen;
    return 0;
  }
  Replacement& r = state.replacements[state.replacementsMade];
  r = Replacement{};
  r.target = target;
  if (!throughLinks(r.target)) {
    why = FileFailure::other;
    return 0;
  }
  r.place = placeOf(r.target);
  struct stat st {};
  if (::stat(r.target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      why = FileFailure::isDirectory;
      return 0;
    }
    r.existing = FileKey{st.st_dev, st.st_ino};
    r.direct = !S_ISREG(st.st_mode);
  }
  // Two names of one file would leave one of the files lost.
  for (std::size_t i = 0; i < state.replacementsMade; ++i) {
    const Replacement& other = state.replacements[i];
    if ((!r.place.empty() && r.place == other.place) ||
        (r.existing && other.existing && *r.existing == *other.existing)) {
      why = FileFailure::held;
      return 0;
    }
  }
  const std::size_t slash = r.target.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : r.target.substr(0, slash + 1);
  // An interrupt waits until the file is either made and recorded or not
  // made, so that its handler removes exactly what this run made.
  const sigset_t held = heldBackAtEnd();
  sigset_t previous;
  int error = 0;
  if (r.direct) {
    // Written where it stands; opening a FIFO waits for its reader, as a
    // redirection does, and an interrupt still ends that wait.
    r.fd = retryInterrupted(
        [&] { return ::open(r.target.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC); });
    error = r.fd < 0 ? errno : 0;
    if (r.fd >= 0) ++state.replacementsMade;
  }
  for (int attempt = 0; !r.direct && attempt < 100; ++attempt) {
    r.temporary = freshName(directory);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
    r.fd = retryInterrupted([&] {
      return ::open(r.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0666);
    });
    error = r.fd < 0 ? errno : 0;
    if (r.fd >= 0) {
      r.live = 1;
      ++state.replacementsMade;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (r.fd >= 0) break;
    if (error != EEXIST) break;
  }
  if (r.fd < 0) {
    why = failureOf(error);
    return 0;
  }
  if (r.existing && !r.direct) {
    // What a redirection into the file would have kept: owner and group
    // where this process may give them (the owner first, since a change
    // of owner clears the set-id bits), then the mode bits.
    if (::fchown(r.fd, st.st_uid, st.st_gid) != 0)
      (void)::fchown(r.fd, static_cast<uid_t>(-1), st.st_gid);
    (void)::fchmod(r.fd, st.st_mode & 07777);
  }
  // The target cannot be read back while it is being replaced.
  if (r.existing) state.heldFiles.insert(*r.existing);
  if (fstat(r.fd, &st) == 0) state.heldFiles.insert(FileKey{st.st_dev, st.st_ino});
  return static_cast<ReplacementId>(state.replacementsMade);
}

ReplacementId replacementOf(const char* name) {
  std::string path(name);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (!throughLinks(path)) return 0;
  const std::string place = placeOf(path);
  for (std::size_t i = 0; i < state.replacementsMade; ++i) {
    const Replacement& r = state.replacements[i];
    if ((!place.empty() && place == r.place) ||
        (exists && r.existing && *r.existing == FileKey{st.st_dev, st.st_ino}))
      return static_cast<ReplacementId>(i + 1);
  }
  return 0;
}

int sendStandardOutputTo(ReplacementId id) {
  const Replacement* r = lookupReplacement(id);
  if (r == nullptr) return EBADF;
  if (retryInterrupted([&] { return ::dup2(r->fd, STDOUT_FILENO); }) < 0) return errno;
  // A file now: written as standard output itself.
  if (state.outputFd != STDOUT_FILENO) {
    ::close(state.outputFd);
    state.outputFd = STDOUT_FILENO;
  }
  state.interactiveOutput = false;
  state.outputIsRegular = !r->direct;
  struct stat st {};
  if (fstat(r->fd, &st) == 0) state.outputFile = FileKey{st.st_dev, st.st_ino};
  return 0;
}

int writeReplacement(ReplacementId id, const char* bytes, std::size_t size) {
  const Replacement* r = lookupReplacement(id);
  return r == nullptr ? EBADF : writeAll(r->fd, bytes, size);
}

int putReplacementsInPlace(ReplacementId& failed) {
  // Both in place or neither: nothing that would end the process gets in
  // between, and the process ends right after.
  const sigset_t held = heldBackAtEnd();
  pthread_sigmask(SIG_BLOCK, &held, nullptr);
  for (std::size_t i = 0; i < state.replacementsMade; ++i) {
    Replacement& r = state.replacements[i];
    if (r.direct) {
      const int error = ::close(r.fd) == 0 ? 0 : errno;
      r.fd = -1;
      if (error == 0) continue;
      failed = static_cast<ReplacementId>(i + 1);
      discardReplacements();
      return error;
    }
    if (!r.live) continue;
    int error = ::close(r.fd) == 0 ? 0 : errno;
    r.fd = -1;
    if (error == 0 && ::rename(r.temporary.c_str(), r.target.c_str()) != 0) error = errno;
    if (error == 0) {
      r.live = 0;
      continue;
    }
    failed = static_cast<ReplacementId>(i + 1);
    discardReplacements();
    for (std::size_t j = 0; j < i; ++j) {
      if (!state.replacements[j].direct) ::unlink(state.replacements[j].target.c_str());
    }
    return error;
  }
  return 0;
}

void discardReplacements() {
  for (std::size_t i = 0; i < state.replacementsMade; ++i) {
    Replacement& r = state.replacements[i];
    if (!r.live) continue;
    r.live = 0;
    ::unlink(r.temporary.c_str());
  }
}

void useSystemSeparators(char* name, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (name[i] == '\\') name[i] = '/';
  }
}

// ---- Standard output and standard error ----

bool standardOutputIsInteractive() { return state.interactiveOutput; }

WriteResult writeStandardOutput(const char* first, std::size_t firstSize, const char* second,
                                std::size_t secondSize) {
  iovec pieces[2] = {{const_cast<char*>(first), firstSize},
                     {const_cast<char*>(second), secondSize}};
  int count = 2;
  if (secondSize == 0) {
    count = 1;
  } else if (firstSize == 0) {
    pieces[0] = pieces[1];
    count = 1;
  }
  for (;;) {
    const ssize_t n = ::writev(state.outputFd, pieces, count);
    if (n >= 0) return {static_cast<std::size_t>(n), 0};
    if (errno != EAGAIN && errno != EWOULDBLOCK) return {0, errno};
    // Full (a description that never blocks, or standard output left
    // non-blocking by whoever shares it): wait until it takes more rather
    // than lose output, unless an interrupt wants through.
    if (!awaitWritable()) return {0, EINTR};
  }
}

WriteResult writeStandardOutputForReport(const char* first, std::size_t firstSize,
                                         const char* second, std::size_t secondSize) {
  // The wait for room ends at an interrupt (EINTR): the next call writes
  // what goes out at once.
  if (state.interruptsSeen.load() == 0)
    return writeStandardOutput(first, firstSize, second, secondSize);
  pollfd ready{state.outputFd, POLLOUT, 0};
  if (::poll(&ready, 1, 0) <= 0) return {0, 0};
  // Standard output itself may block (a pipe or terminal whose own
  // description could not be made): no more than a pipe with room takes
  // at once.
  if (state.outputFd == STDOUT_FILENO && !state.outputIsRegular) {
    if (firstSize > PIPE_BUF) firstSize = PIPE_BUF;
    if (firstSize + secondSize > PIPE_BUF) secondSize = PIPE_BUF - firstSize;
  }
  iovec pieces[2] = {{const_cast<char*>(first), firstSize},
                     {const_cast<char*>(second), secondSize}};
  const ssize_t n = ::writev(state.outputFd, pieces, secondSize == 0 ? 1 : 2);
  if (n >= 0) return {static_cast<std::size_t>(n), 0};
  if (errno == EAGAIN || errno == EWOULDBLOCK) return {0, 0};
  return {0, errno};
}

bool isInterruption(int error) { return error == EINTR; }

void enterOutputSection() { state.inOutputSection = 1; }

bool enterOutputSectionForReport() {
  enterOutputSection();
  return true;
}

void leaveOutputSection() {
  state.inOutputSection = 0;
  if (const std::uint32_t code = state.heldCondition.exchange(0); code != 0) deliverCondition(code);
}

bool isDeviceFull(int error) { return error == ENOSPC || error == EDQUOT; }

const char* standardErrorLineEnd() { return "\n"; }

void writeStandardError(const char* bytes, std::size_t size) {
  state.writingStandardError = 1;
  writeAll(STDERR_FILENO, bytes, size);
  state.writingStandardError = 0;
}

}  // namespace tarvel::platform
