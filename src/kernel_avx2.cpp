// AVX2 kernel: thirty-two bytes at a time. Compiled for AVX2 (with BMI1 and
// POPCNT, which every AVX2 processor has) whatever the build's target, and
// used only where the processor reports all three.
#include "escape_core.h"

#ifdef CGIESC_X86_KERNELS
// Everything from here to the end of the kernel, and nothing after it, is
// compiled for AVX2.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,popcnt")
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

    // A block with more special bytes than this is expanded by pairs, which
    // costs about what the loop over 16 special bytes costs: below 16,
    // markup and form fields were slower (12: 0.82 times as fast on form
    // fields; 8: 0.65 on markup).
    static constexpr unsigned kDenseAbove = 16;
    static bool dense_block(uint64_t m) { return static_cast<unsigned>(_mm_popcnt_u64(m)) > kDenseAbove; }

    // Dense blocks by pairs (kernel_block.h). A pair's table offset is 96
    // times its first byte's kind plus 16 times its second's: one multiply-add
    // of byte pairs.
    static void pair_offsets(const unsigned char *p, uint16_t *offsets) {
        const __m256i kinds = nibble_table(kPairs.klass), weights = _mm256_set1_epi16(static_cast<short>(96 | 16 << 8));
        for (size_t half = 0; half < 2; ++half) {
            const __m256i v = load(p + 32 * half);
            const __m256i kind = _mm256_and_si256(_mm256_shuffle_epi8(kinds, v), special(v));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(offsets + 16 * half), _mm256_maddubs_epi16(kind, weights));
        }
    }
    static void put_pair(uint16_t pair, const unsigned char *entry, unsigned char *d) {
        const __m128i pieces = _mm_load_si128(reinterpret_cast<const __m128i *>(kPairs.pieces));
        const __m128i control = _mm_load_si128(reinterpret_cast<const __m128i *>(entry));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), _mm_shuffle_epi8(_mm_insert_epi16(pieces, pair, 0), control));
    }
    static unsigned char *dense(const unsigned char *&blk, size_t blocks, unsigned char *d) {
        return expand_pairs<Avx2>(blk, blocks, d);
    }
    static constexpr bool kShortDenseOutOfLine = true;
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
