// The loops shared by every kernel. A kernel supplies only how to turn a
// 64-byte block of input into a bit mask of its special bytes, and how to
// count what whole blocks add when escaped.
//
// Everything here has internal linkage: each kernel's unit compiles its own
// copy for its own instruction set, and the linker must never swap an AVX2
// copy into the path of a processor that lacks AVX2.
#ifndef CGIESC_KERNEL_BLOCK_H
#define CGIESC_KERNEL_BLOCK_H

#include <cstring>
#include <type_traits>

#include "escape_core.h"

namespace {

using cgiesc::kMaxReferenceLen;
using std::size_t;
using std::uint64_t;

// The per-byte helpers must melt into the loop that calls them.
#define CGIESC_INLINE inline __attribute__((always_inline))

// Each reference packed into a word with its length in the last byte, so
// that it is written with one 8-byte store and measured with one shift.
constexpr uint64_t pack_reference(const char *ref) {
    uint64_t word = 0;
    unsigned len = 0;
    for (; ref[len]; ++len) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        word |= uint64_t{static_cast<unsigned char>(ref[len])} << (56 - 8 * len);
#else
        word |= uint64_t{static_cast<unsigned char>(ref[len])} << (8 * len);
#endif
    }
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return word | len;
#else
    return word | uint64_t{len} << 56;
#endif
}

constexpr size_t reference_length(uint64_t word) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return word & 0xFF;
#else
    return word >> 56;
#endif
}

// Byte j of a packed reference.
constexpr unsigned char reference_char(uint64_t word, unsigned j) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<unsigned char>(word >> (56 - 8 * j));
#else
    return static_cast<unsigned char>(word >> (8 * j));
#endif
}

// What each special byte adds when escaped; what the kernels' counts weigh
// their tallies by.
constexpr uint64_t kQuoteExtra = 5;       // "  -> &quot;
constexpr uint64_t kAmpAposExtra = 4;     // & ' -> &amp; &#39;
constexpr uint64_t kAngleExtra = 3;       // < > -> &lt; &gt;

// For kernels with a 16-entry byte shuffle. The five special bytes have
// five different low nibbles, so one lookup by low nibble names the only
// special byte a byte could be, and one compare tells whether it is. Other
// nibbles name a value whose low nibble differs from their own, which no
// byte equals; a shuffle that gives 0 for bytes with the high bit set gives
// a value those bytes never equal either.
constexpr unsigned char special_for_nibble(unsigned nibble) {
    return nibble == 0x2 ? '"' : nibble == 0x6 ? '&' : nibble == 0x7 ? '\'' : nibble == 0xC ? '<'
         : nibble == 0xE ? '>' : static_cast<unsigned char>(nibble ^ 1);
}
// And what that special byte adds when escaped.
constexpr unsigned char extra_for_nibble(unsigned nibble) {
    return static_cast<unsigned char>(nibble == 0x2 ? kQuoteExtra : nibble == 0x6 || nibble == 0x7 ? kAmpAposExtra
                                      : nibble == 0xC || nibble == 0xE ? kAngleExtra : 0);
}
struct NibbleTables {
    unsigned char special[16] = {};
    unsigned char extra[16] = {};
    constexpr NibbleTables() {
        for (unsigned k = 0; k < 16; ++k) {
            special[k] = special_for_nibble(k);
            extra[k] = extra_for_nibble(k);
        }
    }
};
constexpr NibbleTables kNibbles{};

struct ReferenceWords {
    uint64_t word[256] = {};
    constexpr ReferenceWords() {
        word[static_cast<unsigned char>('"')] = pack_reference("&quot;");
        word[static_cast<unsigned char>('&')] = pack_reference("&amp;");
        word[static_cast<unsigned char>('\'')] = pack_reference("&#39;");
        word[static_cast<unsigned char>('<')] = pack_reference("&lt;");
        word[static_cast<unsigned char>('>')] = pack_reference("&gt;");
    }
};

constexpr ReferenceWords kWords{};

