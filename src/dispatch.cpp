// The single point that decides which kernel runs on this processor: one
// priority list, fastest first, and the first kernel whose needs are met.
#include <cstring>

#include "escape_core.h"

#ifdef CGIESC_X86_KERNELS
#include <cpuid.h>
#endif

namespace cgiesc {

extern const Kernel kPortableKernel;
#ifdef CGIESC_X86_KERNELS
extern const Kernel kSse2Kernel;
extern const Kernel kAvx2Kernel;
#endif
#ifdef CGIESC_NEON_KERNEL
extern const Kernel kNeonKernel;
#endif

namespace {

const Kernel *const kByPriority[] = {
#ifdef CGIESC_X86_KERNELS
    &kAvx2Kernel,
    &kSse2Kernel,
#endif
#ifdef CGIESC_NEON_KERNEL
    &kNeonKernel,
#endif
    &kPortableKernel,
};
static_assert(sizeof kByPriority / sizeof kByPriority[0] <= kMaxKernels, "raise kMaxKernels");

#ifdef CGIESC_X86_KERNELS
// AVX2 needs the processor's support and the system's: the OS must save the
// 256-bit registers on a context switch (XCR0 bits 1 and 2).
bool has_avx2() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool osxsave = c & bit_OSXSAVE;
    const bool avx = c & bit_AVX;
    if (!osxsave || !avx) return false;
    unsigned xcr0_lo, xcr0_hi;
    __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0_lo & 0x6) != 0x6) return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return b & bit_AVX2;
}
#endif

unsigned read_features() {
    unsigned features = 0;
#if defined(__x86_64__)
    features |= kSse2;  // part of every x86-64
#ifdef CGIESC_X86_KERNELS
    if (has_avx2()) features |= kAvx2;
#endif
#elif defined(__aarch64__)
    features |= kNeon;  // part of every aarch64
#endif
    return features;
}

bool runs_with(const Kernel &k, unsigned features) { return (k.needs & ~features) == 0; }

}  // namespace

// Read afresh each time (a few instructions, at load and in tests): a
// function-local static would need the C++ runtime's guard functions.
unsigned cpu_features() { return read_features(); }

std::size_t usable_kernels(const Kernel *out[kMaxKernels], unsigned features) {
    std::size_t count = 0;
    for (const Kernel *k : kByPriority)
        if (runs_with(*k, features)) out[count++] = k;
    return count;
}

const Kernel &best_kernel(unsigned features) {
    for (const Kernel *k : kByPriority)
        if (runs_with(*k, features)) return *k;
    return kPortableKernel;
}

Choice choose_kernel(const char *requested, unsigned features) {
    const Kernel &best = best_kernel(features);
    if (requested == nullptr || *requested == '\0') return {&best, nullptr};
    for (const Kernel *k : kByPriority) {
        if (std::strcmp(k->name, requested) != 0) continue;
        if (runs_with(*k, features)) return {k, nullptr};
        return {&best, "needs instructions this processor lacks"};
    }
    return {&best, "is not a kernel of this build"};
}

}  // namespace cgiesc
