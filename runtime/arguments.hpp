// The command-line argument vector: the process's command line split into
// arguments, numbered from 0 (the program name).  Where the system hands a
// process its arguments already split (POSIX: the shell has split them),
// they are taken as they are; where it hands over one raw line (Windows),
// that line is split by the rules below.
//
// Arguments are separated by runs of characters with codes 1 to 32 and 127.
// A token that begins with a double quote runs to the next double quote (or
// the end of the text); the argument is the text between the quotes, and the
// scan goes on after the closing one.  At most 255 arguments are allowed.
//
// The vector owns its arguments; callers get references they neither change
// nor release.  The process-wide vector is built once, on first use.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "runtime/counted_string.hpp"

namespace tarvel {

// The most arguments a command line may hold, the program name included.
inline constexpr std::uint32_t kMaxArguments = 255;

class ArgumentVector {
 public:
  ArgumentVector() = default;
  ArgumentVector(const ArgumentVector&) = delete;
  ArgumentVector& operator=(const ArgumentVector&) = delete;

  // Splits `text`.  Raises kTooManyParameters at the 256th argument, kMemoryAllocation when memory
  // runs out. REQUIRES: called once, with text not null.
  void parse(const char* text);
  // Takes arguments already split, as they are.  Raises kTooManyParameters at the 256th
  // argument, kMemoryAllocation when memory runs out.  REQUIRES: called once, instead of
  // parse.
  void adopt(int argc, const char* const* argv);

  std::uint32_t count() const { return count_; }
  // The argument at `index`.  Raises kValueOutOfRange when index >= count().
  StringRef at(std::uint32_t index) const;
  // The text the arguments were cut from, unchanged; after adopt, the
  // arguments joined as joinArguments joins them.
  StringRef commandLine() const { return commandLine_; }

 private:
  HeapString commandLine_;
  std::array<HeapString, kMaxArguments + 1> slots_;
  std::uint32_t count_ = 0;
};

// The text that stands for the command line on a platform that hands a
// process its arguments already split: the arguments joined by single
// spaces, each one that is empty, contains a delimiter or begins with a
// double quote wrapped in double quotes, so that splitting gives back every
// argument that holds no double quote after its first character.
HeapString joinArguments(int argc, const char* const* argv);

// The number of arguments of this process, the program name included.
// Builds the vector on first use.
std::uint32_t argumentCount();
// The argument of this process at `index`.  Raises kValueOutOfRange when index is not below
// argumentCount().
StringRef argumentAt(std::uint32_t index);

// True when `argument` is the system's own way of asking a command for help
// ("/?" on Windows, where no file can bear that name); never on POSIX.
bool isSystemHelpSwitch(std::string_view argument);

}  // namespace tarvel
