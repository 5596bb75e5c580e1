#include "core/LaunchPaths.h"

#include "core/SplitArithmetic.h"
#include "engine/format/manifest.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string processWorkingFolder() {
    std::string folder(4096, '\0');
    if (getcwd(folder.data(), folder.size()) == nullptr) return "/";
    folder.resize(std::strlen(folder.c_str()));
    return folder;
}

} // namespace

std::string absoluteLaunchPath(const std::string& path, const std::string& workingFolder) {
    const std::string joined = !path.empty() && path[0] == '/' ? path : workingFolder + "/" + path;
    // Component by component: empty and "." components go, the rest stay.
    std::string clean;
    std::size_t start = 0;
    while (start <= joined.size()) {
        std::size_t end = joined.find('/', start);
        if (end == std::string::npos) end = joined.size();
        const std::string component = joined.substr(start, end - start);
        if (!component.empty() && component != ".") clean += "/" + component;
        start = end + 1;
    }
    return clean.empty() ? "/" : clean;
}

LaunchPlan planLaunchPaths(const std::vector<std::string>& given,
                           const std::string& workingFolder) {
    LaunchPlan plan;
    const std::string base = workingFolder.empty() ? processWorkingFolder() : workingFolder;
    for (const std::string& relative : given) {
        const std::string path = absoluteLaunchPath(relative, base);
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
