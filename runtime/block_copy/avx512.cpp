// The AVX-512 kernel: compiled with -mavx512bw (and the bit instructions
// that come with it), for x86 processors that have them, 32-bit ones
// included.
#include "runtime/block_copy/avx512.hpp"

#include "runtime/block_copy/scan.hpp"

namespace tarvel::blockcopy {
const KernelEntryPoints avx512Kernel = entryPointsOf<Avx512>();
}  // namespace tarvel::blockcopy
