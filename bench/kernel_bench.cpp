// Times each kernel this processor has on its own, without Ruby, against
// memcpy and against each other: the kernels take turns, round after round,
// so that a ratio compares times taken moments apart.
// Built and run by `rake bench:kernels`, which writes the inputs:
//   kernel_bench LABEL=SPEC...
// where SPEC is PATH (the whole file, a call), PATH@LEN (1,024 slices of LEN
// bytes at different offsets, a call each; up to 256 bytes through the
// padded short path, as the extension escapes them), or @LIST (every file
// named in LIST, one per line, a call each).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "escape_core.h"

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
    const std::string spec = arg.substr(eq + 1);
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
    } else {
        for (const std::string &s : row.store) {
            row.inputs.push_back(reinterpret_cast<const unsigned char *>(s.data()));
            row.lengths.push_back(s.size());
        }
    }
    for (std::size_t i = 0; i < row.inputs.size(); ++i) {
        row.bytes += row.lengths[i];
        for (std::size_t k = 0; k < row.lengths[i]; ++k) {
            const unsigned char c = row.inputs[i][k];
            row.specials += c == '"' || c == '&' || c == '\'' || c == '<' || c == '>';
        }
    }
    return row;
}

// What the rounds take turns at: memcpy, then each kernel's escape, then
// each kernel's count.
struct Contender {
    const char *name;
    const cgiesc::Kernel *kernel;  // null: memcpy
    bool count;
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
                if (!c.kernel) {
                    std::memcpy(out, in, n);
                    sink = sink + out[n / 2];
                } else if (c.count) {
                    sink = sink + static_cast<std::size_t>(c.kernel->count(in, n));
                } else {
                    sink = sink + (row.padded ? c.kernel->escape_padded(in, n, out) : c.kernel->escape(in, n, out));
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
    for (std::size_t c = 1; c < all.size(); ++c) {
        if (all[c].count) continue;
        std::vector<double> vs_copy, vs_base, count_share;
        for (int r = 0; r < kRounds; ++r) {
            vs_copy.push_back(ns[0][r] / ns[c][r]);
            vs_base.push_back(ns[base][r] / ns[c][r]);
            count_share.push_back(ns[c + (all.size() - 1) / 2][r] / ns[c][r]);
        }
        const double t = median(ns[c]);
        std::printf("| %s (%.1f%%) | %s | %.1f | %.2f | %.2f | %.2f | %.0f%% |\n", row.label.c_str(),
                    100.0 * static_cast<double>(row.specials) / static_cast<double>(row.bytes), all[c].name, t,
                    calls_bytes / t, median(vs_copy), median(vs_base), 100 * median(count_share));
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
    std::vector<Contender> all{{"memcpy", nullptr, false}};
    std::size_t base = 1;  // the kernel the others are compared with: avx2 where there is one
    for (std::size_t k = 0; k < count; ++k) {
        if (std::strcmp(kernels[k]->name, "avx2") == 0) base = all.size();
        all.push_back({kernels[k]->name, kernels[k], false});
    }
    for (std::size_t k = 0; k < count; ++k) all.push_back({kernels[k]->name, kernels[k], true});
    std::size_t longest = 0;
    std::vector<Row> rows;
    for (int a = 1; a < argc; ++a) {
        rows.push_back(make_row(argv[a]));
        for (std::size_t n : rows.back().lengths) longest = std::max(longest, n);
    }
    std::vector<unsigned char> out(cgiesc::escaped_bound(longest));
    std::printf("| input (special bytes) | kernel | ns/call | GB/s | speed vs memcpy | speed vs %s | count, share of escape |\n",
                all[base].name);
    std::printf("|---|---|---:|---:|---:|---:|---:|\n");
    for (const Row &row : rows) bench_row(row, all, base, out.data());
    return 0;
}
