// Checks every kernel this processor can run against a byte-at-a-time
// reference. Built and run by `rake test`; prints "N passed, M failed".
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "escape_core.h"
#include "support/reference.h"

namespace {

using cgiesc::Kernel;

int passed = 0;
int failed = 0;

void check(bool ok, const Kernel &k, const char *what, std::size_t a, std::size_t b) {
    if (ok) {
        ++passed;
    } else if (++failed <= 20) {
        std::printf("FAIL %s: %s (%zu, %zu)\n", k.name, what, a, b);
    }
}

// Escapes into a buffer of exactly the room the contract promises: the
// counted length and the write slack. Garbage behind the input must not
// show, and a count that falls short shows as a mismatch or, under the
// sanitizers, as an overflow.
std::string run_escape(const Kernel &k, const unsigned char *p, std::size_t n) {
    const std::size_t len = n + static_cast<std::size_t>(k.count(p, n));
    std::vector<unsigned char> dst(len + cgiesc::kWriteSlack);
    const std::size_t w = k.escape(p, n, dst.data());
    if (w != len) return "<escape wrote " + std::to_string(w) + ", count said " + std::to_string(len) + ">";
    return std::string(reinterpret_cast<const char *>(dst.data()), w);
}

// escape_padded reads up to kPadding bytes past the end: give it a copy
// with that much garbage behind it, which must not show in the result.
std::string run_padded(const Kernel &k, const unsigned char *p, std::size_t n) {
    std::vector<unsigned char> in(n + cgiesc::kPadding, '<');
    if (n) std::memcpy(in.data(), p, n);
    std::vector<unsigned char> dst(cgiesc::escaped_bound(n));
    const std::size_t w = k.escape_padded(in.data(), n, dst.data());
    return std::string(reinterpret_cast<const char *>(dst.data()), w);
}

void check_both(const Kernel &k, const unsigned char *p, std::size_t n, const char *what,
                std::size_t a, std::size_t b) {
    const std::string expected = reference_escape(p, n);
    check(k.find(p, n) == reference_find(p, n), k, what, a, b);
    check(n + k.count(p, n) == expected.size(), k, what, a, b);
    check(run_escape(k, p, n) == expected, k, what, a, b);
    if (n <= 1024) check(run_padded(k, p, n) == expected, k, what, a, b);
}

void test_lengths_and_offsets(const Kernel &k) {
    std::mt19937 rng(1);
    std::vector<unsigned char> buf(300 + 64 + 64);
    const char alphabet[] = "ab\"&'<>\x80\xff";
    for (auto &c : buf) c = static_cast<unsigned char>(alphabet[rng() % 9]);
    for (std::size_t len = 0; len <= 300; ++len)
        for (std::size_t off = 0; off < 64; ++off)
            check_both(k, buf.data() + off, len, "length/offset", len, off);
}

void test_each_special_at_each_position(const Kernel &k) {
    const unsigned char specials[] = {'"', '&', '\'', '<', '>'};
    for (std::size_t len : {1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 200}) {
        for (unsigned char s : specials) {
            for (std::size_t pos = 0; pos < len; ++pos) {
                std::vector<unsigned char> buf(len, 'x');
                buf[pos] = s;
                check_both(k, buf.data(), len, "special at position", len, pos);
            }
        }
    }
    // Bytes one off from the specials must not be mistaken for them.
    for (int c = 0; c < 256; ++c) {
        std::vector<unsigned char> buf(100, static_cast<unsigned char>(c));
        check_both(k, buf.data(), buf.size(), "uniform byte", static_cast<std::size_t>(c), 0);
    }
}

void test_random_buffers(const Kernel &k) {
    std::mt19937 rng(2);
    for (int round = 0; round < 200; ++round) {
        const std::size_t n = rng() % 20000;
        const unsigned density = rng() % 100;  // percent of specials
        std::vector<unsigned char> buf(n);
        for (auto &c : buf)
            c = (rng() % 100 < density) ? static_cast<unsigned char>("\"&'<>"[rng() % 5])
                                        : static_cast<unsigned char>(rng());
        check_both(k, buf.data(), n, "random buffer", n, density);
    }
    // Long enough that the counts' byte lanes must be folded many times
    // before they could wrap, all special or not.
    for (unsigned char c : {'"', '&', '<', 'x'}) {
        std::vector<unsigned char> buf(100000, c);
        check_both(k, buf.data(), buf.size(), "long uniform run", buf.size(), c);
    }
}

// Three pages, the first and last unreadable, unmapped when this goes:
// what the page-edge checks need of the system, on POSIX or Windows.
struct GuardedPages {
    std::size_t page = 0;
    unsigned char *map = nullptr;

