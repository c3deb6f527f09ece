#include "app/startup.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "app/depfile.hpp"
#include "app/expand.hpp"
#include "app/name_table.hpp"
#include "runtime/arguments.hpp"
#include "runtime/environment.hpp"
#include "runtime/failure.hpp"
#include "runtime/file_io.hpp"
#include "runtime/process_entry.hpp"
#include "runtime/replacement.hpp"

namespace tarvel {

namespace {

constexpr StringLiteral kNoIncludePath("Could not find path to ZEB include library\r\n");
constexpr StringLiteral kUsage("Usage: tarvel [-o output [--depfile=depfile]] [--] filename\r\n");
constexpr StringLiteral kBackslash("\\");

constexpr StringLiteral kHelpOption("--help");
constexpr StringLiteral kVersionOption("--version");
constexpr StringLiteral kVersion("tarvel " TARVEL_VERSION "\r\n");
constexpr StringLiteral kHelp(
    "Usage: tarvel [-o output [--depfile=depfile]] [--] filename\r\n"
    "       tarvel --help | --version\r\n"
    "\r\n"
    "Writes the file to standard output with every file it includes expanded\r\n"
    "in place, recursively.  Every output line ends in CR LF.\r\n"
    "\r\n"
    "Options, before the file name (-- ends them):\r\n"
    "  -o output, --output=output\r\n"
    "                     write to this file instead, put in place only when\r\n"
    "                     the run succeeds; Could not open lines also go to\r\n"
    "                     standard error\r\n"
    "  --depfile=depfile, --depfile depfile\r\n"
    "                     with -o: also write the files read as a make rule\r\n"
    "A lone argument is always the file name.\r\n"
    "\r\n"
    "Directives, in any letter case, after leading blanks:\r\n"
    "  include name            the name is the whole rest of the line\r\n"
    "  .include \"name\"         the rest without its first and last characters\r\n"
    "  #include( \"name\" )      from after the first character to the last quote\r\n"
    "  #includeonce( \"name\" )  the same\r\n"
    "Each name is expanded at most once per run.\r\n"
    "\r\n"
    "A name is opened as written, then in the directory named by the\r\n"
    "environment variable zebinc.\r\n"
    "\r\n"
    "Exit status: 0 all expanded; 1 some file could not be opened; 2 usage or\r\n"
    "include-directory message; 3 a fatal failure, reported on standard error.\r\n"
    "With -o, the output file changes only with status 0.\r\n");

// The include directory followed by one backslash.  Room for 256
// characters, of which 255 are used so the expansion always fits its
// terminator.
FixedString<256> includeDirectory;
constexpr std::uint32_t kIncludeDirectoryCapacity = 255;

// The text --help or --version asks for when it is the only argument, or
// absent.  A command line that cannot be split asks for neither: its
// failure is kept in `failed` for the place where the arguments were
// always looked at.
StringRef requestedText(FailureCode& failed) {
  StringRef text;
  protectedRegion(
      [&] {
        if (argumentCount() != 2) return;
        const std::string_view option = argumentAt(1).view();
        if (option == kHelpOption.view() || isSystemHelpSwitch(option)) text = kHelp;
        if (option == kVersionOption.view()) text = kVersion;
      },
      [&](FailureCode code) { failed = code; });
  return text;
}

// What the command line asks for.
struct Request {
  StringRef file;
  std::string output;   // empty: standard output
  std::string depfile;  // empty: none
};

// The spellings of the options: the value follows in the same argument
// after a spelling that ends in "=", else in the next argument.
struct OptionForm {
  std::string_view spelling;
  std::string Request::*value;
};
constexpr OptionForm kOptionForms[] = {
    {"-o", &Request::output},
    {"--output=", &Request::output},
    {"--depfile", &Request::depfile},
    {"--depfile=", &Request::depfile},
};

// Reads the command line: options, then the one file name.  A lone
// argument is always the file name.  False when the command line is not
// one the usage message shows: an unknown option, a missing or empty
// value, an option given twice, --depfile without -o or naming the same
// file, or not exactly one file name.
bool readCommandLine(Request& request) {
  const std::uint32_t count = argumentCount();
  std::uint32_t next = 1;
  for (; count > 2 && next < count; ++next) {
    const std::string_view argument = argumentAt(next).view();
    if (argument == "--") {
      ++next;
      break;
    }
    if (argument.size() < 2 || argument[0] != '-') break;
    const OptionForm* form = nullptr;
    for (const OptionForm& f : kOptionForms) {
      const bool joined = f.spelling.ends_with('=');
      if (joined ? argument.starts_with(f.spelling) : argument == f.spelling) form = &f;
    }
    if (form == nullptr) return false;
    std::string& value = request.*form->value;
    if (!value.empty()) return false;
    if (form->spelling.ends_with('=')) {
      value = argument.substr(form->spelling.size());
    } else if (next + 1 < count) {
      value = argumentAt(++next).view();
    }
    if (value.empty()) return false;
  }
  if (next + 1 != count) return false;
  // Both files would take the same place, one of them lost.
  if (!request.depfile.empty() && (request.output.empty() || request.depfile == request.output))
    return false;
  request.file = argumentAt(next);
  return true;
}

}  // namespace

int mainProgram() {
  // Help is given whatever the environment holds.
  FailureCode argumentFailure = 0;
  if (const StringRef text = requestedText(argumentFailure); !text.absent()) {
    putText(text);
    return kExitSuccess;
  }

  // The value and its terminator must fit the 255 characters of room.
  expandEnvironment("%zebinc%", includeDirectory, kIncludeDirectoryCapacity);
  includeDirectory.setCapacity(kIncludeDirectoryCapacity);
  // Blanks alone name no directory either: trimmed, they would leave the
  // root (a lone backslash).
  trimInPlace(includeDirectory);
  if (includeDirectory.length() == 0) {
    putText(kNoIncludePath);
    return kExitMessage;
  }
  appendString(kBackslash, includeDirectory);

  std::unique_ptr<NameTable> includedNames = createTable(256);
  if (argumentFailure != 0) raiseFailure(argumentFailure);
  Request request;
  if (!readCommandLine(request)) {
    putText(kUsage);
    return kExitMessage;
  }
  Expansion expansionOfFile(includeDirectory, *includedNames);
  std::vector<std::string> opened;
  if (!request.output.empty()) {
    sendOutputToFile(request.output);
    expansionOfFile.echoOpenFailures();
  }
  if (!request.depfile.empty()) expansionOfFile.listOpenedFiles(opened);
  expansionOfFile.expandFile(request.file);
  includedNames->destroyTable([](NameNode&, void*) {});
  if (expansionOfFile.anyOpenFailed()) return kExitIncomplete;
  if (!request.depfile.empty()) {
    for (std::string& name : opened) name = systemName(name);
    writeFileOnSuccess(request.depfile, dependencyText(request.output, opened));
  }
  return kExitSuccess;
}

}  // namespace tarvel
