// Throughput benchmark: tarvel against cat over the same bytes.
//
// Build the release tree and run it from the project root:
//
//   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEL_BUILD_TESTS=OFF
//   cmake --build build/release
//   build/release/tarvel_bench [tarvel-binary [megabytes [runs]]]
//
// tarvel-binary defaults to the tarvel next to this program, megabytes (the
// size of the generated tree, default 200) and runs (timed runs per case,
// default 5) may be lowered for a quick look.  The tree is generated in a
// fresh directory under $TMPDIR (or /tmp) and removed at the end.
//
// Two cases:
//   tree   a main file including 200 files of assembly-like lines of 20 to 80
//          characters, then the head of the chain below;
//   chain  a chain of 2000 small files, each including the next.
// Each case runs tarvel once with its output checked (byte count and exit
// status), then `runs` times with standard output on /dev/null, and cat the
// same number of times over the same files.  Printed: the best wall time of
// each, the input rate in MB/s (10^6 bytes), and the ratio tarvel / cat.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kPartCount = 200;
constexpr int kChainLength = 2000;

// A small deterministic generator, so that every run sees the same tree.
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

const char* const kMnemonics[] = {"mov", "add", "sub", "xor",  "cmp",  "lea",  "and",
                                  "or",  "shl", "shr", "imul", "test", "push", "pop"};
const char* const kRegisters[] = {"eax", "ebx", "ecx", "edx", "esi", "edi", "ebp", "esp"};
const char* const kJumps[] = {"jmp", "je", "jne", "jb", "jae", "jl", "jge", "call"};

// prefix, n in decimal, suffix.  (Built by appending: GCC 12 warns
// wrongly about "literal" + std::string.)
std::string numbered(std::string_view prefix, long long n, std::string_view suffix = {}) {
  std::string text(prefix);
  text.append(std::to_string(n)).append(suffix);
  return text;
}

// One line of 20 to 80 characters, without its line end.
std::string assemblyLine(Random& random, std::uint32_t serial) {
  std::string line;
  const auto add = [&line](std::initializer_list<std::string_view> pieces) {
    for (std::string_view piece : pieces) line.append(piece);
  };
  const std::string number = std::to_string(serial);
  switch (random.below(16)) {
    case 0:
      add({"label_", number, ":            ; entry point"});
      break;
    case 1:
      add({";; ---- section ", number, ": helper routines ----"});
      break;
    case 2:
      add({"\t", kJumps[random.below(8)], "\tlabel_", std::to_string(random.below(serial + 1)),
           "\t; loop back"});
      break;
    case 3:
      add({"value_", number, "\tdd\t", std::to_string(random.next()), ", 0"});
      break;
    default:
      add({"\t", kMnemonics[random.below(14)], "\t", kRegisters[random.below(8)], ", [",
           kRegisters[random.below(8)], " + ", std::to_string(random.below(4096)), "]"});
      if (random.below(2) == 0) add({"\t; update the running total"});
  }
  if (line.size() < 20) line.append(20 - line.size(), ' ');
  if (line.size() > 80) line.resize(80);
  return line;
}

// The generated files, and what tarvel must write for them.
struct Tree {
  std::vector<std::string> files;  // every file, in the order cat reads them
  std::uint64_t inputBytes = 0;
  std::uint64_t outputBytes = 0;  // ordinary lines with CR LF
};

void writeFile(const fs::path& path, const std::string& text, Tree& tree) {
  std::ofstream(path, std::ios::binary) << text;
  tree.files.push_back(path.string());
  tree.inputBytes += text.size();
}

// Appends an ordinary line ended by LF.
void addLine(std::string& text, const std::string& line, Tree& tree) {
  text += line;
  text += '\n';
  tree.outputBytes += line.size() + 2;
}

Tree makeChain(const fs::path& dir) {
  Tree tree;
  Random random;
  fs::create_directories(dir / "chain");
  for (int i = 0; i < kChainLength; ++i) {
    std::string text;
    addLine(text, numbered("; chain level ", i), tree);
    for (int k = 0; k < 20; ++k) addLine(text, assemblyLine(random, i * 20 + k), tree);
    if (i + 1 < kChainLength) text += numbered("include chain\\c", i + 1, ".inc\n");
    addLine(text, "\tret", tree);
    writeFile(dir / "chain" / numbered("c", i, ".inc"), text, tree);
  }
  return tree;
}

