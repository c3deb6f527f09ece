// Splitting a command line, and joining arguments so that splitting gives
// them back.
//
// The whole input, up to its first NUL, is a raw command line.  It is
// handed over in a heap block of exactly its size, so reading past its end
// is caught; the arguments must be those of a plain model of the splitting
// rules, and a 256th argument must raise failure::kTooManyParameters.
//
// Then the input after its first byte, cut at every occurrence of that
// byte, is a list of arguments.  Those joinArguments promises to give back
// are kept (no NUL, and no double quote unless it is neither the first
// character nor in an argument that needs quotes); joined and split again
// they must come back unchanged, or raise failure::kTooManyParameters when
// there are more than 255.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "runtime/arguments.hpp"
#include "runtime/failure.hpp"

namespace tarvel::fuzzing {
namespace {

bool isDelimiter(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 1 && u <= 32) || u == 127;
}

// The splitting rules, one character at a time.
std::vector<std::string> modelSplit(std::string_view text) {
  std::vector<std::string> args;
  std::size_t i = 0;
  for (;;) {
    while (i < text.size() && isDelimiter(text[i])) ++i;
    if (i == text.size()) return args;
    std::string arg;
    if (text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) arg += text[i];
      if (i < text.size()) ++i;  // the closing quote
    } else {
      for (; i < text.size() && !isDelimiter(text[i]); ++i) arg += text[i];
    }
    args.push_back(arg);
  }
}

// Splits `text` with ArgumentVector; false when it raised
// failure::kTooManyParameters.
bool split(const char* text, std::vector<std::string>& args) {
  ArgumentVector v;
  try {
    v.parse(text);
  } catch (const Failure& f) {
    FUZZ_CHECK(f.code() == failure::kTooManyParameters);
    return false;
  }
  FUZZ_CHECK(v.count() <= kMaxArguments);
  FUZZ_CHECK(v.commandLine().view() == text);
  for (std::uint32_t i = 0; i < v.count(); ++i) args.emplace_back(v.at(i).view());
  return true;
}

void checkRawLine(const std::uint8_t* data, std::size_t size) {
  const std::unique_ptr<char[]> text(new char[size + 1]);
  std::memcpy(text.get(), data, size);
  text[size] = '\0';
  const std::vector<std::string> expected = modelSplit(text.get());
  std::vector<std::string> args;
  const bool fits = split(text.get(), args);
  FUZZ_CHECK(fits == (expected.size() <= kMaxArguments));
  if (fits) FUZZ_CHECK(args == expected);
}

bool joinable(const std::string& arg) {
  if (arg.find('\0') != std::string::npos) return false;
  if (arg.find('"') == std::string::npos) return true;
  if (arg[0] == '"') return false;
  for (char c : arg) {
    if (isDelimiter(c)) return false;
  }
  return true;
}

void checkRoundTrip(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const char separator = static_cast<char>(data[0]);
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> list;
  for (std::size_t from = 0;;) {
    const std::size_t cut = rest.find(separator, from);
    const std::string arg(rest.substr(from, cut - from));
    if (joinable(arg)) list.push_back(arg);
    if (cut == std::string_view::npos) break;
    from = cut + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& arg : list) argv.push_back(arg.c_str());
  const HeapString joined = joinArguments(static_cast<int>(argv.size()), argv.data());
  std::vector<std::string> args;
  const bool fits = split(joined.chars(), args);
  FUZZ_CHECK(fits == (list.size() <= kMaxArguments));
  if (fits) FUZZ_CHECK(args == list);
}

}  // namespace
}  // namespace tarvel::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel::fuzzing;
  if (size > kMaxInput) return 0;
  checkRawLine(data, size);
  checkRoundTrip(data, size);
  return 0;
}
