// Console text: what the command writes itself besides the text it
// copies (its messages, numbers, line ends), to standard output through the
// output buffer, or to standard error, unbuffered, a line at a time.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/counted_string.hpp"

namespace tarvel {

// Where output goes: standard output, through its buffer, or standard
// error, unbuffered.
enum class OutputHandle { standardOutput, standardError };

// Writes the characters of s.  Raises kFileWrite, or kDiskFull when the device is full,
// when the output cannot be written.
void writeText(OutputHandle handle, StringRef s);
// Writes `text` and the platform's line end to standard error, in one
// write so that the line is never interleaved with another process's.
void putErrorLine(std::string_view text);
// Writes value in decimal padded to |width| as formatDecimal does.  Raises
// kFieldWidth, writing nothing, when |width| is above 1024.
void writeNumber(OutputHandle handle, std::int64_t value, std::int32_t width, char fill);
// writeText to standard output.
void putText(StringRef s);
// Writes CR LF to standard output.
void putNewline();
// Writes n as a plain signed decimal to standard output.
void putNumber(std::int32_t n);

}  // namespace tarvel
