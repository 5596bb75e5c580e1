#include "engine/base/escaping.h"

#include <cstdio>

std::string mtreeEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte >= 0x7f || c == '#' || c == '=' || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\%03o", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

bool mtreeUnescaped(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\') {
            if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f)
                return false; // written escaped, always
            out += c;
            continue;
        }
        if (i + 3 >= text.size()) return false;
        int value = 0;
        for (std::size_t k = 1; k <= 3; ++k) {
            const char d = text[i + k];
            if (d < '0' || d > '7') return false;
            value = value * 8 + (d - '0');
        }
        if (value == 0 || value > 255) return false; // no NUL in a name
        out += static_cast<char>(value);
        i += 3;
    }
    return true;
}
