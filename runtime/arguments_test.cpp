#include "runtime/arguments.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/failure.hpp"
#include "runtime/failure_of_test.hpp"

namespace tarvel {
namespace {

using Args = std::vector<std::string>;

using testing::failureOf;

Args split(const std::string& text) {
  ArgumentVector v;
  v.parse(text.c_str());
  EXPECT_EQ(v.commandLine().view(), text);  // unchanged by the cutting
  Args out;
  for (std::uint32_t i = 0; i < v.count(); ++i) out.emplace_back(v.at(i).view());
  EXPECT_EQ(failureOf([&] { v.at(v.count()); }), failure::kValueOutOfRange);
  EXPECT_EQ(failureOf([&] { v.at(0xFFFFFFFF); }), failure::kValueOutOfRange);
  return out;
}

TEST(ArgumentVector, DelimitersSeparateTokens) {
  EXPECT_EQ(split(""), Args{});
  EXPECT_EQ(split(" \t\x01\x1f\x7f\r\n "), Args{});
  EXPECT_EQ(split("prog   \t file.asm"), (Args{"prog", "file.asm"}));
  EXPECT_EQ(split(" a\x01"
                  "b\x1f"
                  "c\x7f"
                  "d\te f "),
            (Args{"a", "b", "c", "d", "e", "f"}));
  // Codes 128 to 255 and printable characters other than the space are ordinary.
  EXPECT_EQ(split("\x80\xff~!# x"), (Args{"\x80\xff~!#", "x"}));
}

TEST(ArgumentVector, QuotedTokens) {
  EXPECT_EQ(split("prog \"my file.asm\""), (Args{"prog", "my file.asm"}));
  EXPECT_EQ(split("prog \"\""), (Args{"prog", ""}));
  EXPECT_EQ(split("prog \"open to\tthe end"), (Args{"prog", "open to\tthe end"}));
  // The scan goes on after the closing quote.
  EXPECT_EQ(split("\"x\"y z"), (Args{"x", "y", "z"}));
  EXPECT_EQ(split("\"a\"\"b c\""), (Args{"a", "b c"}));
  EXPECT_EQ(split("a\"b c"), (Args{"a\"b", "c"}));
}

// Arguments the system has split already stay as they are, double quotes
// and blanks included; the limit is the same.
TEST(ArgumentVector, SplitArgumentsAreTakenAsTheyAre) {
  const char* const given[] = {"prog", "a \"b\".asm", "\"q.asm", "a b\"c", "", "\t"};
  ArgumentVector v;
  v.adopt(static_cast<int>(std::size(given)), given);
  Args args;
  for (std::uint32_t i = 0; i < v.count(); ++i) args.emplace_back(v.at(i).view());
  EXPECT_EQ(args, Args(std::begin(given), std::end(given)));
  EXPECT_EQ(failureOf([&] { v.at(v.count()); }), failure::kValueOutOfRange);

  const std::vector<std::string> words(256, "w");
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  ArgumentVector most, tooMany;
  most.adopt(255, argv.data());
  EXPECT_EQ(most.count(), 255u);
  EXPECT_EQ(failureOf([&] { tooMany.adopt(256, argv.data()); }), failure::kTooManyParameters);
}

TEST(ArgumentVector, AtMost255Arguments) {
  std::string line;
  for (int i = 0; i < 255; ++i) line += "t" + std::to_string(i) + " ";
  const Args args = split(line);
  ASSERT_EQ(args.size(), 255u);
  EXPECT_EQ(args.back(), "t254");

  line += "\"last\"";
  ArgumentVector v;
  EXPECT_EQ(failureOf([&] { v.parse(line.c_str()); }), failure::kTooManyParameters);
}

}  // namespace
}  // namespace tarvel
