// Times each kernel this processor has on its own, without Ruby, against
// memcpy and against each other: the kernels take turns, round after round,
// so that a ratio compares times taken moments apart.
// Built and run by `rake bench:kernels` (BASE=commit: with that commit's
// kernels beside, a column of ratios), which writes the inputs:
//   kernel_bench LABEL=SPEC...
// where SPEC is PATH (the whole file, a call), PATH@LEN (1,024 slices of LEN
// bytes at different offsets, a call each; up to 256 bytes through the
// padded short path, as the extension escapes them), @LIST (every file
// named in LIST, one per line, a call each), @LIST%LO-HI (the 64-byte
// blocks of those files with LO to HI special bytes, in order, one input)
// or @LIST!LO-HI (the other blocks).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base_kernels.h"
#include "escape_core.h"

// BASE=commit: that commit's core is linked in too, and each kernel is
// timed beside its twin there.
#ifndef CGIESC_BENCH_WITH_BASE
#define CGIESC_BENCH_WITH_BASE 0
#endif
constexpr bool kWithBase = CGIESC_BENCH_WITH_BASE;

namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "kernel_bench: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool is_special(unsigned char c) { return c == '"' || c == '&' || c == '\'' || c == '<' || c == '>'; }

// One row: the inputs a pass escapes, one call each.
struct Row {
    std::string label;
    std::vector<std::string> store;  // the bytes, with readable room behind every input
    std::vector<const unsigned char *> inputs;
    std::vector<std::size_t> lengths;
    bool padded = false;  // short inputs: the extension's padded path
    std::size_t bytes = 0, specials = 0;
};

constexpr std::size_t kSlices = 1024;
constexpr std::size_t kShortLen = 256;  // the extension's short path

Row make_row(const std::string &arg) {
    Row row;
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos) {
        std::fprintf(stderr, "kernel_bench: expected LABEL=SPEC, got %s\n", arg.c_str());
        std::exit(2);
    }
    row.label = arg.substr(0, eq);
    std::string spec = arg.substr(eq + 1);
    // @LIST%LO-HI: the 64-byte blocks of those files (at multiples of 64 in
    // each) that hold LO to HI special bytes, in order, one input.
    // @LIST!LO-HI: all the other blocks.
    std::size_t lo = 0, hi = 0;
    const std::size_t pct = spec.find_first_of("%!");
    const bool blocks = pct != std::string::npos;
    const bool keep = blocks && spec[pct] == '%';
    if (blocks) {
        std::sscanf(spec.c_str() + pct + 1, "%zu-%zu", &lo, &hi);
        spec.resize(pct);
    }
    const std::size_t at = spec.find('@');
    if (at == 0) {
        std::ifstream list(spec.substr(1));
        for (std::string path; std::getline(list, path);)
            if (!path.empty()) row.store.push_back(read_file(path));
    } else {
        row.store.push_back(read_file(spec.substr(0, at)));
    }
    if (at != std::string::npos && at > 0) {
        const std::string &base = row.store[0];
        const std::size_t len = std::strtoul(spec.c_str() + at + 1, nullptr, 10);
        if (len == 0 || base.size() < 2 * len + cgiesc::kPadding + kSlices) {
            std::fprintf(stderr, "kernel_bench: %s is too short for slices of %zu\n", spec.c_str(), len);
            std::exit(2);
        }
        row.padded = len <= kShortLen;
        const std::size_t span = base.size() - len - cgiesc::kPadding;
        for (std::size_t s = 0; s < kSlices; ++s) {
            row.inputs.push_back(reinterpret_cast<const unsigned char *>(base.data()) + s * 7919 % span);
            row.lengths.push_back(len);
        }
    } else if (blocks) {
        std::string picked;
        for (const std::string &file : row.store) {
            for (std::size_t b = 0; b + 64 <= file.size(); b += 64) {
                std::size_t k = 0;
                for (std::size_t i = b; i < b + 64; ++i) k += is_special(static_cast<unsigned char>(file[i]));
                if ((k >= lo && k <= hi) == keep) picked.append(file, b, 64);
            }
        }
        row.store.assign(1, picked);
        row.inputs.push_back(reinterpret_cast<const unsigned char *>(row.store[0].data()));
        row.lengths.push_back(picked.size());
    } else {
        for (const std::string &s : row.store) {
            row.inputs.push_back(reinterpret_cast<const unsigned char *>(s.data()));
            row.lengths.push_back(s.size());
        }
    }
    for (std::size_t i = 0; i < row.inputs.size(); ++i) {
        row.bytes += row.lengths[i];
        for (std::size_t k = 0; k < row.lengths[i]; ++k) {
            row.specials += is_special(row.inputs[i][k]);
        }
    }
    return row;
}

// What the rounds take turns at: memcpy, then each kernel's escape (this
// tree's, then BASE's when linked in), then each kernel's count.
struct Contender {
    std::string name;
    BenchKernel kernel;  // escape null: memcpy
    bool count;
    std::size_t against;  // this kernel's twin in BASE's core, or 0
    std::size_t counter;  // its count, or 0
};

