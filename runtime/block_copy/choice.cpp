// The choice of kernel: the one place that knows which kernels this build
// has and asks the processor which it can run.  One policy for every x86
// build, 32-bit included: the build assumes nothing beyond the plain
// instruction set, and the kernels of kernel_table.hpp are chosen at run
// time.  The kernel named first, before any useKernel, is the one the
// environment names (edge.cpp reads it).
#include <iterator>
#include <string_view>

#include "runtime/block_copy/kernels.hpp"

namespace tarvel::blockcopy {

namespace {

// A kernel of this build: its name, as TARVEL_BLOCK_COPY gives it, its
// entry points, and whether this processor has what it needs.
struct BuiltKernel {
  std::string_view name;
  const KernelEntryPoints* entryPoints;
  bool (*processorRuns)();
};

bool always() { return true; }

// The fastest last.
constexpr BuiltKernel kBuilt[] = {
    {"bytewise", &bytewiseKernel, always},
#if defined(TARVEL_BLOCK_COPY_X86)
#define HAS(extension) __builtin_cpu_supports(extension)
#define TARVEL_X86_KERNEL(name, requirement) \
  {#name, &name##Kernel, [] {                \
     __builtin_cpu_init();                   \
     return static_cast<bool>(requirement);  \
   }},
#include "runtime/block_copy/kernel_table.hpp"
#undef TARVEL_X86_KERNEL
#undef HAS
#endif
};

// The kernels this processor runs, in the order of kBuilt.
struct Runnable {
  std::string_view names[std::size(kBuilt)];
  const BuiltKernel* kernels[std::size(kBuilt)];
  std::size_t count;
};

Runnable findRunnable() {
  Runnable found{};
  for (const BuiltKernel& kernel : kBuilt) {
    if (!kernel.processorRuns()) continue;
    found.names[found.count] = kernel.name;
    found.kernels[found.count++] = &kernel;
  }
  return found;
}

const Runnable& runnable() {
  static const Runnable found = findRunnable();
  return found;
}

// The kernel called `name` where this processor runs it, else the fastest
// it runs.
const BuiltKernel& choose(std::string_view name) {
  const Runnable& found = runnable();
  for (std::size_t i = 0; i < found.count; ++i)
    if (found.names[i] == name) return *found.kernels[i];
  return *found.kernels[found.count - 1];
}

const BuiltKernel*& inUse() {
  static const BuiltKernel* chosen = &choose(kernelNamedByEnvironment());
  return chosen;
}

}  // namespace

std::span<const std::string_view> availableKernels() {
  return {runnable().names, runnable().count};
}

std::string_view currentKernel() { return inUse()->name; }

void useKernel(std::string_view name) { inUse() = &choose(name); }

Result copyOrdinary(const Input& input, CrRun& cr, const LineFilter& filter, const Sink& sink) {
  return inUse()->entryPoints->copyOrdinary(input, cr, filter, sink);
}

const char* findLineEnd(const char* p, std::size_t n) {
  return inUse()->entryPoints->findLineEnd(p, n);
}

const char* lastLineStart(const char* from, const char* to) {
  return inUse()->entryPoints->lastLineStart(from, to);
}

}  // namespace tarvel::blockcopy
