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
#include <thread>
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

const std::string kUsage = "Usage: tarvel filename\r\n";

// The lines on standard error of a command line that is wrong in `why`.
std::string wrongCommandLine(const std::string& why) {
  return "tarvel: " + why + kReportEnd + "Try 'tarvel --help' for more information." + kReportEnd;
}

// The line on standard error of a file that could not be opened: `site` is
// "FILE:LINE: " for an include, empty for the file named on the command
// line.
std::string cannotOpen(const std::string& site, const std::string& name,
                       const std::string& why = "no such file or directory") {
  return "tarvel: " + site + "cannot open '" + name + "': " + why + kReportEnd;
}
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

#define EXPECT_RUN_ERR(result, expectedOut, expectedStatus, expectedErr) \
  do {                                                                   \
    const ChildResult r_ = (result);                                     \
    EXPECT_EQ(r_.out, expectedOut);                                      \
    EXPECT_EQ(r_.status, expectedStatus);                                \
    EXPECT_EQ(r_.err, expectedErr);                                      \
  } while (false)
#define EXPECT_RUN(result, expectedOut, expectedStatus) \
  EXPECT_RUN_ERR(result, expectedOut, expectedStatus, "")

TEST_F(Command, DirectiveFormsAndNameExtraction) {
  put({{"Foo.Inc", "foo\n"},
       {"a.s", "as\n"},
       {"x.inc", "x\n"},
       {"y.inc", "y\n"},
       {"a\" \"b", "ab\n"}});
  EXPECT_RUN_ERR(runOn("top\n"
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
                 kTestingWindowsBuild ? 1 : 0,
                 kTestingWindowsBuild ? cannotOpen("main.asm:6: ", "a\" \"b") : "");
  // The first and last characters are dropped whatever they are.
  EXPECT_RUN_ERR(runOn(".include a.s\n"), "Could not open 'lib\\.'\r\n", 1,
                 cannotOpen("main.asm:1: ", ".", "is a directory"));
}

TEST_F(Command, IncludeIsAWholeWord) {
  put({{"foo.inc", "F\n"}, {"tab", "T\n"}, {"\"x\"", "Q\n"}, {"b.s", "B\n"}});
  EXPECT_RUN_ERR(
      runOn("includelib x.lib\nincludes.txt\ninclude_path = x\n  .includes\nInclude9\n"
            "include foo.inc\nINCLUDE\ttab\ninclude\"x\"\n.include\"b.s\"\ninclude\nlast"),
      "includelib x.lib\r\nincludes.txt\r\ninclude_path = x\r\n  .includes\r\nInclude9\r\n"
      "F\r\nT\r\n" +
          includedQuoted("\"x\"", "Q\r\n") + "B\r\nCould not open 'lib\\'\r\nlast\r\n",
      1,
      (kTestingWindowsBuild ? cannotOpen("main.asm:8: ", "\"x\"") : "") +
          cannotOpen("main.asm:10: ", ""));
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
  const std::string noneThere = cannotOpen("main.asm:2: ", "none.inc");
  const std::tuple<Env, std::string, std::string> cases[] = {
      {"lib", "only\r\nCould not open 'lib\\none.inc'\r\n", noneThere},
      {" \tlib  ", "only\r\nCould not open 'lib\\none.inc'\r\n", noneThere},
      {"lib\\", "only\r\nCould not open 'lib\\\\none.inc'\r\n", noneThere},
      {std::nullopt,
       "Could not open '%zebinc%\\only.inc'\r\nCould not open '%zebinc%\\none.inc'\r\n",
       cannotOpen("main.asm:1: ", "only.inc") + noneThere},
  };
  for (const auto& [zebinc, out, err] : cases) {
    SCOPED_TRACE(zebinc.value_or("(unset)"));
    EXPECT_RUN_ERR(run({"main.asm"}, zebinc), out, 1, err);
  }
  // The top-level file is looked for the same way.
  EXPECT_RUN(run({"only.inc"}), "only\r\n", 0);
  EXPECT_RUN_ERR(run({"nope.asm"}), "Could not open 'lib\\nope.asm'\r\n", 1,
                 cannotOpen("", "nope.asm"));
  // A directory part is kept whole, under both names.
  EXPECT_RUN_ERR(runOn("include sub\\a.inc\ninclude sub\\b.inc\ninclude sub\\c.inc\n"),
                 "A\r\nB\r\nCould not open 'lib\\sub\\c.inc'\r\n", 1,
                 cannotOpen("main.asm:3: ", "sub\\c.inc"));
  // The longest value that fits.
  const std::string longest(254, 'd');
  EXPECT_RUN_ERR(run({"gone"}, longest), "Could not open '" + longest + "\\gone'\r\n", 1,
                 cannotOpen("", "gone"));
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
  const std::string held = "already open in this run, or written by it";
  EXPECT_RUN_ERR(
      runOn("include a.inc\n#include(\"a.inc\")\n.include \"a.inc\"\n#includeonce(\"a.inc\")\n"
            "include gone.inc\n#include(\"gone.inc\")\ninclude ./a.inc\nend\n"),
      "A1\r\nB\r\nCould not open 'lib\\main.asm'\r\nA2\r\n"
      "Could not open 'lib\\gone.inc'\r\nCould not open 'lib\\./a.inc'\r\nend\r\n",
      1,
      cannotOpen("b.inc:2: ", "main.asm", held) + cannotOpen("main.asm:5: ", "gone.inc") +
          cannotOpen("main.asm:7: ", "./a.inc", held));

  // Standard output, when it is a file, is held from the start.
  put("main.asm", "top\ninclude out.txt\nend\n");
  const ChildResult r =
      runChild({TARVEL_BINARY, "main.asm"}, {dir_, {"zebinc=lib"}, dir_ + "/out.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, cannotOpen("main.asm:2: ", "out.txt", held));
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
  EXPECT_RUN_ERR(run({""}), "Could not open 'lib\\'\r\n", 1, cannotOpen("", ""));
  // The usage line alone, as ever, for no argument; what is wrong also on
  // standard error for more than one.
  EXPECT_RUN(run({}), kUsage, 2);
  EXPECT_RUN_ERR(run({"my", "file.asm"}), kUsage, 2,
                 wrongCommandLine("one file name expected, but 'file.asm' follows 'my'"));
}

TEST_F(Command, HelpAndVersionOnlyAsTheSoleArgument) {
  put("--help", "a file\n");
  struct Case {
    std::vector<std::string> args;
    Env zebinc;
    std::string out;  // for --help, how the text begins
    int status;
    std::string err = "";
  };
  const Case cases[] = {
      // Given whatever the environment holds.
      {{"--help"},
       "",
       "Usage: tarvel [options] filename\r\n       tarvel --help | --version\r\n",
       0},
      {{"--version"}, "", "tarvel " TARVEL_VERSION "\r\n", 0},
      {{"./--help"}, "lib", "a file\r\n", 0},
      {{"--help", "extra"},
       "lib",
       kUsage,
       2,
       wrongCommandLine("option '--help' takes no other argument")},
      // Windows' own way of asking; elsewhere a file name like any other.
      {{"/?"},
       "",
       kTestingWindowsBuild ? "Usage: tarvel [options] filename\r\n" : kNoPath,
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
    EXPECT_EQ(r.err, c.err);
  }
}

// -o and --depfile: what each command line leaves on disk.  The directory
// starts with flat.asm and flat.d holding "old", a sub/ directory and an
// extra/ one; a file is expected to hold `flat` / `dep`, or to be absent
// (nullopt).  Every other file must be as it was: nothing else may be
// written, and no temporary file may be left behind.
TEST_F(Command, OutputFileIsReplacedOnlyOnSuccess) {
  const std::string flat = "top\r\nA\r\nB\r\nend\r\n";
  const std::string sep = kTestingWindowsBuild ? "\\" : "/";
  const std::string libB = "lib" + sep + "sub" + sep + "b.inc";
  const auto depOf = [&](const std::string& target) {
    return target + ": main.asm \\\n a\\ \\#1$$.inc \\\n " + libB + "\na\\ \\#1$$.inc:\n" + libB +
           ":\n";
  };
  const std::string dep = depOf("flat.asm");
  const std::string mapText =
      "tarvel line map 1\noutput flat.asm\nfile 1 main.asm\nlines 1 1 1 1\n"
      "file 2 a #1$.inc\nlines 2 1 2 1\nfile 3 " +
      libB + "\nlines 3 1 3 1\nlines 4 1 1 4\n";
  const std::string old = "old";
  const std::string held = "already open in this run, or written by it";
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
      {{"--output", "flat.asm", "main.asm"}, "", 0, "", "", flat, old},
      {{"-oflat.asm", "main.asm"}, "", 0, "", "", flat, old},
      {{"-o", "-", "main.asm"}, "", 0, flat, "", old, old},
      {{"-o", "sub/new.asm", "main.asm"}, "", 0, "", "", old, old, {"sub/new.asm", flat}},
      // The target named in the dependency file.
      {{"-o", "flat.asm", "--depfile", "flat.d", "--depfile-target=out/flat.s", "main.asm"},
       "",
       0,
       "",
       "",
       flat,
       depOf("out/flat.s")},
      {{"--depfile", "flat.d", "--depfile-target", "flat.s", "main.asm"},
       "",
       0,
       flat,
       "",
       old,
       depOf("flat.s")},
      // More directories to look in, before zebinc's.
      {{"-o", "flat.asm", "-I", "extra", "main.asm"},
       "include c.inc\n",
       0,
       "",
       "",
       flat + "C\r\n",
       old},
      {{"-Iextra", "--include-dir=sub", "main.asm"},
       "include c.inc\n",
       0,
       flat + "C\r\n",
       "",
       old,
       old},
      // A failed run leaves both files as they were, and says why.
      {{"-o", "flat.asm", "--depfile=flat.d", "main.asm"},
       "include gone.inc\n",
       1,
       "",
       cannotOpen("main.asm:5: ", "gone.inc"),
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
       cannotOpen("main.asm:5: ", "flat.asm", held),
       old,
       old},
      // The dependency file is held like the output: an include of it is
      // refused, whatever name reaches it.
      {{"-o", "flat.asm", "--depfile=a #1$.inc", "main.asm"},
       "",
       1,
       "",
       cannotOpen("main.asm:2: ", "a #1$.inc", held),
       old,
       old},
      {{"-o", "flat.asm", "missing.asm"}, "", 1, "", cannotOpen("", "missing.asm"), old, old},
      // Targets that cannot be made or replaced.
      {{"-o", "nowhere/flat.asm", "main.asm"},
       "",
       3,
       "",
       "Could not write 'nowhere/flat.asm': no such file or directory" + kReportEnd + report9,
       old,
       old},
      {{"-o", "sub", "main.asm"},
       "",
       3,
       "",
       "Could not write 'sub': is a directory" + kReportEnd + report9,
       old,
       old},
      {{"-o", "flat.asm", "--depfile", "sub", "main.asm"},
       "",
       3,
       "",
       "Could not write 'sub': is a directory" + kReportEnd + report9,
       old,
       old},
      // Files that would take one place, or the place of the file read.
      {{"-o", "flat.asm", "--depfile=flat.asm", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("the dependency file 'flat.asm' is the output file"),
       old,
       old},
      {{"-o", "flat.asm", "--depfile=./flat.asm", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("the dependency file './flat.asm' is the output file"),
       old,
       old},
      {{"-o", "flat.asm", "--depfile=sub/../flat.asm", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("the dependency file 'sub/../flat.asm' is the output file"),
       old,
       old},
      {{"-o", "flat.asm", "--depfile=main.asm", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("the dependency file 'main.asm' is the file to expand"),
       old,
       old},
      {{"-o", "./main.asm", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("the output file './main.asm' is the file to expand"),
       old,
       old},
      // Command lines the usage message shows are wrong.
      {{"-o", "flat.asm"}, "", 2, kUsage, wrongCommandLine("no file name"), old, old},
      {{"main.asm", "-o", "flat.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("one file name expected, but '-o' follows 'main.asm'"),
       old,
       old},
      {{"-o", "flat.asm", "main.asm", "x.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("one file name expected, but 'x.asm' follows 'main.asm'"),
       old,
       old},
      {{"--depfile=flat.d", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("option '--depfile' needs '-o FILE' or '--depfile-target'"),
       old,
       old},
      {{"--depfile-target=x", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("option '--depfile-target' needs '--depfile'"),
       old,
       old},
      {{"-o", "flat.asm", "--depfile=", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("option '--depfile' needs a value"),
       old,
       old},
      {{"--output=", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("option '--output' needs a value"),
       old,
       old},
      {{"-o", "a", "-o", "flat.asm", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("option '-o' given twice"),
       old,
       old},
      {{"-x", "main.asm"}, "", 2, kUsage, wrongCommandLine("unknown option '-x'"), old, old},
      {{"--fo=x", "main.asm"}, "", 2, kUsage, wrongCommandLine("unknown option '--fo'"), old, old},
      // A line map beside the output, alone or with the depfile; never
      // where another file is, nor from a run that failed.
      {{"-o", "flat.asm", "--map=flat.map", "main.asm"},
       "",
       0,
       "",
       "",
       flat,
       old,
       {"flat.map", mapText}},
      {{"-o", "flat.asm", "--depfile=flat.d", "--map", "flat.map", "main.asm"},
       "",
       0,
       "",
       "",
       flat,
       dep,
       {"flat.map", mapText}},
      {{"--map=flat.map", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("option '--map' needs '-o FILE'"),
       old,
       old},
      {{"-o", "flat.asm", "--map=./flat.asm", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("the map file './flat.asm' is written already"),
       old,
       old},
      {{"-o", "flat.asm", "--map=main.asm", "main.asm"},
       "",
       2,
       kUsage,
       wrongCommandLine("the map file 'main.asm' is the file to expand"),
       old,
       old},
      {{"-o", "flat.asm", "--map=flat.map", "main.asm"},
       "include gone.inc\n",
       1,
       "",
       cannotOpen("main.asm:5: ", "gone.inc"),
       old,
       old},
      // A lone argument is the file name; -- lets one begin with a dash.
      {{"-o"}, "", 0, "dash\r\n", "", old, old},
      {{"-o", "flat.asm", "--", "-o"}, "", 0, "", "", "dash\r\n", old},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + " " + c.extraLine);
    std::filesystem::remove_all(dir_);
    const std::string mainText = "top\ninclude a #1$.inc\ninclude sub\\b.inc\nend\n" + c.extraLine;
    std::map<std::string, std::string> expected = {
        {"main.asm", mainText}, {"a #1$.inc", "A\n"},   {"-o", "dash\n"},    {"sub", ""},
        {"extra", ""},          {"extra/c.inc", "C\n"}, {"sub/c.inc", "C\n"}};
    for (const auto& [name, text] : expected) {
      if (!text.empty()) put(name, text);
    }
    put({{"lib/sub/b.inc", "B\n"}, {"lib/c.inc", "not C\n"}, {"flat.asm", old}, {"flat.d", old}});
    std::filesystem::create_directory(dir_ + "/sub");
    const ChildResult r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.flatAsm) expected["flat.asm"] = *c.flatAsm;
    if (c.flatD) expected["flat.d"] = *c.flatD;
    for (std::size_t i = 0; i + 1 < c.alsoThere.size(); i += 2)
      expected[c.alsoThere[i]] = c.alsoThere[i + 1];
    std::map<std::string, std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
      const std::string name = std::filesystem::relative(entry.path(), dir_).generic_string();
      if (name.starts_with("lib")) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      found[name] = entry.is_directory() ? "" : std::string(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(found, expected);
  }
}

// The map's readings, which need no include directory: the source of an
// output line, and assembler messages turned into the source's.
TEST_F(Command, MapReadingsNameTheSource) {
  put({{"main.asm", "top\ninclude a.inc\nend"}, {"a.inc", "A1\r\nA2\n"}});
  ASSERT_EQ(run({"-o", "flat.asm", "--map=flat.map", "main.asm"}).status, 0);
  EXPECT_RUN(run({"--where=flat.map", "3"}, std::nullopt), "a.inc:2\r\n", 0);
  EXPECT_RUN(run({"--where", "flat.map", "4"}), "main.asm:3\r\n", 0);
  EXPECT_RUN_ERR(run({"--where=flat.map", "5"}), "", 2,
                 "tarvel: '5' is no line of 'flat.asm', which has 4 lines" + kReportEnd);
  EXPECT_RUN_ERR(run({"--where=gone.map", "1"}), "", 2,
                 "tarvel: cannot read 'gone.map': no such file or directory" + kReportEnd);
  EXPECT_RUN_ERR(run({"--where=main.asm", "1"}), "", 2,
                 "tarvel: main.asm: line 1: not a tarvel line map" + kReportEnd);
  // A lone argument is the file name.
  EXPECT_RUN_ERR(run({"--where=flat.map"}), "Could not open 'lib\\--where=flat.map'\r\n", 1,
                 cannotOpen("", "--where=flat.map"));
  EXPECT_RUN_ERR(run({"--where=flat.map", "-o", "x", "1"}), "", 2,
                 wrongCommandLine("option '--where' takes no other option"));

  put("messages", "flat.asm(3) : error A2008: x\r\nmyflat.asm(3)\nflat.asm:2:5: e");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--translate=flat.map"}, {"--translate", "flat.map"}}) {
    ChildOptions options{dir_, {"zebinc=lib"}, {}};
    options.stdinPath = dir_ + "/messages";
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), TARVEL_BINARY);
    EXPECT_RUN(runChild(argv, options), "a.inc(2) : error A2008: x\r\nmyflat.asm(3)\na.inc:1:5: e",
               0);
  }
  EXPECT_RUN_ERR(run({"--translate=flat.map", "x"}), "", 2,
                 wrongCommandLine("option '--translate' takes no other argument"));
}

// What stands at OUTPUT is written as a shell's redirection would write
// it: through a symbolic link (the link stays), an existing file keeping
// its mode, a FIFO or a device in place.
TEST_F(Command, OutputTargetsAreWrittenAsARedirectionWould) {
  if (kTestingWindowsBuild)
    GTEST_SKIP() << "Windows files take their folder's permissions, and have no FIFOs";
  namespace fs = std::filesystem;
  put("main.asm", "x\n");
  const mode_t mask = umask(0);
  umask(mask);
  // A new file: what a redirection makes.
  EXPECT_EQ(run({"-o", "new.asm", "main.asm"}).status, 0);
  EXPECT_EQ(static_cast<mode_t>(fs::status(dir_ + "/new.asm").permissions()), 0666 & ~mask);
  // An existing file keeps its mode.
  put("private.asm", "old");
  fs::permissions(dir_ + "/private.asm", fs::perms(0600));
  EXPECT_EQ(run({"-o", "private.asm", "main.asm"}).status, 0);
  EXPECT_EQ(static_cast<mode_t>(fs::status(dir_ + "/private.asm").permissions()), 0600u);
  // A link stays a link; what it leads to is replaced, in its directory,
  // even when it does not exist yet.
  fs::create_directory(dir_ + "/real");
  put("real/target.asm", "old");
  fs::create_symlink("real/target.asm", dir_ + "/link.asm");
  fs::create_symlink("real/later.asm", dir_ + "/dangling.asm");
  for (const char* link : {"link.asm", "dangling.asm"}) {
    EXPECT_EQ(run({"-o", link, "main.asm"}).status, 0) << link;
    EXPECT_TRUE(fs::is_symlink(dir_ + "/" + link)) << link;
  }
  for (const char* real : {"real/target.asm", "real/later.asm"}) {
    std::ifstream in(dir_ + "/" + real, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "x\r\n") << real;
  }
  // A link and its target are one file.
  EXPECT_EQ(run({"-o", "real/target.asm", "--depfile", "link.asm", "main.asm"}).status, 2);
  // A device is written, never replaced.
  const ChildResult toNull = run({"-o", "/dev/null", "main.asm"});
  EXPECT_EQ(toNull.status, 0);
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  // So is a FIFO: its reader gets the text, and the FIFO stays.
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  std::string fromFifo;
  std::thread reader([&] {
    std::ifstream in(dir_ + "/fifo", std::ios::binary);
    fromFifo.assign(std::istreambuf_iterator<char>(in), {});
  });
  EXPECT_EQ(run({"-o", "fifo", "main.asm"}).status, 0);
  reader.join();
  EXPECT_EQ(fromFifo, "x\r\n");
  EXPECT_TRUE(fs::is_fifo(dir_ + "/fifo"));
  // Nothing is left beside any of them.
  for (const auto& entry : fs::recursive_directory_iterator(dir_))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".tarvel-")) << entry.path();
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
