#include "runtime/environment.hpp"

#include "runtime/failure.hpp"
#include "runtime/platform/platform.hpp"

namespace tarvel {

void expandEnvironment(const char* text, CountedString dest, std::uint32_t room) {
  if (!tryExpandEnvironment(text, dest, room)) raiseFailure(failure::kStringOverflow);
}

bool tryExpandEnvironment(const char* text, CountedString dest, std::uint32_t room) {
  const std::uint32_t n = platform::expandEnvironmentStrings(text, dest.chars(), room);
  if (n == 0 || n > room) {
    dest.setLength(0);
    return false;
  }
  dest.setLength(n - 1);
  return true;
}

}  // namespace tarvel
