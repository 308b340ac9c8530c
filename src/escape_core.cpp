#include "escape_core.h"

namespace cgiesc {

std::size_t find_special(const unsigned char *p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (is_special(p[i])) return i;
    return n;
}

}  // namespace cgiesc
