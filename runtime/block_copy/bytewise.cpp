// The plain kernel: masks made one byte at a time.  Every processor runs
// it, and the other kernels are tested against it.
#include <cstring>

#include "runtime/block_copy/kernels.hpp"

namespace tarvel::blockcopy {
namespace {

struct Bytewise {
  static constexpr bool kHasLookup = false;

  static Bits equal(const char* p, char c) {
    Bits mask = 0;
    for (unsigned i = 0; i < 64; ++i) mask |= Bits{p[i] == c} << i;
    return mask;
  }
  static Bits foldedEqual(const char* p, char c) {
    Bits mask = 0;
    for (unsigned i = 0; i < 64; ++i) mask |= Bits{static_cast<char>(p[i] | 0x20) == c} << i;
    return mask;
  }
  static void store64(char* to, const char* from) { std::memcpy(to, from, 64); }
};

}  // namespace
}  // namespace tarvel::blockcopy

#include "runtime/block_copy/scan.hpp"

namespace tarvel::blockcopy {
const Kernel kBytewiseKernel = kernelOf<Bytewise>();
}  // namespace tarvel::blockcopy
