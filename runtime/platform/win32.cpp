// The platform module on Windows.
//
// Conditions arrive through an unhandled-exception filter rather than a
// vectored handler: a vectored handler sees every exception first, also
// those that system code raises and handles itself (a probe of memory that
// may not be there, a debugger's breakpoint), and would take them for the
// program's own.  The filter sees only what nobody handled.  The C++
// failures of the runtime never reach it: they are thrown and caught by the
// compiler's own unwinder, and the filter passes every code that is not one
// of the conditions on to the filter it replaced.
//
// A stack overflow is the exception: the thread that overflowed may have
// too little stack left to reach the filter (the guarantee asked for is a
// request, and wine, for one, leaves a page), so a vectored handler takes
// it at once and has it reported from a thread with a stack of its own.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winternl.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/platform/fresh_name.hpp"
#include "runtime/platform/platform.hpp"
#include "runtime/platform/report_line.hpp"

namespace tarvel::platform {

namespace {

// A file this process has opened.  Its handle stays open until the process
// ends: it keeps others from writing the file, and its identity (below)
// keeps this process from opening it again.
struct OpenFile {
  HANDLE handle;
  std::uint64_t position;  // bytes read so far
  LONGLONG size;           // when opened
  LONGLONG modified;
};

// Which file a handle reaches, whatever the name it was opened by; the
// volume is 0 where the system cannot tell it (wine, for a handle made
// from a descriptor it inherited).
struct FileIdentity {
  ULONGLONG volume = 0;
  unsigned char id[16] = {};
  bool known = false;
};

FileIdentity identityOf(HANDLE handle);

// A file this process holds.  Its handle stays open until the process
// ends, so the whole identity can be asked for when it is first needed.
struct HeldFile {
  HANDLE handle;
  FileIdentity identity;  // not known until needed

  const FileIdentity& whole() {
    if (!identity.known) identity = identityOf(handle);
    return identity;
  }
};

struct Replacement {
  std::string target;     // where the file goes: the name given, through its links
  std::string temporary;  // made before the file, never changed after
  std::string place;      // the target's full name, in lower case
  FileIdentity existing;  // the target, when it exists
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE hold = INVALID_HANDLE_VALUE;  // the target, held while it is replaced
  bool direct = false;                 // a device, written in place
  std::atomic<bool> live{false};       // the temporary exists and is this run's
};

struct ReportWindow {
  char caption[128];
  char text[512];
};

constexpr std::size_t kMaxReplacements = 3;

// Everything this module remembers between calls, in one place.  Several
// threads meet here (the main one, the console's control threads, the
// report's own): what more than one of them touches is atomic, or guarded
// by the output lock or the commit lock.
struct State {
  // ---- The process ----
  int argc = 0;
  char** argv = nullptr;
  DWORD mainThreadId = 0;

  // ---- Standard output ----
  bool consoleOutput = false;         // standard output is a console
  bool pipeOutput = false;            // a pipe, whose writes may never end
  std::atomic<DWORD> outputOwner{0};  // the thread holding the output lock; 0: none
  int outputDepth = 0;                // how often the owner entered it
  // Set once the report has given a write up: nothing more goes to
  // standard output.
  std::atomic<bool> outputAbandoned{false};

  // ---- Input files ----
  std::vector<OpenFile> openFiles;  // FileId n is openFiles[n - 1]
  // The files this process holds, by index: the system lets other readers
  // in, this process among them, so a second open of a held file is
  // refused here, whatever name reached it.  A file whose index cannot be
  // told is kept under the index 0 with its whole identity.
  std::unordered_multimap<std::uint64_t, HeldFile> heldFiles;
  // Standard output, when it is a file on disk, with its index.  The
  // system refuses to open it again while the handle that writes it is
  // open, unless that handle shares writing, as one that wine made from an
  // inherited descriptor does: so it is refused by identity too.
  FileIdentity standardOutputFile;
  std::uint64_t standardOutputIndex = 0;
  bool standardOutputIndexKnown = false;

  // ---- Files that replace their targets ----
  std::array<Replacement, kMaxReplacements> replacements;
  std::atomic<std::size_t> replacementsMade{0};
  std::atomic<bool> committing{false};  // being put in place

