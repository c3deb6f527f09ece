// The process environment, as the command sees it: text with "%NAME%"
// references expanded from the environment's variables.
#pragma once

#include <cstdint>

#include "runtime/counted_string.hpp"

namespace tarvel {

// Replaces dest's contents with `text`, every "%NAME%" reference to a
// defined variable expanded to its value and other text left as written.
// The result and its NUL must fit in `room` characters of dest's storage;
// raises kStringOverflow (dest's length then 0) when they do not or the expansion fails.
// REQUIRES: dest is present and its storage holds at least `room` bytes.
void expandEnvironment(const char* text, CountedString dest, std::uint32_t room);

// Like expandEnvironment, but gives false (dest's length then 0) instead of
// raising a failure.
bool tryExpandEnvironment(const char* text, CountedString dest, std::uint32_t room);

}  // namespace tarvel
