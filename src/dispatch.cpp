// The single point that decides which kernel runs on this processor.
#include "escape_core.h"

#if defined(__x86_64__) && !defined(CGIESC_NO_SIMD)
#include <cpuid.h>
#define CGIESC_X86_KERNELS 1
#endif

namespace cgiesc {

extern const Kernel kPortableKernel;
#ifdef CGIESC_X86_KERNELS
extern const Kernel kSse2Kernel;
extern const Kernel kAvx2Kernel;
#endif

namespace {

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

}  // namespace

std::size_t usable_kernels(const Kernel *out[kMaxKernels]) {
    std::size_t count = 0;
#ifdef CGIESC_X86_KERNELS
    if (has_avx2()) out[count++] = &kAvx2Kernel;
    out[count++] = &kSse2Kernel;
#endif
    out[count++] = &kPortableKernel;
    return count;
}

const Kernel &best_kernel() {
    const Kernel *all[kMaxKernels];
    usable_kernels(all);
    return *all[0];
}

}  // namespace cgiesc
