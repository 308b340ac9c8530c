// The escaping core: the kernels that scan and escape bytes (their shared
// loop and reference table are in kernel_block.h), and the one point that
// picks a kernel for this processor. It knows nothing of Ruby, so it can be
// tested, fuzzed and benchmarked on its own.
#ifndef CGIESC_ESCAPE_CORE_H
#define CGIESC_ESCAPE_CORE_H

#include <cstddef>
#include <cstdint>

// Which vector kernels this build holds: decided here, once. The x86 ones
// are compiled for their instruction sets whatever the build's target and
// chosen at run time; Advanced SIMD is part of every aarch64 processor.
#if !defined(CGIESC_NO_SIMD) && defined(__x86_64__)
#define CGIESC_X86_KERNELS 1
#endif
#if !defined(CGIESC_NO_SIMD) && defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define CGIESC_NEON_KERNEL 1
#endif

// The one symbol a shared object of cgiesc exports, its entry point: by
// visibility on ELF and Mach-O (everything else is hidden), by an export
// table on Windows, where a DLL without one exports every symbol.
#ifdef _WIN32
#define CGIESC_EXPORT __declspec(dllexport)
#else
#define CGIESC_EXPORT __attribute__((visibility("default")))
#endif

namespace cgiesc {

// What a kernel needs of the processor (and the system), as bits.
enum Feature : unsigned {
    kSse2 = 1u << 0,
    kAvx2 = 1u << 1,  // with the system saving the 256-bit registers
    kNeon = 1u << 2,
    // AVX-512 F, BW, VL, VBMI and VBMI2 (with POPCNT, BMI1, BMI2), with the
    // system saving the mask and 512-bit registers
    kAvx512 = 1u << 3,
};

// The features this processor has, read once.
unsigned cpu_features();

// The longest reference; what one input byte can grow to.
constexpr std::size_t kMaxReferenceLen = 6;

// Room a kernel may write past the end of the escaped text: whole-vector
// run copies and 8-byte reference stores overshoot, and what lies past the
// end is never read.
constexpr std::size_t kWriteSlack = 64;

// Output room that holds n input bytes escaped, however many are special.
// (No string that fits in an address space is long enough to overflow it.)
constexpr std::size_t escaped_bound(std::size_t n) { return kMaxReferenceLen * n + kWriteSlack; }

// The capacity to allocate for a result of n + extra bytes (and the write
// slack), or 0 when that would pass limit, the longest string the host
// allows. Computed without overflow for any n <= limit.
constexpr std::uint64_t result_capacity(std::uint64_t n, std::uint64_t extra, std::uint64_t limit) {
    return n <= limit && extra <= limit - n && kWriteSlack <= limit - n - extra ? n + extra + kWriteSlack : 0;
}

struct Kernel {
    const char *name;

    // The features it needs (Feature bits); 0 runs anywhere.
    unsigned needs;

    // Bytes one classifying step looks at: of the kernels a processor can
    // run, the widest is the fastest.
    unsigned width;

    // Index of the first special byte in p[0, n), or n if there is none.
    std::size_t (*find)(const unsigned char *p, std::size_t n);

    // How many bytes escaping p[0, n) adds: n plus this is the escaped
    // length. 64-bit even where size_t is not, so that it cannot wrap.
    std::uint64_t (*count)(const unsigned char *p, std::size_t n);

    // Escapes all of src[0, n) into dst, which has room for the escaped
    // length plus kWriteSlack, and returns the escaped length. It may write
    // anywhere in that room, but never reads outside src[0, n).
    std::size_t (*escape)(const unsigned char *src, std::size_t n, unsigned char *dst);

    // The same, for a caller that guarantees kPadding readable bytes after
    // src[n - 1], so that short inputs need no care at their end.
    std::size_t (*escape_padded)(const unsigned char *src, std::size_t n, unsigned char *dst);
};

// Readable bytes that escape_padded may look at past the end of its input.
constexpr std::size_t kPadding = 64;

// Fills out with the kernels that a processor with these features can run,
// fastest first, and returns how many there are (at most kMaxKernels).
// Tests pass fewer features than the processor has, to reach the choices
// of older processors.
constexpr std::size_t kMaxKernels = 4;
std::size_t usable_kernels(const Kernel *out[kMaxKernels], unsigned features = cpu_features());

// The fastest usable kernel: the single dispatch point.
const Kernel &best_kernel(unsigned features = cpu_features());

// A kernel and, when it is not the one requested, why not.
struct Choice {
    const Kernel *kernel;
    const char *problem;
};

// The kernel named by requested when it can run, else the fastest usable
// one with the reason (problem stays null when requested is null or empty,
// or was met). Returned by value: the entry point that calls it may be
// left by longjmp, so it keeps no address-taken local.
Choice choose_kernel(const char *requested, unsigned features = cpu_features());

}  // namespace cgiesc

#endif
