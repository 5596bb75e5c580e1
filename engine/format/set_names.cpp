#include "engine/format/set_names.h"

#include <algorithm>
#include <string>

std::string recoveryPieceName(const std::string& stem, int32_t index) {
    return stem + "_R" + std::to_string(index) + ".rec";
}

std::string recoveryHeaderName(const std::string& stem, int32_t index) {
    return recoveryPieceName(stem, index) + ".hdr";
}

// The index of "<stem>_R<i>.rec" (with ".hdr" when `header`); -1 otherwise.
int32_t recoveryIndexOf(const std::string& stem, const std::string& name, bool header) {
    const std::string prefix = stem + "_R";
    const std::string suffix = header ? ".rec.hdr" : ".rec";
    if (name.size() <= prefix.size() + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return -1;
    const std::string digits =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.empty() || digits.size() > 9 || (digits.size() > 1 && digits[0] == '0') ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    return static_cast<int32_t>(std::stol(digits));
}

bool isRecoveryFileName(const std::string& stem, const std::string& name) {
    return recoveryIndexOf(stem, name, false) >= 0 || recoveryIndexOf(stem, name, true) >= 0;
}
