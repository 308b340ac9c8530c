// Times each kernel this processor has on its own, without Ruby: escape
// throughput on text of several densities and lengths, against memcpy, and
// what the count that sizes a result costs on its own.
// Built and run by `rake bench:kernels`. With a file argument,
// `kernel_bench FILE [CALLS]`, it escapes that file CALLS times with each
// kernel instead (for profiling under callgrind, say).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "escape_core.h"

namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::vector<unsigned char> make_text(std::size_t n, double density, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<unsigned char> v(n);
    for (auto &c : v)
        c = u(rng) < density ? static_cast<unsigned char>("<>&\"'"[rng() % 5])
                             : static_cast<unsigned char>('a' + rng() % 26);
    return v;
}

// Nanoseconds per call of f(c) for c below calls, best of five rounds.
template <class F>
double best_ns(std::size_t calls, F &&f) {
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        const double t = now();
        for (std::size_t c = 0; c < calls; ++c) f(c);
        best = std::min(best, (now() - t) / static_cast<double>(calls));
    }
    return best * 1e9;
}

// Nanoseconds per call over inputs of length len taken at different
// offsets of text.
template <class F>
double time_calls(const std::vector<unsigned char> &text, std::size_t len, F &&f) {
    const std::size_t slots = len < 4096 ? 1024 : 1;
    std::size_t calls = 1;
    while (calls * len < (std::size_t{64} << 20)) calls *= 2;
    return best_ns(calls, [&](std::size_t c) { f(text.data() + (c % slots) * 61 % (text.size() - len), len); });
}

int escape_file(const char *path, std::size_t calls) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "kernel_bench: cannot read %s\n", path);
        return 2;
    }
    const std::vector<unsigned char> in((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::size_t specials = 0;
    for (unsigned char c : in) specials += c == '"' || c == '&' || c == '\'' || c == '<' || c == '>';
    std::vector<unsigned char> out(cgiesc::escaped_bound(in.size()));
    const cgiesc::Kernel *kernels[cgiesc::kMaxKernels];
    const std::size_t count = cgiesc::usable_kernels(kernels);
    std::printf("%s: %zu bytes, %zu special, %zu calls a kernel\n", path, in.size(), specials, calls);
    volatile std::uint64_t sink = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const double ns = best_ns(calls, [&](std::size_t) { kernels[k]->escape(in.data(), in.size(), out.data()); });
        const double count_ns =
            best_ns(calls, [&](std::size_t) { sink = sink + kernels[k]->count(in.data(), in.size()); });
        std::printf("%-8s escape %10.0f ns/call %8.0f MB/s, count %8.0f ns/call\n", kernels[k]->name, ns,
                    static_cast<double>(in.size()) / ns * 1e3, count_ns);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1) return escape_file(argv[1], argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000);
    const cgiesc::Kernel *kernels[cgiesc::kMaxKernels];
    const std::size_t count = cgiesc::usable_kernels(kernels);
    std::vector<unsigned char> out(cgiesc::escaped_bound(std::size_t{16} << 20));
    volatile std::size_t sink = 0;
    std::printf("| density | length | memcpy ns | kernel | escape ns/call | MB/s | speed vs memcpy | count ns/call "
                "| count, share of escape |\n");
    std::printf("|---|---:|---:|---|---:|---:|---:|---:|---:|\n");
    for (double density : {0.0, 0.015, 0.17}) {
        const auto text = make_text((std::size_t{16} << 20) + 4096, density, 7);
        for (std::size_t len : {std::size_t{16}, std::size_t{64}, std::size_t{65536}, std::size_t{16} << 20}) {
            const double copy = time_calls(text, len, [&](const unsigned char *p, std::size_t n) {
                std::memcpy(out.data(), p, n);
                sink = sink + out[n / 2];
            });
            for (std::size_t k = 0; k < count; ++k) {
                const cgiesc::Kernel &kernel = *kernels[k];
                const double ns = time_calls(text, len, [&](const unsigned char *p, std::size_t n) {
                    sink = sink + kernel.escape(p, n, out.data());
                });
                const double count_ns = time_calls(text, len, [&](const unsigned char *p, std::size_t n) {
                    sink = sink + static_cast<std::size_t>(kernel.count(p, n));
                });
                std::printf("| %.1f%% | %zu | %.1f | %s | %.1f | %.0f | %.2f | %.1f | %.0f%% |\n", density * 100, len,
                            copy, kernel.name, ns, static_cast<double>(len) / ns * 1e3, copy / ns, count_ns,
                            count_ns / ns * 100);
            }
        }
    }
    return static_cast<int>(sink & 0);
}
