// Line maps: for every line of a flattened output, the file and the line it
// came from, so that a message about a line of the output can be turned
// back into one about the source.
//
// A map grows with the stretches of consecutive lines that come from one
// file, not with the lines: an expansion records a stretch where a file
// starts, where it goes on after an include, and where it ends.  A
// "Could not open" line stands for its directive's line, so it continues
// the stretch it interrupts.
//
// The text of a map, lines ended by LF (CR LF read as well):
//
//   tarvel line map 1                 the format and its version
//   output flat.asm                   the output, by the name it was given
//   file 1 main.asm                   a file, by the name that opened it,
//   file 2 lib/macros.inc             before the first stretch from it
//   lines 1 12 1 1                    output lines 1-12 are lines 1-12 of file 1
//   lines 13 40 2 1                   output lines 13-52 are lines 1-40 of file 2
//   lines 53 5 1 14                   output lines 53-57 are lines 14-18 of file 1
//
// A "lines" record is OUTPUT-FIRST COUNT FILE SOURCE-FIRST; the records
// follow each other without gaps from output line 1.  A name is the rest of
// its line, with '%', CR and LF written as %25, %0D and %0A.  Lines are
// counted by their LFs: a lone CR ends no line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel {

class LineMap {
 public:
  // Where an output line came from.
  struct Origin {
    std::string_view file;
    std::uint64_t line;
  };

  // ---- Recording ----

  // A file the output takes lines from, by the name that opened it: its
  // number in the map.
  std::uint32_t addFile(std::string name);
  // The next `count` output lines are the lines of file `file` from line
  // `first` on.  Joined to the last stretch when they continue it.
  void addLines(std::uint32_t file, std::uint64_t first, std::uint64_t count);
  // The map's text, for the output called `outputName`.
  std::string text(std::string_view outputName) const;

  // ---- Reading back ----

  // Reads a map's text; false, with what is wrong in `error`, when it is
  // not one this version reads.
  bool read(std::string_view text, std::string& error);
  // The output's name, as the map gives it.
  const std::string& outputName() const { return output_; }
  // The lines the map covers.
  std::uint64_t lineCount() const;
  // Where output line `line` (from 1) came from; nothing outside the output.
  std::optional<Origin> find(std::uint64_t line) const;

 private:
  struct Stretch {
    std::uint64_t outputFirst;
    std::uint64_t count;
    std::uint32_t file;  // from 1
    std::uint64_t sourceFirst;
  };
  std::string output_;
  std::vector<std::string> files_;
  std::vector<Stretch> stretches_;
};

// Appends `line` (one line of an assembler's or compiler's messages, its
// line end included or not) to `out` with every reference to a line of the
// map's output turned into one to the source: NAME(LINE), NAME(LINE,COL),
// NAME:LINE: and NAME:LINE:COL:, where NAME is the output's name, or any
// path that ends in its last component.  Everything else, a reference to a
// line the map does not have included, is copied as it stands.
void translateLine(std::string_view line, const LineMap& map, std::string& out);

}  // namespace tarvel
