// Benchmark: tarvel against cat over the same bytes, side by side.
//
//   cmake --workflow --preset release
//   build/release/tarvel_bench [--before BINARY] [--windows EXE] [--only NAME,...] [--keep]
//                              [scale [runs [tarvel-binary]]]
//
// scale (default 1) multiplies the size of every generated tree: 1 gives the
// full 512 MiB trees, 0.05 a quick look.  runs (default 5) is the number of
// timed runs per command (start-up: 300).  tarvel-binary defaults to the
// tarvel next to this program.  --before times another tarvel (an older
// build, say) in the same rounds; --windows times a Windows tarvel.exe
// under wine on the large trees (through the run-under-wine script beside
// it when there is one), and prints its times over this build's, output to
// a file.  --only times just the trees named (say --only real-lf,real-crlf),
// for a quick look at one case; --keep leaves the trees in place, for
// profiling.  On the large trees a row "(-o)" times this build writing
// with -o into the directory of the redirected file, in both columns, so
// that -o is set against a redirection in one run, and a row "(-o --map)"
// the same with a line map beside the output, to set against "(-o)".
//
// cat is no floor on every kernel: a plain copy loop can be three times
// faster.  So each system has its own floor, tarvel_floor (bench/floor_*.cpp:
// the same files through one reused 256 KiB buffer, read then write,
// nothing else), built beside this program and beside tarvel.exe.  On the
// large trees a second table sets each tarvel against the floor of its own
// system, output on /dev/null and through a pipe: the Windows exe against
// the Windows floor under the same wine, which takes wine's own costs out.
//
// Every tree is generated, deterministically, in a fresh directory under
// $TMPDIR (or /tmp) and removed at the end.  The generator also computes
// what tarvel must write for it; tarvel's output is checked against that
// (length and a 64-bit hash) before anything is timed.  Then tarvel and cat
// (over the same files, in the same order) are timed with standard output
// on /dev/null and on a file in /dev/shm, taking turns in five rounds: with
// hyperfine when it is installed (its JSON export is read), else with a
// timing loop here.  cpp,
// m4 and nasm, where installed, are timed once on an equivalent tree.  Printed:
// one table of median wall times, ratios to cat, and tarvel's peak resident
// memory (VmHWM, read while the process stops at its exit: wait4's
// ru_maxrss would count the memory of the process it was spawned from).

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kMiB = 1024 * 1024;

