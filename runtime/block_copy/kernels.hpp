// Inside the block copier: what the kernels share with the code compiled
// plainly, and how the choice of kernel (choice.cpp) reaches them.
//
// Each kernel file (bytewise.cpp and one per row of kernel_table.hpp) is
// one instruction set's small vocabulary of mask primitives (see
// vocabulary.hpp), compiled with that instruction set's options, plus the
// algorithm of scan.hpp instantiated over it.  Nothing a kernel file
// defines may be shared with code compiled for another instruction set: the
// scan's headers keep everything in an unnamed namespace and use compiler
// built-ins rather than library templates, and what calls into other code
// (head judging, the sink) goes through plainly compiled code or a function
// pointer.  Otherwise the linker could keep an AVX2 copy of a shared inline
// function and hand it to a processor without AVX2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/block_copy/block_copy.hpp"

namespace tarvel::blockcopy {

// A mask over a block of 64 bytes, bit i for byte i.
using Bits = std::uint64_t;

// The wanted prefixes of a LineFilter as the kernels test them: every
// character folded (bit 0x20 set) and compared with the entry of its
// prefix.  A byte is wanted when, folded, it and each of the `size - 1`
// bytes after it (the k-th) equal the entry tables[k][f & 15], where f is
// the folded byte itself: the table row of a prefix is picked by the low
// four bits of its first character.  That folds 'i' and 'I' together and
// lets through a few control characters as well (0x0e with '.', say),
// which is harmless: a wanted prefix only makes a line a candidate, and the
// filter judges every candidate.  Folding never turns a wanted byte away.
//
// `byTable` tells whether the tables serve: no two folded first characters
// share their low four bits unless their whole prefixes agree.  `prefixes`
// lists the distinct folded prefixes, to compare with one by one where the
// tables do not serve, where fewer than four characters are compared, and
// in kernels without a table lookup.
struct Prefixes {
  char tables[4][16];
  char prefixes[4][4];
  std::size_t count;  // entries of `prefixes`
  std::size_t size;   // characters compared: 2 to 4
  bool byTable;
};
Prefixes prefixesOf(const LineFilter& filter);

// An entry of `tables` that no folded byte equals: folding sets bit 0x20.
inline constexpr char kNoByte = static_cast<char>(0x80);

// Whether `filter` picks the head of `size` characters at `head`, judged
// as judgeHead judges a whole head.
bool picksHead(const LineFilter& filter, const char* head, std::size_t size);

// One kernel's entry points, as block_copy.hpp declares them.
struct KernelEntryPoints {
  Result (*copyOrdinary)(const Input& input, CrRun& cr, const LineFilter& filter, const Sink& sink);
  const char* (*findLineEnd)(const char* p, std::size_t n);
  const char* (*lastLineStart)(const char* from, const char* to);
};

// Each kernel's entry points, defined in its file: bytewiseKernel on every
// build, and one NAMEKernel per row of kernel_table.hpp where the build has
// the x86 kernels.
extern const KernelEntryPoints bytewiseKernel;
#define TARVEL_X86_KERNEL(name, requirement) extern const KernelEntryPoints name##Kernel;
#include "runtime/block_copy/kernel_table.hpp"
#undef TARVEL_X86_KERNEL

// The kernel TARVEL_BLOCK_COPY names (edge.cpp): what the choice takes
// before any other.
std::string_view kernelNamedByEnvironment();

}  // namespace tarvel::blockcopy
