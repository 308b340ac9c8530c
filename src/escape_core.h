// The escaping core: the kernels that scan and escape bytes (their shared
// loop and reference table are in kernel_block.h), and the one point that
// picks a kernel for this processor. It knows nothing of Ruby, so it can be
// tested, fuzzed and benchmarked on its own.
#ifndef CGIESC_ESCAPE_CORE_H
#define CGIESC_ESCAPE_CORE_H

#include <cstddef>
#include <cstdint>

namespace cgiesc {

// The longest reference; what one input byte can grow to.
constexpr std::size_t kMaxReferenceLen = 6;

// Room a kernel may use past what it reports written: whole-vector copies
// and 8-byte reference stores overshoot, and are overwritten later.
constexpr std::size_t kSlack = 512;

// Output room that lets escape() finish n input bytes in one call. (No
// string that fits in an address space is long enough to overflow it.)
constexpr std::size_t escaped_bound(std::size_t n) { return kMaxReferenceLen * n + kSlack; }

struct Kernel {
    const char *name;

    // Index of the first special byte in p[0, n), or n if there is none.
    std::size_t (*find)(const unsigned char *p, std::size_t n);

    // Escapes src[0, n) into dst[0, cap) for as far as the room allows,
    // returning the bytes written and setting *consumed to the input bytes
    // that they stand for. With cap >= escaped_bound(n) it consumes all n;
    // with cap >= kSlack it consumes at least one byte. It may scribble on
    // dst up to cap, but never reads outside src[0, n).
    std::size_t (*escape)(const unsigned char *src, std::size_t n, unsigned char *dst,
                          std::size_t cap, std::size_t *consumed);

    // Escapes all of src[0, n) into dst, which has escaped_bound(n) bytes,
    // and returns the bytes written. The caller guarantees kPadding
    // readable bytes after src[n - 1], so that short inputs need no care
    // at their end.
    std::size_t (*escape_padded)(const unsigned char *src, std::size_t n, unsigned char *dst);
};

// Readable bytes that escape_padded may look at past the end of its input.
constexpr std::size_t kPadding = 64;

// Fills out with the kernels this processor can run, fastest first, and
// returns how many there are (at most kMaxKernels).
constexpr std::size_t kMaxKernels = 3;
std::size_t usable_kernels(const Kernel *out[kMaxKernels]);

// The fastest usable kernel: the single dispatch point.
const Kernel &best_kernel();

}  // namespace cgiesc

#endif
