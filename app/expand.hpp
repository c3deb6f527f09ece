// File expansion: copies a file to standard output line by line, replacing
// every include directive with the expansion of the file it names, unless
// that name was already named earlier in the run.
//
// Four directive forms are recognised after leading blanks, in any letter
// case: "include" and ".include" as whole words, "#include(" and
// "#includeonce(" as plain prefixes.  A name is looked for as written, then
// in the include directory; a file found under neither gets a
// "Could not open '...'" line in the output, in the directive's place.
//
// An Expansion borrows the include directory and the name table from its
// owner.  Nesting is kept on an explicit stack, so its depth is limited by
// memory and open files, not by the machine stack.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/name_table.hpp"
#include "runtime/counted_string.hpp"
#include "runtime/file_io.hpp"

namespace tarvel {

// The directive forms, in their order of testing.
enum class Directive : std::uint8_t { none, include, dotInclude, hashInclude, hashIncludeOnce };

// The directive form of a line, judged by its first non-blank characters.
Directive classifyLine(std::string_view line);

// The name a directive line names.  Raises 2 for a malformed ".include",
// "#include(" or "#includeonce(" directive (one with no name to extract).
// REQUIRES: classifyLine(line) == directive != Directive::none.
HeapString extractName(StringRef line, Directive directive);

// Like extractName, but cuts the name out of `line` where it lies, so that
// a long line is not copied.  After a failure line holds some part of
// itself.
void extractNameInPlace(CountedString line, Directive directive);

class Expansion {
 public:
  // REQUIRES: includeDirectory ends with a backslash and, like names and
  // files, outlives the Expansion.
  Expansion(StringRef includeDirectory, NameTable& names, FileSystem& files = realFileSystem());

  // Expands the file `name` (which is not entered into the name table) and
  // everything it includes to standard output.
  void expandFile(StringRef name);

  // Opens `name` as written, else the include directory followed by `name`.
  // When neither opens, writes the "Could not open '" message and returns a
  // file that is not open.
  InputFile openInclude(StringRef name);

  // True once some file could not be opened under either name.
  bool anyOpenFailed() const { return anyOpenFailed_; }

  // From now on, every "Could not open '" message goes to standard error
  // too (with an LF line end, as the failure report's line).
  void echoOpenFailures() { echoOpenFailures_ = true; }

  // From now on, the name that opened each file is appended to `opened`,
  // in the order the files are opened.  REQUIRES: `opened` outlives the
  // Expansion.
  void listOpenedFiles(std::vector<std::string>& opened) { opened_ = &opened; }

 private:
  StringRef includeDirectory_;
  NameTable& names_;
  FileSystem& files_;
  bool anyOpenFailed_ = false;
  bool echoOpenFailures_ = false;
  std::vector<std::string>* opened_ = nullptr;
};

}  // namespace tarvel
