#include "runtime/counted_string.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "runtime/fake_files_test.hpp"

namespace tarvel {
namespace {

using testing::failureOf;

// A heap string holding `text`, of the given capacity (its length when 0).
HeapString make(std::string_view text, std::uint32_t capacity = 0) {
  HeapString s = allocString(capacity != 0 ? capacity : text.size());
  std::memcpy(s.chars(), text.data(), text.size());
  s.str().setLength(text.size());
  return s;
}

TEST(CountedStringCapacity, ExactFitsSucceedAndOverflowsLeaveTheDestination) {
  HeapString dest = make("old", 256);
  const std::string full(256, 'a');
  EXPECT_EQ(failureOf([&] { copyString(make(full + "b"), dest); }), failure::kStringOverflow);
  EXPECT_EQ(dest.view(), "old");
  EXPECT_EQ(copyString(make(full), dest).view(), full);
  HeapString empty = allocString(0);
  EXPECT_EQ(copyString(make(""), empty).capacity(), 0u);
  EXPECT_EQ(failureOf([&] { copyString(make("x"), empty); }), failure::kStringOverflow);
  HeapString joined = make("abc", 5);
  EXPECT_EQ(failureOf([&] { appendString(make("def"), joined); }), failure::kStringOverflow);
  appendString(make("de"), joined);
  EXPECT_EQ(joined.view(), "abcde");
  EXPECT_EQ(failureOf([] { allocString(0x80000000u); }), failure::kMemoryAllocation);
  EXPECT_EQ(concatNew(make(""), make("")).capacity(), 0u);
  EXPECT_EQ(fromTerminated("abc").capacity(), 4u);
  EXPECT_EQ(duplicateString(make("xyz", 40)).capacity(), 3u);
  const StringRef none;
  EXPECT_EQ(failureOf([&] { copyString(none, dest); }), failure::kNullPointer);
  EXPECT_EQ(failureOf([&] { appendString(dest, CountedString()); }), failure::kNullPointer);
  EXPECT_EQ(failureOf([&] { substringInto(none, dest, 0, 0); }), failure::kNullPointer);
  EXPECT_EQ(failureOf([&] { hasPrefix(dest, none); }), failure::kNullPointer);
}

TEST(CountedStringSubstrings, StartCountAndCapacityRules) {
  const HeapString s = make("abcdef");
  EXPECT_EQ(substringNew(s, 6, 5).capacity(), 0u);
  EXPECT_EQ(failureOf([&] { substringNew(s, 7, 0); }), failure::kIndexOutOfRange);
  EXPECT_EQ(substringNew(s, 2, 100).capacity(), 4u);
  EXPECT_EQ(substringNew(s, 0, INT32_MAX).view(), "abcdef");
  EXPECT_EQ(failureOf([&] { substringNew(s, 1, INT32_MAX); }), failure::kIndexOutOfRange);
  EXPECT_EQ(failureOf([&] { substringNew(s, 0, -1); }), failure::kIndexOutOfRange);
  HeapString dest = make("xy", 5);
  EXPECT_EQ(failureOf([&] { substringInto(s, dest, 0, 1); }), failure::kStringOverflow);
  EXPECT_EQ(dest.view(), "xy");
  HeapString self = make("0123456789");
  EXPECT_EQ(failureOf([&] { substringInto(self, self, 11, 0); }), failure::kIndexOutOfRange);
  substringInto(self, self, 2, 7);  // overlapping, toward the front
  EXPECT_EQ(self.view(), "2345678");
}

TEST(CountedStringTrimAndSearch, BlanksCaseAndScans) {
  HeapString s = make(" \ta\r b\t \n\t ", 20);
  trimInPlace(s);
  EXPECT_EQ(s.view(), "a\r b\t \n");
  EXPECT_EQ(trimNew(make(" a\r ")).view(), "a\r");
  HeapString blanks = make(" \t \t", 9);
  EXPECT_EQ(trimNew(blanks).capacity(), 0u);
  trimInPlace(blanks);
  EXPECT_EQ(blanks.view(), "");
  EXPECT_EQ(blanks.capacity(), 9u);

  HeapString upper = make(std::string_view("ABC-Z[@`\xC4\0XY", 12));
  lowerInPlace(upper);
  EXPECT_EQ(upper.view(), std::string_view("abc-z[@`\xC4\0XY", 12));
  const HeapString word = make("Include");
  EXPECT_TRUE(hasPrefix(word, word));
  EXPECT_TRUE(hasPrefix(word, make("")) && hasPrefix(word, make("Inc")));
  EXPECT_FALSE(hasPrefix(word, make("inc")));
  EXPECT_FALSE(hasPrefix(word, make("Includes")));
  EXPECT_EQ(lastIndexOf(make("a\"b\""), '"'), 3);
  EXPECT_EQ(lastIndexOf(make(""), '\0'), -1);
}

// What formatDecimal and formatHex write into a fresh string.
std::string decimal(std::int64_t value, std::int32_t width, char fill) {
  HeapString dest = allocString(64);
  formatDecimal(value, width, fill, dest);
  return std::string(dest.view());
}
std::string hex(std::uint32_t value, std::uint32_t width, char fill) {
  HeapString dest = allocString(300);
  formatHex(value, width, fill, dest);
  return std::string(dest.view());
}

TEST(CountedStringNumbers, DecimalAndHexTextsAndOverflow) {
  EXPECT_EQ(decimal(0, 0, ' ') + "|" + decimal(42, -6, ' ') + "|" + decimal(42, 6, ' '),
            "0|42    |    42");
  EXPECT_EQ(decimal(-5, 4, '0'), "00-5");
  EXPECT_EQ(decimal(INT64_MIN, 0, ' '), "-9223372036854775808");
  // clang-format off
  const std::tuple<std::uint32_t, std::uint32_t, char, std::string> table[] = {
      {0x1F, 8, '0', "000_001F"}, {0xC0000005, 8, '0', "C000_0005"}, {0xFFFFFFFF, 0, ' ', "FFFF_FFFF"},
      {0x12345, 8, '0', "001_2345"}, {0x12345, 8, ' ', "  1_2345"}, {0x1234, 8, '0', "000_1234"},
      {0x1F, 8, ' ', "      1F"}, {0x1F, 5, '0', "_001F"}, {0x1F, 4, '0', "001F"}, {0, 0, ' ', "0"},
      {0x1F, 300, '0', std::string(295, '0') + "_001F"}};
  // clang-format on
  for (const auto& [value, width, fill, text] : table) EXPECT_EQ(hex(value, width, fill), text);
  const bool saved = digitSeparator;
  digitSeparator = false;
  const std::string plain = hex(0xC0000005, 8, '0') + "|" + hex(0x1F, 8, '0');
  digitSeparator = saved;
  EXPECT_EQ(plain, "C0000005|0000001F");

  HeapString dest = make("keep", 8);
  EXPECT_EQ(failureOf([&] { formatDecimal(123456789, 0, ' ', dest); }), failure::kStringOverflow);
  EXPECT_EQ(failureOf([&] { formatDecimal(1, INT32_MIN, ' ', dest); }), failure::kStringOverflow);
  EXPECT_EQ(failureOf([&] { formatHex(0xC0000005, 8, '0', dest); }), failure::kStringOverflow);
  EXPECT_EQ(failureOf([&] { formatHex(1, 0x80000000u, '0', dest); }), failure::kStringOverflow);
  EXPECT_EQ(dest.view(), "keep");
  formatDecimal(-1234567, 0, ' ', dest);  // exactly the capacity
  EXPECT_EQ(dest.view(), "-1234567");
  HeapString nine = allocString(9);
  formatHex(0xC0000005, 8, '0', nine);
  EXPECT_EQ(nine.view(), "C000_0005");
}

}  // namespace
}  // namespace tarvel
