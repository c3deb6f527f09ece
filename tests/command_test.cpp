// End-to-end tests of the command: tarvel runs in a fresh directory with a
// controlled environment; standard output is compared byte for byte.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "child_process_test.hpp"

namespace {

using tarvel::testing::ChildOptions;
using tarvel::testing::ChildResult;
using tarvel::testing::kReportEnd;
using tarvel::testing::kTestingWindowsBuild;
using tarvel::testing::runChild;
using tarvel::testing::TempDir;
using namespace std::string_literals;
using Env = std::optional<std::string>;  // the value of zebinc, or unset

const std::string kUsage = "Usage: tarvel [-o output [--depfile=depfile]] [--] filename\r\n";
const std::string kNoPath = "Could not find path to ZEB include library\r\n";

// What a line that includes `name` gives when the file holds `text`: on
// Windows, no name holds a double quote, and such a file is not found.
std::string includedQuoted(const std::string& name, const std::string& text) {
  return kTestingWindowsBuild ? "Could not open 'lib\\" + name + "'\r\n" : text;
}

class Command : public ::testing::Test {
 protected:
  void put(const std::string& name, const std::string& text) {
    const std::filesystem::path path = std::filesystem::path(dir_) / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  void put(std::initializer_list<std::pair<std::string, std::string>> files) {
    for (const auto& [name, text] : files) put(name, text);
  }
  ChildResult run(std::vector<std::string> args, const Env& zebinc = "lib") {
    args.insert(args.begin(), TARVEL_BINARY);
    ChildOptions options{dir_, {}, {}};
    if (zebinc) options.env.push_back("zebinc=" + *zebinc);
    return runChild(args, options);
  }
  ChildResult runOn(const std::string& text, const Env& zebinc = "lib") {
    put("main.asm", text);
    return run({"main.asm"}, zebinc);
  }

  TempDir temp_{"tarvel-command"};
  const std::string& dir_ = temp_.path();
};

#define EXPECT_RUN(result, expectedOut, expectedStatus) \
  do {                                                  \
    const ChildResult r_ = (result);                    \
    EXPECT_EQ(r_.out, expectedOut);                     \
    EXPECT_EQ(r_.status, expectedStatus);               \
    EXPECT_EQ(r_.err, "");                              \
  } while (false)

TEST_F(Command, DirectiveFormsAndNameExtraction) {
  put({{"Foo.Inc", "foo\n"},
       {"a.s", "as\n"},
       {"x.inc", "x\n"},
       {"y.inc", "y\n"},
       {"a\" \"b", "ab\n"}});
  EXPECT_RUN(runOn("top\n"
                   "   INCLUDE   Foo.Inc   \n"
                   "\t.Include \"a.s\"\n"
                   "#include( \"x.inc\" )\n"
                   "  #INCLUDEONCE(\"y.inc\")\n"
                   "#include( \"a\" \"b\" )\n"
                   "#include ( \"a\" )\n"
                   "#includeonce\n"
                   "end\n"),
             "top\r\nfoo\r\nas\r\nx\r\ny\r\n" + includedQuoted("a\" \"b", "ab\r\n") +
                 "#include ( \"a\" )\r\n#includeonce\r\nend\r\n",
             kTestingWindowsBuild ? 1 : 0);
  // The first and last characters are dropped whatever they are.
  EXPECT_RUN(runOn(".include a.s\n"), "Could not open 'lib\\.'\r\n", 1);
}

TEST_F(Command, IncludeIsAWholeWord) {
  put({{"foo.inc", "F\n"}, {"tab", "T\n"}, {"\"x\"", "Q\n"}, {"b.s", "B\n"}});
  EXPECT_RUN(runOn("includelib x.lib\nincludes.txt\ninclude_path = x\n  .includes\nInclude9\n"
                   "include foo.inc\nINCLUDE\ttab\ninclude\"x\"\n.include\"b.s\"\ninclude\nlast"),
             "includelib x.lib\r\nincludes.txt\r\ninclude_path = x\r\n  .includes\r\nInclude9\r\n"
             "F\r\nT\r\n" +
                 includedQuoted("\"x\"", "Q\r\n") + "B\r\nCould not open 'lib\\'\r\nlast\r\n",
             1);
}

TEST_F(Command, MalformedDirectiveEndsTheRunWithAReport) {
  for (const char* line :
       {"#include(", "#include(x", "#includeonce(\"", ".include", ".include x"}) {
    SCOPED_TRACE(line);
    const ChildResult r = runOn(std::string("before\n") + line + "\nafter\n");
    EXPECT_EQ(r.out, "before\r\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ZEB Exception (2): Index into string is out of range" + kReportEnd);
  }
}

TEST_F(Command, IncludeDirectoryComesFromZebinc) {
  put({{"lib/only.inc", "only\n"},
       {"sub/a.inc", "A\n"},
       {"lib/sub/b.inc", "B\n"},
       {"main.asm", "include only.inc\ninclude none.inc\n"}});
  const std::pair<Env, std::string> cases[] = {
      {"lib", "only\r\nCould not open 'lib\\none.inc'\r\n"},
      {" \tlib  ", "only\r\nCould not open 'lib\\none.inc'\r\n"},
      {"lib\\", "only\r\nCould not open 'lib\\\\none.inc'\r\n"},
      {std::nullopt,
       "Could not open '%zebinc%\\only.inc'\r\nCould not open '%zebinc%\\none.inc'\r\n"},
  };
  for (const auto& [zebinc, out] : cases) {
    SCOPED_TRACE(zebinc.value_or("(unset)"));
    EXPECT_RUN(run({"main.asm"}, zebinc), out, 1);
  }
  // The top-level file is looked for the same way.
  EXPECT_RUN(run({"only.inc"}), "only\r\n", 0);
  EXPECT_RUN(run({"nope.asm"}), "Could not open 'lib\\nope.asm'\r\n", 1);
  // A directory part is kept whole, under both names.
  EXPECT_RUN(runOn("include sub\\a.inc\ninclude sub\\b.inc\ninclude sub\\c.inc\n"),
             "A\r\nB\r\nCould not open 'lib\\sub\\c.inc'\r\n", 1);
  // The longest value that fits.
  const std::string longest(254, 'd');
  EXPECT_RUN(run({"gone"}, longest), "Could not open '" + longest + "\\gone'\r\n", 1);
}

TEST_F(Command, UnusableIncludeDirectoryStopsTheRun) {
  put("main.asm", "text\n");
  EXPECT_RUN(run({"main.asm"}, ""), kNoPath, 2);
  // Blanks alone name no directory: not the root.
  EXPECT_RUN(run({"main.asm"}, " \t "), kNoPath, 2);
  EXPECT_RUN(run({"a", "b"}, "  "), kNoPath, 2);
  // Checked before the command line.
  EXPECT_RUN(run({}, ""), kNoPath, 2);
  EXPECT_RUN(run({"a", "b"}, ""), kNoPath, 2);

  const ChildResult r = run({"main.asm"}, std::string(255, 'd'));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "ZEB Exception (1): String Overflow" + kReportEnd);
}

TEST_F(Command, EveryNameIsExpandedOnceAndFilesStayHeld) {
  put({{"a.inc", "A1\ninclude a.inc\ninclude b.inc\nA2\n"}, {"b.inc", "B\ninclude main.asm\n"}});
  EXPECT_RUN(
      runOn("include a.inc\n#include(\"a.inc\")\n.include \"a.inc\"\n#includeonce(\"a.inc\")\n"
            "include gone.inc\n#include(\"gone.inc\")\ninclude ./a.inc\nend\n"),
      "A1\r\nB\r\nCould not open 'lib\\main.asm'\r\nA2\r\n"
      "Could not open 'lib\\gone.inc'\r\nCould not open 'lib\\./a.inc'\r\nend\r\n",
      1);

  // Standard output, when it is a file, is held from the start.
  put("main.asm", "top\ninclude out.txt\nend\n");
  const ChildResult r =
      runChild({TARVEL_BINARY, "main.asm"}, {dir_, {"zebinc=lib"}, dir_ + "/out.txt"});
  EXPECT_EQ(r.status, 1);
  std::ifstream out(dir_ + "/out.txt", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(out), {}),
            "top\r\nCould not open 'lib\\out.txt'\r\nend\r\n");
}

