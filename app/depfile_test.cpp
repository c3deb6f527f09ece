#include "app/depfile.hpp"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

// Each spelling is the one GNU make 4.3 and ninja 1.11 were both seen to
// read back as the name, and the unwritable names are those they read
// otherwise however written.
TEST(Depfile, NamesAreSpelledAsMakeAndNinjaBothReadThemBack) {
  const std::pair<std::string, std::string> written[] = {
      {"plain/a.inc", "plain/a.inc"},
      {"my file.inc", "my\\ file.inc"},
      {" lead", "\\ lead"},
      {"a#b", "a\\#b"},
      {"$$", "$$$$"},
      {"c:ol.inc", "c\\:ol.inc"},
      {"a: b", "a\\:\\ b"},
      {"C:\\dir\\a.inc", "C\\:\\dir\\a.inc"},
      // Backslashes right before a space are doubled; elsewhere kept.
      {"dir\\ x", "dir\\\\\\ x"},
      {"dir\\\\ x", "dir\\\\\\\\\\ x"},
      {"caf\xe9 (1)~{a,b}]!@+,[.inc", "caf\xe9\\ (1)~{a,b}]!@+,[.inc"},
  };
  for (const auto& [name, spelled] : written) {
    SCOPED_TRACE(name);
    EXPECT_EQ(escapedForMake(name, NameRole::prerequisite), spelled);
    EXPECT_EQ(escapedForMake(name, NameRole::target), spelled);
  }
  // ninja ends a name at a control byte and at these signs; make reads a
  // variable, a wildcard, a home directory, an archive member, a special
  // target, a variable definition; the two count these backslashes, or
  // read these ends, apart.
  const std::string unwritable[] = {
      "",          "semi;c.inc", "tab\there", "line\nbreak", "cr\r",   "del\x7f",
      "st*r",      "q?",         "it's",      "a&b",         "a|b",    "a=b",
      "br[x].inc", "~",          "~user/a",   "lib(member)", ".PHONY", "define",
      "end\\",     "end:",       "end ",      "d\\#x",       "d\\:x",  "d\\$x",
  };
  for (const std::string& name : unwritable) {
    SCOPED_TRACE(name);
    EXPECT_EQ(escapedForMake(name, NameRole::prerequisite), std::nullopt);
    EXPECT_EQ(escapedForMake(name, NameRole::target), std::nullopt);
  }
  // A pattern to make only where it stands as a target.
  EXPECT_EQ(escapedForMake("100%.inc", NameRole::prerequisite), "100%.inc");
  EXPECT_EQ(escapedForMake("100%.inc", NameRole::target), std::nullopt);
}

TEST(Depfile, NamesAreMadePlainWithoutChangingWhatTheyName) {
  struct Case {
    std::string_view separators;
    std::string name;
    std::string normal;
  };
  const Case cases[] = {
      {"/", "a//b", "a/b"},
      {"/", "./a", "a"},
      {"/", ".//./a", "a"},
      {"/", "a/./b/.//c", "a/b/c"},
      {"/", "/./a", "/a"},
      {"/", "a//", "a/"},
      {"/", "./", "."},
      // ".." through a link names another place; a last "." asks for a
      // directory; a leading "//" may mean something of its own.
      {"/", "a/../b", "a/../b"},
      {"/", "a/.", "a/."},
      {"/", "//host/./a", "//host/./a"},
      // A backslash is a separator only when the caller says so.
      {"/", "a\\\\b", "a\\\\b"},
      {"/\\", "a\\\\b", "a\\b"},
      {"/\\", "C:\\dir\\.\\\\a.inc", "C:\\dir\\a.inc"},
      {"/\\", "\\\\server\\share\\.\\a", "\\\\server\\share\\.\\a"},
      {"/\\", "\\\\?\\C:\\a\\\\b", "\\\\?\\C:\\a\\\\b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(normalisedName(c.name, c.separators), c.normal);
  }
}

TEST(Depfile, OneRuleWithEveryFileOnceThenAnEmptyRuleForEachInclude) {
  EXPECT_EQ(dependencyText("flat.asm", {"main.asm"}).text, "flat.asm: main.asm\n");
  // The target as given, the files made plain and then each once.
  const DependencyText dependencies = dependencyText(
      "out dir//flat.asm",
      {"./main.asm", "a b.inc", "lib//c.inc", "a b.inc", "main.asm", "lib/./c.inc", "d#.inc"});
  EXPECT_EQ(dependencies.unwritable, "");
  EXPECT_EQ(dependencies.text,
            "out\\ dir//flat.asm: main.asm \\\n"
            " a\\ b.inc \\\n"
            " lib/c.inc \\\n"
            " d\\#.inc\n"
            "a\\ b.inc:\n"
            "lib/c.inc:\n"
            "d\\#.inc:\n");
}

TEST(Depfile, TheFirstNameThatCannotBeWrittenIsReportedInsteadOfARule) {
  struct Case {
    std::string target;
    std::vector<std::string> opened;
    std::string unwritable;
  };
  const Case cases[] = {
      {"flat%.asm", {"main.asm"}, "flat%.asm"},
      {"flat.asm", {"main.asm", "a.inc", "semi;c.inc", "q?.inc"}, "semi;c.inc"},
      // Judged as made plain, reported as given.
      {"flat.asm", {"main.asm", ".//~x.inc"}, ".//~x.inc"},
      // Only the first file has no empty rule of its own.
      {"flat.asm", {"100%.asm", "a.inc"}, ""},
      {"flat.asm", {"main.asm", "100%.inc"}, "100%.inc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.unwritable);
    const DependencyText dependencies = dependencyText(c.target, c.opened);
    EXPECT_EQ(dependencies.unwritable, c.unwritable);
    EXPECT_EQ(dependencies.text.empty(), !c.unwritable.empty());
  }
}

}  // namespace
}  // namespace tarvel
