#include "app/startup.hpp"

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

// The include directory followed by one backslash.  Room for 256
// characters, of which 255 are used so the expansion always fits its
// terminator.
FixedString<256> includeDirectory;
constexpr std::uint32_t kIncludeDirectoryCapacity = 255;

}  // namespace

int mainProgram() {
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
