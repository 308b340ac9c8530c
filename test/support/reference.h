// Byte-at-a-time escaping, independent of the kernels, for checking them.
#ifndef CGIESC_TEST_REFERENCE_H
#define CGIESC_TEST_REFERENCE_H

#include <cstddef>
#include <string>

inline bool reference_special(unsigned char c) {
    return c == '"' || c == '&' || c == '\'' || c == '<' || c == '>';
}

inline std::string reference_escape(const unsigned char *p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        switch (p[i]) {
            case '"': out += "&quot;"; break;
            case '&': out += "&amp;"; break;
            case '\'': out += "&#39;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += static_cast<char>(p[i]);
        }
    }
    return out;
}

inline std::size_t reference_find(const unsigned char *p, std::size_t n) {
    std::size_t i = 0;
    while (i < n && !reference_special(p[i])) ++i;
    return i;
}

#endif