    GuardedPages() {
#ifdef _WIN32
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page = info.dwPageSize;
        map = static_cast<unsigned char *>(VirtualAlloc(nullptr, 3 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        if (map && !(VirtualProtect(map, page, PAGE_NOACCESS, &old) &&
                     VirtualProtect(map + 2 * page, page, PAGE_NOACCESS, &old))) {
            VirtualFree(map, 0, MEM_RELEASE);
            map = nullptr;
        }
#else
        page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void *m = mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return;
        map = static_cast<unsigned char *>(m);
        if (mprotect(map, page, PROT_NONE) != 0 || mprotect(map + 2 * page, page, PROT_NONE) != 0) {
            munmap(map, 3 * page);
            map = nullptr;
        }
#endif
    }
    ~GuardedPages() {
        if (!map) return;
#ifdef _WIN32
        VirtualFree(map, 0, MEM_RELEASE);
#else
        munmap(map, 3 * page);
#endif
    }
    GuardedPages(const GuardedPages &) = delete;
    GuardedPages &operator=(const GuardedPages &) = delete;

    // False, and a failed check for k, where the system would not map them.
    bool usable(const Kernel &k) const {
        if (!map) check(false, k, "guard pages", 0, 0);
        return map != nullptr;
    }
};

// Lengths for the page-edge checks: every one up to 300, then enough longer
// ones to cross several chunks of dense blocks.
std::vector<std::size_t> edge_lengths(std::size_t page) {
    std::vector<std::size_t> lens;
    for (std::size_t len = 0; len <= 300; ++len) lens.push_back(len);
    for (std::size_t len = 301; len < page - cgiesc::kPadding; len += 61) lens.push_back(len);
    return lens;
}

// Inputs that end right before, or start right after, an unreadable page,
// padded inputs whose padding ends there, and output whose room ends there:
// any read or write outside what the contract allows faults.
void test_page_edges(const Kernel &k) {
    const GuardedPages guarded;
    if (!guarded.usable(k)) return;
    const std::size_t page = guarded.page;
    unsigned char *const map = guarded.map;
    unsigned char *body = map + page;
    for (std::size_t i = 0; i < page; ++i) body[i] = static_cast<unsigned char>("a<b&c\"d'e>"[i % 10]);
    for (std::size_t len : edge_lengths(page)) {
        check_both(k, body + page - len, len, "ends at page edge", len, 0);
        check_both(k, body, len, "starts at page edge", len, 0);
        const unsigned char *in = body + page - len - cgiesc::kPadding;
        const std::string expected = reference_escape(in, len);
        std::vector<unsigned char> dst(expected.size() + cgiesc::kWriteSlack);
        const std::size_t w = k.escape_padded(in, len, dst.data());
        check(std::string(reinterpret_cast<const char *>(dst.data()), w) == expected, k, "padding at page edge", len, 0);
    }
    // Output room (escaped length and write slack) that ends at the guard
    // page, whether much of the input is special or little.
    for (std::size_t len : edge_lengths(page)) {
        for (std::size_t step : {1, 9}) {
            std::vector<unsigned char> in(len);
            for (std::size_t i = 0; i < len; ++i) in[i] = body[i * step % page];
            const std::string expected = reference_escape(in.data(), len);
            if (expected.size() + cgiesc::kWriteSlack > page) continue;
            unsigned char *dst = map + 2 * page - expected.size() - cgiesc::kWriteSlack;
            std::size_t w = k.escape(in.data(), len, dst);
            check(std::string(reinterpret_cast<const char *>(dst), w) == expected, k, "output at page edge", len, step);
            std::vector<unsigned char> padded(in);
            padded.resize(len + cgiesc::kPadding, '"');
            w = k.escape_padded(padded.data(), len, dst);
            check(std::string(reinterpret_cast<const char *>(dst), w) == expected, k, "padded output at page edge", len,
                  step);
        }
    }
}

// Clean stretches long enough for the escape loop to skip out of line,
// ended by a special byte in any place of the blocks after them, or not at
// all, with the input ending at an unreadable page: the skip must stop at
// the last block that another block follows.
void test_clean_stretches(const Kernel &k) {
    const GuardedPages guarded;
    if (!guarded.usable(k)) return;
    unsigned char *const page_end = guarded.map + 2 * guarded.page;
    for (std::size_t clean = 3 * 64; clean <= 10 * 64; clean += 19) {
        for (std::size_t after = 0; after <= 3 * 64 + 1 && clean + after < guarded.page; after += 7) {
            const std::size_t n = clean + after;
            unsigned char *in = page_end - n;
            std::memset(in, 'a', n);
            if (after) in[clean] = '<';
            if (after > 9) in[n - 1 - after / 3] = '&';
            check_both(k, in, n, "clean stretch", clean, after);
        }
    }
}

// Input dense with special bytes, which a kernel may expand a group of 8
// bytes at a time, blocks set up a chunk at a time: runs of special bytes of
// every length up to 600 (past a chunk of 8 blocks) starting anywhere in a
// block; and text whose every 8-byte group escapes to the same length, each
// length from 8 to 48 that five references allow, 32 and around it above all.
void test_dense(const Kernel &k) {
    std::mt19937 rng(3);
    const char specials[] = "\"&'<>";
    for (std::size_t run = 1; run <= 600; run += run < 140 ? 1 : 7) {
        for (std::size_t start : {0, 1, 7, 8, 31, 63, 64, 65, 127}) {
            std::vector<unsigned char> buf(start + run + 70, 'x');
            for (std::size_t i = 0; i < run; ++i) buf[start + i] = static_cast<unsigned char>(specials[rng() % 5]);
            check_both(k, buf.data(), buf.size(), "dense run", run, start);
        }
    }
    for (std::size_t len = 8; len <= 48; ++len) {
        std::vector<unsigned char> buf;
        for (int tries = 0; tries < 200000 && buf.size() < 20 * 64; ++tries) {
            unsigned char group[8];
            for (auto &c : group) c = static_cast<unsigned char>(rng() % 3 ? specials[rng() % 5] : 'a' + rng() % 26);
            if (reference_escape(group, 8).size() == len) buf.insert(buf.end(), group, group + 8);
        }
        if (buf.empty()) continue;  // no 8 bytes escape to this length
        for (std::size_t off : {0, 8, 64})
            if (off < buf.size()) check_both(k, buf.data() + off, buf.size() - off, "groups of one escaped length", len, off);
    }
}

// Every ordered pair of byte kinds (each special byte, and clean bytes from
// the whole range, high bit set or not) filling dense blocks at even and odd
// offsets: each entry of the pair expansion's table (avx2, neon), after and
// before a sparse block.
void test_pair_kinds(const Kernel &k) {
    const unsigned char kinds[] = {'"', '&', '\'', '<', '>', 'x', 0x00, 0x0C, 0x22 + 0x80, 0xFF};
    for (unsigned char a : kinds) {
        for (unsigned char b : kinds) {
            for (std::size_t shift : {0, 1}) {
                std::vector<unsigned char> buf(shift + 4 * 64, 'y');
                for (std::size_t i = shift; i < shift + 3 * 64; i += 2) {
                    buf[i] = a;
                    buf[i + 1] = i % 64 == 62 ? '&' : b;  // never a clean block
                }
                buf[shift + 3 * 64 + 5] = '<';
                check_both(k, buf.data(), buf.size(), "pairs of byte kinds", a, b);
            }
        }
    }
}

// Blocks with each count of special bytes from 0 to 64, each reference at
// every offset among them: both sides of any cut-over a kernel makes by the
// count (avx512's dense path above four, avx2's and neon's above sixteen,
// the one-byte path). The block is
// the last whole one before the end or the one before that, after a mixed
// one, and the input ends at an unreadable page.
void test_special_counts(const Kernel &k) {
    const GuardedPages guarded;
    if (!guarded.usable(k)) return;
    unsigned char *const page_end = guarded.map + 2 * guarded.page;
    std::mt19937 rng(4);
    const unsigned char specials[] = {'"', '&', '\'', '<', '>'};
    const std::size_t afters[] = {0, 1, 63, 64, 65, 100};
    for (std::size_t count = 0; count <= 64; ++count) {
        for (std::size_t r = 0; r < (count ? 5 : 1); ++r) {
            for (std::size_t off = 0; off < (count ? 64 : 1); ++off) {
                const std::size_t after = afters[(off + r) % 6];
                const std::size_t n = 128 + after;
                unsigned char *in = page_end - n;
                for (std::size_t i = 0; i < n; ++i)
                    in[i] = static_cast<unsigned char>(rng() % 4 ? 'a' + rng() % 26 : specials[rng() % 5]);
                unsigned char *block = in + 64;
                for (std::size_t i = 0; i < 64; ++i) block[i] = static_cast<unsigned char>('a' + rng() % 26);
                // count places, one of them off.
                std::size_t places[64];
                for (std::size_t i = 0; i < 64; ++i) places[i] = i;
                std::swap(places[0], places[off]);
                std::shuffle(places + 1, places + 64, rng);
                for (std::size_t i = 0; i < count; ++i) block[places[i]] = specials[rng() % 5];
                if (count) block[off] = specials[r];
                check_both(k, in, n, "special bytes in a block", count, off);
            }
        }
    }
}

// The length check, at the limits of a 64-bit long and of a 32-bit one (as
// on Windows), without allocating anything: capacity holds the result and
// the write slack, and nothing wraps.
void test_result_capacity(const Kernel &k) {
    using cgiesc::kWriteSlack;
    using cgiesc::result_capacity;
    for (const std::uint64_t limit : {std::uint64_t{0x7FFFFFFF}, std::uint64_t{0x7FFFFFFFFFFFFFFF}}) {
        const std::uint64_t most = limit - kWriteSlack;
        check(result_capacity(most - 10, 10, limit) == limit, k, "result at the limit", 0, 0);
        check(result_capacity(most - 10, 11, limit) == 0, k, "one byte past the limit", 0, 0);
        check(result_capacity(limit / 6, limit / 6 * 5, limit) == 0, k, "quotes past the limit", 0, 0);
        check(result_capacity(limit, 0, limit) == 0, k, "input at the limit", 0, 0);
        check(result_capacity(limit, ~std::uint64_t{0}, limit) == 0, k, "extra that would wrap", 0, 0);
        check(result_capacity(1000, 5000, limit) == 6000 + kWriteSlack, k, "small result", 0, 0);
        // An input well under the limit whose growth alone passes it.
        check(result_capacity(1000, limit - 999, limit) == 0, k, "growth past the limit", 0, 0);
        check(result_capacity(most / 2, most / 2 + 2, limit) == 0, k, "sum past the limit", 0, 0);
    }
}

// CGIESC_KERNEL's choice and the default, on this processor and on every
// processor with fewer of its features: a usable name gets its kernel, a
// kernel needing what is missing or an unknown name gets the default and a
// reason, and the default is the widest kernel that can run.
void test_choice() {
    const unsigned have = cgiesc::cpu_features();
    const Kernel *all[cgiesc::kMaxKernels];
    const std::size_t built = cgiesc::usable_kernels(all, ~0u);
    for (unsigned features = 0; features <= have; ++features) {
        if (features & ~have) continue;  // only subsets of what this processor has
        const Kernel &best = cgiesc::best_kernel(features);
        const Kernel *usable[cgiesc::kMaxKernels];
        const std::size_t count = cgiesc::usable_kernels(usable, features);
        check(count > 0 && usable[0] == &best, best, "default is the first usable", features, count);
        for (std::size_t i = 0; i < count; ++i)
            check(usable[i]->width <= best.width, *usable[i], "default is the widest", features, best.width);
        for (std::size_t i = 0; i < built; ++i) {
            const Kernel &k = *all[i];
            const cgiesc::Choice got = cgiesc::choose_kernel(k.name, features);
            const bool runs = (k.needs & ~features) == 0;
            check(runs ? got.kernel == &k && got.problem == nullptr
                       : got.kernel == &best && got.problem != nullptr &&
                             std::strstr(got.problem, "lacks") != nullptr,
                  k, runs ? "chosen by name" : "refused: lacks features", features, 0);
        }
        for (const char *name : {static_cast<const char *>(nullptr), ""}) {
            const cgiesc::Choice got = cgiesc::choose_kernel(name, features);
            check(got.kernel == &best && got.problem == nullptr, best, "no request", features, 0);
        }
        for (const char *name : {"avx1024", "AVX2", "neon ", "portable2"}) {
            const cgiesc::Choice got = cgiesc::choose_kernel(name, features);
            check(got.kernel == &best && got.problem != nullptr && std::strstr(got.problem, "not a kernel"), best,
                  "unknown name", features, 0);
        }
    }
    // The widest of the whole build wins where everything it needs is there.
    check(&cgiesc::best_kernel(~0u) == all[0], *all[0], "widest of the build", built, 0);
    for (std::size_t i = 1; i < built; ++i)
        check(all[i]->width <= all[0]->width, *all[i], "build's priority by width", i, 0);
}

}  // namespace

int main(int argc, char **argv) {
    const Kernel *kernels[cgiesc::kMaxKernels];
    const std::size_t count = cgiesc::usable_kernels(kernels);
    // Kernels of this build that this processor cannot run.
    const Kernel *built[cgiesc::kMaxKernels];
    std::vector<const Kernel *> not_run;
    for (std::size_t i = 0, n = cgiesc::usable_kernels(built, ~0u); i < n; ++i)
        if (std::find(kernels, kernels + count, built[i]) == kernels + count) not_run.push_back(built[i]);
    // --list and --not-run: those names, one a line, for the Rakefile.
    if (argc > 1 && std::strcmp(argv[1], "--list") == 0) {
        for (std::size_t i = 0; i < count; ++i) std::printf("%s\n", kernels[i]->name);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--not-run") == 0) {
        for (const Kernel *k : not_run) std::printf("%s\n", k->name);
        return 0;
    }
    for (const Kernel *k : not_run) std::printf("%s kernel not run: this processor lacks what it needs\n", k->name);
    test_choice();
    test_result_capacity(*kernels[0]);
    std::printf("kernels: ");
    for (std::size_t i = 0; i < count; ++i) std::printf("%s%s", i ? ", " : "", kernels[i]->name);
    std::printf(" (best: %s)\n", cgiesc::best_kernel().name);
    for (std::size_t i = 0; i < count; ++i) {
        const Kernel &k = *kernels[i];
        test_lengths_and_offsets(k);
        test_each_special_at_each_position(k);
        test_random_buffers(k);
        test_page_edges(k);
        test_clean_stretches(k);
        test_dense(k);
        test_pair_kinds(k);
        test_special_counts(k);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
