// AVX2 kernel: thirty-two bytes at a time. Compiled for AVX2 whatever the
// build's target, and used only where the processor reports AVX2.
#include "escape_core.h"

#ifdef CGIESC_X86_KERNELS
// Everything from here to the end of the kernel, and nothing after it, is
// compiled for AVX2.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include <immintrin.h>

#include "kernel_block.h"

namespace {

// The nibble tables of kernel_block.h, in both 128-bit lanes.
__m256i nibble_table(const unsigned char (&table)[16]) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(table)));
}

struct Avx2 {
    static __m256i load(const unsigned char *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
    // -1 in each special byte of v.
    static __m256i special(__m256i v) { return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(nibble_table(kNibbles.special), v), v); }

    static uint64_t mask(const unsigned char *p) { return half(p) | (half(p + 32) << 32); }
    static uint64_t half(const unsigned char *p) {
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(special(load(p))));
    }

    // Adds up each byte's extra in byte lanes, and folds the lanes into
    // 64-bit ones before they can wrap: a block adds at most 10 to a lane.
    static uint64_t count(const unsigned char *p, size_t blocks) {
        const __m256i extras = nibble_table(kNibbles.extra);
        __m256i total = _mm256_setzero_si256();
        while (blocks) {
            const size_t batch = blocks < 25 ? blocks : 25;
            blocks -= batch;
            __m256i lanes = _mm256_setzero_si256();
            for (const unsigned char *stop = p + batch * 64; p < stop; p += 32) {
                const __m256i v = load(p);
                lanes = _mm256_add_epi8(lanes, _mm256_and_si256(special(v), _mm256_shuffle_epi8(extras, v)));
            }
            total = _mm256_add_epi64(total, _mm256_sad_epu8(lanes, _mm256_setzero_si256()));
        }
        const __m128i x = _mm_add_epi64(_mm256_castsi256_si128(total), _mm256_extracti128_si256(total, 1));
        return static_cast<uint64_t>(_mm_cvtsi128_si64(x)) +
               static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(x, x)));
    }
};

}  // namespace

namespace cgiesc {
extern const Kernel kAvx2Kernel = make_kernel<Avx2>("avx2", kAvx2, 32);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