// The main file and its parts, with the chain added to what it includes.
Tree makeTree(const fs::path& dir, std::uint64_t megabytes, const Tree& chain) {
  Tree tree;
  Random random;
  fs::create_directories(dir / "parts");
  const std::uint64_t partBytes = megabytes * 1000000 / kPartCount;
  std::string main;
  addLine(main, "\t.386", tree);
  addLine(main, "\t.model flat, stdcall", tree);
  addLine(main, "includelib kernel32.lib", tree);
  std::uint32_t serial = 0;
  for (int p = 0; p < kPartCount; ++p) {
    const std::string name = numbered("p", p, ".asm");
    main.append("include parts\\").append(name).append("\n");
    std::string text;
    while (text.size() < partBytes) addLine(text, assemblyLine(random, serial++), tree);
    writeFile(dir / "parts" / name, text, tree);
  }
  main += "include chain\\c0.inc\n";
  addLine(main, "\tend", tree);
  tree.files.insert(tree.files.end(), chain.files.begin(), chain.files.end());
  tree.inputBytes += chain.inputBytes;
  tree.outputBytes += chain.outputBytes;
  writeFile(dir / "main.asm", main, tree);
  return tree;
}

// Runs argv in `dir` with standard output on `outFd`; the exit status, or
// -1 when it did not exit normally.
int run(const std::vector<std::string>& argv, const fs::path& dir, int outFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int raw = 0;
  waitpid(pid, &raw, 0);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// The best wall time of `runs` runs, in seconds; negative when a run failed.
double bestTime(const std::vector<std::string>& argv, const fs::path& dir, int runs) {
  const int null = open("/dev/null", O_WRONLY);
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const int status = run(argv, dir, null);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (status != 0) best = -1;
    if (best >= 0 && took.count() < best) best = took.count();
  }
  close(null);
  return best;
}

// Runs tarvel once with its output counted; true when it wrote exactly the
// expected number of bytes and exited with 0.
bool check(const std::string& tarvel, const std::string& top, const fs::path& dir,
           std::uint64_t expected) {
  const fs::path outPath = dir / "check.out";
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int status = run({tarvel, top}, dir, out);
  close(out);
  const std::uint64_t written = fs::file_size(outPath);
  fs::remove(outPath);
  if (status == 0 && written == expected) return true;
  std::fprintf(stderr, "tarvel on %s: status %d, %llu bytes written, %llu expected\n", top.c_str(),
               status, static_cast<unsigned long long>(written),
               static_cast<unsigned long long>(expected));
  return false;
}

bool measure(const char* name, const std::string& tarvel, const std::string& top, const Tree& tree,
             const fs::path& dir, int runs) {
  if (!check(tarvel, top, dir, tree.outputBytes)) return false;
  std::vector<std::string> cat = {"cat"};
  cat.insert(cat.end(), tree.files.begin(), tree.files.end());
  const double tarvelTime = bestTime({tarvel, top}, dir, runs);
  const double catTime = bestTime(cat, dir, runs);
  if (tarvelTime < 0 || catTime < 0) {
    std::fprintf(stderr, "%s: a timed run failed\n", name);
    return false;
  }
  const double mb = static_cast<double>(tree.inputBytes) / 1e6;
  std::printf(
      "%-6s %5zu files %8.1f MB  tarvel %7.3f s %8.1f MB/s  cat %7.3f s %8.1f MB/s  "
      "tarvel/cat %5.2f\n",
      name, tree.files.size(), mb, tarvelTime, mb / tarvelTime, catTime, mb / catTime,
      tarvelTime / catTime);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string tarvel =
      fs::absolute(argc > 1 ? fs::path(argv[1]) : fs::path(argv[0]).parent_path() / "tarvel");
  const std::uint64_t megabytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
  if (!fs::exists(tarvel) || megabytes == 0 || runs < 1) {
    std::fprintf(stderr, "usage: %s [tarvel-binary [megabytes [runs]]]\n", argv[0]);
    return 2;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/tarvel-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const fs::path dir = pattern;

  std::printf("generating %llu MB in %s\n", static_cast<unsigned long long>(megabytes),
              dir.c_str());
  std::fflush(stdout);
  const Tree chain = makeChain(dir);
  const Tree tree = makeTree(dir, megabytes, chain);

  std::printf("best of %d runs, standard output on /dev/null\n", runs);
  const bool ok = measure("tree", tarvel, "main.asm", tree, dir, runs) &&
                  measure("chain", tarvel, "chain/c0.inc", chain, dir, runs);
  fs::remove_all(dir);
  return ok ? 0 : 1;
}
