// Built against another commit's src/ with -Dcgiesc=cgiesc_base, so that
// its core links beside this tree's.
#include "escape_core.h"

#include "base_kernels.h"

std::size_t bench_base_kernels(BenchKernel *out, std::size_t max) {
    const cgiesc::Kernel *kernels[cgiesc::kMaxKernels];
    const std::size_t n = cgiesc::usable_kernels(kernels);
    std::size_t k = 0;
    for (; k < n && k < max; ++k)
        out[k] = BenchKernel{kernels[k]->name, kernels[k]->escape, kernels[k]->escape_padded, kernels[k]->count};
    return k;
}
