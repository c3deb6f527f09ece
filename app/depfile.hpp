// The dependency file: which files a flattening read, written as a rule
// that make and ninja read, so that a build redoes the flattening when one
// of them changes.
//
//   OUTPUT: FILE <backslash>
//    first.inc <backslash>
//    lib/second.inc
//   first.inc:
//   lib/second.inc:
//
// (each <backslash> a backslash that continues the line).
// The files come in the order they were opened, each once.  Every file but
// the first also gets a rule of its own with nothing in it, so that a build
// does not stop when an include that is no longer used is deleted.  Lines
// end in LF on every system: make and ninja read them so on Windows too.
//
// Every name is written so that GNU make and ninja (its "deps = gcc"
// reader) both read back that very name, wherever it stands: the target,
// the list after it, the empty rules.  The two tools share only a few
// escapes, and those are the only ones used:
//
//   space  "\ ", with the backslashes right before it doubled
//          (2N+1 backslashes and a space are N backslashes and a space)
//   #      "\#"
//   :      "\:", so "C:\dir\a.inc" as "C\:\dir\a.inc" (ninja reads "\:"
//          before a blank as a backslash and the rule's colon, which is
//          why no name may end in ":")
//   $      "$$"
//
// Any other byte is written as it is.  A name none of whose spellings both
// tools read as itself cannot be written, and the caller must not write a
// dependency file that holds it:
//   - empty, or with a control byte (newline, CR, TAB, ...) or DEL: ninja
//     ends a name there, and a newline cannot be escaped at all;
//   - with one of  " & ' * ; < > ? ^ ` |  : ninja ends a name there too,
//     and keeps the backslash of "\;" and the like;
//   - with "=": make reads a rule line with "=" before its colon, or in the
//     first names after it, as a variable assignment, and has no escape;
//   - with "%" as a target (the output, or an include's empty rule): make
//     reads it as a pattern, and ninja keeps the backslash of "\%"; in the
//     list of files "%" is plain for both;
//   - with "[" and a "]" after it: make expands the name as a wildcard
//     when a file matches it, and ninja keeps the backslash of "\[";
//   - starting with "~": make reads "~" and "~user" as a home directory;
//   - ending in ")" with a "(" after its first character: make reads
//     "lib(member)" as a member of an archive;
//   - ending in "\", ":" or a blank, or with backslashes right before "#",
//     ":" or "$": make and ninja count the backslashes differently, or make
//     folds the blank into the line that continues;
//   - one of make's special targets (a dot and capitals, like ".PHONY" or
//     ".IGNORE", which an empty rule would switch on), "define" or
//     "undefine" (which make reads as a variable definition at the start of
//     the list).
//
// The files are written with their names made plain where that changes
// nothing they name (normalisedName): "a//b" as "a/b", "./a" and "a/./b"
// as "a/b".  The target is written as it was given: make takes it for the
// target of a rule only when spelled as that rule spells it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel {

// Where a name stands in the dependency file: make reads some characters
// differently in a target ("%" as a pattern).
enum class NameRole { prerequisite, target };

// `name` as make and ninja both read it back in the `role` given, or
// nothing when no spelling does (see above).
std::optional<std::string> escapedForMake(std::string_view name, NameRole role);

// `name` with every run of separators (the characters of `separators`)
// after its start made one, and every "." component followed by a separator
// dropped.  ".." is kept: through a symbolic link it names another place
// than the path without it.  A name that starts with two separators is kept
// as it is: on Windows it is a network or device name ("\\server\share",
// "\\?\C:\..."), whose dots and separators are the system's to read, and on
// POSIX "//" may mean something of its own.  A name left with nothing is
// ".".
std::string normalisedName(std::string_view name, std::string_view separators);

// The dependency file, or the first name that cannot be written in one.
struct DependencyText {
  std::string text;        // the rule, when every name could be written
  std::string unwritable;  // else the first name that could not be: text is then empty
};

// The dependency file of `target`, made from the files `opened` (each as
// the name that opened it, as systemName turned it) in their order.  A
// backslash in those names is a separator: systemName leaves none on POSIX.
DependencyText dependencyText(std::string_view target, const std::vector<std::string>& opened);

}  // namespace tarvel
