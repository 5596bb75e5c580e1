#include "core/LaunchPaths.h"

#include "core/SplitArithmetic.h"
#include "engine/format/manifest.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace {

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

LaunchPlan planLaunchPaths(const std::vector<std::string>& paths) {
    LaunchPlan plan;
    for (const std::string& path : paths) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            plan.refusals.push_back("Cannot open " + path + ": " + std::strerror(errno));
        } else if (S_ISDIR(st.st_mode)) {
            if (isRegularFile(stringByAppendingPathComponent(path, kManifestFileName))) {
                plan.pieceSet = path;
            } else {
                plan.splitSource = path;
            }
        } else if (!S_ISREG(st.st_mode)) {
            plan.refusals.push_back("Cannot open " + path + ": it is not a file or a folder");
        } else if (lastPathComponent(path) == kManifestFileName) {
            plan.pieceSet = stringByDeletingLastPathComponent(path);
        } else {
            plan.splitSource = path;
        }
    }
    return plan;
}
