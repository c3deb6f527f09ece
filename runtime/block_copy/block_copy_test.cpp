#include "runtime/block_copy/block_copy.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::blockcopy {
namespace {

// Uses a kernel while it lives, and then the one used before, however the
// test ends.
class KernelInUse {
 public:
  explicit KernelInUse(std::string_view name) : saved_(currentKernel()) { useKernel(name); }
  ~KernelInUse() { useKernel(saved_); }
  KernelInUse(const KernelInUse&) = delete;
  KernelInUse& operator=(const KernelInUse&) = delete;

 private:
  std::string_view saved_;
};

// A Sink that keeps what it is handed.  Each reservation is an allocation
// of its own, as large as the contract says, so that a store past it shows
// under the sanitizers, and it ends at the commit.
class StringSink {
 public:
  explicit StringSink(std::size_t directWriteSize)
      : sink_{this, reserve, commit, write, directWriteSize} {}
  const Sink& sink() const { return sink_; }
  const std::string& text() const { return text_; }

 private:
  static StringSink& of(void* context) { return *static_cast<StringSink*>(context); }
  static char* reserve(void* context, std::size_t size) {
    StringSink& self = of(context);
    self.room_.reset(new char[size + kSinkScratch]);
    self.roomEnd_ = self.room_.get() + size;
    return self.room_.get();
  }
  static void commit(void* context, char* end) {
    StringSink& self = of(context);
    EXPECT_TRUE(self.room_ && end >= self.room_.get() && end <= self.roomEnd_);
    self.text_.append(self.room_.get(), end);
    self.room_.reset();
  }
  static void write(void* context, const char* from, std::size_t n) {
    StringSink& self = of(context);
    EXPECT_FALSE(self.room_) << "written with a reservation not committed";
    self.text_.append(from, n);
  }

