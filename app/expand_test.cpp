#include "app/expand.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace tarvel
