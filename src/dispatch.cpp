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
extern const Kernel kAvx512Kernel;
#endif
#ifdef CGIESC_NEON_KERNEL
extern const Kernel kNeonKernel;
#endif

namespace {

const Kernel *const kByPriority[] = {
#ifdef CGIESC_X86_KERNELS
    &kAvx512Kernel,
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
// Vector kernels need the processor's support and the system's: the OS must
// save the wider registers on a context switch (XCR0: bits 1 and 2 for the
// 256-bit state, 5 to 7 for the mask and 512-bit state).
unsigned read_x86_features() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    const unsigned leaf1_c = c;
    if (!(leaf1_c & bit_OSXSAVE) || !(leaf1_c & bit_AVX)) return 0;
    unsigned xcr0_lo, xcr0_hi;
    __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0_lo & 0x6) != 0x6 || !__get_cpuid_count(7, 0, &a, &b, &c, &d)) return 0;
    unsigned features = 0;
    // A hypervisor may hide BMI1 or POPCNT, which the avx2 kernel uses too.
    if ((b & bit_AVX2) && (b & bit_BMI) && (leaf1_c & bit_POPCNT)) features |= kAvx2;
#ifndef __APPLE__
    // macOS turns the AVX-512 state on for a thread only when the thread
    // first runs an AVX-512 instruction, so XCR0 answers differently from
    // thread to thread there: macOS stays on avx2, the same on every thread.
    const unsigned need_b = bit_AVX512F | bit_AVX512BW | bit_AVX512VL | bit_BMI | bit_BMI2;
    const unsigned need_c = bit_AVX512VBMI | bit_AVX512VBMI2;
    if ((xcr0_lo & 0xE6) == 0xE6 && (b & need_b) == need_b && (c & need_c) == need_c && (leaf1_c & bit_POPCNT))
        features |= kAvx512;
#endif
    return features;
}
#endif

unsigned read_features() {
    unsigned features = 0;
#if defined(__x86_64__)
    features |= kSse2;  // part of every x86-64
#ifdef CGIESC_X86_KERNELS
    features |= read_x86_features();
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
