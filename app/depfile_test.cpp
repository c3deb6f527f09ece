#include "app/depfile.hpp"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

TEST(Depfile, NamesAreEscapedAsMakeAndNinjaReadThem) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain/a.inc", "plain/a.inc"},
      {"my file.inc", "my\\ file.inc"},
      {"tab\there", "tab\\\there"},
      {"a#b", "a\\#b"},
      {"cost$1", "cost$$1"},
      {"$$", "$$$$"},
      // Backslashes right before a blank are doubled; elsewhere kept.
      {"dir\\ x", "dir\\\\\\ x"},
      {"dir\\\\ x", "dir\\\\\\\\\\ x"},
      {"dir\\x", "dir\\x"},
      {"end\\", "end\\"},
      {"", ""},
  };
  for (const auto& [name, escaped] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(escapedForMake(name), escaped);
  }
}

TEST(Depfile, OneRuleWithEveryFileOnceThenAnEmptyRuleForEachInclude) {
  EXPECT_EQ(dependencyText("flat.asm", {"main.asm"}), "flat.asm: main.asm\n");
  EXPECT_EQ(dependencyText("out dir/flat.asm",
                           {"main.asm", "a b.inc", "lib/c.inc", "a b.inc", "main.asm", "d#.inc"}),
            "out\\ dir/flat.asm: main.asm \\\n"
            " a\\ b.inc \\\n"
            " lib/c.inc \\\n"
            " d\\#.inc\n"
            "a\\ b.inc:\n"
            "lib/c.inc:\n"
            "d\\#.inc:\n");
}

}  // namespace
}  // namespace tarvel