TEST_F(Command, LinesAreCopiedWholeWithCrLf) {
  put("b.inc", "B\n");
  const std::string a256(256, 'a');
  const std::string a300(300, 'a');
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"one\ntwo\r\nth\rree\nlast", "one\r\ntwo\r\nth\rree\r\nlast\r\n"},
      {"x\r", "x\r\n"},
      {"x\n\r", "x\r\n\r\n"},
      {"\r", "\r\n"},
      {"  \t\n\n", "  \t\r\n\r\n"},
      {"a\0b\n\0\n"s, "a\0b\r\n\0\r\n"s},
      {a300, a300 + "\r\n"},
      {a256 + "\nz", a256 + "\r\nz\r\n"},
      {a256 + "include b.inc\n", a256 + "include b.inc\r\n"},
      {std::string(300, ' ') + "include b.inc\n", "B\r\n"},
      // A UTF-8 byte-order mark at the very start is not part of the
      // first line's head; an ordinary first line keeps it.
      {"\xEF\xBB\xBFinclude b.inc\nx\n", "B\r\nx\r\n"},
      {"\xEF\xBB\xBF\t#include(\"b.inc\")", "B\r\n"},
      {"\xEF\xBB\xBFmain\r\n", "\xEF\xBB\xBFmain\r\n"},
      {"\xEF\xBB\xBF", "\xEF\xBB\xBF\r\n"},
      {"x\n\xEF\xBB\xBFinclude b.inc\n", "x\r\n\xEF\xBB\xBFinclude b.inc\r\n"},
      {"\xEF\xBBinclude b.inc\n", "\xEF\xBBinclude b.inc\r\n"},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(::testing::PrintToString(in.substr(0, 40)));
    EXPECT_RUN(runOn(in), out, 0);
  }
}