// A small deterministic generator, so that every run sees the same trees.
class Random {
 public:
  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<std::uint32_t>(state_);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

// FNV-1a over a byte stream.
struct Hash {
  std::uint64_t value = 0xcbf29ce484222325ull;
  std::uint64_t size = 0;
  void add(std::string_view bytes) {
    for (unsigned char c : bytes) value = (value ^ c) * 0x100000001b3ull;
    size += bytes.size();
  }
  bool operator==(const Hash&) const = default;
};

const char* const kWords[] = {"mov",  "add", "sub",     "xor",  "cmp",    "lea",
                              "and",  "or",  "shl",     "shr",  "imul",   "test",
                              "push", "pop", "eax",     "ebx",  "ecx",    "edx",
                              "esi",  "edi", "[ebp+8]", "0x1F", "; note", "label_7:"};

// A line of about `width` characters, without its end.
std::string makeLine(Random& random, std::size_t width) {
  std::string line = random.below(2) == 0 ? "\t" : "";
  while (line.size() < width) {
    line += kWords[random.below(std::size(kWords))];
    line += random.below(3) == 0 ? ", " : " ";
  }
  line.resize(width);
  return line;
}

// First words of lines in real assembly (MASM, x86, 6502 for ca65), per
// thousand lines: MASM code begins about 9 % of its lines with `invoke`,
// 6502 code about 4 % with `inx`, `iny` or `inc`.  Many begin like a
// directive for their first character or two and are ruled out later;
// `includelib` only by the character after `include`.  The other lines
// begin with the words of kWords.
constexpr std::pair<const char*, std::uint32_t> kRealFirstWords[] = {
    {"invoke", 90}, {"inc", 15},       {"int", 6},     {"in", 3},      {"inx", 12},    {"iny", 10},
    {"imul", 5},    {".if", 10},       {".ifdef", 4},  {".import", 4}, {".incbin", 1}, {"#if", 3},
    {"#ifdef", 2},  {"includelib", 2}, {".endif", 10}, {"lda", 40},    {"sta", 30},    {"ldx", 10},
    {"bne", 12},    {"jsr", 15},       {"call", 40},   {"ret", 15},    {"jmp", 20},    {"jne", 15},
    {";", 60},      {"label_7:", 30},  {"", 50}};

// A line of real assembly of about `width` characters, without its end:
// a first word at its real frequency, after no blank, a tab or spaces, and
// operands.  Never a directive.
std::string makeRealLine(Random& random, std::size_t width) {
  const char* const indents[] = {"", "", "", "\t", "\t", "\t", "\t", "\t", "    ", "  \t"};
  std::string line = indents[random.below(std::size(indents))];
  std::uint32_t pick = random.below(1000);
  const char* first = nullptr;
  for (const auto& [word, perMille] : kRealFirstWords) {
    if (pick < perMille) {
      first = word;
      break;
    }
    pick -= perMille;
  }
  line += first != nullptr ? first : kWords[random.below(14)];  // the instructions
  if (first != nullptr && *first == '\0') return line;          // an empty line
  const std::size_t head = line.size();
  while (line.size() < width) {
    line += random.below(3) == 0 ? ", " : " ";
    line += kWords[random.below(std::size(kWords))];
  }
  line.resize(std::max(width, head));
  return line;
}

// One generated tree: the file tarvel starts from, the files cat reads,
// what tarvel must write, and the same tree for the other preprocessors.
struct Tree {
  std::string name;
  std::string top;
  std::vector<std::string> files;  // in the order their text is written
  std::uint64_t inputBytes = 0;
  Hash expected;
  std::string cppTop, m4Top, nasmTop;  // empty when not made
};

void writeFile(const fs::path& path, const std::string& text) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Parts of `totalBytes` in all with lines of `width` made by `lineOf`,
// included one after the other by the top file.  `crlf` ends lines with
// CR LF.
using LineMaker = std::string (*)(Random& random, std::size_t width);
Tree makeParts(const std::string& name, std::uint64_t totalBytes, int parts, std::size_t width,
               bool crlf, bool others, LineMaker lineOf = makeLine) {
  Tree tree{name, name + "/main.asm", {}, 0, {}, {}, {}, {}};
  Random random;
  const std::uint64_t partBytes = totalBytes / parts;
  std::string top, cpp, m4, nasm;
  for (int p = 0; p < parts; ++p) {
    const std::string part = name + "/p" + std::to_string(p) + ".asm";
    top += "include " + part + "\n";
    cpp += "#include \"" + part + "\"\n";
    m4 += "m4_include(" + part + ")\n";
    nasm += "%include \"" + part + "\"\n";
    std::string text;
    text.reserve(partBytes + width + 2);
    while (text.size() < partBytes) {
      const std::string line = lineOf(random, width - random.below(width / 4 + 1));
      text += line;
      text += crlf ? "\r\n" : "\n";
      tree.expected.add(line);
      tree.expected.add("\r\n");
    }
    writeFile(part, text);
    tree.files.push_back(part);
    tree.inputBytes += text.size();
  }
  writeFile(tree.top, top);
  if (others) {
    tree.cppTop = name + "/main.c";
    tree.m4Top = name + "/main.m4";
    tree.nasmTop = name + "/main.nasm";
    writeFile(tree.cppTop, cpp);
    writeFile(tree.m4Top, m4);
    writeFile(tree.nasmTop, nasm);
  }
  return tree;
}

// A chain of small files, each including the next in its middle.
Tree makeChain(int length) {
  Tree tree{"chain", "chain/c0.inc", {}, 0, {}, {}, {}, {}};
  Random random;
  std::vector<std::string> heads(length), tails(length);
  for (int i = 0; i < length; ++i) {
    for (int k = 0; k < 20; ++k) heads[i] += makeLine(random, 40) + "\n";
    tails[i] = makeLine(random, 40) + "\n";
    const std::string file = "chain/c" + std::to_string(i) + ".inc";
    const std::string next =
        i + 1 < length ? "include chain/c" + std::to_string(i + 1) + ".inc\n" : "";
    writeFile(file, heads[i] + next + tails[i]);
    tree.files.push_back(file);
    tree.inputBytes += heads[i].size() + next.size() + tails[i].size();
  }
  const auto crlf = [](std::string text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
  };
  for (int i = 0; i < length; ++i) tree.expected.add(crlf(heads[i]));
  for (int i = length; i > 0; --i) tree.expected.add(crlf(tails[i - 1]));
  return tree;
}

// `count` include lines of distinct names that do not exist.
Tree makeNames(int count) {
  const std::string name = "names" + std::to_string(count);
  Tree tree{name, name + ".asm", {name + ".asm"}, 0, {}, {}, {}, {}};
  std::string text;
  for (int i = 0; i < count; ++i) {
    const std::string missing = "gone/n" + std::to_string(i) + ".inc";
    text += "include " + missing + "\n";
    tree.expected.add("Could not open 'lib\\" + missing + "'\r\n");
  }
  writeFile(tree.top, text);
  tree.inputBytes = text.size();
  return tree;
}

Tree makeOneLine() {
  Tree tree{"startup", "one.asm", {"one.asm"}, 0, {}, {}, {}, {}};
  writeFile(tree.top, "\tmov eax, 1\n");
  tree.inputBytes = 12;
  tree.expected.add("\tmov eax, 1\r\n");
  return tree;
}

// Runs argv with standard output on outFd and waits for it.  The exit
// status (-1 when it did not exit), the peak resident memory of the program
// itself when `trace` (else 0), and the wall time.
struct Ran {
  int status;
  long peakKiB;
  double seconds;
};
long peakOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}
Ran run(const std::vector<std::string>& argv, int outFd, bool trace = false) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outFd, 1);
    if (trace) ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) return {-1, 0, 0};
  long peak = 0;
  int raw = 0;
  if (trace) {
    // Stopped at the exec: stop again at the exit, where the memory of the
    // process is still there to be read.
    waitpid(pid, &raw, 0);
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    while (waitpid(pid, &raw, 0) == pid && WIFSTOPPED(raw)) {
      long signal = WSTOPSIG(raw);
      if ((raw >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
        peak = peakOf(pid);
        signal = 0;
      }
      ptrace(PTRACE_CONT, pid, nullptr, signal);
    }
  } else {
    waitpid(pid, &raw, 0);
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, peak, took.count()};
}

