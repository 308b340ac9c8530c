// The escape loop shared by every kernel. A kernel supplies only how to turn
// a block of input into a bit mask of its special bytes.
//
// Everything here has internal linkage: each kernel's unit compiles its own
// copy for its own instruction set, and the linker must never swap an AVX2
// copy into the path of a processor that lacks AVX2.
#ifndef CGIESC_KERNEL_BLOCK_H
#define CGIESC_KERNEL_BLOCK_H

#include <cstring>

#include "escape_core.h"

namespace {

using cgiesc::kMaxReferenceLen;
using cgiesc::kSlack;
using std::size_t;
using std::uint64_t;

// References padded to 8 bytes, so each one is written with a single store.
struct PaddedReference {
    char text[8] = {};
    unsigned char len = 0;
};

struct PaddedTable {
    PaddedReference row[256];
    constexpr PaddedTable() : row() {
        set('"', "&quot;");
        set('&', "&amp;");
        set('\'', "&#39;");
        set('<', "&lt;");
        set('>', "&gt;");
    }
    constexpr void set(unsigned char c, const char *ref) {
        unsigned char n = 0;
        while (ref[n]) {
            row[c].text[n] = ref[n];
            ++n;
        }
        row[c].len = n;
    }
};

constexpr PaddedTable kPadded{};

inline unsigned count_trailing_zeros(uint64_t m) { return static_cast<unsigned>(__builtin_ctzll(m)); }

// Copies a run of clean bytes. Short runs, the common case in markup, are
// moved as one fixed 32-byte copy when the source allows the overread.
inline void copy_run(unsigned char *dst, const unsigned char *src, size_t len, bool may_overread) {
    if (len <= 32 && may_overread) {
        unsigned char tmp[32];
        std::memcpy(tmp, src, 32);
        std::memcpy(dst, tmp, 32);
    } else {
        std::memcpy(dst, src, len);
    }
}

// Block policy B: B::kWidth bytes a block; B::mask(p) returns a mask with
// bit (k << B::kShift) set when p[k] is special, and no other bits.
template <class B>
size_t find_blocks(const unsigned char *p, size_t n) {
    constexpr size_t W = B::kWidth;
    size_t i = 0;
    for (; i + 2 * W <= n; i += 2 * W) {
        if (B::mask(p + i) | B::mask(p + i + W)) break;
    }
    for (; i + W <= n; i += W) {
        uint64_t m = B::mask(p + i);
        if (m) return i + (count_trailing_zeros(m) >> B::kShift);
    }
    if (i < n) {
        // The tail goes through a padded copy: no read past the end.
        unsigned char tail[W] = {};
        std::memcpy(tail, p + i, n - i);
        uint64_t m = B::mask(tail);
        if (m) return i + (count_trailing_zeros(m) >> B::kShift);
    }
    return n;
}

template <class B>
size_t escape_blocks(const unsigned char *src, size_t n, unsigned char *dst, size_t cap,
                     size_t *consumed) {
    constexpr size_t W = B::kWidth;
    static_assert(kMaxReferenceLen * W + 32 + 8 <= kSlack, "slack too small for a block");
    size_t prev = 0;  // first input byte not yet written
    size_t w = 0;     // output bytes written
    size_t i = 0;
    unsigned char tail[W] = {};
    while (i < n) {
        const size_t width = n - i < W ? n - i : W;
        // Room for the pending run plus the block at its worst, with slack.
        if (cap - w < (i - prev) + kMaxReferenceLen * W + 40) {
            if (cap - w >= i - prev) {
                std::memcpy(dst + w, src + prev, i - prev);
                w += i - prev;
                prev = i;
            }
            *consumed = prev;
            return w;
        }
        uint64_t m;
        if (width == W) {
            m = B::mask(src + i);
        } else {
            // Zero padding is not special, so the mask ends with the input.
            std::memcpy(tail, src + i, width);
            m = B::mask(tail);
        }
        while (m) {
            const size_t j = i + (count_trailing_zeros(m) >> B::kShift);
            copy_run(dst + w, src + prev, j - prev, prev + 32 <= n);
            w += j - prev;
            const PaddedReference &ref = kPadded.row[src[j]];
            std::memcpy(dst + w, ref.text, 8);
            w += ref.len;
            prev = j + 1;
            m &= m - 1;
        }
        i += width;
    }
    if (cap - w < n - prev) {
        *consumed = prev;
        return w;
    }
    std::memcpy(dst + w, src + prev, n - prev);
    *consumed = n;
    return w + (n - prev);
}

template <class B>
constexpr cgiesc::Kernel make_kernel(const char *name) {
    return cgiesc::Kernel{name, find_blocks<B>, escape_blocks<B>};
}

}  // namespace

#endif
