#include "app/startup.hpp"

#include <string_view>

#include "app/expand.hpp"
#include "app/name_table.hpp"
#include "runtime/arguments.hpp"
#include "runtime/environment.hpp"
#include "runtime/failure.hpp"
#include "runtime/file_io.hpp"
#include "runtime/process_entry.hpp"

namespace tarvel {

namespace {

constexpr StringLiteral kNoIncludePath("Could not find path to ZEB include library\r\n");
constexpr StringLiteral kUsage("Usage: tarvel filename\r\n");
constexpr StringLiteral kBackslash("\\");

constexpr StringLiteral kHelpOption("--help");
constexpr StringLiteral kVersionOption("--version");
constexpr StringLiteral kVersion("tarvel " TARVEL_VERSION "\r\n");
constexpr StringLiteral kHelp(
    "Usage: tarvel filename\r\n"
    "       tarvel --help | --version\r\n"
    "\r\n"
    "Writes the file to standard output with every file it includes expanded\r\n"
    "in place, recursively.  Every output line ends in CR LF.\r\n"
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
    "include-directory message; 3 a fatal failure, reported on standard error.\r\n");

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
  if (includeDirectory.length() == 0) {
    putText(kNoIncludePath);
    return kExitMessage;
  }
  trimInPlace(includeDirectory);
  appendString(kBackslash, includeDirectory);

  std::unique_ptr<NameTable> includedNames = createTable(256);
  if (argumentFailure != 0) raiseFailure(argumentFailure);
  if (argumentCount() != 2) {
    putText(kUsage);
    return kExitMessage;
  }
  Expansion expansionOfFile(includeDirectory, *includedNames);
  expansionOfFile.expandFile(argumentAt(1));
  includedNames->destroyTable([](NameNode&, void*) {});
  return expansionOfFile.anyOpenFailed() ? kExitIncomplete : kExitSuccess;
}

}  // namespace tarvel
