// tarvel_kernels: prints the block-copy kernels this processor runs, one
// name per line as TARVEL_BLOCK_COPY names them, the fastest last.  A test
// helper: CI runs the suites once under each kernel it prints.
#include <cstdio>
#include <string_view>

#include "runtime/block_copy/block_copy.hpp"

int main() {
  for (const std::string_view name : tarvel::blockcopy::availableKernels())
    std::printf("%.*s\n", static_cast<int>(name.size()), name.data());
  return std::fflush(stdout) == 0 ? 0 : 1;
}