  // ---- Conditions, interrupts and the report ----
  ConditionHandler conditionHandler = nullptr;
  LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
  std::atomic<DWORD> reportOwner{0};          // the thread of the report; 0: none yet
  std::atomic<int> interrupts{0};             // Control-C and Control-Break so far
  std::atomic<bool> controlEventSeen{false};  // a console control thread has run
  std::atomic<DWORD> interruptReporter{0};    // the thread reporting an interrupt
  bool interruptIgnored = false;              // Control-C was ignored at start
  ReportWindow reportWindow;                  // what the report's window shows
};
State state;

// ---- Process state ----

// ---- The end of the process ----

// Ends the process at once with `status`, from any thread, running no
// code of the process on the way out.  ExitProcess stops the other threads
// wherever they are and then runs the detach code of every module (the C
// runtime flushes and closes its streams and frees its memory, the thread
// library frees what its threads had), which takes locks: of a heap, of
// the C runtime's streams, of the loader.  A thread stopped while it held
// one, say the main thread in the middle of an allocation while the
// report of an interrupt ends the run, can leave the process waiting for
// it forever.  Under wine it then leaves through the C library's exit of
// the host as well, which runs the host libraries' exit code: runs ended
// that way have been seen to outlive their last thread until the wine
// server killed them.  Nothing of this program waits in those modules:
// its output goes out through WriteFile and is out before this is called,
// and its temporary files are removed before.
[[noreturn]] void endProcessNow(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  // The system ends the calling thread with the process; should it ever
  // come back, the thread waits for the end.
  for (;;) Sleep(INFINITE);
}

// ---- Standard output ----

// Small pieces are gathered into one write.
constexpr std::size_t kGatherLimit = 4096;
// The most one WriteFile is asked to take: consoles of older systems
// refuse large writes, and a DWORD counts the bytes.
constexpr std::size_t kConsoleWriteLimit = 32 * 1024;
constexpr std::size_t kWriteLimit = 1 << 30;

// Held during every write to standard output, and by the thread that
// reports an interrupt from before it begins.  A critical section is
// recursive for its owner, so the condition handler may enter it again.
CRITICAL_SECTION& outputLock() {
  static CRITICAL_SECTION lock;
  static const bool ready = (InitializeCriticalSection(&lock), true);
  (void)ready;
  return lock;
}

// Once an interrupt has come, the report waits no longer than this for a
// write under way, or for one of its own: a pipe whose reader has stopped
// reading would hold it for ever, and an interrupt must end the run
// within a second.  Before, it waits for a slow reader.
constexpr DWORD kReportWriteWait = 250;
bool interruptCame();

// One WriteFile of `size` bytes to `handle` on a thread of its own, waited
// for until an interrupt has come and then kReportWriteWait ms at most: the
// bytes it wrote, or -1 once given up (the write may still go on, and end,
// before the process does).  A synchronous write to a pipe cannot be
// cancelled everywhere (under wine, not at all).
struct TimedWrite {
  HANDLE handle;
  const char* bytes;
  DWORD size;
  DWORD done;
  BOOL ok;
};
DWORD WINAPI runTimedWrite(void* parameter) {
  auto* w = static_cast<TimedWrite*>(parameter);
  w->ok = WriteFile(w->handle, w->bytes, w->size, &w->done, nullptr);
  return 0;
}
// `w` must outlive the process when the wait ends first: callers pass one
// of static storage.
long writeForReport(TimedWrite& w) {
  w.done = 0;
  w.ok = FALSE;
  HANDLE thread = CreateThread(nullptr, 64 * 1024, runTimedWrite, &w, 0, nullptr);
  if (thread == nullptr) {
    runTimedWrite(&w);
  } else {
    DWORD waited = WaitForSingleObject(thread, kReportWriteWait);
    while (waited != WAIT_OBJECT_0 && !interruptCame())
      waited = WaitForSingleObject(thread, kReportWriteWait);
    CloseHandle(thread);
    if (waited != WAIT_OBJECT_0) return -1;
  }
  return w.ok ? static_cast<long>(w.done) : 0;
}

// One WriteFile of at most `size` bytes: what it wrote and 0, or the error.
//
// A pipe in no-wait mode takes nothing while it is full, and under wine
// nothing that does not fit whole: it is offered smaller pieces, and then
// waited for, but not for ever.  One that takes nothing for
// kStalledWriteLimit ms fails the write, as a device that refuses writes.
constexpr ULONGLONG kStalledWriteLimit = 10 * 1000;
constexpr DWORD kSmallestOffer = 512;
WriteResult writeOnce(HANDLE out, const char* bytes, std::size_t size) {
  std::size_t limit = state.consoleOutput ? kConsoleWriteLimit : kWriteLimit;
  auto chunk = static_cast<DWORD>(size < limit ? size : limit);
  ULONGLONG stalledSince = 0;
  for (;;) {
    DWORD done = 0;
    if (!WriteFile(out, bytes, chunk, &done, nullptr)) {
      const DWORD error = GetLastError();
      // The reader has gone (a pipe closed at its far end, as by `more`
      // when the user quits it): nothing more can reach anyone, so the run
      // ends at once and quietly, as a POSIX process ends through SIGPIPE.
      // Windows says so with one of the first two codes, wine with the
      // third.
      if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED)
        endProcessNow(3);
      return {done, static_cast<int>(error)};
    }
    if (done != 0 || chunk == 0) return {done, 0};
    if (chunk > kSmallestOffer) {
      chunk /= 2;
      continue;
    }
    if (stalledSince == 0) {
      stalledSince = GetTickCount64();
    } else if (GetTickCount64() - stalledSince > kStalledWriteLimit) {
      return {0, ERROR_WRITE_FAULT};
    }
    Sleep(1);
  }
}

// ---- Input files ----

// The size and the last write of a file on disk; false when unknown.
bool sizeAndWrite(HANDLE handle, LONGLONG& size, LONGLONG& modified) {
  FILE_STANDARD_INFO standard{};
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
      !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
    return false;
  size = standard.EndOfFile.QuadPart;
  modified = basic.LastWriteTime.QuadPart;
  return true;
}

FileIdentity identityOf(HANDLE handle) {
  FILE_ID_INFO info{};
  FileIdentity identity;
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) {
    identity.volume = info.VolumeSerialNumber;
    std::memcpy(identity.id, info.FileId.Identifier, sizeof identity.id);
    identity.known = true;
    return identity;
  }
  // File systems without 128-bit ids: the 64-bit index, which is what the
  // long id of such a file holds in its first half.
  BY_HANDLE_FILE_INFORMATION basic{};
  if (!GetFileInformationByHandle(handle, &basic)) return identity;
  const ULONGLONG index = (ULONGLONG{basic.nFileIndexHigh} << 32) | basic.nFileIndexLow;
  identity.volume = basic.dwVolumeSerialNumber;
  std::memcpy(identity.id, &index, sizeof index);
  identity.known = true;
  return identity;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && std::memcmp(a.id, b.id, sizeof a.id) == 0 &&
         (a.volume == b.volume || a.volume == 0 || b.volume == 0);
}

