// libFuzzer target: every kernel this processor has, against a
// byte-at-a-time reference, on the fuzzer's bytes: the first special byte,
// the count, and escaping into exactly the room the count promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "escape_core.h"
#include "../support/reference.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // A heap copy of exactly the input, so that AddressSanitizer sees any
    // read past its end.
    unsigned char *in = static_cast<unsigned char *>(std::malloc(size ? size : 1));
    if (size) std::memcpy(in, data, size);
    const std::string expected = reference_escape(in, size);
    const std::size_t first = reference_find(in, size);

    const cgiesc::Kernel *kernels[cgiesc::kMaxKernels];
    const std::size_t count = cgiesc::usable_kernels(kernels);
    for (std::size_t k = 0; k < count; ++k) {
        const cgiesc::Kernel &kernel = *kernels[k];
        require(kernel.find(in, size) == first);

        require(size + kernel.count(in, size) == expected.size());

        // Heap room of exactly the escaped length and the write slack, so
        // that AddressSanitizer sees any write past it.
        unsigned char *out = static_cast<unsigned char *>(std::malloc(expected.size() + cgiesc::kWriteSlack));
        const std::size_t w = kernel.escape(in, size, out);
        require(std::string(reinterpret_cast<char *>(out), w) == expected);

        std::vector<unsigned char> padded(size + cgiesc::kPadding, '&');
        if (size) std::memcpy(padded.data(), in, size);
        const std::size_t pw = kernel.escape_padded(padded.data(), size, out);
        require(std::string(reinterpret_cast<char *>(out), pw) == expected);
        std::free(out);
    }
    std::free(in);
    return 0;
}
