// File expansion: copies a file to standard output line by line, replacing
// every include directive with the expansion of the file it names, unless
// that name was already named earlier in the run.
//
// Four directive forms are recognised after leading blanks, in any letter
// case: "include" and ".include" as whole words, "#include(" and
// "#includeonce(" as plain prefixes.  A name is looked for as written, then
// in each directory added with searchAlso, then in the include directory; a
// file found under none gets a "Could not open '...'" line in the output,
// in the directive's place, and on standard error a line that says where
// the directive stands and why the file could not be opened:
//
//   tarvel: lib/a.inc:12: cannot open 'b.inc': no such file or directory
//
// An Expansion borrows the include directory and the name table from its
// owner.  Nesting is kept on an explicit stack, so its depth is limited by
// memory and open files, not by the machine stack.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/line_map.hpp"
#include "app/name_table.hpp"
#include "runtime/counted_string.hpp"
#include "runtime/file_io.hpp"

namespace tarvel {

// The directive forms, in their order of testing.
enum class Directive : std::uint8_t { none, include, dotInclude, hashInclude, hashIncludeOnce };

// The directive form of a line, judged by its first non-blank characters.
Directive classifyLine(std::string_view line);

// The name a directive line names.  Raises kIndexOutOfRange for a malformed ".include",
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

  // Where a directive stands: the including file, by the name that opened
  // it, and the directive's line.
  struct Site {
    std::string_view file;
    std::uint64_t line;
  };

  // Opens `name` as written, else in each directory searched, else in the
  // include directory.  When none opens, writes the "Could not open '"
  // message and its line on standard error (`at` is null for the file
  // named on the command line) and returns a file that is not open; else
  // the name that opened it is in `openedAs`.
  InputFile openInclude(StringRef name, const Site* at, std::string& openedAs);

  // True once some file could not be opened under any name.
  bool anyOpenFailed() const { return anyOpenFailed_; }

  // Looks for names in `directory` too, after the name as written and the
  // directories added before, and before the include directory.
  void searchAlso(std::string_view directory);

  // From now on, the name that opened each file is appended to `opened`,
  // in the order the files are opened.  REQUIRES: `opened` outlives the
  // Expansion.
  void listOpenedFiles(std::vector<std::string>& opened) { opened_ = &opened; }

  // From now on, where each output line comes from is recorded in `map`.
  // REQUIRES: `map` outlives the Expansion.
  void recordLines(LineMap& map) { map_ = &map; }

 private:
  // A file being expanded.
  struct Open {
    InputFile file;
    std::string openedAs;    // the name that opened it
    std::uint32_t inMap;     // its number in the line map
    std::uint64_t nextLine;  // its first line not yet accounted for in the map
  };
  // Records in the map the lines of `open` written since its last record,
  // up to line `to` (not included).
  void mapLinesBefore(Open& open, std::uint64_t to);

  StringRef includeDirectory_;
  std::vector<HeapString> searched_;  // each ending in a separator
  NameTable& names_;
  FileSystem& files_;
  bool anyOpenFailed_ = false;
  std::vector<std::string>* opened_ = nullptr;
  LineMap* map_ = nullptr;
};

}  // namespace tarvel
