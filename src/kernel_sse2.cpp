// SSE2 kernel: sixteen bytes at a time. SSE2 is part of every x86-64.
#include "kernel_block.h"

#ifdef CGIESC_X86_KERNELS
#include <emmintrin.h>

namespace {

struct Sse2 {
    struct Classes {
        __m128i quot, amp_apos, angle;  // -1 in each byte of that class
    };
    static Classes classify(const unsigned char *p) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        // '&' and '\'' differ only in bit 0, '<' and '>' only in bit 1.
        return {_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(1)), _mm_set1_epi8('\'')),
                _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(2)), _mm_set1_epi8('>'))};
    }

    static uint64_t mask(const unsigned char *p) {
        return quarter(p) | (quarter(p + 16) << 16) | (quarter(p + 32) << 32) | (quarter(p + 48) << 48);
    }
    static uint64_t quarter(const unsigned char *p) {
        const Classes c = classify(p);
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(c.quot, _mm_or_si128(c.amp_apos, c.angle))));
    }

    // Tallies each class in byte lanes (subtracting a match, -1, adds one)
    // and folds the lanes before they can wrap: each block adds at most 4.
    static uint64_t count(const unsigned char *p, size_t blocks) {
        uint64_t extra = 0;
        while (blocks) {
            const size_t batch = blocks < 63 ? blocks : 63;
            blocks -= batch;
            __m128i quot = _mm_setzero_si128(), amp_apos = quot, angle = quot;
            for (const unsigned char *stop = p + batch * 64; p < stop; p += 16) {
                const Classes c = classify(p);
                quot = _mm_sub_epi8(quot, c.quot);
                amp_apos = _mm_sub_epi8(amp_apos, c.amp_apos);
                angle = _mm_sub_epi8(angle, c.angle);
            }
            extra += kQuoteExtra * sum(quot) + kAmpAposExtra * sum(amp_apos) + kAngleExtra * sum(angle);
        }
        return extra;
    }
    static uint64_t sum(__m128i lanes) {
        const __m128i s = _mm_sad_epu8(lanes, _mm_setzero_si128());
        return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) + static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
    }
};

}  // namespace

namespace cgiesc {
extern const Kernel kSse2Kernel = make_kernel<Sse2>("sse2", kSse2, 16);
}

#endif
