// SSE2 kernel: sixteen bytes at a time. SSE2 is part of every x86-64.
#include "kernel_block.h"

#if defined(__x86_64__) && !defined(CGIESC_NO_SIMD)
#include <emmintrin.h>

namespace {

struct Sse2 {
    static uint64_t mask(const unsigned char *p) {
        return quarter(p) | (quarter(p + 16) << 16) | (quarter(p + 32) << 32) | (quarter(p + 48) << 48);
    }
    static uint64_t quarter(const unsigned char *p) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        // '&' and '\'' differ only in bit 0, '<' and '>' only in bit 1.
        const __m128i quot = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
        const __m128i amp = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(1)), _mm_set1_epi8('\''));
        const __m128i angle = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(2)), _mm_set1_epi8('>'));
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(quot, _mm_or_si128(amp, angle))));
    }
};

}  // namespace

namespace cgiesc {
extern const Kernel kSse2Kernel = make_kernel<Sse2>("sse2");
}

#endif
