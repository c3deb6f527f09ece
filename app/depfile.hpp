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
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvel {

// `name` as make and ninja read a name in a rule: a space (and the
// backslashes right before it, doubled) or "#" after a backslash, "$" as
// "$$".
std::string escapedForMake(std::string_view name);

// The dependency file of `output`, made from the files `opened` (each as
// the name that opened it) in their order.
std::string dependencyText(std::string_view output, const std::vector<std::string>& opened);

}  // namespace tarvel
