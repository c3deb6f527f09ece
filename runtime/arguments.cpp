#include "runtime/arguments.hpp"

#include <string>

#include "runtime/failure.hpp"
#include "runtime/platform/platform.hpp"

namespace tarvel {

namespace {

bool isDelimiter(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 1 && u <= 32) || u == 127;
}

}  // namespace

void ArgumentVector::parse(const char* text) {
  commandLine_ = fromTerminated(text);
  // Tokens are cut from a scratch copy so that commandLine_ stays as given.
  HeapString scratch = duplicateString(commandLine_);
  char* p = scratch.chars();
  count_ = 0;
  for (;;) {
    while (isDelimiter(*p)) ++p;
    if (*p == '\0') break;
    char* token = p;
    char* tokenEnd;
    if (*p == '"') {
      token = ++p;
      while (*p != '\0' && *p != '"') ++p;
      tokenEnd = p;
      if (*p == '"') ++p;  // the scan goes on after the closing quote
    } else {
      while (*p != '\0' && !isDelimiter(*p)) ++p;
      tokenEnd = p;
    }
    const char saved = *tokenEnd;
    *tokenEnd = '\0';
    slots_[count_] = fromTerminated(token);
    *tokenEnd = saved;
    if (++count_ > kMaxArguments) raiseFailure(failure::kTooManyParameters);
  }
}

void ArgumentVector::adopt(int argc, const char* const* argv) {
  commandLine_ = joinArguments(argc, argv);
  count_ = 0;
  for (int i = 0; i < argc; ++i) {
    slots_[count_] = fromTerminated(argv[i]);
    if (++count_ > kMaxArguments) raiseFailure(failure::kTooManyParameters);
  }
}

HeapString joinArguments(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    if (i > 0) line += ' ';
    bool quote = *arg == '\0' || *arg == '"';
    for (const char* c = arg; *c != '\0' && !quote; ++c) quote = isDelimiter(*c);
    if (quote) line += '"';
    line += arg;
    if (quote) line += '"';
  }
  return fromTerminated(line.c_str());
}

StringRef ArgumentVector::at(std::uint32_t index) const {
  if (index >= count_) raiseFailure(failure::kValueOutOfRange);
  return slots_[index];
}

namespace {

const ArgumentVector& processArguments() {
  static bool pending = true;
  static ArgumentVector arguments;
  if (pending) {
    pending = false;
    const platform::CommandLine given = platform::commandLine();
    // Arguments the system has split already are not split again: a name
    // may hold blanks and double quotes.
    if (given.raw != nullptr) {
      arguments.parse(given.raw);
    } else {
      arguments.adopt(given.argc, given.argv);
    }
  }
  return arguments;
}

}  // namespace

std::uint32_t argumentCount() { return processArguments().count(); }

StringRef argumentAt(std::uint32_t index) { return processArguments().at(index); }

bool isSystemHelpSwitch(std::string_view argument) {
  const char* helpSwitch = platform::helpSwitch();
  return helpSwitch != nullptr && argument == helpSwitch;
}

}  // namespace tarvel