// For kernels with a 16-entry byte shuffle but no byte compress: dense
// blocks two input bytes a step. One shuffle builds what a pair of bytes
// becomes (at most 12 bytes) from a register that holds the pair in bytes 0
// and 1 and, in bytes 2 to 15, every byte the references are made of; the
// pair's shuffle control comes from a table of the 36 pairs of byte classes
// (clean, or one of the five special bytes), with the pair's escaped length
// in its last byte. A pair's index in the table times 16 is 96 times its
// first byte's class plus 16 times its second's.
constexpr char kPieces[] = "\0\0&;quotamp#39lg";
static_assert(sizeof kPieces == 17, "two pair bytes and fourteen reference bytes");

// Class of a special byte by its low nibble (see kNibbles): 1 to 5.
constexpr unsigned char class_for_nibble(unsigned nibble) {
    return nibble == 0x2 ? 1 : nibble == 0x6 ? 2 : nibble == 0x7 ? 3 : nibble == 0xC ? 4 : nibble == 0xE ? 5 : 0;
}
constexpr unsigned char kClassByte[6] = {0, '"', '&', '\'', '<', '>'};

struct PairTables {
    unsigned char control[36][16] = {};
    unsigned char klass[16] = {};
    unsigned char pieces[16] = {};
    bool ok = true;  // every reference byte is among the pieces
    constexpr PairTables() {
        for (unsigned k = 0; k < 16; ++k) {
            klass[k] = class_for_nibble(k);
            pieces[k] = static_cast<unsigned char>(kPieces[k]);
        }
        for (unsigned pair = 0; pair < 36; ++pair) {
            unsigned at = 0;
            for (unsigned half = 0; half < 2; ++half) {
                const unsigned cls = half ? pair % 6 : pair / 6;
                if (cls == 0) {
                    control[pair][at++] = static_cast<unsigned char>(half);
                    continue;
                }
                const uint64_t word = kWords.word[kClassByte[cls]];
                for (unsigned j = 0; j < reference_length(word); ++j) {
                    unsigned from = 2;
                    while (from < 16 && pieces[from] != reference_char(word, j)) ++from;
                    ok = ok && from < 16;
                    control[pair][at++] = static_cast<unsigned char>(from);
                }
            }
            for (unsigned j = at; j < 15; ++j) control[pair][j] = 0x80;
            // Byte 15 is never wanted (a pair makes at most 12): its length.
            control[pair][15] = static_cast<unsigned char>(at);
        }
    }
};
alignas(64) constexpr PairTables kPairs{};
static_assert(kPairs.ok, "a reference byte is missing from the pieces");

// Writes the reference for special byte c at d; returns its length.
CGIESC_INLINE size_t put_reference(unsigned char *d, unsigned char c) {
    const uint64_t word = kWords.word[c];
    std::memcpy(d, &word, 8);
    return reference_length(word);
}

CGIESC_INLINE size_t count_trailing_zeros(uint64_t m) { return static_cast<unsigned>(__builtin_ctzll(m)); }

// Source and destination never overlap: the input is never the output.
template <size_t N>
CGIESC_INLINE void copy_fixed(unsigned char *dst, const unsigned char *src) {
    std::memcpy(dst, src, N);
}

// Copies len < Max (at most 64) bytes with two overlapping fixed-size moves,
// reading and writing nothing outside the range: no call into the C library
// for the short copies that dominate small inputs.
template <size_t Max = 65>
CGIESC_INLINE void copy_small(unsigned char *dst, const unsigned char *src, size_t len) {
    if (Max > 32 && len >= 32) {
        copy_fixed<32>(dst, src);
        copy_fixed<32>(dst + len - 32, src + len - 32);
    } else if (Max > 16 && len >= 16) {
        copy_fixed<16>(dst, src);
        copy_fixed<16>(dst + len - 16, src + len - 16);
    } else if (Max > 8 && len >= 8) {
        copy_fixed<8>(dst, src);
        copy_fixed<8>(dst + len - 8, src + len - 8);
    } else if (len >= 4) {
        copy_fixed<4>(dst, src);
        copy_fixed<4>(dst + len - 4, src + len - 4);
    } else if (len > 0) {
        dst[0] = src[0];
        dst[len / 2] = src[len / 2];
        dst[len - 1] = src[len - 1];
    }
}

