// The name of a temporary file, shared by the platform modules: each gives
// what varies from run to run and from call to call (a clock, the process
// id); this mixes it into sixteen hex digits.
#pragma once

#include <cstdint>
#include <string>

namespace tarvel::platform {

// `directory` + ".tarvel-" + 16 hex digits + ".tmp".  A name no other run
// is likely to pick at the same moment; being hard to guess is not what
// keeps it safe: the exclusive create is.
inline std::string freshName(const std::string& directory, std::uint64_t clock,
                             std::uint64_t processId) {
  static std::uint64_t counter = 0;
  std::uint64_t x = clock ^ (processId << 40) ^ (++counter * 0x9E3779B97F4A7C15u);
  // The finishing steps of splitmix64: every input bit reaches every digit.
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  x ^= x >> 31;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name = directory + ".tarvel-";
  for (int shift = 60; shift >= 0; shift -= 4) name += kDigits[(x >> shift) & 0xF];
  return name + ".tmp";
}

}  // namespace tarvel::platform
