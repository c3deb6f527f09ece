#include "app/startup.hpp"

#include <cstring>

#include "app/expand.hpp"
#include "app/name_table.hpp"
#include "runtime/arguments.hpp"
#include "runtime/failure.hpp"
#include "runtime/file_io.hpp"
#include "runtime/platform/platform.hpp"
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
  const char* expansion = platform::zebincExpansion();
  const std::size_t n = std::strlen(expansion);
  // The value and its terminator must fit the 255 characters of room.
  if (n >= kIncludeDirectoryCapacity) raiseFailure(failure::kStringOverflow);
  std::memcpy(includeDirectory.storage(), expansion, n);
  includeDirectory.str().setLength(static_cast<std::uint32_t>(n));
  includeDirectory.setCapacity(kIncludeDirectoryCapacity);
  if (n == 0) {
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