// A file's identity is told in two steps, because the whole of it is dear
// under wine: the volume's serial number costs a round trip to another
// process there, about half a millisecond a file, as much as reading
// 100 KiB.  First the file's 64-bit index on its volume, which costs no
// more than the file's attributes and tells the files of one volume apart;
// only where two indexes agree are the whole identities asked for, and
// they decide.  `index` gives false where the system cannot tell it.
bool indexOf(HANDLE handle, std::uint64_t& index) {
  IO_STATUS_BLOCK status{};
  FILE_INTERNAL_INFORMATION info{};
  if (NtQueryInformationFile(handle, &status, &info, sizeof info, FileInternalInformation) != 0)
    return false;
  index = static_cast<std::uint64_t>(info.IndexNumber.QuadPart);
  return true;
}

void holdAsStandardOutput(HANDLE handle) {
  state.standardOutputFile = identityOf(handle);
  state.standardOutputIndexKnown = indexOf(handle, state.standardOutputIndex);
}

// True when `handle` reaches standard output's file or a held one; else
// holds it.  A file whose identity cannot be told could not be held, and
// counts as held already.
bool heldAlready(HANDLE handle) {
  HeldFile file{handle, {}};
  std::uint64_t index = 0;
  if (!indexOf(handle, index) && !file.whole().known) return true;
  if (state.standardOutputFile.known &&
      (!state.standardOutputIndexKnown || file.identity.known ||
       index == state.standardOutputIndex) &&
      sameFile(file.whole(), state.standardOutputFile))
    return true;
  const auto [first, last] = state.heldFiles.equal_range(index);
  for (auto held = first; held != last; ++held) {
    const FileIdentity& other = held->second.whole();
    const FileIdentity& mine = file.whole();
    if (!other.known || !mine.known) return true;
    if (other.volume == mine.volume && std::memcmp(other.id, mine.id, sizeof mine.id) == 0)
      return true;
  }
  state.heldFiles.emplace(index, file);
  return false;
}

constexpr std::uint64_t kLargestReadBlock = 256 * 1024;
constexpr DWORD kLargestRead = 1 << 30;

OpenFile* lookupFile(FileId file) {
  if (file == 0 || file > state.openFiles.size()) return nullptr;
  return &state.openFiles[file - 1];
}

// ---- Files that replace their targets ----

