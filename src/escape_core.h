// The escaping core: the replacement table and the byte scan. It knows
// nothing of Ruby, so it can be tested, fuzzed and benchmarked on its own.
#ifndef CGIESC_ESCAPE_CORE_H
#define CGIESC_ESCAPE_CORE_H

#include <cstddef>
#include <cstdint>

namespace cgiesc {

// A character reference; len is 0 for a byte that stands for itself.
struct Reference {
    const char *text;
    std::size_t len;
};

// Indexed by byte value; built at compile time, so it needs no static
// initialiser.
struct ReferenceTable {
    Reference row[256];
    constexpr ReferenceTable() : row() {
        for (auto &r : row) r = Reference{nullptr, 0};
        row['"'] = {"&quot;", 6};
        row['&'] = {"&amp;", 5};
        row['\''] = {"&#39;", 5};
        row['<'] = {"&lt;", 4};
        row['>'] = {"&gt;", 4};
    }
    constexpr const Reference &operator[](unsigned char c) const { return row[c]; }
};

constexpr ReferenceTable kReferences{};

// The longest reference; what one input byte can grow to.
constexpr std::size_t kMaxReferenceLen = 6;

inline bool is_special(unsigned char c) { return kReferences[c].len != 0; }

// Index of the first special byte in p[0, n), or n if there is none.
// Never reads outside p[0, n).
std::size_t find_special(const unsigned char *p, std::size_t n);

}  // namespace cgiesc

#endif
