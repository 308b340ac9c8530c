// NEON kernel: sixteen bytes at a time, four to a block. Advanced SIMD is
// part of every aarch64 processor, so it needs no run-time check.
#include "kernel_block.h"

#ifdef CGIESC_NEON_KERNEL
#include <arm_neon.h>

namespace {

struct Neon {
    // 0xFF in each special byte of v: the nibble lookup of kernel_block.h.
    // The table lookup takes the whole byte as its index, so the index is
    // the low nibble alone.
    static uint8x16_t special(uint8x16_t v, uint8x16_t table) {
        return vceqq_u8(vqtbl1q_u8(table, vandq_u8(v, vdupq_n_u8(0x0F))), v);
    }

    // No byte-mask instruction: give each byte of a compare its bit within
    // its group of eight, then add neighbours until one byte holds a group.
    static uint64_t mask(const unsigned char *p) {
        const uint8x16_t table = vld1q_u8(kNibbles.special);
        static constexpr uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
        const uint8x16_t bits = vld1q_u8(kBits);
        const uint8x16_t m0 = vandq_u8(special(vld1q_u8(p), table), bits);
        const uint8x16_t m1 = vandq_u8(special(vld1q_u8(p + 16), table), bits);
        const uint8x16_t m2 = vandq_u8(special(vld1q_u8(p + 32), table), bits);
        const uint8x16_t m3 = vandq_u8(special(vld1q_u8(p + 48), table), bits);
        uint8x16_t sum = vpaddq_u8(vpaddq_u8(m0, m1), vpaddq_u8(m2, m3));
        sum = vpaddq_u8(sum, sum);
        return vgetq_lane_u64(vreinterpretq_u64_u8(sum), 0);
    }

    // Adds up each byte's extra in byte lanes and folds them before they
    // can wrap: a block adds at most 20 to a lane.
    static uint64_t count(const unsigned char *p, size_t blocks) {
        const uint8x16_t table = vld1q_u8(kNibbles.special);
        const uint8x16_t extras = vld1q_u8(kNibbles.extra);
        uint64_t extra = 0;
        while (blocks) {
            const size_t batch = blocks < 12 ? blocks : 12;
            blocks -= batch;
            uint8x16_t lanes = vdupq_n_u8(0);
            for (const unsigned char *stop = p + batch * 64; p < stop; p += 16) {
                const uint8x16_t v = vld1q_u8(p);
                const uint8x16_t weights = vqtbl1q_u8(extras, vandq_u8(v, vdupq_n_u8(0x0F)));
                lanes = vaddq_u8(lanes, vandq_u8(special(v, table), weights));
            }
            extra += vaddlvq_u8(lanes);
        }
        return extra;
    }

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // A block with more special bytes than this is expanded by pairs
    // (kernel_block.h): avx2's cut-over, measured there; none is measured
    // on arm64 here.
    static constexpr unsigned kDenseAbove = 16;
    static bool dense_block(uint64_t m) { return static_cast<unsigned>(__builtin_popcountll(m)) > kDenseAbove; }

    // Dense blocks by pairs (kernel_block.h), as on avx2.
    static void pair_offsets(const unsigned char *p, uint16_t *offsets) {
        const uint8x16_t table = vld1q_u8(kNibbles.special), kinds = vld1q_u8(kPairs.klass);
        for (size_t q = 0; q < 4; ++q) {
            const uint8x16_t v = vld1q_u8(p + 16 * q);
            const uint8x16_t kind = vandq_u8(vqtbl1q_u8(kinds, vandq_u8(v, vdupq_n_u8(0x0F))), special(v, table));
            const uint16x8_t both = vreinterpretq_u16_u8(kind);
            const uint16x8_t first = vandq_u16(both, vdupq_n_u16(0xFF)), second = vshrq_n_u16(both, 8);
            vst1q_u16(offsets + 8 * q, vaddq_u16(vmulq_n_u16(first, 96), vshlq_n_u16(second, 4)));
        }
    }
    static void put_pair(uint16_t pair, const unsigned char *entry, unsigned char *d) {
        const uint16x8_t pieces = vreinterpretq_u16_u8(vld1q_u8(kPairs.pieces));
        vst1q_u8(d, vqtbl1q_u8(vreinterpretq_u8_u16(vsetq_lane_u16(pair, pieces, 0)), vld1q_u8(entry)));
    }
    static unsigned char *dense(const unsigned char *&blk, size_t blocks, unsigned char *d) {
        return expand_pairs<Neon>(blk, blocks, d);
    }
    static constexpr bool kShortDenseOutOfLine = true;
#endif
};

}  // namespace

namespace cgiesc {
extern const Kernel kNeonKernel = make_kernel<Neon>("neon", kNeon, 16);
}

#endif
