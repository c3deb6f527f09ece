// The failure report as one line of text, shared by the platform modules:
// both write it to standard error with a single call, so that it is never
// interleaved with other output.  Safe inside a signal handler.
#pragma once

#include <cstddef>
#include <cstring>

namespace tarvel::platform {

// Stores "caption: text" and a line end, LF or (with `crlf`) CR LF, in
// `line`, cutting the text (then the caption) to fit, and returns the
// length stored.
template <std::size_t N>
std::size_t reportLine(char (&line)[N], const char* caption, std::size_t captionSize,
                       const char* text, std::size_t textSize, bool crlf = false) {
  static_assert(N > 2, "room for the line end");
  const std::size_t endSize = crlf ? 2 : 1;
  std::size_t n = 0;
  const auto append = [&](const char* bytes, std::size_t size) {
    const std::size_t room = N - endSize - n;
    const std::size_t take = size < room ? size : room;
    std::memcpy(line + n, bytes, take);
    n += take;
  };
  append(caption, captionSize);
  append(": ", 2);
  append(text, textSize);
  if (crlf) line[n++] = '\r';
  line[n++] = '\n';
  return n;
}

}  // namespace tarvel::platform
