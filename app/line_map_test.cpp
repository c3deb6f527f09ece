#include "app/line_map.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarvel {
namespace {

// Output lines 1-3 from main.asm 1-3, 4-5 from "lib/a b.inc" 1-2, 6 from
// main.asm 5 (line 4 was a directive).
LineMap sampleMap(std::string_view outputName = "flat.asm") {
  LineMap recorded;
  const std::uint32_t main = recorded.addFile("main.asm");
  const std::uint32_t inc = recorded.addFile("lib/a b.inc");
  recorded.addLines(main, 1, 2);
  recorded.addLines(main, 3, 1);  // continues the stretch
  recorded.addLines(inc, 1, 2);
  recorded.addLines(main, 5, 1);
  LineMap map;
  std::string wrong;
  EXPECT_TRUE(map.read(recorded.text(outputName), wrong)) << wrong;
  return map;
}

TEST(LineMap, TranslatesEveryMessageFormAndNothingElse) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"flat.asm(4) : error A2008: syntax error\r\n",
       "lib/a b.inc(1) : error A2008: syntax error\r\n"},
      {"flat.asm(6,12): Error: x", "main.asm(5,12): Error: x"},
      {"flat.asm:3: error: y\n", "main.asm:3: error: y\n"},
      {"flat.asm:5:7: warning: z", "lib/a b.inc:2:7: warning: z"},
      // A path that ends in the name, on either system; one after a quote.
      {"build/flat.asm(1): e", "main.asm(1): e"},
      {"C:\\work\\build\\flat.asm(2) : e", "main.asm(2) : e"},
      {"in \"flat.asm:2:\" and flat.asm(3)", "in \"main.asm:2:\" and main.asm(3)"},
      // Names that hold the name, lines outside the output, other forms.
      {"myflat.asm(3) : e", "myflat.asm(3) : e"},
      {"flat.asm.bak(3) : e", "flat.asm.bak(3) : e"},
      {"flat.asm(7) : e", "flat.asm(7) : e"},
      {"flat.asm(0) : e", "flat.asm(0) : e"},
      {"flat.asm:3 no colon after", "flat.asm:3 no colon after"},
      {"flat.asm(3 : e", "flat.asm(3 : e"},
      {"flat.asm(-3) : e", "flat.asm(-3) : e"},
      {"flat.asm(99999999999999999999999)", "flat.asm(99999999999999999999999)"},
      {"flat.asm", "flat.asm"},
      {"", ""},
      {"\xff\xfe bytes\r", "\xff\xfe bytes\r"},
  };
  const LineMap map = sampleMap();
  for (const Case& c : cases) {
    std::string out = "kept ";
    translateLine(c.in, map, out);
    EXPECT_EQ(out, std::string("kept ") + c.out) << c.in;
  }
  // An output named with a directory: references by its last component.
  std::string out;
  translateLine("flat.asm(2)", sampleMap("build/flat.asm"), out);
  EXPECT_EQ(out, "main.asm(2)");
}

TEST(LineMap, ReadsBackWhatItWritesAndRefusesTheRest) {
  LineMap recorded;
  const std::string oddName = "a%b\r\nc.inc";
  recorded.addLines(recorded.addFile(oddName), 7, 3);
  const std::string text = recorded.text("out%\n.asm");
  LineMap map;
  std::string wrong;
  ASSERT_TRUE(map.read(text, wrong)) << wrong;
  EXPECT_EQ(map.outputName(), "out%\n.asm");
  ASSERT_TRUE(map.find(3));
  EXPECT_EQ(map.find(3)->file, oddName);
  EXPECT_EQ(map.find(3)->line, 9u);
  EXPECT_FALSE(map.find(0));
  EXPECT_FALSE(map.find(4));

  const char* const refused[] = {
      "",
      "tarvel line map 2\n",
      "not a map\n",
      "tarvel line map 1\nfile 2 a\n",
      "tarvel line map 1\nlines 1 1 1 1\n",
      "tarvel line map 1\nfile 1 a\nlines 2 1 1 1\n",
      "tarvel line map 1\nfile 1 a\nlines 1 0 1 1\n",
      "tarvel line map 1\nfile 1 a\nlines 1 1 1\n",
      "tarvel line map 1\nfile 1 a%zz\n",
      "tarvel line map 1\nsomething else\n",
  };
  for (const char* bad : refused) {
    EXPECT_FALSE(map.read(bad, wrong)) << bad;
    EXPECT_FALSE(wrong.empty());
  }
  // CR LF line ends, as an editor on Windows may leave them.
  ASSERT_TRUE(map.read("tarvel line map 1\r\noutput o\r\nfile 1 a\r\nlines 1 2 1 4\r\n", wrong));
  EXPECT_EQ(map.find(2)->line, 5u);
}

}  // namespace
}  // namespace tarvel
