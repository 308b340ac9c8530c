// AVX-512 kernel (F, BW, VL, VBMI, VBMI2): a whole 64-byte block per step,
// and blocks dense with special bytes expanded in vector registers instead
// of one reference store per byte. Compiled for these instruction sets
// whatever the build's target, and used only where the processor and the
// system support them.
#include "escape_core.h"

#ifdef CGIESC_X86_KERNELS
// Everything from here to the end of the kernel, and nothing after it, is
// compiled for AVX-512.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,popcnt,bmi,bmi2"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,popcnt,bmi,bmi2")
#endif

// GCC 12's AVX-512 headers start many intrinsics from an undefined
// register, which it then reports as used uninitialized.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include "kernel_block.h"

namespace {

// Dense expansion. Each group of 8 input bytes becomes one 64-byte register
// of 8 slots, slot k holding what input byte k becomes (its reference, or
// the byte itself in the slot's first byte); a compress drops the unused
// slot bytes and leaves the group's escaped text.
//
// The slot bytes come from one two-table byte permute. Its index is
// made from a per-byte code spread over the slot: a special byte's code is
// the byte itself, and every special byte is below 64, so the code XOR a
// per-position key picks the reference's j-th byte from the first table; a
// clean byte's code is 64 plus its place in the block, which picks the
// byte itself from the second table, the block.
constexpr unsigned char kSlotKey[8] = {0x00, 0x08, 0x20, 0x28, 0x03, 0x0B, 0x00, 0x00};

// A special byte's reference, from the packed words of kernel_block.h.
constexpr unsigned reference_size(unsigned c) { return static_cast<unsigned>(reference_length(kWords.word[c])); }
constexpr unsigned char reference_byte(unsigned c, unsigned j) { return reference_char(kWords.word[c], j); }

struct DenseTables {
    unsigned char refs[64] = {};        // reference bytes, by code ^ key
    unsigned char keys[64] = {};        // kSlotKey, in every slot
    unsigned char keep_below[64] = {};  // slot byte j is used when code < this
    unsigned char clean_code[64] = {};  // 64 + place in the block
    unsigned char spread[64] = {};      // slot k takes byte k of the group's qword
    // The nibble tables of kernel_block.h in all four 128-bit lanes, ready
    // to load: building them from 16 bytes costs short inputs a trip
    // through the stack.
    unsigned char special[64] = {};
    unsigned char extra[64] = {};
    bool ok = true;                     // the checks below hold
    constexpr DenseTables() {
        // Every reference byte gets a table entry of its own, and every
        // special byte is below 64, under any clean byte's code.
        bool used[64] = {};
        for (unsigned c = 0; c < 256; ++c) {
            ok = ok && (reference_size(c) == 0 || c < 64);
            for (unsigned j = 0; j < reference_size(c) && c < 64; ++j) {
                const unsigned at = c ^ kSlotKey[j];
                ok = ok && at < 64 && !used[at];
                used[at] = true;
                refs[at] = reference_byte(c, j);
            }
        }
        // A code is kept at position j when j is within its reference, or j
        // is 0 for a clean byte: one unsigned compare per position, since
        // longer references have smaller codes.
        for (unsigned j = 0; j < 8; ++j) {
            unsigned below = j == 0 ? 0xFF : 0;
            for (unsigned c = 0; c < 64; ++c)
                if (reference_size(c) > j && c + 1 > below) below = c + 1;
            for (unsigned c = 0; c < 64; ++c)
                ok = ok && (reference_size(c) == 0 || (reference_size(c) > j) == (c < below));
            ok = ok && (j == 0 || below <= 64);
            for (unsigned k = 0; k < 8; ++k) {
                keys[8 * k + j] = kSlotKey[j];
                keep_below[8 * k + j] = static_cast<unsigned char>(below);
            }
        }
        for (unsigned i = 0; i < 64; ++i) {
            clean_code[i] = static_cast<unsigned char>(64 + i);
            spread[i] = static_cast<unsigned char>(i / 8);
            special[i] = kNibbles.special[i % 16];
            extra[i] = kNibbles.extra[i % 16];
        }
    }
};
alignas(64) constexpr DenseTables kDense{};
static_assert(kDense.ok, "the slot keys and the references do not fit the dense tables");

__m512i load64(const void *p) { return _mm512_loadu_si512(p); }

// A block of input in a register, for more than one use. GCC would fold the
// load into every instruction that uses it and read the block from memory
// each time: twice per block in the scan, which made clean text slower
// than with avx2, whose loads are half as wide.
__m512i load_block(const unsigned char *p) {
    __m512i v = load64(p);
    __asm__("" : "+v"(v));
    return v;
}

struct Avx512 {
    static __mmask64 special(__m512i v) { return _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(load64(kDense.special), v), v); }