// Copies a run of clean bytes as whole 32-byte moves, the first Head bytes
// unconditionally: reads up to 31 bytes past the run (at least Head in all)
// and writes as far; the writes are overwritten by what follows. Runs in
// markup are short, so one move; Head = 64 suits long runs, as in prose.
template <size_t Head = 32>
CGIESC_INLINE void copy_run_overreading(unsigned char *dst, const unsigned char *src, size_t len) {
    static_assert(Head % 32 == 0 && Head <= 512, "whole moves within the short-run loop");
    for (size_t k = 0; k < Head; k += 32) copy_fixed<32>(dst + k, src + k);
    if (len <= Head) return;
    if (len <= 512) {
        for (size_t k = Head; k < len; k += 32) copy_fixed<32>(dst + k, src + k);
    } else {
        std::memcpy(dst + Head, src + Head, len - Head);
    }
}

// copy_run_overreading as a type, so that passing it on keeps it inlined.
template <size_t Head>
struct Overreading {
    CGIESC_INLINE void operator()(unsigned char *dst, const unsigned char *src, size_t len) const {
        copy_run_overreading<Head>(dst, src, len);
    }
};

// Copies exactly len bytes.
CGIESC_INLINE void copy_exact(unsigned char *dst, const unsigned char *src, size_t len) {
    if (len <= 64) {
        copy_small(dst, src, len);
    } else {
        std::memcpy(dst, src, len);
    }
}

// Copies a run of clean bytes; avail (at least len) is how many bytes may be
// read from src.
CGIESC_INLINE void copy_run(unsigned char *dst, const unsigned char *src, size_t len, size_t avail) {
    if (len <= 32 ? avail >= 32 : avail - len >= 31) {
        copy_run_overreading(dst, src, len);
    } else {
        copy_exact(dst, src, len);
    }
}

// Kernels look at 64 bytes at a time. Block policy B supplies B::mask(p):
// bit k set when p[k] is special, for k < 64; and B::count(p, blocks): the
// bytes that escaping p[0, 64 * blocks) adds.
constexpr size_t kBlock = 64;

// Mask of the last, partial block p[0, len), 0 < len < kBlock, read without
// touching a byte outside the input: from the block that ends with the input
// when there is one (before counts the input bytes ahead of p), else from a
// zero-padded copy.
template <class B>
CGIESC_INLINE uint64_t tail_mask(const unsigned char *p, size_t len, size_t before) {
    if (before + len >= kBlock) return B::mask(p + len - kBlock) >> (kBlock - len);
    unsigned char tail[kBlock] = {};
    copy_small<kBlock>(tail, p, len);
    return B::mask(tail);
}

template <class B>
size_t find_blocks(const unsigned char *p, size_t n) {
    size_t i = 0;
    // A load that straddles two cache lines costs two, and a whole block at
    // an address that is not a multiple of 64 always does: after the first
    // block, read from the next 64-byte boundary on (overlapping the first).
    if (n >= 2 * kBlock) {
        const uint64_t m = B::mask(p);
        if (m) return count_trailing_zeros(m);
        i = kBlock - (reinterpret_cast<uintptr_t>(p) & (kBlock - 1));
    }
    for (; i + kBlock <= n; i += kBlock) {
        const uint64_t m = B::mask(p + i);
        if (m) return i + count_trailing_zeros(m);
    }
    if (i < n) {
        const uint64_t m = tail_mask<B>(p + i, n - i, i);
        if (m) return i + count_trailing_zeros(m);
    }
    return n;
}

// Where the first special byte of p[0, n) is, n a whole number of blocks:
// the find loop, out of line, for the escape loop to skip clean stretches.
template <class B>
__attribute__((noinline)) size_t skip_clean(const unsigned char *p, size_t n) {
    return find_blocks<B>(p, n);
}

// Clean blocks in a row after which the escape loop skips ahead out of
// line: prose has short clean stretches, a clean text one long one.
constexpr size_t kCleanBlocksBeforeSkip = 4;

// What escaping a zero-padded last block adds. Zero is not special.
template <class B>
CGIESC_INLINE uint64_t tail_count(const unsigned char *p, size_t len) {
    unsigned char tail[kBlock] = {};
    copy_small<kBlock>(tail, p, len);
    return B::count(tail, 1);
}

