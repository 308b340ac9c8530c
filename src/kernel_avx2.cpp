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

// The five special bytes have five different low nibbles, so one table
// lookup by low nibble names the only special byte a byte could be, and one
// compare tells whether it is. Other nibbles name a byte with the high bit
// set, which no byte that reaches the compare has: vpshufb gives 0 for a
// byte with its high bit set, and 0 is never the byte itself.
constexpr unsigned char special_for(unsigned nibble) {
    return nibble == 0x2 ? '"' : nibble == 0x6 ? '&' : nibble == 0x7 ? '\'' : nibble == 0xC ? '<'
         : nibble == 0xE ? '>' : static_cast<unsigned char>(0x80 | nibble);
}
// And what that special byte adds when escaped.
constexpr unsigned char extra_for(unsigned nibble) {
    return nibble == 0x2 ? kQuoteExtra : nibble == 0x6 || nibble == 0x7 ? kAmpAposExtra
         : nibble == 0xC || nibble == 0xE ? kAngleExtra : 0;
}

template <unsigned char (*F)(unsigned)>
__m256i nibble_table() {
    return _mm256_setr_epi8(F(0), F(1), F(2), F(3), F(4), F(5), F(6), F(7), F(8), F(9), F(10), F(11), F(12), F(13),
                            F(14), F(15), F(0), F(1), F(2), F(3), F(4), F(5), F(6), F(7), F(8), F(9), F(10), F(11),
                            F(12), F(13), F(14), F(15));
}

struct Avx2 {
    static __m256i load(const unsigned char *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
    // -1 in each special byte of v.
    static __m256i special(__m256i v) { return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(nibble_table<special_for>(), v), v); }

    static uint64_t mask(const unsigned char *p) { return half(p) | (half(p + 32) << 32); }
    static uint64_t half(const unsigned char *p) {
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(special(load(p))));
    }

    // Adds up each byte's extra in byte lanes, and folds the lanes into
    // 64-bit ones before they can wrap: a block adds at most 10 to a lane.
    static uint64_t count(const unsigned char *p, size_t blocks) {
        const __m256i extras = nibble_table<extra_for>();
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
extern const Kernel kAvx2Kernel = make_kernel<Avx2>("avx2");
}

#if defined(__clang__)
#pragma clang attribute pop
#endif

#endif
