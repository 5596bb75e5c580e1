#include "core/SetNames.h"

#include "engine/base/utilities.h"
#include "engine/format/manifest.h"
#include "engine/fs/safe_fs.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

bool anotherSourcesSetInTheWay(const std::string& baseName, const std::string& outFolder) {
    const FileDescriptor out = openFolderPath(outFolder);
    if (!out) return false;
    const FileDescriptor set = openFolderAt(out.get(), (stemOf(baseName) + "_spt").c_str());
    if (!set) return false;
    ManifestHeader header{};
    if (readManifestSummaryAt(set.get(), header, nullptr) != 0) return false;
    return std::string(header.baseName, strnlen(header.baseName, sizeof header.baseName)) !=
           baseName;
}

std::string freeSetName(const std::string& baseName, const std::string& outFolder) {
    const std::string stem = stemOf(baseName);
    const std::string rest = baseName.substr(stem.size());
    for (int n = 2; n < 1000; ++n) {
        const std::string numbered = stem + "-" + std::to_string(n);
        struct stat st {};
        if (lstat((outFolder + "/" + numbered + "_spt").c_str(), &st) != 0 && errno == ENOENT)
            return numbered + rest;
    }
    return {};
}
