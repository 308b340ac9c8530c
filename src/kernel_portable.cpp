// Portable kernel: eight bytes at a time in a 64-bit word. It serves
// processors without a vector kernel and builds with the fast paths off.
#include "kernel_block.h"

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
constexpr uint64_t kHigh = 0x8080808080808080ULL;

// High bit set in exactly the bytes of x that equal c. Unlike the usual
// has-zero trick this has no false positives, as the escape loop needs.
inline uint64_t bytes_equal(uint64_t x, unsigned char c) {
    const uint64_t y = x ^ (kOnes * c);
    return ~(((y & kLow7) + kLow7) | y) & kHigh;
}

// Gathers the high bit of each byte into the low eight bits, byte k to bit k.
inline uint64_t pack_high_bits(uint64_t m) { return ((m >> 7) * 0x0102040810204080ULL) >> 56; }

struct Swar {
    static uint64_t mask(const unsigned char *p) {
        uint64_t m = 0;
        for (unsigned k = 0; k < 8; ++k) m |= pack_high_bits(word(p + 8 * k)) << (8 * k);
        return m;
    }
    static uint64_t load(const unsigned char *p) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        return x;
    }
    // '&' and '\'' differ only in bit 0, '<' and '>' only in bit 1.
    static uint64_t quot(uint64_t x) { return bytes_equal(x, '"'); }
    static uint64_t amp_apos(uint64_t x) { return bytes_equal(x | kOnes, '\''); }
    static uint64_t angle(uint64_t x) { return bytes_equal(x | (kOnes * 2), '>'); }

    static uint64_t word(const unsigned char *p) {
        uint64_t x = load(p);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        x = __builtin_bswap64(x);  // the first byte must be the lowest
#endif
        return quot(x) | amp_apos(x) | angle(x);
    }

    // Tallies each class in byte lanes (a match adds one; byte order does
    // not matter to a count) and folds them before they can wrap: each
    // block adds at most 8 to a lane.
    static uint64_t count(const unsigned char *p, size_t blocks) {
        uint64_t extra = 0;
        while (blocks) {
            const size_t batch = blocks < 31 ? blocks : 31;
            blocks -= batch;
            uint64_t q = 0, a = 0, g = 0;
            for (const unsigned char *stop = p + batch * 64; p < stop; p += 8) {
                const uint64_t x = load(p);
                q += quot(x) >> 7;
                a += amp_apos(x) >> 7;
                g += angle(x) >> 7;
            }
            extra += kQuoteExtra * sum(q) + kAmpAposExtra * sum(a) + kAngleExtra * sum(g);
        }
        return extra;
    }
    // Sum of the eight byte lanes, through four 16-bit ones.
    static uint64_t sum(uint64_t lanes) {
        constexpr uint64_t kEven = 0x00FF00FF00FF00FFULL;
        const uint64_t pairs = (lanes & kEven) + ((lanes >> 8) & kEven);
        return (pairs * 0x0001000100010001ULL) >> 48;
    }
};

}  // namespace

namespace cgiesc {
extern const Kernel kPortableKernel = make_kernel<Swar>("portable", 0, 8);
}