// A look at whatever `name` reaches, through links, asking for no access
// and sharing everything, so that it disturbs no one; directories too.
HANDLE openToLook(const char* name) {
  return CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The name a write through `name` lands on: where its links lead, when it
// is one (a link whose target is missing stays as it is).
std::string throughLinks(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    return name;
  HANDLE look = openToLook(name);
  if (look == INVALID_HANDLE_VALUE) return name;
  char final[MAX_PATH + 8];
  const DWORD n = GetFinalPathNameByHandleA(look, final, sizeof final, VOLUME_NAME_DOS);
  CloseHandle(look);
  if (n == 0 || n >= sizeof final) return name;
  std::string path(final, n);
  if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + path.substr(8);
  if (path.rfind("\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

// Where `name` lies, spelt one way only: its full name in lower case.
std::string placeOf(const std::string& name) {
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return {};
  std::string place(full, n);
  for (char& c : place) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  return place;
}

Replacement* lookupReplacement(ReplacementId id) {
  if (id == 0 || id > state.replacementsMade.load()) return nullptr;
  return &state.replacements[id - 1];
}

// A fresh temporary name in `directory`: see fresh_name.hpp.
std::string freshName(const std::string& directory) {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return platform::freshName(directory, static_cast<std::uint64_t>(now.QuadPart),
                             GetCurrentProcessId());
}

void closeHandle(HANDLE& handle) {
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
}

// ---- Conditions and the report ----

bool interruptCame() { return state.interrupts.load() > 0; }

// Held while the replacements are discarded at an end, and while the run
// starts to put them in place: one or the other, never both.
CRITICAL_SECTION& commitLock() {
  static CRITICAL_SECTION lock;
  static const bool ready = (InitializeCriticalSection(&lock), true);
  (void)ready;
  return lock;
}

// Removes the temporaries unless they are being put in place; true when
// they were removed.  The lock stays taken after true: the caller ends
// the process.
bool discardUnlessCommitting() {
  EnterCriticalSection(&commitLock());
  if (state.committing.load()) {
    LeaveCriticalSection(&commitLock());
    return false;
  }
  discardReplacements();
  return true;
}

// Room asked for on the stack for handling a stack overflow.
constexpr ULONG kStackGuarantee = 64 * 1024;
// The stack of a thread that reports a stack overflow or shows the report
// window.
constexpr SIZE_T kReportThreadStack = 1024 * 1024;

bool isCondition(DWORD code) {
  switch (code) {
    case 0x80000003:  // breakpoint
    case 0x80000004:  // single step
    case 0xC0000005:  // access violation
    case 0xC0000008:  // invalid handle
    case 0xC000001D:  // illegal instruction
    case 0xC00000FD:  // stack overflow
      return true;
    default:  // the floating-point and integer conditions, privileged instruction
      return code >= 0xC000008C && code <= 0xC0000096;
  }
}

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  if (!isCondition(code) || state.conditionHandler == nullptr)
    return state.previousFilter != nullptr ? state.previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
  state.conditionHandler(code);
  endProcessNow(3);  // the handler does not return; this is only a safeguard
}

DWORD WINAPI reportStackOverflow(void* /*unused*/) {
  state.conditionHandler(EXCEPTION_STACK_OVERFLOW);
  endProcessNow(3);
}

LONG WINAPI onStackOverflow(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW ||
      state.conditionHandler == nullptr)
    return EXCEPTION_CONTINUE_SEARCH;
  // This thread goes no further: a write to standard output it was in the
  // middle of is over, and the report must not wait for it.
  if (state.outputOwner.load() == GetCurrentThreadId()) {
    for (int depth = state.outputDepth; depth > 0; --depth) leaveOutputSection();
  }
  HANDLE thread =
      CreateThread(nullptr, kReportThreadStack, reportStackOverflow, nullptr, 0, nullptr);
  if (thread != nullptr) WaitForSingleObject(thread, INFINITE);  // which ends the process
  state.conditionHandler(EXCEPTION_STACK_OVERFLOW);  // no thread: here, if the stack allows
  endProcessNow(3);
}

// Parks every thread but the one that reports an interrupt, once there is
// one, unless the thread reports a failure of its own (which the interrupt
// then yields to).  Only the report goes on, and it ends the process.
void yieldToInterrupt() {
  const DWORD reporter = state.interruptReporter.load();
  const DWORD self = GetCurrentThreadId();
  if (reporter == 0 || reporter == self || state.reportOwner.load() == self) return;
  for (;;) Sleep(INFINITE);
}

DWORD WINAPI reportInterrupt(void* /*unused*/) {
  // The write in progress, if any, completes before the report begins, so
  // that nothing is written twice; one that does not complete at once (a
  // pipe nobody reads) is given up, and standard output with it.
  enterOutputSectionForReport();
  state.conditionHandler(0xC000013A);
  endProcessNow(3);
}

// Runs on a thread the system starts for each console control event.  The
// system calls the handlers of one event after another, so the report is
// made on a thread of its own: waiting for a write in progress here would
// keep a second interrupt from ending the process at once.
BOOL WINAPI onConsoleControl(DWORD event) {
  state.controlEventSeen.store(true);
  // The console is closing, the user logging off or the system shutting
  // down: the system ends the process once the handlers are through.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
    return discardUnlessCommitting() ? FALSE : TRUE;
  if (event == CTRL_C_EVENT && state.interruptIgnored) return TRUE;
  // A second interrupt ends the process at once, even when the first is
  // stuck reporting (say, waiting for a write to a pipe that nobody reads);
  // but not between the renames that put the files in place, which end
  // the run with status 0 right after.
  if (state.interrupts.fetch_add(1) > 0) {
    if (discardUnlessCommitting()) endProcessNow(3);
    return TRUE;
  }
  // A report under way ends the process itself.
  if (state.reportOwner.load() != 0) return TRUE;
  // The interrupt is taken from here on: a thread that comes to the end of
  // the run or to the output before the report's own thread is known parks
  // there, so that the run cannot end with status 0 after all.
  state.interruptReporter.store(GetCurrentThreadId());
  DWORD reporter = 0;
  HANDLE thread = CreateThread(nullptr, kReportThreadStack, reportInterrupt, nullptr,
                               CREATE_SUSPENDED, &reporter);
  if (thread == nullptr) reportInterrupt(nullptr);
  state.interruptReporter.store(reporter);
  ResumeThread(thread);
  CloseHandle(thread);
  return TRUE;
}

// True when Control-C was ignored when the process started: the flag the
// parent's SetConsoleCtrlHandler(NULL, TRUE) leaves in the process
// parameters, right after the console handle.
bool interruptIgnoredAtStart() {
  const RTL_USER_PROCESS_PARAMETERS* parameters =
      NtCurrentTeb()->ProcessEnvironmentBlock->ProcessParameters;
  if (parameters == nullptr) return false;
  const auto consoleFlags =
      static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(parameters->Reserved2[1]));
  return (consoleFlags & 1) != 0;
}

// The window is shown only where someone is there to dismiss it: standard
// error is a console (a person started the run and watches it; redirected
// to a file or a pipe, the line alone is the report, as for a build agent
// or a scheduled task, which may run in an interactive session too) and the
// process runs on a window station that a user can see (a service has
// none).  Elsewhere a window would wait for a click that never comes.
bool standardErrorIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// The window functions come from user32.dll, which is loaded only when a
// window may be shown: loading it with the program costs every run a good
// part of its start-up (30 ms under wine), and next to no run shows one.
// Null when the library or the function is not there.
template <typename Function>
Function windowFunction(const char* name) {
  static const HMODULE user32 = LoadLibraryA("user32.dll");  // never unloaded
  if (user32 == nullptr) return nullptr;
  // Through the generic function type, which any function pointer may be
  // converted to and from.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

bool desktopIsVisible() {
  const auto getStation = windowFunction<HWINSTA(WINAPI*)()>("GetProcessWindowStation");
  const auto getInformation =
      windowFunction<BOOL(WINAPI*)(HANDLE, int, void*, DWORD, DWORD*)>("GetUserObjectInformationA");
  if (getStation == nullptr || getInformation == nullptr) return false;
  HWINSTA station = getStation();
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  return station != nullptr && getInformation(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

DWORD WINAPI showReportWindow(void* parameter) {
  const auto* window = static_cast<const ReportWindow*>(parameter);
  const auto messageBox =
      windowFunction<int(WINAPI*)(HWND, const char*, const char*, UINT)>("MessageBoxA");
  if (messageBox != nullptr)
    messageBox(nullptr, window->text, window->caption, MB_ICONEXCLAMATION | MB_OK | MB_TOPMOST);
  return 0;
}

void copyTerminated(char* dest, std::size_t room, const char* text, std::size_t size) {
  const std::size_t n = size < room - 1 ? size : room - 1;
  std::memcpy(dest, text, n);
  dest[n] = '\0';
}

}  // namespace

// ---- Process ----

void startProcess(int argc, char** argv) {
  state.argc = argc;
  state.argv = argv;
  state.mainThreadId = GetCurrentThreadId();
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  state.consoleOutput = GetConsoleMode(out, &mode) != 0;
  state.pipeOutput = GetFileType(out) == FILE_TYPE_PIPE;
  if (GetFileType(out) == FILE_TYPE_DISK) holdAsStandardOutput(out);
  // An open on a drive without a disk fails instead of asking the user.
  const UINT errorMode = SetErrorMode(0);
  SetErrorMode(errorMode | SEM_FAILCRITICALERRORS);
  outputLock();
}

CommandLine commandLine() { return CommandLine{GetCommandLineA(), state.argc, state.argv}; }

const char* helpSwitch() { return "/?"; }

std::uint32_t expandEnvironmentStrings(const char* source, char* dest, std::uint32_t room) {
  const DWORD n = ExpandEnvironmentStringsA(source, dest, room);
  if (n == 0) return 0;
  if (n <= room) return static_cast<std::uint32_t>(std::strlen(dest) + 1);
  // The ANSI call may ask for more room than the result takes: expand into
  // as much as it asks for, and count.
  char* whole = static_cast<char*>(allocateMemory(n));
  if (whole == nullptr) return 0;
  const DWORD again = ExpandEnvironmentStringsA(source, whole, n);
  std::uint32_t needed = 0;  // 0 also when the variables changed meanwhile
  if (again != 0 && again <= n) {
    needed = static_cast<std::uint32_t>(std::strlen(whole) + 1);
    if (needed <= room) std::memcpy(dest, whole, needed);
  }
  releaseMemory(whole);
  return needed;
}

void exitProcess(int status) {
  // A report on another thread ends the process itself, with status 3.
  const DWORD owner = state.reportOwner.load();
  if (owner != 0 && owner != GetCurrentThreadId()) {
    for (;;) Sleep(INFINITE);
  }
  yieldToInterrupt();
  // The main thread of a run that no console event reached has no other
  // thread running beside it, and ends the process the usual way.  Any
  // other thread, or the main thread once the system has started a thread
  // for a console event (which may start the report's own), may leave
  // others holding locks that ExitProcess would wait for.
  if (GetCurrentThreadId() != state.mainThreadId || state.controlEventSeen.load())
    endProcessNow(status);
  ExitProcess(static_cast<UINT>(status));
}

// ---- Conditions and the failure report ----

bool installConditionHandlers(ConditionHandler handler) {
  state.conditionHandler = handler;
  ULONG guarantee = kStackGuarantee;
  if (!SetThreadStackGuarantee(&guarantee)) return false;
  // Once only: the filter it replaced must never be the filter itself.
  static bool installed = false;
  if (!installed) {
    if (AddVectoredExceptionHandler(1, onStackOverflow) == nullptr) return false;
    installed = true;
    state.previousFilter = SetUnhandledExceptionFilter(onUnhandledException);
    state.interruptIgnored = interruptIgnoredAtStart();
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
  }
  return true;
}

bool claimReport() {
  DWORD none = 0;
  return state.reportOwner.compare_exchange_strong(none, GetCurrentThreadId());
}

void yieldToReport() {
  if (state.reportOwner.load() == GetCurrentThreadId()) endProcessNow(3);
  // The thread of the report ends the process, and may need to write.
  if (state.outputOwner.load() == GetCurrentThreadId()) {
    for (int depth = state.outputDepth; depth > 0; --depth) leaveOutputSection();
  }
  for (;;) Sleep(INFINITE);
}

void showFailureReport(const char* caption, std::size_t captionSize, const char* text,
                       std::size_t textSize) {
  // The line first, so that a log records it even when nobody is there to
  // see the window.  It ends in CR LF, like every line the program writes.
  char line[sizeof state.reportWindow.caption + 2 + sizeof state.reportWindow.text + 2];
  const std::size_t n = reportLine(line, caption, captionSize, text, textSize, true);
  // A standard error that is a full pipe does not hold the end up.
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (GetFileType(err) == FILE_TYPE_PIPE) {
    static TimedWrite reportWrite;
    reportWrite = TimedWrite{err, line, static_cast<DWORD>(n), 0, FALSE};
    static char kept[sizeof line];  // the line, for a write that outlives this call
    std::memcpy(kept, line, n);
    reportWrite.bytes = kept;
    writeForReport(reportWrite);
  } else {
    writeStandardError(line, n);
  }

  if (!standardErrorIsConsole() || !desktopIsVisible()) return;
  copyTerminated(state.reportWindow.caption, sizeof state.reportWindow.caption, caption,
                 captionSize);
  copyTerminated(state.reportWindow.text, sizeof state.reportWindow.text, text, textSize);
  // On a thread of its own: the window needs more stack than a thread that
  // overflowed its own has left.
  HANDLE thread =
      CreateThread(nullptr, kReportThreadStack, showReportWindow, &state.reportWindow, 0, nullptr);
  if (thread == nullptr) {
    showReportWindow(&state.reportWindow);
    return;
  }
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

// ---- Memory ----

void* allocateMemory(std::size_t size) { return GlobalAlloc(GMEM_FIXED, size == 0 ? 1 : size); }

void releaseMemory(void* block) {
  if (block != nullptr) GlobalFree(block);
}

// ---- Input files ----

// The reason an open or a write failed with `error`.
FileFailure openFailureOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_DRIVE:
      return FileFailure::notFound;
    case ERROR_ACCESS_DENIED:
      return FileFailure::denied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return FileFailure::inUse;
    case ERROR_TOO_MANY_OPEN_FILES:
      return FileFailure::tooManyOpen;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
      return FileFailure::nameTooLong;
    case ERROR_CANT_RESOLVE_FILENAME:
    case ERROR_TOO_MANY_LINKS:
      return FileFailure::linkLoop;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FileFailure::noSpace;
    case ERROR_WRITE_PROTECT:
      return FileFailure::readOnly;
    default:
      return FileFailure::other;
  }
}

FileFailure failureOf(int error) { return openFailureOf(static_cast<DWORD>(error)); }

FileId openForReading(const char* name, FileFailure& why) {
  why = FileFailure::none;
  // Shared with readers only: other runs, editors and indexers may read the
  // file too, but a file that someone has open for writing is refused, and
  // nobody can open it for writing while it is held.  Directories fail to
  // open without backup semantics.
  HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A directory is refused as "access denied", and a file this process
    // writes as one another process holds: say what each is.
    const DWORD attributes = error == ERROR_ACCESS_DENIED ? GetFileAttributesA(name) : 0;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      why = FileFailure::isDirectory;
    else if (error == ERROR_SHARING_VIOLATION && replacementOf(name) != 0)
      why = FileFailure::held;
    else
      why = openFailureOf(error);
    SetLastError(error);
    return 0;
  }
  const auto refuse = [handle, &why](DWORD error, FileFailure reason) {
    CloseHandle(handle);
    SetLastError(error);
    why = reason;
    return FileId{0};
  };
  // Only files on disk: a console (CON), NUL, a pipe or another device may
  // never deliver an end, and is refused like a missing file.  The basic
  // information alone, which is cheap: what names the volume is asked for
  // only where the identity below needs it (under wine it costs a round
  // trip to another process).
  FILE_BASIC_INFO basic{};
  if (GetFileType(handle) != FILE_TYPE_DISK ||
      !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
    return refuse(ERROR_FILE_NOT_FOUND, FileFailure::notAFile);
  if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return refuse(ERROR_FILE_NOT_FOUND, FileFailure::isDirectory);
  // A file held already, or standard output, is refused as the system
  // refuses a file held by another process.
  if (heldAlready(handle)) return refuse(ERROR_SHARING_VIOLATION, FileFailure::held);
  LONGLONG size = 0, modified = 0;
  if (!sizeAndWrite(handle, size, modified)) size = modified = -1;
  state.openFiles.push_back(OpenFile{handle, 0, size, modified});
  return static_cast<FileId>(state.openFiles.size());
}

FileId openStandardInput() {
  const HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return 0;
  // Size -1: never found changed.  finishReading leaves the handle open.
  state.openFiles.push_back(OpenFile{handle, 0, -1, -1});
  return static_cast<FileId>(state.openFiles.size());
}

ReadResult readFile(FileId file, void* buffer, std::size_t size) {
  OpenFile* f = lookupFile(file);
  if (f == nullptr) return {-1, ERROR_INVALID_HANDLE};
  const auto want = static_cast<DWORD>(size < kLargestRead ? size : kLargestRead);
  DWORD got = 0;
  if (!ReadFile(f->handle, buffer, want, &got, nullptr)) {
    const DWORD error = GetLastError();
    // A pipe's writer gone is its end, as for a file.
    if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return {0, 0};
    return {-1, static_cast<int>(error)};
  }
  f->position += got;
  return {static_cast<std::int64_t>(got), 0};
}

std::size_t readBlockSize(FileId file) {
  const OpenFile* f = lookupFile(file);
  LARGE_INTEGER size{};
  if (f == nullptr || !GetFileSizeEx(f->handle, &size)) return kLargestReadBlock;
  const auto total = static_cast<std::uint64_t>(size.QuadPart);
  const std::uint64_t left = total > f->position ? total - f->position : 0;
  // The rest of the file and one byte more, so that one read sees the end.
  return static_cast<std::size_t>(left < kLargestReadBlock ? left + 1 : kLargestReadBlock);
}

bool seekFile(FileId file, std::uint64_t offset) {
  OpenFile* f = lookupFile(file);
  if (f == nullptr) return false;
  LONG high = static_cast<LONG>(offset >> 32);
  SetLastError(NO_ERROR);
  const DWORD low =
      SetFilePointer(f->handle, static_cast<LONG>(offset & 0xFFFFFFFF), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
  f->position = offset;
  return true;
}

bool unchangedSinceOpen(FileId file) {
  const OpenFile* f = lookupFile(file);
  LONGLONG size = 0, modified = 0;
  if (f == nullptr || f->size < 0 || !sizeAndWrite(f->handle, size, modified)) return true;
  return size == f->size && modified == f->modified;
}

void finishReading(FileId /*file*/) {
  // The handle is the hold, so it stays open; the read buffer is the
  // caller's to give back.
}

// ---- Files that replace their targets ----

ReplacementId createReplacement(const char* target, FileFailure& why) {
  why = FileFailure::none;
  const std::size_t index = state.replacementsMade.load();
  if (index == kMaxReplacements) {
    why = FileFailure::tooManyOpen;
    return 0;
  }
  Replacement& r = state.replacements[index];
  r.target = throughLinks(target);
  r.place = placeOf(r.target);
  HANDLE look = openToLook(r.target.c_str());
  if (look != INVALID_HANDLE_VALUE) {
    FILE_BASIC_INFO basic{};
    const bool directory =
        GetFileInformationByHandleEx(look, FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    r.direct = GetFileType(look) != FILE_TYPE_DISK;
    if (!r.direct) r.existing = identityOf(look);
    CloseHandle(look);
    if (directory) {
      why = FileFailure::isDirectory;
      return 0;
    }
  }
  // Two names of one file would leave one of the files lost.
  for (std::size_t i = 0; i < index; ++i) {
    const Replacement& other = state.replacements[i];
    if ((!r.place.empty() && r.place == other.place) || sameFile(r.existing, other.existing)) {
      why = FileFailure::held;
      return 0;
    }
  }
  if (r.direct) {
    // A device (NUL, a console) is written where it stands.
    r.handle = CreateFileA(r.target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (r.handle == INVALID_HANDLE_VALUE) {
      why = openFailureOf(GetLastError());
      return 0;
    }
    state.replacementsMade.store(index + 1);
    return static_cast<ReplacementId>(index + 1);
  }
  const std::size_t separator = r.target.find_last_of("\\/:");
  const std::string directory =
      separator == std::string::npos ? "" : r.target.substr(0, separator + 1);
  // An interrupt waits until the file is either made and recorded or not
  // made, so that its report removes exactly what this run made.
  DWORD error = 0;
  enterOutputSection();
  for (int attempt = 0; attempt < 100; ++attempt) {
    r.temporary = freshName(directory);
    // CREATE_NEW fails on any existing name, a link included.
    r.handle = CreateFileA(r.temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (r.handle != INVALID_HANDLE_VALUE) break;
    error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  if (r.handle != INVALID_HANDLE_VALUE) {
    r.live.store(true);
    state.replacementsMade.store(index + 1);
  }
  leaveOutputSection();
  if (r.handle == INVALID_HANDLE_VALUE) {
    why = openFailureOf(error);
    return 0;
  }
  // The target cannot be read back while it is being replaced, nor
  // written by others: held the way this run holds the files it reads, by
  // an open that shares reading only, and refused by identity to this run.
  r.hold = CreateFileA(r.target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (r.hold != INVALID_HANDLE_VALUE) (void)heldAlready(r.hold);
  return static_cast<ReplacementId>(index + 1);
}

ReplacementId replacementOf(const char* name) {
  const std::string target = throughLinks(name);
  const std::string place = placeOf(target);
  FileIdentity identity;
  if (HANDLE look = openToLook(target.c_str()); look != INVALID_HANDLE_VALUE) {
    identity = identityOf(look);
    CloseHandle(look);
  }
  const std::size_t made = state.replacementsMade.load();
  for (std::size_t i = 0; i < made && i < kMaxReplacements; ++i) {
    const Replacement& r = state.replacements[i];
    if ((!place.empty() && place == r.place) || sameFile(identity, r.existing))
      return static_cast<ReplacementId>(i + 1);
  }
  return 0;
}

int sendStandardOutputTo(ReplacementId id) {
  const Replacement* r = lookupReplacement(id);
  if (r == nullptr) return ERROR_INVALID_HANDLE;
  if (!SetStdHandle(STD_OUTPUT_HANDLE, r->handle)) return static_cast<int>(GetLastError());
  state.consoleOutput = false;
  state.pipeOutput = false;
  holdAsStandardOutput(r->handle);
  return 0;
}

int writeReplacement(ReplacementId id, const char* bytes, std::size_t size) {
  const Replacement* r = lookupReplacement(id);
  if (r == nullptr) return ERROR_INVALID_HANDLE;
  while (size > 0) {
    const auto chunk = static_cast<DWORD>(size < kWriteLimit ? size : kWriteLimit);
    DWORD done = 0;
    if (!WriteFile(r->handle, bytes, chunk, &done, nullptr))
      return static_cast<int>(GetLastError());
    bytes += done;
    size -= done;
  }
  return 0;
}

int putReplacementsInPlace(ReplacementId& failed) {
  // Both in place or neither: a second interrupt from now on waits for the
  // end, which comes right after.
  EnterCriticalSection(&commitLock());
  state.committing.store(true);
  LeaveCriticalSection(&commitLock());
  const std::size_t made = state.replacementsMade.load();
  for (std::size_t i = 0; i < made && i < kMaxReplacements; ++i) {
    Replacement& r = state.replacements[i];
    if (r.direct) {
      const int error = CloseHandle(r.handle) ? 0 : static_cast<int>(GetLastError());
      r.handle = INVALID_HANDLE_VALUE;
      if (error == 0) continue;
      failed = static_cast<ReplacementId>(i + 1);
      discardReplacements();
      return error;
    }
    if (!r.live.load()) continue;
    int error = CloseHandle(r.handle) ? 0 : static_cast<int>(GetLastError());
    r.handle = INVALID_HANDLE_VALUE;
    closeHandle(r.hold);
    if (error == 0 &&
        !MoveFileExA(r.temporary.c_str(), r.target.c_str(), MOVEFILE_REPLACE_EXISTING))
      error = static_cast<int>(GetLastError());
    if (error == 0) {
      r.live.store(false);
      continue;
    }
    failed = static_cast<ReplacementId>(i + 1);
    discardReplacements();
    for (std::size_t j = 0; j < i; ++j) {
      if (!state.replacements[j].direct) DeleteFileA(state.replacements[j].target.c_str());
    }
    return error;
  }
  return 0;
}

void discardReplacements() {
  // Bounded by the array too, which the count never passes: the optimiser
  // cannot tell, and warns of a write past the end.
  const std::size_t made = state.replacementsMade.load();
  for (std::size_t i = 0; i < made && i < kMaxReplacements; ++i) {
    Replacement& r = state.replacements[i];
    if (!r.live.exchange(false)) continue;
    // Shared with nobody, the file can be deleted only once it is closed.
    closeHandle(r.handle);
    closeHandle(r.hold);
    DeleteFileA(r.temporary.c_str());
  }
}

void useSystemSeparators(char* /*name*/, std::size_t /*size*/) {
  // Both separators are the system's own.
}

// ---- Standard output and standard error ----

bool standardOutputIsInteractive() { return state.consoleOutput; }

WriteResult writeStandardOutput(const char* first, std::size_t firstSize, const char* second,
                                std::size_t secondSize) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (secondSize != 0 && firstSize + secondSize <= kGatherLimit) {
    char scratch[kGatherLimit];
    std::memcpy(scratch, first, firstSize);
    std::memcpy(scratch + firstSize, second, secondSize);
    return writeOnce(out, scratch, firstSize + secondSize);
  }
  WriteResult result{0, 0};
  if (firstSize != 0) {
    result = writeOnce(out, first, firstSize);
    if (result.error != 0 || result.written < firstSize) return result;
  }
  if (secondSize == 0) return result;
  const WriteResult rest = writeOnce(out, second, secondSize);
  return {result.written + rest.written, rest.error};
}

WriteResult writeStandardOutputForReport(const char* first, std::size_t firstSize,
                                         const char* second, std::size_t secondSize) {
  if (state.outputAbandoned.load()) return {0, 0};
  // Files and consoles take what they are given; a pipe only when its
  // reader reads.
  if (!state.pipeOutput) return writeStandardOutput(first, firstSize, second, secondSize);
  static TimedWrite write;  // may outlive this call: see writeWithin
  const bool firstPiece = firstSize != 0;
  const std::size_t size = firstPiece ? firstSize : secondSize;
  write = TimedWrite{GetStdHandle(STD_OUTPUT_HANDLE), firstPiece ? first : second,
                     static_cast<DWORD>(size < kWriteLimit ? size : kWriteLimit), 0, FALSE};
  const long done = writeForReport(write);
  if (done < 0) {
    state.outputAbandoned.store(true);
    return {0, 0};
  }
  return {static_cast<std::size_t>(done), 0};
}

bool isInterruption(int /*error*/) { return false; }

bool isDeviceFull(int error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

bool enterOutputSectionForReport() {
  if (state.outputAbandoned.load()) return false;
  if (state.outputOwner.load() == GetCurrentThreadId()) {
    enterOutputSection();
    return true;
  }
  for (DWORD waited = 0; waited < kReportWriteWait || !interruptCame(); ++waited) {
    if (TryEnterCriticalSection(&outputLock())) {
      if (state.outputDepth++ == 0) state.outputOwner.store(GetCurrentThreadId());
      return true;
    }
    Sleep(1);
  }
  state.outputAbandoned.store(true);
  return false;
}

void enterOutputSection() {
  yieldToInterrupt();
  EnterCriticalSection(&outputLock());
  if (state.outputDepth++ == 0) state.outputOwner.store(GetCurrentThreadId());
}

void leaveOutputSection() {
  const bool last = --state.outputDepth == 0;
  if (last) state.outputOwner.store(0);
  LeaveCriticalSection(&outputLock());
  // An interrupt that came during the write is reported now.
  if (last) yieldToInterrupt();
}

const char* standardErrorLineEnd() { return "\r\n"; }

void writeStandardError(const char* bytes, std::size_t size) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  while (size > 0) {
    DWORD done = 0;
    const auto chunk = static_cast<DWORD>(size < kConsoleWriteLimit ? size : kConsoleWriteLimit);
    if (!WriteFile(err, bytes, chunk, &done, nullptr) || done == 0) return;
    bytes += done;
    size -= done;
  }
}

}  // namespace tarvel::platform