// The hash of a file's bytes.
Hash hashOf(const std::string& path) {
  Hash hash;
  std::ifstream in(path, std::ios::binary);
  std::vector<char> block(1 << 16);
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
    hash.add({block.data(), static_cast<std::size_t>(in.gcount())});
  return hash;
}

std::string joined(const std::vector<std::string>& argv) {
  std::string text;
  for (const std::string& a : argv) text += (text.empty() ? "" : " ") + a;
  return text;
}

bool hasHyperfine() { return std::system("hyperfine --version >/dev/null 2>&1") == 0; }
bool installed(const char* tool) {
  return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0;
}

// Median wall times of the commands, output going to `where` ("null",
// "pipe" or a file path).  Negative when the measurement failed.  The commands take
// turns, in rounds of a few runs each, so that a machine whose speed drifts
// during the measurement slows them alike.
std::vector<double> medians(const std::vector<std::vector<std::string>>& commands,
                            const std::string& where, int runs, bool hyperfine,
                            bool ignoreStatus = false) {
  const int rounds = runs < 5 ? runs : 5;
  const int perRound = (runs + rounds - 1) / rounds;
  // A command that writes with -o starts each run without the files it
  // replaces (OUTPUT and a --map), whose pages would otherwise be freed
  // inside its run: a redirection, which the others are timed with,
  // empties its file before the run begins.
  std::vector<std::vector<std::string>> replaced(commands.size());
  for (std::size_t c = 0; c < commands.size(); ++c) {
    for (std::size_t i = 1; i < commands[c].size(); ++i) {
      const std::string& arg = commands[c][i];
      if (arg == "-o" && i + 1 < commands[c].size()) replaced[c].push_back(commands[c][i + 1]);
      if (arg.starts_with("--map=")) replaced[c].push_back(arg.substr(6));
    }
  }
  std::vector<std::vector<double>> times(commands.size());
  for (int round = 0; round < rounds; ++round) {
    if (hyperfine) {
      const std::string json = "bench.json";
      std::string cmd = "hyperfine -N --style none --warmup 1 " +
                        std::string(ignoreStatus ? "-i " : "") + "--runs " +
                        std::to_string(perRound) + " --output=" + where + " --export-json " + json;
      for (const std::vector<std::string>& paths : replaced)
        cmd += paths.empty() ? " --prepare true" : " --prepare 'rm -f " + joined(paths) + "'";
      for (const auto& argv : commands) cmd += " '" + joined(argv) + "'";
      if (std::system((cmd + " >/dev/null 2>&1").c_str()) != 0)
        return std::vector<double>(commands.size(), -1);
      std::stringstream text;
      text << std::ifstream(json).rdbuf();
      const std::string s = text.str();
      std::size_t at = 0;
      for (auto& own : times) {
        at = s.find("\"times\":", at);
        if (at == std::string::npos) return std::vector<double>(commands.size(), -1);
        const std::size_t close = s.find(']', at);
        const char* p = s.c_str() + s.find('[', at) + 1;
        for (char* next = nullptr;; p = next + 1) {  // past the comma
          const double seconds = std::strtod(p, &next);
          if (next == p || next > s.c_str() + close) break;
          own.push_back(seconds);
        }
        at = close;
      }
      continue;
    }
    for (std::size_t c = 0; c < commands.size(); ++c) {
      for (int i = round == 0 ? -1 : 0; i < perRound; ++i) {  // the very first run warms up
        std::thread drain;  // reads the pipe, when the output goes to one
        int out = -1;
        if (where == "pipe") {
          std::array<int, 2> ends{};
          if (pipe2(ends.data(), O_CLOEXEC) != 0) return std::vector<double>(commands.size(), -1);
          out = ends[1];
          drain = std::thread([in = ends[0]] {
            std::vector<char> block(1 << 16);
            while (read(in, block.data(), block.size()) > 0) {
            }
            close(in);
          });
        } else {
          out = where == "null" ? open("/dev/null", O_WRONLY)
                                : open(where.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        for (const std::string& path : replaced[c]) fs::remove(path);
        const Ran r = run(commands[c], out);
        close(out);
        if (drain.joinable()) drain.join();
        if (r.status < 0 || (r.status != 0 && !ignoreStatus))
          return std::vector<double>(commands.size(), -1);
        if (i >= 0) times[c].push_back(r.seconds);
      }
    }
  }
  std::vector<double> result;
  for (auto& own : times) {
    std::sort(own.begin(), own.end());
    result.push_back(own.empty() ? -1 : own[own.size() / 2]);
  }
  return result;
}

void row(const std::string& name, const Tree& tree, double t0, double c0, double t1, double c1,
         long peakKiB) {
  std::printf("| %-20s | %5zu | %8.1f | %9.4f | %9.4f | %5.2f | %9.4f | %9.4f | %5.2f | %7ld |\n",
              name.c_str(), tree.files.size(), static_cast<double>(tree.inputBytes) / kMiB, t0, c0,
              t0 / c0, t1, c1, c1 > 0 ? t1 / c1 : 0.0, peakKiB);
}

}  // namespace

int main(int argc, char** argv) {
  // Options first: --before BINARY and --windows EXE; then the positional
  // arguments.
  std::vector<std::string> positional;
  std::string before, windows, only;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--before" || arg == "--windows") && i + 1 < argc)
      (arg == "--before" ? before : windows) = fs::absolute(argv[++i]);
    else if (arg == "--keep")
      keep = true;
    else if (arg == "--only" && i + 1 < argc)
      only = "," + std::string(argv[++i]) + ",";
    else
      positional.push_back(arg);
  }
  const double scale = positional.size() > 0 ? std::strtod(positional[0].c_str(), nullptr) : 1.0;
  const int runs = positional.size() > 1 ? std::atoi(positional[1].c_str()) : 5;
  const std::string tarvel = fs::absolute(
      positional.size() > 2 ? fs::path(positional[2]) : fs::path(argv[0]).parent_path() / "tarvel");
  if (!fs::exists(tarvel) || scale <= 0 || runs < 1 || positional.size() > 3 ||
      (!before.empty() && !fs::exists(before)) || (!windows.empty() && !fs::exists(windows))) {
    std::fprintf(stderr,
                 "usage: %s [--before BINARY] [--windows EXE] [--only NAME,...] [--keep]\n"
                 "       [scale [runs [tarvel-binary]]]\n",
                 argv[0]);
    return 2;
  }
  // The floors: this system's beside this program, Windows's beside the
  // exe.
  const std::string floor = fs::absolute(fs::path(argv[0]).parent_path() / "tarvel_floor");
  const std::string windowsFloor =
      windows.empty() ? "" : (fs::path(windows).parent_path() / "tarvel_floor.exe").string();
  for (const std::string& program : {floor, windowsFloor}) {
    if (!program.empty() && !fs::exists(program)) {
      std::fprintf(stderr, "%s: %s is missing: build it with the program beside it\n", argv[0],
                   program.c_str());
      return 2;
    }
  }
  // The .exe runs under wine, in its build's own prefix when it has one.
  std::vector<std::string> wine;
  if (!windows.empty()) {
    const fs::path runner = fs::path(windows).parent_path() / "run-under-wine";
    wine = {fs::exists(runner) ? runner.string() : "wine", windows};
    setenv("WINEDEBUG", "-all", 1);
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/tarvel-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const fs::path dir = pattern;
  fs::current_path(dir);
  setenv("zebinc", "lib", 1);
  const std::string outFile =
      fs::is_directory("/dev/shm") ? "/dev/shm/tarvel-bench.out" : (dir / "bench.out").string();
  const std::string outFileByOption = outFile + ".o";
  const std::string mapFile = outFile + ".map";
  const bool hyperfine = hasHyperfine();

  const auto bytes = [scale](std::uint64_t mib) {
    return static_cast<std::uint64_t>(static_cast<double>(mib * kMiB) * scale);
  };
  const auto count = [scale](int n) { return std::max(1, static_cast<int>(n * scale)); };
  std::printf("generating the trees in %s (scale %g)\n", dir.c_str(), scale);
  std::fflush(stdout);
  std::vector<Tree> trees;
  // Makes the tree `name` unless --only leaves it out.
  const auto add = [&](const std::string& name, auto make) {
    if (only.empty() || only.find("," + name + ",") != std::string::npos) trees.push_back(make());
  };
  add("lf", [&] { return makeParts("lf", bytes(512), 200, 40, false, true); });
  add("crlf", [&] { return makeParts("crlf", bytes(512), 200, 40, true, false); });
  add("real-lf",
      [&] { return makeParts("real-lf", bytes(512), 200, 32, false, false, makeRealLine); });
  add("real-crlf",
      [&] { return makeParts("real-crlf", bytes(512), 200, 32, true, false, makeRealLine); });
  add("small", [&] { return makeParts("small", bytes(32), 500, 40, false, false); });
  add("chain", [] { return makeChain(2000); });
  add("short", [&] { return makeParts("short", bytes(128), 200, 8, false, false); });
  add("long", [&] { return makeParts("long", bytes(128), 200, 2000, false, false); });
  add("names" + std::to_string(count(100000)), [&] { return makeNames(count(100000)); });
  add("names" + std::to_string(count(200000)), [&] { return makeNames(count(200000)); });
  add("startup", [] { return makeOneLine(); });

  std::printf("median of %d runs (start-up: 300), %s; output on /dev/null and on %s\n\n", runs,
              hyperfine ? "hyperfine" : "own timing loop", outFile.c_str());
  std::printf(
      "| %-20s | files | MiB      | tarvel/null | cat/null | ratio | tarvel/file | "
      "cat/file | ratio | peak KiB |\n",
      "case");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  bool ok = true;
  std::string windowsRatios;
  std::string floorRows;  // the second table
  std::string floorSummary;
  for (const Tree& tree : trees) {
    const int expectedStatus = tree.name.rfind("names", 0) == 0 ? 1 : 0;
    // The binaries timed beside cat, each checked first.
    std::vector<std::pair<std::string, std::vector<std::string>>> timed = {
        {tree.name, {tarvel, tree.top}}};
    if (!before.empty()) timed.push_back({tree.name + " (before)", {before, tree.top}});
    // The same build writing with -o into the directory of the redirected
    // file: in both columns, the time of -o against that of a redirection.
    const bool large = tree.name == "lf" || tree.name == "crlf" || tree.name.rfind("real", 0) == 0;
    if (large) {
      timed.push_back({tree.name + " (-o)", {tarvel, "-o", outFileByOption, tree.top}});
      timed.push_back({tree.name + " (-o --map)",
                       {tarvel, "-o", outFileByOption, "--map=" + mapFile, tree.top}});
    }
    if (!wine.empty() && large) {
      std::vector<std::string> argv = wine;
      argv.push_back(tree.top);
      timed.push_back({tree.name + " (windows)", argv});
    }
    std::vector<long> peaks;
    bool same = true;
    for (const auto& [name, argv] : timed) {
      const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const bool native = argv[0] == tarvel || argv[0] == before;
      const Ran checked = run(argv, out, native);
      close(out);
      peaks.push_back(checked.peakKiB);
      const Hash got = hashOf(name.find("(-o") != std::string::npos ? outFileByOption : outFile);
      if (checked.status != expectedStatus || !(got == tree.expected)) {
        std::printf(
            "| %-20s | output differs from the generator's (status %d, %llu bytes, %llu "
            "expected) |\n",
            name.c_str(), checked.status, static_cast<unsigned long long>(got.size),
            static_cast<unsigned long long>(tree.expected.size));
        same = false;
      }
    }
    if (!same) {
      ok = false;
      continue;
    }
    std::vector<std::string> cat = {"cat"};
    cat.insert(cat.end(), tree.files.begin(), tree.files.end());
    const int n = tree.name == "startup" ? 300 : runs;
    // A missing name makes tarvel exit with 1, as it must.
    std::vector<std::vector<std::string>> commands = {cat};
    for (const auto& entry : timed) commands.push_back(entry.second);
    // The floors of each system, on the large trees: their places in
    // `commands` (0: not timed).
    std::size_t ownFloor = 0, wineFloor = 0;
    if (large) {
      ownFloor = commands.size();
      commands.push_back({floor});
      commands.back().insert(commands.back().end(), tree.files.begin(), tree.files.end());
      if (!wine.empty()) {
        wineFloor = commands.size();
        commands.push_back({wine[0], windowsFloor});
        commands.back().insert(commands.back().end(), tree.files.begin(), tree.files.end());
      }
    }
    const bool failing = expectedStatus != 0;
    const auto toNull = medians(commands, "null", n, hyperfine, failing);
    const auto toFile = medians(commands, outFile, n, hyperfine, failing);
    for (std::size_t i = 0; i < timed.size(); ++i)
      row(timed[i].first, tree, toNull[i + 1], toNull[0], toFile[i + 1], toFile[0], peaks[i]);
    if (large) {
      const auto toPipe = medians(commands, "pipe", n, hyperfine);
      double ownRatio[2] = {0, 0};
      for (std::size_t i = 0; i < timed.size(); ++i) {
        const bool exe = timed[i].first.ends_with("(windows)");
        const std::size_t f = exe ? wineFloor : ownFloor;
        const double ratios[2] = {toNull[i + 1] / toNull[f], toPipe[i + 1] / toPipe[f]};
        char line[256];
        std::snprintf(line, sizeof line,
                      "| %-20s | %9.4f | %9.4f | %5.2f | %9.4f | %9.4f | %5.2f |\n",
                      timed[i].first.c_str(), toNull[i + 1], toNull[f], ratios[0], toPipe[i + 1],
                      toPipe[f], ratios[1]);
        floorRows += line;
        if (i == 0) std::copy(ratios, ratios + 2, ownRatio);
        if (exe) {
          std::snprintf(line, sizeof line, "%s %.2f (null), %.2f (pipe)  ", tree.name.c_str(),
                        ratios[0] / ownRatio[0], ratios[1] / ownRatio[1]);
          floorSummary += line;
        }
      }
    }
    if (timed.back().first.ends_with("(windows)")) {
      char ratio[128];
      std::snprintf(ratio, sizeof ratio, "%s %.2f (%.4f s against %.4f s)  ", tree.name.c_str(),
                    toFile[timed.size()] / toFile[1], toFile[timed.size()], toFile[1]);
      windowsRatios += ratio;
    }
    const std::pair<const char*, std::vector<std::string>> tools[] = {
        {"cpp", {"cpp", "-P", "-I.", tree.cppTop}},
        {"m4", {"m4", "-P", tree.m4Top}},
        {"nasm", {"nasm", "-E", tree.nasmTop}}};
    for (const auto& [tool, argv] : tools) {
      if (tree.cppTop.empty() || !installed(tool)) continue;
      // Slow: one timed run each.
      const auto other = medians({argv}, "null", 1, false);
      const auto otherFile = medians({argv}, outFile, 1, false);
      row(std::string(tool) + " (" + tree.name + ")", tree, other[0], toNull[0], otherFile[0],
          toFile[0], 0);
    }
    std::fflush(stdout);
  }
  if (!floorRows.empty()) {
    std::printf(
        "\nagainst the plain copy loop of its own system (tarvel_floor), output on /dev/null "
        "and through a pipe:\n\n");
    std::printf("| %-20s | tarvel/null | floor/null | ratio | tarvel/pipe | floor/pipe | ratio |\n",
                "case");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n%s", floorRows.c_str());
  }
  if (!windowsRatios.empty())
    std::printf("\nwindows .exe under wine against this build, output to a file: %s\n",
                windowsRatios.c_str());
  if (!floorSummary.empty())
    std::printf(
        "windows .exe's ratio to the wine floor over this build's ratio to its own floor: %s\n",
        floorSummary.c_str());
  fs::current_path("/");
  if (keep)
    std::printf("\nthe trees are kept in %s\n", dir.c_str());
  else
    fs::remove_all(dir);
  fs::remove(outFile);
  fs::remove(outFileByOption);
  fs::remove(mapFile);
  return ok ? 0 : 1;
}
