// AVX2 kernel: thirty-two bytes at a time. Compiled for AVX2 whatever the
// build's target, and used only where the processor reports AVX2.
#if defined(__x86_64__) && !defined(CGIESC_NO_SIMD)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif

#include <immintrin.h>

#include "kernel_block.h"

namespace {

struct Avx2 {
    static uint64_t mask(const unsigned char *p) { return half(p) | (half(p + 32) << 32); }
    static uint64_t half(const unsigned char *p) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        // '&' and '\'' differ only in bit 0, '<' and '>' only in bit 1.
        const __m256i quot = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('"'));
        const __m256i amp =
            _mm256_cmpeq_epi8(_mm256_or_si256(v, _mm256_set1_epi8(1)), _mm256_set1_epi8('\''));
        const __m256i angle =
            _mm256_cmpeq_epi8(_mm256_or_si256(v, _mm256_set1_epi8(2)), _mm256_set1_epi8('>'));
        const __m256i any = _mm256_or_si256(quot, _mm256_or_si256(amp, angle));
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(any));
    }
};

}  // namespace

namespace cgiesc {
extern const Kernel kAvx2Kernel = make_kernel<Avx2>("avx2");
}

#if defined(__clang__)
#pragma clang attribute pop
#endif

#endif
