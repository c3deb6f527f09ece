#include "app/expand.hpp"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "app/line_map.hpp"
#include "runtime/expansion_model_test.hpp"
#include "runtime/failure.hpp"
#include "runtime/fake_files_test.hpp"

namespace tarvel {
namespace {

TEST(ClassifyLine, DirectiveFormsAfterBlanksInAnyCase) {
  const std::pair<Directive, std::vector<const char*>> groups[] = {
      {Directive::include,
       {"include a", " \t InClUdE\tfoo", "include", "include\"x\"", "include;x"}},
      {Directive::dotInclude, {".include \"a.s\"", ".INCLUDE\"a.s\"", ".include"}},
      {Directive::hashInclude, {"#include(", "#Include(\"x\")"}},
      {Directive::hashIncludeOnce, {"#includeonce(", "  #INCLUDEONCE(\"x\")"}},
      {Directive::none,
       {"includelib x.lib", "includes.txt", "include_path = x", "include9", ".includes",
        "#include ( \"a\" )", "#includeonce", "#include", "includ", "; include a", "\rinclude a",
        ""}},
  };
  for (const auto& [expected, lines] : groups) {
    for (const char* line : lines) EXPECT_EQ(classifyLine(line), expected) << line;
  }
}

TEST(ExtractName, EachFormCutsItsName) {
  const std::pair<const char*, const char*> cases[] = {
      {"   INCLUDE   Foo.Inc   ", "Foo.Inc"},
      {"include", ""},
      {"\tinclude sub\\a b.inc\t", "sub\\a b.inc"},
      {".include \"a.s\"", "a.s"},
      {".include a.s", "."},
      {".include ab", ""},
      {"#include( \"x.inc\" )", "x.inc"},
      {"#include( \"a\" \"b\" )", "a\" \"b"},
      {"#include(x.inc\")", ".inc"},
      {"#include(\"\")", ""},
  };
  for (const auto& [line, name] : cases) {
    const HeapString text = fromTerminated(line);
    EXPECT_EQ(extractName(text, classifyLine(line)).view(), name) << line;
  }
  for (const char* line : {"#include(", "#include(x", "#include(\"", "#includeonce(  ", ".include",
                           ".include x", ".include  \t"}) {
    const HeapString text = fromTerminated(line);
    FailureCode code = 0;
    try {
      extractName(text, classifyLine(line));
    } catch (const Failure& f) {
      code = f.code();
    }
    EXPECT_EQ(code, failure::kIndexOutOfRange) << line;
  }
}

constexpr StringLiteral kLib("lib\\");

TEST(Expansion, NestedFilesLandInPlaceAndFailedNamesAreSkipped) {
  testing::FakeFileSystem files;
  files.add("main", "m1\r\ninclude a.inc\r\n#include(\"gone\")\r\nm2\r\n.include \"gone\"\r\nm3");
  files.add("a.inc", "a1\n  #includeonce(\"b.inc\")\na2\n");
  files.add("lib\\b.inc", "b\ninclude a.inc\n");
  files.setChunk(3);
  NameTable names(256);
  testing::CapturedOutput output;
  Expansion expansion(kLib, names, files);
  constexpr StringLiteral kMain("main");
  expansion.expandFile(kMain);
  EXPECT_EQ(output.text(), "m1\r\na1\r\nb\r\na2\r\nCould not open 'lib\\gone'\r\nm2\r\nm3\r\n");
  EXPECT_TRUE(expansion.anyOpenFailed());
  EXPECT_NE(names.lookup(StringLiteral("gone")), nullptr);
  EXPECT_EQ(names.lookup(kMain), nullptr);
}

// A file that is no longer what it was when opened ends the run with
// failure 10, where its reading is taken up again or at its end, after
// everything read before it.
TEST(Expansion, FilesThatChangeUnderTheRunEndIt) {
  struct Case {
    const char* trigger;  // opening it changes...
    const char* changed;  // ...this file
    const char* out;      // what comes out before the run ends
  };
  const Case cases[] = {
      // The including file, read again from where it stopped.
      {"a.inc", "main", "m1\r\na1\r\na2\r\n"},
      // The file being read, at its end.
      {"a.inc", "a.inc", "m1\r\na1\r\na2\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.trigger) + " changes " + c.changed);
    testing::FakeFileSystem files;
    files.add("main", "m1\ninclude a.inc\nm2\n");
    files.add("a.inc", "a1\na2\n");
    files.setChunk(4);  // the including file is not read to its end first
    files.changeOnOpen(c.trigger, c.changed);
    NameTable names(256);
    FailureCode code = 0;
    std::string out;
    {
      testing::CapturedOutput output;
      Expansion expansion(kLib, names, files);
      try {
        expansion.expandFile(StringLiteral("main"));
      } catch (const Failure& f) {
        code = f.code();
      }
      out = output.text();
    }
    EXPECT_EQ(code, failure::kFileRead);
    EXPECT_EQ(out, c.out);
  }
}

TEST(Expansion, BlockScanAgreesWithTheLineRules) {
  std::mt19937 random(12345);
  const auto pick = [&random](std::size_t n) { return std::size_t{random() % n}; };
  const std::string kPieces[] = {"x",
                                 "abc ",
                                 " ",
                                 "\t",
                                 "\r",
                                 std::string(1, '\0'),
                                 "\xff\xe9",
                                 "includelib",
                                 "#include (",
                                 ".includes",
                                 "INCLUDE_x",
                                 "i",
                                 "#includeonce",
                                 "Include9",
                                 std::string(300, 'y'),
                                 "#",
                                 "."};
  const std::string kEnds[] = {"\n", "\r\n", "\r\r\n"};
  const std::string kForms[] = {"include ", "\t.include \"", "#include(\"", "#includeonce( \""};
  const std::string kNames[] = {"a.inc", "b.inc", "gone"};
  const auto mixedCase = [&](std::string word) {
    for (char& c : word)
      if (c >= 'a' && c <= 'z' && pick(2) == 0) c = static_cast<char>(c - 'a' + 'A');
    return word;
  };
  // With lfOnly, lines end in LF and hold no CR, but for a rare CR run
  // before an LF: such text is scanned in its own way.
  const auto makeText = [&](int lines, bool lfOnly) {
    std::string text = pick(4) == 0 ? "\xEF\xBB\xBF" : "";
    for (int n = 0; n < lines; ++n) {
      const std::size_t blanks = pick(8);
      text += blanks < 5 ? std::string(blanks, ' ') : blanks < 7 ? " \t" : std::string(150, ' ');
      if (pick(lfOnly ? 40 : 5) == 0) {
        const std::size_t form = pick(4);
        text += mixedCase(kForms[form]) + kNames[pick(3)] +
                (form == 0   ? ""
                 : form == 1 ? "\""
                             : "\")");
      } else {
        for (std::size_t k = pick(6); k > 0; --k) {
          const std::string& piece = kPieces[pick(std::size(kPieces))];
          if (lfOnly && piece == "\r") continue;
          text += piece;
          if (text.back() == '\r') text += static_cast<char>(pick(256));
        }
      }
      text += n + 1 < lines ? kEnds[lfOnly ? (pick(50) == 0 ? 1 + pick(2) : 0) : pick(3)]
                            : std::string(pick(3) == 0 ? ""
                                          : pick(2)    ? "\r"
                                                       : "\n");
    }
    return text;
  };
  for (int round = 0; round < 60; ++round) {
    const bool lfOnly = round % 3 == 2;
    const std::map<std::string, std::string> files = {
        {"main", makeText(static_cast<int>(pick(lfOnly ? 600 : 40)), lfOnly)},
        {"a.inc", makeText(static_cast<int>(pick(10)), lfOnly)},
        {"lib\\b.inc", makeText(static_cast<int>(pick(10)), lfOnly)}};
    testing::ExpansionModel model(files, "lib\\");
    model.expand(*model.openInclude("main"));
    const std::string& expected = model.out;
    // Suggested buffers smaller than a head too; files that cannot be
    // positioned keep their buffers while others are read.
    for (const auto& [chunk, block, seekable] : {std::tuple{1, 64, true},
                                                 {3, 8, true},
                                                 {7, 100, false},
                                                 {64, 1, true},
                                                 {1 << 16, 64, true},
                                                 {1 << 16, 100, false},
                                                 {1 << 16, 1 << 16, true}}) {
      testing::FakeFileSystem fs;
      for (const auto& [name, text] : files) {
        fs.add(name, text);
        if (!seekable) fs.setUnseekable(name);
      }
      fs.setChunk(chunk);
      fs.setBlockSize(block);
      NameTable names(256);
      testing::CapturedOutput output;
      LineMap recorded;
      Expansion expansion(kLib, names, fs);
      expansion.recordLines(recorded);
      expansion.expandFile(StringLiteral("main"));
      ASSERT_EQ(output.text(), expected) << round << " " << chunk << " " << block << " " << seekable
                                         << ::testing::PrintToString(files);
      ASSERT_EQ(testing::mapMismatch(output.text(), recorded, files), "")
          << ::testing::PrintToString(files);
    }
  }
}

}  // namespace
}  // namespace tarvel
