// libFuzzer target: every kernel this processor has, against a
// byte-at-a-time reference, on the fuzzer's bytes. The first input byte
// picks how little output room escape() gets, to drive its resumption.
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
    if (size == 0) return 0;
    const std::size_t room = cgiesc::kSlack + data[0] * 3;
    ++data;
    --size;
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

        std::vector<unsigned char> out(cgiesc::escaped_bound(size));
        std::size_t consumed = 0;
        const std::size_t w = kernel.escape(in, size, out.data(), out.size(), &consumed);
        require(consumed == size);
        require(std::string(reinterpret_cast<char *>(out.data()), w) == expected);

        // Little room: many calls, each resuming where the last stopped.
        std::string pieces;
        std::vector<unsigned char> small(room);
        for (std::size_t at = 0; at < size;) {
            const std::size_t got = kernel.escape(in + at, size - at, small.data(), room, &consumed);
            require(consumed > 0);
            pieces.append(reinterpret_cast<char *>(small.data()), got);
            at += consumed;
        }
        require(pieces == expected);

        std::vector<unsigned char> padded(size + cgiesc::kPadding, '&');
        if (size) std::memcpy(padded.data(), in, size);
        const std::size_t pw = kernel.escape_padded(padded.data(), size, out.data());
        require(std::string(reinterpret_cast<char *>(out.data()), pw) == expected);
    }
    std::free(in);
    return 0;
}