constexpr int kRounds = 15;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void bench_row(const Row &row, const std::vector<Contender> &all, std::size_t base, unsigned char *out) {
    // Enough passes for about 2 ms a turn.
    const double per_byte_guess = 0.5e-9;
    std::size_t passes = 1;
    while (static_cast<double>(passes * row.bytes) * per_byte_guess < 2e-3 && passes < (1u << 20)) passes *= 2;
    volatile std::size_t sink = 0;
    auto run = [&](const Contender &c) {
        const double t = now();
        for (std::size_t p = 0; p < passes; ++p) {
            for (std::size_t i = 0; i < row.inputs.size(); ++i) {
                const unsigned char *in = row.inputs[i];
                const std::size_t n = row.lengths[i];
                if (!c.kernel.escape) {
                    std::memcpy(out, in, n);
                    sink = sink + out[n / 2];
                } else if (c.count) {
                    sink = sink + static_cast<std::size_t>(c.kernel.count(in, n));
                } else {
                    sink = sink + (row.padded ? c.kernel.escape_padded(in, n, out) : c.kernel.escape(in, n, out));
                }
            }
        }
        return (now() - t) / static_cast<double>(passes * row.inputs.size()) * 1e9;
    };
    std::vector<std::vector<double>> ns(all.size());
    for (const Contender &c : all) run(c);  // warm up
    for (int r = 0; r < kRounds; ++r)
        for (std::size_t c = 0; c < all.size(); ++c) ns[c].push_back(run(all[c]));
    const double calls_bytes = static_cast<double>(row.bytes) / static_cast<double>(row.inputs.size());
    auto ratio = [&](std::size_t num, std::size_t den) {
        std::vector<double> v;
        for (int r = 0; r < kRounds; ++r) v.push_back(ns[num][r] / ns[den][r]);
        return median(v);
    };
    for (std::size_t c = 1; c < all.size(); ++c) {
        if (all[c].count || !all[c].counter) continue;
        const double t = median(ns[c]);
        std::printf("| %s (%.1f%%) | %s | %.1f | %.2f | %.2f | %.2f | %.2f | %.0f%% |", row.label.c_str(),
                    100.0 * static_cast<double>(row.specials) / static_cast<double>(row.bytes), all[c].name.c_str(), t,
                    t * 64 / calls_bytes, calls_bytes / t, ratio(0, c), ratio(base, c), 100 * ratio(all[c].counter, c));
        if (kWithBase) {
            if (all[c].against) {
                std::printf(" %.2f |", ratio(all[c].against, c));
            } else {
                std::printf(" - |");
            }
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kernel_bench LABEL=PATH|LABEL=PATH@LEN|LABEL=@LIST...\n");
        return 2;
    }
    const cgiesc::Kernel *kernels[cgiesc::kMaxKernels];
    const std::size_t count = cgiesc::usable_kernels(kernels);
    std::vector<Contender> all{{"memcpy", {}, false, 0, 0}};
    std::size_t base = 1;  // the kernel the others are compared with: avx2 where there is one
    for (std::size_t k = 0; k < count; ++k) {
        if (std::strcmp(kernels[k]->name, "avx2") == 0) base = all.size();
        const cgiesc::Kernel &kn = *kernels[k];
        all.push_back({kn.name, {kn.name, kn.escape, kn.escape_padded, kn.count}, false, 0, 0});
    }
#if CGIESC_BENCH_WITH_BASE
    BenchKernel old[cgiesc::kMaxKernels];
    const std::size_t olds = bench_base_kernels(old, cgiesc::kMaxKernels);
    for (std::size_t k = 0; k < olds; ++k) {
        for (std::size_t c = 1; c <= count; ++c)
            if (all[c].name == old[k].name) all[c].against = all.size();
        all.push_back({std::string(old[k].name) + " (BASE)", old[k], false, 0, 0});
    }
#endif
    for (std::size_t k = 0; k < count; ++k) {
        all[k + 1].counter = all.size();
        all.push_back({kernels[k]->name, all[k + 1].kernel, true, 0, 0});
    }
    std::size_t longest = 0;
    std::vector<Row> rows;
    for (int a = 1; a < argc; ++a) {
        rows.push_back(make_row(argv[a]));
        for (std::size_t n : rows.back().lengths) longest = std::max(longest, n);
    }
    std::vector<unsigned char> out(cgiesc::escaped_bound(longest));
    std::printf("| input (special bytes) | kernel | ns/call | ns/64 B | GB/s | speed vs memcpy | speed vs %s | count, share of escape |%s\n",
                all[base].name.c_str(), kWithBase ? " speed vs BASE |" : "");
    std::printf("|---|---|---:|---:|---:|---:|---:|---:|%s\n", kWithBase ? "---:|" : "");
    for (const Row &row : rows) bench_row(row, all, base, out.data());
    return 0;
}
