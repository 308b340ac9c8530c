// Runs the fuzzer's checks on seeded random inputs, a fixed number of them,
// where libFuzzer is not at hand: cross builds run under emulation.
//   random_inputs [COUNT [SEED]]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv) {
    const unsigned long count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    std::mt19937 rng(argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1);
    std::size_t bytes = 0;
    std::vector<std::uint8_t> buf;
    for (unsigned long i = 0; i < count; ++i) {
        // Mostly short inputs, some long enough to fold the counts' lanes.
        const std::size_t n = rng() % 8 == 0 ? rng() % 20000 : rng() % 300;
        const unsigned density = rng() % 101;  // percent of special bytes
        buf.resize(n);
        for (auto &c : buf)
            c = rng() % 100 < density ? static_cast<std::uint8_t>("\"&'<>"[rng() % 5])
                                      : static_cast<std::uint8_t>(rng());
        LLVMFuzzerTestOneInput(buf.data(), n);  // aborts on any mismatch
        bytes += n;
    }
    std::printf("random differential: %lu inputs, %zu bytes, every kernel agreed with the reference\n", count, bytes);
    return 0;
}