  Sink sink_;
  std::string text_;
  std::unique_ptr<char[]> room_;
  const char* roomEnd_ = nullptr;
};

char folded(char c) { return static_cast<char>(c | 0x20); }

// Picks heads that begin, in any case, with "incl", ".inc" or "#inc" and
// go on with anything but 'x' or CR: the judgement depends on where the
// head is cut.  Never a head that begins with 'y', so that the filters
// below pick the same lines, but for those that begin with 'I', which
// kBeyondOneTable does not name.
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

// What a copy does: where it stops, whether inside a line, the lines it
// ends, the CR run it leaves and its output.
struct Copy {
  std::size_t stop;
  bool midLine;
  std::size_t lines;
  CrRun cr;
  std::string output;
};

std::string describe(const Copy& copy) {
  return "stop " + std::to_string(copy.stop) + (copy.midLine ? " mid-line" : "") + ", lines " +
         std::to_string(copy.lines) + (copy.cr.present ? ", CR run" : "") +
         (copy.cr.odd ? " odd" : "") + ", output " + testing::PrintToString(copy.output);
}

// The copy of [from, end) of `text` as the line reader's rules make it,
// line by line, sharing no code with the scan: the stop is the first line
// after the one at `from` that the filter picks, else the last line when it
// has no LF and input follows (unless it is the line under way); each LF
// after an even run of CRs (none, say), the run before `from` included,
// gains a CR.
Copy modelCopy(std::string_view text, const Input& at, CrRun before, const LineFilter& filter) {
  const auto from = static_cast<std::size_t>(at.from - text.data());
  const std::string_view input = text.substr(0, static_cast<std::size_t>(at.end - text.data()));
  const std::size_t lastLf = input.rfind('\n');
  const std::size_t lastStart = lastLf != input.npos && lastLf >= from ? lastLf + 1 : from;
  std::size_t stop = input.npos;
  for (std::size_t lf = input.find('\n', from); lf != input.npos && stop == input.npos;
       lf = input.find('\n', lf + 1)) {
    const std::size_t first = input.find_first_not_of(" \t", lf + 1);
    const bool wanted = first != input.npos &&
                        std::string_view(filter.prefixFirst, 4).find(input[first]) != input.npos;
    const std::string_view head = wanted ? input.substr(first, filter.headSize) : "";
    if ((lf + 1 == lastStart && !at.inputEnds) ||
        (wanted && filter.picks(head.substr(0, head.find('\n')))))
      stop = lf + 1;
  }
  if (stop == input.npos) stop = !at.inputEnds && !at.lineUnderWay ? from : input.size();
  Copy copy{stop, stop == input.size() && lastStart != stop, 0, {}, ""};
  std::size_t crs = before.present ? (before.odd ? 1 : 2) : 0;
  for (const char c : input.substr(from, stop - from)) {
    if (c == '\n' && crs % 2 == 0) copy.output += '\r';
    copy.output += c;
    copy.lines += c == '\n';
    crs = c == '\r' ? crs + 1 : 0;
  }
  if (copy.midLine) copy.cr = {crs > 0, crs % 2 == 1};
  return copy;
}

// Whether every kernel copies [from, end) of `text` as the model does, for
// every combination of the end-of-input flags and of the CR run before.
testing::AssertionResult copiesAsTheModel(const std::string& text, std::size_t from,
                                          std::size_t end, const LineFilter& filter,
                                          std::size_t directWriteSize) {
  // What lies past the end must not matter: prefixes that would complete
  // one cut by the end.
  std::string buffer = text.substr(0, end) + std::string(kReadSlack, 'c');
  buffer.replace(end, 4, "ncl ");
  for (const bool inputEnds : {false, true}) {
    for (const bool lineUnderWay : {false, true}) {
      for (const CrRun before : {CrRun{}, CrRun{true, false}, CrRun{true, true}}) {
        const Input input{buffer.data() + from, buffer.data() + end, inputEnds, lineUnderWay};
        const std::string expected = describe(modelCopy(buffer, input, before, filter));
        for (const std::string_view kernel : availableKernels()) {
          KernelInUse use(kernel);
          StringSink out(directWriteSize);
          Copy copy{0, false, 0, before, ""};
          const Result r = copyOrdinary(input, copy.cr, filter, out.sink());
          copy = {static_cast<std::size_t>(r.stop - buffer.data()), r.midLine, r.lines, copy.cr,
                  out.text()};
          if (describe(copy) != expected)
            return testing::AssertionFailure()
                   << kernel << " from " << from << " to " << end
                   << (inputEnds ? ", input ends" : "") << (lineUnderWay ? ", line under way" : "")
                   << (before.present ? ", CRs before" : "") << (before.odd ? " odd" : "")
                   << "\n  copied " << describe(copy) << "\n  model  " << expected << "\n  text "
                   << testing::PrintToString(text);
        }
      }
    }
  }
  return testing::AssertionSuccess();
}

// The whole text, or a piece of it starting anywhere (inside a CR run, a
// head, a run of blanks) and cut anywhere; long pieces handed over straight
// from the input with the first and the third cut.
void expectCopiesAsTheModel(const std::string& text, const std::vector<const LineFilter*>& filters,
                            int cuts, std::mt19937& random) {
  for (int cut = 0; cut < cuts && !text.empty(); ++cut) {
    const std::size_t from = cut == 0 ? 0 : random() % text.size();
    const std::size_t end = cut == 0 ? text.size() : from + 1 + random() % (text.size() - from);
    for (const LineFilter* filter : filters)
      ASSERT_TRUE(copiesAsTheModel(text, from, end, *filter, cut % 2 == 0 ? 65 : 64 * 1024));
  }
}

TEST(BlockCopy, EveryKernelCopiesAsTheLineModel) {
  // Runs of CRs, and runs of blanks before a head, that end a block or go
  // on into the next; then random texts.
  std::vector<std::string> texts;
  for (std::size_t before = 58; before <= 64; ++before) {
    for (std::size_t crs = 1; crs <= 5; ++crs)
      texts.push_back(std::string(before, 'a') + std::string(crs, '\r') + "\nincl" +
                      std::string(crs, '\r') + "\n");
    for (const char* blanks : {"\t", " \t", "\t\t\t", " \t \t", "\t  \t "})
      texts.push_back(std::string(before, 'a') + "\n" + blanks + "incl y\nx\n");
  }
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
  const std::vector<const LineFilter*> filters(std::begin(kFilters), std::end(kFilters));
  for (const std::string& text : texts)
    ASSERT_NO_FATAL_FAILURE(expectCopiesAsTheModel(text, filters, 4, random));
}

TEST(BlockCopy, EveryKernelCopiesLongTextAsTheLineModel) {
  // Thousands of bytes of lines without CRs, which the scan takes in its
  // own way, but for one run of CRs before an LF: at the end of the first
  // 4 KiB, in the last few blocks, or anywhere; and in every other text a
  // line the filter picks, anywhere.
  std::mt19937 random(99);
  for (int round = 0; round < 24; ++round) {
    std::string text;
    while (text.size() < 10000 + random() % 400)
      text +=
          std::string(random() % 70, "ab \t"[random() % 4]) + (random() % 9 == 0 ? "" : "x") + "\n";
    const std::size_t crs = 1 + round % 3;
    const std::size_t lf = round < 8    ? 4096 - round % 4
                           : round < 16 ? text.size() - 2 - random() % 200
                                        : 64 * (random() % 150) + random() % 3 + 3;
    text.replace(lf - crs, crs + 1, std::string(crs, '\r') + "\n");
    if (round % 2 == 1) text.insert(text.find('\n', random() % text.size()) + 1, " include x\n");
    ASSERT_NO_FATAL_FAILURE(expectCopiesAsTheModel(text, {&kFourChars}, 2, random));
  }
}

TEST(BlockCopy, LineEndScansOfEveryKernelAgree) {
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
        for (const std::string_view kernel : availableKernels()) {
          KernelInUse use(kernel);
          ASSERT_EQ(findLineEnd(p + from, to - from), lineEnd) << kernel;
          ASSERT_EQ(lastLineStart(p + from, p + to), lastStart) << kernel;
        }
      }
    }
  }
}

TEST(BlockCopy, KernelsTheMachineLacksGiveTheBestItHas) {
  const std::span<const std::string_view> available = availableKernels();
  ASSERT_FALSE(available.empty());
  EXPECT_EQ(available.front(), "bytewise");
  // Every kernel's name, one that names no kernel, and none.
  for (const std::string_view name :
       {"bytewise", "sse2", "avx2", "avx512", "avx512vbmi2", "avx1024", ""}) {
    KernelInUse use(name);
    const bool has = std::find(available.begin(), available.end(), name) != available.end();
    EXPECT_EQ(currentKernel(), has ? name : available.back()) << name;
  }
}

}  // namespace
}  // namespace tarvel::blockcopy
