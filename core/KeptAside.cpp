#include "core/KeptAside.h"

#include "engine/fs/safe_fs.h"
#include "engine/runs/piece_folder.h"

#include <algorithm>

namespace {

// "<set file>.damaged" or "<set file>.damaged.<digits>": the set file's name.
std::string keptFrom(const std::string& name) {
    const std::string mark = ".damaged";
    const std::size_t at = name.rfind(mark);
    if (at == std::string::npos || at == 0) return {};
    const std::string after = name.substr(at + mark.size());
    if (!after.empty() &&
        (after[0] != '.' || after.size() == 1 ||
         !std::all_of(after.begin() + 1, after.end(), [](char c) { return c >= '0' && c <= '9'; })))
        return {};
    return name.substr(0, at);
}

} // namespace

std::vector<std::string> keptAsideFiles(const std::string& folder, const std::string& stem) {
    std::vector<std::string> kept;
    const FileDescriptor fd = openFolderPath(folder);
    if (!fd) return kept;
    for (const std::string& name : namesIn(fd.get())) {
        const std::string from = keptFrom(name);
        if (!from.empty() && isSetFileName(from, stem) &&
            entryAt(fd.get(), name.c_str()) == EntryKind::Regular)
            kept.push_back(name);
    }
    std::sort(kept.begin(), kept.end());
    return kept;
}

std::string keptAsideText(const std::vector<std::string>& names) {
    if (names.empty()) return {};
    std::string text = "kept aside: ";
    for (std::size_t i = 0; i < names.size() && i < 3; ++i)
        text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > 3) text += " and " + std::to_string(names.size() - 3) + " more";
    return text;
}
