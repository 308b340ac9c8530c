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
    struct Classes {
        __m256i quot, amp_apos, angle;  // -1 in each byte of that class
    };
    static Classes classify(const unsigned char *p) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        // '&' and '\'' differ only in bit 0, '<' and '>' only in bit 1.
        return {_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')),
                _mm256_cmpeq_epi8(_mm256_or_si256(v, _mm256_set1_epi8(1)), _mm256_set1_epi8('\'')),
                _mm256_cmpeq_epi8(_mm256_or_si256(v, _mm256_set1_epi8(2)), _mm256_set1_epi8('>'))};
    }

    static uint64_t mask(const unsigned char *p) { return half(p) | (half(p + 32) << 32); }
    static uint64_t half(const unsigned char *p) {
        const Classes c = classify(p);
        const __m256i any = _mm256_or_si256(c.quot, _mm256_or_si256(c.amp_apos, c.angle));
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(any));
    }

    // Tallies each class in byte lanes (subtracting a match, -1, adds one)
    // and folds the lanes before they can wrap: each block adds at most 2.
    static uint64_t count(const unsigned char *p, size_t blocks) {
        uint64_t extra = 0;
        while (blocks) {
            const size_t batch = blocks < 127 ? blocks : 127;
            blocks -= batch;
            __m256i quot = _mm256_setzero_si256(), amp_apos = quot, angle = quot;
            for (const unsigned char *stop = p + batch * 64; p < stop; p += 32) {
                const Classes c = classify(p);
                quot = _mm256_sub_epi8(quot, c.quot);
                amp_apos = _mm256_sub_epi8(amp_apos, c.amp_apos);
                angle = _mm256_sub_epi8(angle, c.angle);
            }
            extra += kQuoteExtra * sum(quot) + kAmpAposExtra * sum(amp_apos) + kAngleExtra * sum(angle);
        }
        return extra;
    }
    static uint64_t sum(__m256i lanes) {
        const __m256i s = _mm256_sad_epu8(lanes, _mm256_setzero_si256());
        const __m128i x = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
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
