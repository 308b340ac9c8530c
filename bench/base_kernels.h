// The kernels of another commit's core (rake bench:kernels BASE=commit),
// for a benchmark that times them beside this tree's. Plain names: the
// other core is compiled with its namespace renamed, and its Kernel type
// may differ from this one's.
#ifndef CGIESC_BENCH_BASE_KERNELS_H
#define CGIESC_BENCH_BASE_KERNELS_H

#include <cstddef>
#include <cstdint>

struct BenchKernel {
    const char *name;
    std::size_t (*escape)(const unsigned char *src, std::size_t n, unsigned char *dst);
    std::size_t (*escape_padded)(const unsigned char *src, std::size_t n, unsigned char *dst);
    std::uint64_t (*count)(const unsigned char *p, std::size_t n);
};

// Fills out with the other core's kernels that this processor runs,
// fastest first; returns how many (at most max).
std::size_t bench_base_kernels(BenchKernel *out, std::size_t max);

#endif
