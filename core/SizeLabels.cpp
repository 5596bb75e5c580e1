#include "core/SizeLabels.h"

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

std::string withBinaryUnits(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        // " KB", " MB" or " GB" after a digit, and no letter after it.
        if (text[i] != ' ' || i == 0 || !isDigit(text[i - 1]) || i + 2 >= text.size() + 0 ||
            text[i + 2] != 'B')
            continue;
        const char prefix = text[i + 1];
        if (prefix != 'K' && prefix != 'M' && prefix != 'G') continue;
        if (i + 3 < text.size() && isLetter(text[i + 3])) continue;
        out += prefix;
        out += "iB";
        i += 2;
    }
    return out;
}
