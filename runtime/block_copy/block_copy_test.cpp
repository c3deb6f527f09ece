#include "runtime/block_copy/block_copy.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "runtime/fake_files_test.hpp"

namespace tarvel::blockcopy {
namespace {

// Uses a method while it lives, and then the one used before, however the
// test ends.
class MethodInUse {
 public:
  explicit MethodInUse(Method method) : saved_(currentMethod()) { useMethod(method); }
  ~MethodInUse() { useMethod(saved_); }
  MethodInUse(const MethodInUse&) = delete;
  MethodInUse& operator=(const MethodInUse&) = delete;

 private:
  Method saved_;
};

char folded(char c) { return static_cast<char>(c | 0x20); }

// Picks heads that begin, in any case, with "incl", ".inc" or "#inc" and
// go on with anything but 'x' or CR: the judgement depends on where the
// head is cut.  Never a head that begins with 'y', so that the filters
// below pick the same lines.
bool picksTestHead(std::string_view head) {
  if (head.size() < 5 || head[4] == 'x' || head[4] == '\r') return false;
  std::string start(head.substr(0, 4));
  for (char& c : start) c = folded(c);
  return start == "incl" || start == ".inc" || start == "#inc";
}

// The same lines by four characters (one table), by two, and by two with
// first characters that one table cannot hold ('y' shares its low four
// bits with 'i').
constexpr LineFilter kFourChars = {{'i', 'I', '.', '#'}, {'n', 'n', 'i', 'i'}, 8, picksTestHead,
                                   {'c', 'c', 'n', 'n'}, {'l', 'l', 'c', 'c'}};
constexpr LineFilter kTwoChars = {{'i', 'I', '.', '#'}, {'n', 'n', 'i', 'i'}, 8, picksTestHead};
constexpr LineFilter kBeyondOneTable = {
    {'i', 'y', '.', '#'}, {'n', 'n', 'i', 'i'}, 8, picksTestHead};
constexpr const LineFilter* kFilters[] = {&kFourChars, &kTwoChars, &kBeyondOneTable};

// Random text full of what the scan must get right: runs of CRs of every
// length before LFs, blanks before wanted prefixes, heads of every length,
// pieces long enough to cross 64-byte blocks.  With `shortLines`, longer
// texts of lines mostly shorter than 20 bytes, which some kernels copy
// otherwise, without the long pieces and the heads the filters pick (so
// that the copy goes on over many blocks).
std::string randomText(std::mt19937& random, bool shortLines = false) {
  const std::string pieces[] = {"incl",
                                "INCLude",
                                ".inc ",
                                "#inC(",
                                "in",
                                "i",
                                "#",
                                ".",
                                "inclx",
                                "yncl",
                                " ",
                                "\t",
                                "  \t ",
                                "\n",
                                "\r\n",
                                "\r",
                                "\r\r",
                                "\r\r\r",
                                "x",
                                "\n\n",
                                std::string(70, 'a'),
                                std::string(61, ' ')};
  const std::size_t first = shortLines ? 4 : 0;
  const std::size_t kinds = std::size(pieces) - first - (shortLines ? 2 : 0);
  std::string text;
  for (std::size_t n = random() % (shortLines ? 600 : 60); n > 0; --n)
    text += pieces[first + random() % kinds];
  return text;
}

// Everything copyOrdinary does with [from, end) of `text`: its output, its
// result and the CR run it leaves, for every combination of the end-of-input
// flags and of the CR run before.
std::string scanned(const std::string& text, std::size_t from, std::size_t end,
                    const LineFilter& filter, testing::CapturedOutput& out) {
  // What lies past the end must not matter: prefixes that would complete
  // one cut by the end.
  std::string buffer = text.substr(0, end) + std::string(kReadSlack, 'c');
  buffer.replace(end, 4, "ncl ");
  std::string log;
  const std::size_t written = out.text().size();
  for (const bool final : {false, true}) {
    for (const bool streamCurrent : {false, true}) {
      for (const CrRun before : {CrRun{}, CrRun{true, false}, CrRun{true, true}}) {
        CrRun cr = before;
        const Result r = copyOrdinary(buffer.data() + from, buffer.data() + end, final,
                                      streamCurrent, cr, filter);
        log += "|" + std::to_string(r.stop - buffer.data()) + (r.midLine ? "m" : "") +
               (cr.last ? "c" : "") + (cr.odd ? "o" : "");
      }
    }
  }
  return log + "|" + out.text().substr(written);
}

TEST(BlockCopy, EveryMethodScansAsTheBytewiseOne) {
  // Runs of CRs that end a block, or go on into the next, before an LF;
  // then random texts.
  std::vector<std::string> texts;
  for (std::size_t before = 58; before <= 64; ++before)
    for (std::size_t crs = 1; crs <= 5; ++crs)
      texts.push_back(std::string(before, 'a') + std::string(crs, '\r') + "\nincl" +
                      std::string(crs, '\r') + "\n");
  std::mt19937 random(2024);
  for (int round = 0; round < 80; ++round) texts.push_back(randomText(random, round % 4 == 3));
  // First blocks unlike the rest, long lines that start like no prefix or
  // short lines: what a kernel makes of them must not matter later.
  std::string longLines;
  for (int line = 0; line < 20; ++line) longLines += std::string(60, 'a') + "\r\n";
  for (int round = 0; round < 8; ++round) {
    texts.push_back(longLines + randomText(random, round % 2 == 1) + randomText(random));
    texts.push_back(randomText(random, true) + longLines + randomText(random));
  }
  for (const std::string& text : texts) {
    if (text.empty()) continue;
    for (int cut = 0; cut < 4; ++cut) {
      // The whole text, or a piece of it starting anywhere (inside a CR
      // run, a head, a run of blanks) and cut anywhere.
      const std::size_t from = cut == 0 ? 0 : random() % text.size();
      const std::size_t end = cut == 0 ? text.size() : from + 1 + random() % (text.size() - from);
      for (const LineFilter* filter : kFilters) {
        testing::CapturedOutput out;
        std::string expected;
        {
          MethodInUse bytewise(Method::bytewise);
          expected = scanned(text, from, end, *filter, out);
        }
        for (const Method method : availableMethods()) {
          MethodInUse use(method);
          ASSERT_EQ(scanned(text, from, end, *filter, out), expected)
              << static_cast<int>(method) << " " << from << " " << end
              << ::testing::PrintToString(text);
        }
      }
    }
  }
}

// The CR rule on its own: each LF after an even run of CRs (none, say)
// gains a CR.
std::string withCrLf(const std::string& text) {
  std::string out;
  std::size_t crs = 0;
  for (const char c : text) {
    if (c == '\n' && crs % 2 == 0) out += '\r';
    out += c;
    crs = c == '\r' ? crs + 1 : 0;
  }
  return out;
}

TEST(BlockCopy, EveryMethodKeepsTheCrRuleOverLongText) {
  // Thousands of bytes of lines without CRs, which the scan takes in its
  // own way, but for one run of CRs before an LF: at the end of the first
  // 4 KiB, in the last few blocks, or anywhere.  Every line is ordinary, so
  // that all of it is copied.
  std::mt19937 random(99);
  for (int round = 0; round < 48; ++round) {
    std::string text;
    while (text.size() < 10000 + random() % 400)
      text +=
          std::string(random() % 70, "ab \t"[random() % 4]) + (random() % 9 == 0 ? "" : "x") + "\n";
    const std::size_t crs = 1 + round % 3;
    const std::size_t lf = round < 12   ? 4096 - round % 4
                           : round < 24 ? text.size() - 2 - random() % 200
                                        : 64 * (random() % 150) + random() % 3 + 3;
    text.replace(lf - crs, crs + 1, std::string(crs, '\r') + "\n");
    for (const Method method : availableMethods()) {
      MethodInUse use(method);
      testing::CapturedOutput out;
      CrRun cr;
      const std::string buffer = text + std::string(kReadSlack, 'c');
      const Result r =
          copyOrdinary(buffer.data(), buffer.data() + text.size(), true, true, cr, kFourChars);
      ASSERT_EQ(r.stop, buffer.data() + text.size()) << static_cast<int>(method);
      ASSERT_EQ(out.text(), withCrLf(text)) << static_cast<int>(method) << " " << lf;
    }
  }
}

TEST(BlockCopy, LineEndScansOfEveryMethodAgree) {
  std::mt19937 random(7);
  for (int round = 0; round < 30; ++round) {
    const std::string text = randomText(random) + randomText(random);
    for (std::size_t from = 0; from < text.size(); from += 1 + random() % 9) {
      for (std::size_t to = from; to <= text.size(); to += 1 + random() % 13) {
        const char* p = text.data();
        const std::size_t cr = text.find_first_of("\r\n", from);
        const char* lineEnd = cr < to ? p + cr : nullptr;
        const std::size_t lf = to == from ? std::string::npos : text.rfind('\n', to - 1);
        const char* lastStart = lf != std::string::npos && lf >= from ? p + lf + 1 : p + from;
        for (const Method method : availableMethods()) {
          MethodInUse use(method);
          ASSERT_EQ(findLineEnd(p + from, to - from), lineEnd) << static_cast<int>(method);
          ASSERT_EQ(lastLineStart(p + from, p + to), lastStart) << static_cast<int>(method);
        }
      }
    }
  }
}

TEST(BlockCopy, MethodsTheMachineLacksGiveTheBestItHas) {
  const std::span<const Method> available = availableMethods();
  ASSERT_FALSE(available.empty());
  EXPECT_EQ(available.front(), Method::bytewise);
  // Which kernels the tests of this program cover here, as TARVEL_BLOCK_COPY
  // names them: on an emulator, what it offers decides.
  constexpr const char* kNames[] = {"bytewise", "sse2", "avx2", "avx512", "avx512vbmi2"};
  std::string names;
  for (const Method method : available)
    names += (names.empty() ? "" : " ") + std::string(kNames[static_cast<int>(method)]);
  RecordProperty("available_methods", names);
  for (const Method method :
       {Method::bytewise, Method::sse2, Method::avx2, Method::avx512, Method::avx512vbmi2}) {
    MethodInUse use(method);
    const bool has = std::find(available.begin(), available.end(), method) != available.end();
    EXPECT_EQ(currentMethod(), has ? method : available.back());
  }
}

}  // namespace
}  // namespace tarvel::blockcopy