    static uint64_t mask(const unsigned char *p) { return special(load_block(p)); }

    // Each block adds at most 5 to a byte lane; fold before 255.
    static uint64_t count(const unsigned char *p, size_t blocks) {
        const __m512i extras = load64(kDense.extra);
        __m512i total = _mm512_setzero_si512();
        while (blocks) {
            const size_t batch = blocks < 50 ? blocks : 50;
            blocks -= batch;
            __m512i lanes = _mm512_setzero_si512();
            for (const unsigned char *stop = p + batch * 64; p < stop; p += 64) {
                const __m512i v = load_block(p);
                lanes = _mm512_add_epi8(lanes, _mm512_maskz_shuffle_epi8(special(v), extras, v));
            }
            total = _mm512_add_epi64(total, _mm512_sad_epu8(lanes, _mm512_setzero_si512()));
        }
        return static_cast<uint64_t>(_mm512_reduce_add_epi64(total));
    }

    // A block with more special bytes than this is expanded in registers.
    static bool dense_block(uint64_t m) { return _mm_popcnt_u64(m) > 4; }

    // Up to this many dense blocks are set up in one pass, then expanded in
    // the next, so that the expansion never waits on its own set-up.
    static constexpr size_t kChunk = 8;

    // Escapes the dense blocks from blk on, at most `blocks` of them (the
    // first known dense), stopping before the first that is not; moves blk
    // past them and returns where the output goes on.
    static unsigned char *dense(const unsigned char *&blk, size_t blocks, unsigned char *d) {
        alignas(64) unsigned char codes[kChunk][64];
        alignas(64) uint64_t lengths[kChunk][8];
        const __m512i refs = load64(kDense.refs), keys = load64(kDense.keys);
        const __m512i keep_below = load64(kDense.keep_below), spread = load64(kDense.spread);
        const __m512i clean_code = load64(kDense.clean_code), extras = load64(kDense.extra);
        const __m512i eights = _mm512_set1_epi64(8);
        const unsigned char *p = blk;
        while (blocks) {
            const size_t most = blocks < kChunk ? blocks : kChunk;
            size_t n = 0;
            for (; n < most; ++n) {
                const __m512i v = load_block(p + 64 * n);
                const __mmask64 m = special(v);
                if (!dense_block(m)) break;
                _mm512_store_si512(codes[n], _mm512_mask_blend_epi8(m, clean_code, v));
                const __m512i extra = _mm512_maskz_shuffle_epi8(m, extras, v);
                _mm512_store_si512(lengths[n], _mm512_add_epi64(_mm512_sad_epu8(extra, _mm512_setzero_si512()), eights));
            }
            for (size_t b = 0; b < n; ++b) {
                const __m512i v = load_block(p + 64 * b);
                for (size_t g = 0; g < 8; ++g) {
                    uint64_t group;
                    std::memcpy(&group, codes[b] + 8 * g, 8);
                    const __m512i code = _mm512_shuffle_epi8(_mm512_set1_epi64(static_cast<long long>(group)), spread);
                    const __m512i out = _mm512_permutex2var_epi8(refs, _mm512_xor_si512(code, keys), v);
                    const __m512i packed = _mm512_maskz_compress_epi8(_mm512_cmplt_epu8_mask(code, keep_below), out);
                    const size_t len = lengths[b][g];
                    _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), _mm512_castsi512_si256(packed));
                    if (len > 32) _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 32), _mm512_extracti32x4_epi32(packed, 2));
                    d += len;
                }
            }
            p += 64 * n;
            blocks -= n;
            if (n < most) break;
        }
        blk = p;
        return d;
    }
};

}  // namespace

namespace cgiesc {
extern const Kernel kAvx512Kernel = make_kernel<Avx512>("avx512", kAvx512, 64);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif

#endif
