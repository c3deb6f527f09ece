// The choice of kernel: the one place that knows which kernels this build
// has and asks the processor which it can run.  One policy for every x86
// build, 32-bit included: the build assumes nothing beyond the plain
// instruction set, and SSE2, AVX2, AVX-512 and AVX-512 with VBMI2 are
// chosen at run time.
#include <iterator>

#include "runtime/block_copy/kernels.hpp"
#include "runtime/environment.hpp"

namespace tarvel::blockcopy {

namespace {

// What the processor must have for a method; the plain one needs nothing.
struct Offer {
  Method method;
  const char* name;  // as TARVEL_BLOCK_COPY names it
  const Kernel* kernel;
  bool (*runs)();
};

#if defined(TARVEL_BLOCK_COPY_X86)
bool hasSse2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse2");
}
// The bit instructions the AVX2 and AVX-512 kernels are compiled with.
bool hasBitInstructions() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
}
bool hasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && hasBitInstructions();
}
bool hasAvx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         hasBitInstructions();
}
bool hasAvx512Vbmi2() {
  __builtin_cpu_init();
  return hasAvx512() && __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
}
bool always() { return true; }

constexpr Offer kOffers[] = {
    {Method::bytewise, "bytewise", &kBytewiseKernel, always},
    {Method::sse2, "sse2", &kSse2Kernel, hasSse2},
    {Method::avx2, "avx2", &kAvx2Kernel, hasAvx2},
    {Method::avx512, "avx512", &kAvx512Kernel, hasAvx512},
    {Method::avx512vbmi2, "avx512vbmi2", &kAvx512Vbmi2Kernel, hasAvx512Vbmi2},
};
#else
bool always() { return true; }

constexpr Offer kOffers[] = {{Method::bytewise, "bytewise", &kBytewiseKernel, always}};
#endif

struct Choice {
  Method available[std::size(kOffers)];
  const Kernel* kernels[std::size(kOffers)];
  std::size_t count;
};

Choice findAvailable() {
  Choice found{};
  for (const Offer& offer : kOffers) {
    if (!offer.runs()) continue;
    found.available[found.count] = offer.method;
    found.kernels[found.count++] = offer.kernel;
  }
  return found;
}

const Choice& choice() {
  static const Choice found = findAvailable();
  return found;
}

// The method TARVEL_BLOCK_COPY names, or the fastest available.
Method initialMethod() {
  constexpr std::uint32_t kLongestName = 16;
  FixedString<kLongestName> value;
  // An unset variable stays a reference; a value too long names nothing.
  if (tryExpandEnvironment("%TARVEL_BLOCK_COPY%", value, kLongestName + 1))
    for (const Offer& offer : kOffers)
      if (value.view() == offer.name) return offer.method;
  return choice().available[choice().count - 1];
}

struct InUse {
  Method method;
  const Kernel* kernel;
};

// The kernel of `method`, or the fastest available when it is not.
InUse kernelFor(Method method) {
  const Choice& found = choice();
  for (std::size_t i = 0; i < found.count; ++i)
    if (found.available[i] == method) return {method, found.kernels[i]};
  return {found.available[found.count - 1], found.kernels[found.count - 1]};
}

InUse& inUse() {
  static InUse chosen = kernelFor(initialMethod());
  return chosen;
}

}  // namespace

std::span<const Method> availableMethods() { return {choice().available, choice().count}; }

Method currentMethod() { return inUse().method; }

void useMethod(Method method) { inUse() = kernelFor(method); }

Result copyOrdinary(const char* from, const char* end, bool final, bool streamCurrent, CrRun& cr,
                    const LineFilter& filter) {
  return inUse().kernel->copyOrdinary(from, end, final, streamCurrent, cr, filter);
}

const char* findLineEnd(const char* p, std::size_t n) { return inUse().kernel->findLineEnd(p, n); }

const char* lastLineStart(const char* from, const char* to) {
  return inUse().kernel->lastLineStart(from, to);
}

}  // namespace tarvel::blockcopy
