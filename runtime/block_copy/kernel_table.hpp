// The block copier's x86 kernels, the one list of them: the fastest last,
// each with the instruction-set extensions it is built for.  The plain
// kernel, bytewise, comes before them on every build and is not listed.
//
// A row is TARVEL_X86_KERNEL(NAME, HAS("EXTENSION") && ...), on one line.
// NAME is the kernel's name in TARVEL_BLOCK_COPY; its file is
// runtime/block_copy/NAME.cpp and defines NAMEKernel, its entry points.
// CMakeLists.txt reads the rows and compiles each file with -mEXTENSION for
// every extension named; kernels.hpp declares the entry points, and
// choice.cpp offers a kernel where the processor has every extension
// (__builtin_cpu_supports).  Adding a kernel is its file and its row here.
//
// No include guard: each reader defines TARVEL_X86_KERNEL (and HAS) to
// take what it needs from the rows.

// clang-format off
TARVEL_X86_KERNEL(sse2,        HAS("sse2"))
TARVEL_X86_KERNEL(avx2,        HAS("avx2") && HAS("bmi") && HAS("popcnt"))
TARVEL_X86_KERNEL(avx512,      HAS("avx512f") && HAS("avx512bw") && HAS("bmi") && HAS("popcnt"))
TARVEL_X86_KERNEL(avx512vbmi2, HAS("avx512f") && HAS("avx512bw") && HAS("bmi") && HAS("popcnt") && HAS("avx512vbmi2") && HAS("bmi2"))
// clang-format on