// B::count(p, blocks) gives what escaping p[0, 64 * blocks) adds.
template <class B>
uint64_t count_blocks(const unsigned char *p, size_t n) {
    const size_t whole = n / kBlock;
    uint64_t extra = whole ? B::count(p, whole) : 0;
    if (n % kBlock) extra += tail_count<B>(p + whole * kBlock, n % kBlock);
    return extra;
}

// Writes the run from p up to special byte j with copy(d, p, len), then
// j's reference, and moves d and p past them.
template <class Copy>
CGIESC_INLINE void put_run_and_reference(unsigned char *&d, const unsigned char *&p, const unsigned char *j,
                                         Copy copy) {
    const size_t len = static_cast<size_t>(j - p);
    copy(d, p, len);
    d += len;
    d += put_reference(d, *j);
    p = j + 1;
}

// Writes never pass the escaped length by more than one reference store's
// overshoot: a run copy that overreads only does so with at least as many
// input bytes still to come, each of which writes at least one byte.
static_assert(8 - 4 <= cgiesc::kWriteSlack, "slack too small for a reference store");

// A kernel may also expand blocks dense with special bytes in its own way:
// B::dense_block(mask) says which, and B::dense(blk, blocks, d) escapes the
// dense blocks from blk on, at most `blocks` whole ones (the first known
// dense), moves blk past them and returns the new d. Its writes may pass
// the escaped text as far as the write slack.
template <class B, class = void>
struct HasDense : std::false_type {};
template <class B>
struct HasDense<B, std::void_t<decltype(&B::dense)>> : std::true_type {};

// A kernel's dense path called out of line, for a kernel that asks for it
// in the short inputs' loop (B::kShortDenseOutOfLine): the pair expansion,
// inlined there, made clang's 16-byte calls 0.9 times as fast, and called
// in the long inputs' loop, clang's markup 0.9 times as fast; avx512's
// short markup was 0.85 times as fast with its expansion called.
template <class B, class = void>
struct ShortDenseOutOfLine : std::false_type {};
template <class B>
struct ShortDenseOutOfLine<B, std::void_t<decltype(B::kShortDenseOutOfLine)>> : std::true_type {};

template <class B>
__attribute__((noinline)) unsigned char *dense_out_of_line(const unsigned char *&blk, size_t blocks, unsigned char *d) {
    return B::dense(blk, blocks, d);
}

// Hands a dense block and those after it to the kernel, after the run
// before it; false, and nothing done, when the kernel has no dense path or
// the block is not dense.
template <class B, bool OutOfLine = false>
CGIESC_INLINE bool put_dense(const unsigned char *&blk, size_t blocks, uint64_t m, const unsigned char *&p,
                             unsigned char *&d) {
    if constexpr (HasDense<B>::value) {
        if (!B::dense_block(m)) return false;
        const size_t len = static_cast<size_t>(blk - p);
        copy_run_overreading(d, p, len);
        d = OutOfLine ? dense_out_of_line<B>(blk, blocks, d + len) : B::dense(blk, blocks, d + len);
        p = blk;
        return true;
    } else {
        (void)blk, (void)blocks, (void)m, (void)p, (void)d;
        return false;
    }
}

// The dense path of kernels that expand by pairs (kPairs): their
// B::dense is expand_pairs<B>. B::pair_offsets(p, offsets) writes the table
// offsets of the block's 32 pairs; B::put_pair(pair, entry, d) stores 16
// bytes at d, the first of them what the pair (its two bytes as they lie in
// memory) becomes. Writes up to 16 bytes past its text.
template <class B>
CGIESC_INLINE unsigned char *expand_pairs(const unsigned char *&blk, size_t blocks, unsigned char *d) {
    const unsigned char *p = blk;
    do {
        uint16_t offsets[32];
        B::pair_offsets(p, offsets);
        for (size_t k = 0; k < 32; ++k) {
            const unsigned char *entry = &kPairs.control[0][0] + offsets[k];
            uint16_t pair;
            std::memcpy(&pair, p + 2 * k, 2);
            B::put_pair(pair, entry, d);
            d += entry[15];
        }
        p += kBlock;
    } while (--blocks && B::dense_block(B::mask(p)));
    blk = p;
    return d;
}
static_assert(cgiesc::kWriteSlack >= 16, "slack too small for a pair's store");