TEST_F(Command, ExactlyOneArgumentIsTheFileName) {
  put("my file.asm", "spaced\n");
  EXPECT_RUN(run({"my file.asm"}), "spaced\r\n", 0);
  EXPECT_RUN(run({""}), "Could not open 'lib\\'\r\n", 1);
  EXPECT_RUN(run({}), kUsage, 2);
  EXPECT_RUN(run({"my", "file.asm"}), kUsage, 2);
}

TEST_F(Command, HelpAndVersionOnlyAsTheSoleArgument) {
  put("--help", "a file\n");
  struct Case {
    std::vector<std::string> args;
    Env zebinc;
    std::string out;  // for --help, how the text begins
    int status;
  };
  const Case cases[] = {
      // Given whatever the environment holds.
      {{"--help"}, "", kUsage + "       tarvel --help | --version\r\n", 0},
      {{"--version"}, "", "tarvel " TARVEL_VERSION "\r\n", 0},
      {{"./--help"}, "lib", "a file\r\n", 0},
      {{"--help", "extra"}, "lib", kUsage, 2},
      // Windows' own way of asking; elsewhere a file name like any other.
      {{"/?"},
       "",
       kTestingWindowsBuild ? kUsage + "       tarvel --help" : kNoPath,
       kTestingWindowsBuild ? 0 : 2},
      // A command line too long to split fails where it always did.
      {std::vector<std::string>(255, "--help"), "", kNoPath, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " (" + std::to_string(c.args.size()) + " arguments)");
    const ChildResult r = run(c.args, c.zebinc);
    const bool help = c.args.size() == 1 && (c.args[0] == "--help" || c.args[0] == "/?");
    EXPECT_EQ(help ? r.out.substr(0, c.out.size()) : r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
  }
}

// -o and --depfile: what each command line leaves on disk.  The directory
// starts with flat.asm and flat.d holding "old" and a sub/ directory; a
// file is expected to hold `flat` / `dep`, or to be absent (nullopt).
// Nothing else may be left behind, no temporary file above all.
TEST_F(Command, OutputFileIsReplacedOnlyOnSuccess) {
  const std::string flat = "top\r\nA\r\nB\r\nend\r\n";
  const std::string sep = kTestingWindowsBuild ? "\\" : "/";
  const std::string dep = "flat.asm: main.asm \\\n a\\ \\#1$$.inc \\\n lib" + sep + "sub" + sep +
                          "b.inc\na\\ \\#1$$.inc:\nlib" + sep + "sub" + sep + "b.inc:\n";
  const std::string old = "old";
  const std::string report9 = "ZEB Exception (9): File write error" + kReportEnd;
  struct Case {
    std::vector<std::string> args;
    std::string extraLine;  // appended to main.asm
    int status;
    std::string out, err;
    std::optional<std::string> flatAsm, flatD;
    std::vector<std::string> alsoThere = {};  // more files expected, with what they hold
  };
  const Case cases[] = {
      {{"-o", "flat.asm", "main.asm"}, "", 0, "", "", flat, old},
      {{"--output=flat.asm", "--depfile", "flat.d", "main.asm"}, "", 0, "", "", flat, dep},
      {{"-o", "flat.asm", "--depfile=flat.d", "--", "main.asm"}, "", 0, "", "", flat, dep},
      {{"-o", "sub/new.asm", "main.asm"}, "", 0, "", "", old, old, {"sub/new.asm", flat}},
      // A failed run leaves both files as they were, and says why.
      {{"-o", "flat.asm", "--depfile=flat.d", "main.asm"},
       "include gone.inc\n",
       1,
       "",
       "Could not open 'lib\\gone.inc'" + kReportEnd,
       old,
       old},
      {{"-o", "flat.asm", "--depfile=flat.d", "main.asm"},
       ".include\n",
       3,
       "",
       "ZEB Exception (2): Index into string is out of range" + kReportEnd,
       old,
       old},
      {{"-o", "flat.asm", "--depfile=flat.d", "main.asm"},
       "include flat.asm\n",
       1,
       "",
       "Could not open 'lib\\flat.asm'" + kReportEnd,
       old,
       old},
      {{"-o", "flat.asm", "missing.asm"},
       "",
       1,
       "",
       "Could not open 'lib\\missing.asm'" + kReportEnd,
       old,
       old},
      // Targets that cannot be made or replaced.
      {{"-o", "nowhere/flat.asm", "main.asm"},
       "",
       3,
       "",
       "Could not write 'nowhere/flat.asm'" + kReportEnd + report9,
       old,
       old},
      {{"-o", "sub", "main.asm"},
       "",
       3,
       "",
       "Could not write 'sub'" + kReportEnd + report9,
       old,
       old},
      {{"-o", "flat.asm", "--depfile", "sub", "main.asm"},
       "",
       3,
       "",
       "Could not write 'sub'" + kReportEnd + report9,
       std::nullopt,
       old},
      // Command lines the usage message shows are wrong.
      {{"-o", "flat.asm"}, "", 2, kUsage, "", old, old},
      {{"main.asm", "-o", "flat.asm"}, "", 2, kUsage, "", old, old},
      {{"-o", "flat.asm", "main.asm", "x.asm"}, "", 2, kUsage, "", old, old},
      {{"--depfile=flat.d", "main.asm"}, "", 2, kUsage, "", old, old},
      {{"-o", "flat.asm", "--depfile=flat.asm", "main.asm"}, "", 2, kUsage, "", old, old},
      {{"-o", "flat.asm", "--depfile=", "main.asm"}, "", 2, kUsage, "", old, old},
      {{"--output=", "main.asm"}, "", 2, kUsage, "", old, old},
      {{"-o", "a", "-o", "flat.asm", "main.asm"}, "", 2, kUsage, "", old, old},
      {{"-x", "main.asm"}, "", 2, kUsage, "", old, old},
      {{"--output", "flat.asm", "main.asm"}, "", 2, kUsage, "", old, old},
      // A lone argument is the file name; -- lets one begin with a dash.
      {{"-o"}, "", 0, "dash\r\n", "", old, old},
      {{"-o", "flat.asm", "--", "-o"}, "", 0, "", "", "dash\r\n", old},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + " " + c.extraLine);
    std::filesystem::remove_all(dir_);
    put({{"main.asm", "top\ninclude a #1$.inc\ninclude sub\\b.inc\nend\n" + c.extraLine},
         {"a #1$.inc", "A\n"},
         {"lib/sub/b.inc", "B\n"},
         {"-o", "dash\n"},
         {"flat.asm", old},
         {"flat.d", old}});
    std::filesystem::create_directory(dir_ + "/sub");
    const ChildResult r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    std::map<std::string, std::string> expected = {
        {"main.asm", ""}, {"a #1$.inc", ""}, {"lib", ""}, {"-o", ""}, {"sub", ""}};
    if (c.flatAsm) expected["flat.asm"] = *c.flatAsm;
    if (c.flatD) expected["flat.d"] = *c.flatD;
    for (std::size_t i = 0; i + 1 < c.alsoThere.size(); i += 2)
      expected[c.alsoThere[i]] = c.alsoThere[i + 1];
    std::map<std::string, std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
      const std::string name = std::filesystem::relative(entry.path(), dir_).generic_string();
      if (name.starts_with("lib/")) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      found[name] = expected.count(name) && expected[name].empty()
                        ? ""
                        : std::string(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(found, expected);
  }
}

// The output file gets the permissions a shell's redirection would give it.
TEST_F(Command, OutputFileHasTheUsualPermissions) {
  if (kTestingWindowsBuild) GTEST_SKIP() << "Windows files take their folder's permissions";
  put("main.asm", "x\n");
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(run({"-o", "flat.asm", "main.asm"}).status, 0);
  const auto perms = std::filesystem::status(dir_ + "/flat.asm").permissions();
  EXPECT_EQ(static_cast<mode_t>(perms), 0666 & ~mask);
}

// The demo output shown in README.md (its first asm block, with LF line
// ends) is what the command writes.
TEST(Readme, DemoOutputIsWhatTheCommandWrites) {
  std::ifstream file(TARVEL_SOURCE_DIR "/README.md", std::ios::binary);
  const std::string readme(std::istreambuf_iterator<char>(file), {});
  const std::string fence = "```asm\n";
  const std::size_t start = readme.find(fence);
  ASSERT_NE(start, std::string::npos);
  const std::size_t end = readme.find("\n```", start + fence.size());
  ASSERT_NE(end, std::string::npos);
  std::string expected;
  for (char c : readme.substr(start + fence.size(), end + 1 - start - fence.size())) {
    if (c == '\n') expected += '\r';
    expected += c;
  }
  const ChildResult r = runChild({TARVEL_BINARY, "examples/demo/main.asm"},
                                 {TARVEL_SOURCE_DIR, {"zebinc=examples/demo/include"}, {}});
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(Command, DeepChainOfIncludes) {
  constexpr int kDepth = 10000;
  // Every level holds its file open until its expansion ends.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_max != RLIM_INFINITY &&
      files.rlim_max < kDepth + 64)
    GTEST_SKIP() << "needs " << kDepth + 64 << " open files; the hard limit is " << files.rlim_max;
  std::string head, tail;
  for (int i = 0; i < kDepth; ++i) {
    const std::string n = std::to_string(i);
    put("f" + n + ".inc", "L" + n + "\ninclude f" + std::to_string(i + 1) + ".inc\nE" + n + "\n");
    head += "L" + n + "\r\n";
  }
  for (int i = kDepth - 1; i >= 0; --i) tail += "E" + std::to_string(i) + "\r\n";
  put("f" + std::to_string(kDepth) + ".inc", "end");
  EXPECT_RUN(run({"f0.inc"}), head + "end\r\n" + tail, 0);
}

}  // namespace