template <class B>
size_t escape_blocks(const unsigned char *const src, const size_t n, unsigned char *const dst) {
    const unsigned char *const end = src + n;
    const unsigned char *p = src;  // first input byte not yet written
    const unsigned char *blk = src;
    unsigned char *d = dst;

    size_t clean_blocks = 0;  // clean blocks just passed

    // Blocks followed by at least another block: every run can move as
    // whole 32-byte copies, or 64-byte ones, without reading past the end.
    while (static_cast<size_t>(end - blk) >= 2 * kBlock) {
        uint64_t m = B::mask(blk);
        if (!m) {  // clean: nothing to write yet, nor to ask of a dense path
            blk += kBlock;
            // A long clean stretch (most of a clean text) goes to the find
            // loop, out of line, which keeps the kernel's tables in
            // registers: this loop calls out, so it reloads them for every
            // block. Short ones stay here, where a call would cost more.
            if (++clean_blocks == kCleanBlocksBeforeSkip) {
                clean_blocks = 0;
                const size_t room = static_cast<size_t>(end - blk) / kBlock * kBlock - kBlock;
                blk += skip_clean<B>(blk, room) / kBlock * kBlock;
            }
            continue;
        }
        clean_blocks = 0;
        if (put_dense<B>(blk, static_cast<size_t>(end - blk) / kBlock - 1, m, p, d)) continue;
        // One special byte in the block, as in prose: the run before it is
        // long, and one unconditional 64-byte move spares most runs the
        // branch on their length, which sparse text mispredicts.
        if (m && !(m & (m - 1))) {
            put_run_and_reference(d, p, blk + count_trailing_zeros(m), Overreading<64>{});
        } else {
            for (; m; m &= m - 1) put_run_and_reference(d, p, blk + count_trailing_zeros(m), Overreading<32>{});
        }
        blk += kBlock;
    }
    // The last bytes, with copies that stay inside the input.
    while (blk < end) {
        const size_t width = static_cast<size_t>(end - blk) < kBlock ? static_cast<size_t>(end - blk) : kBlock;
        uint64_t m = width == kBlock ? B::mask(blk) : tail_mask<B>(blk, width, static_cast<size_t>(blk - src));
        const auto copy = [end](unsigned char *to, const unsigned char *from, size_t len) {
            copy_run(to, from, len, static_cast<size_t>(end - from));
        };
        for (; m; m &= m - 1) put_run_and_reference(d, p, blk + count_trailing_zeros(m), copy);
        blk += width;
    }
    const size_t rest = static_cast<size_t>(end - p);
    copy_exact(d, p, rest);
    return static_cast<size_t>(d - dst) + rest;
}

// Every read may run up to cgiesc::kPadding bytes past the end, so each
// run moves as whole 32-byte copies and the last block needs no care.
template <class B>
size_t escape_padded(const unsigned char *const src, const size_t n, unsigned char *const dst) {
    static_assert(cgiesc::kPadding >= kBlock && cgiesc::kPadding >= 32, "padding too small");
    static_assert(cgiesc::kWriteSlack >= 32, "slack too small for the last run copy");
    const unsigned char *const end = src + n;
    const unsigned char *p = src;
    unsigned char *d = dst;
    for (const unsigned char *blk = src; blk < end;) {
        uint64_t m = B::mask(blk);
        const size_t left = static_cast<size_t>(end - blk);
        if (left < kBlock) {
            m &= (uint64_t{1} << left) - 1;
        } else if (put_dense<B, ShortDenseOutOfLine<B>::value>(blk, left / kBlock, m, p, d)) {
            continue;
        }
        for (; m; m &= m - 1) put_run_and_reference(d, p, blk + count_trailing_zeros(m), Overreading<32>{});
        blk += kBlock;
    }
    const size_t rest = static_cast<size_t>(end - p);
    copy_run_overreading(d, p, rest);
    return static_cast<size_t>(d - dst) + rest;
}

template <class B>
constexpr cgiesc::Kernel make_kernel(const char *name, unsigned needs, unsigned width) {
    return cgiesc::Kernel{name, needs, width, find_blocks<B>, count_blocks<B>, escape_blocks<B>, escape_padded<B>};
}

}  // namespace

#endif
