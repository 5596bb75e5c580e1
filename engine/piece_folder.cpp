#include "engine/piece_folder.h"

#include "engine/errors.h"
#include "engine/manifest.h"
#include "engine/safe_fs.h"
#include "engine/utilities.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string stemOf(const char* baseName) {
    std::string stem(baseName, strnlen(baseName, sizeof(ManifestHeader::baseName)));
    return stem.substr(0, stem.find('.'));
}

} // namespace

bool isPieceNameOf(const std::string& name, const std::string& stem) {
    const std::string prefix = stem + "_";
    const std::string suffix = ".spt";
    if (name.size() <= prefix.size() + suffix.size()) return false;
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    for (std::size_t i = prefix.size(); i < name.size() - suffix.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
}

std::set<std::string> setNamesIn(int folderFd, const std::string& stem) {
    std::set<std::string> names;
    ManifestHeader header{};
    std::vector<int32_t> listed;
    if (readManifestSummaryAt(folderFd, header, &listed) == 0) {
        const std::string oldStem = stemOf(header.baseName);
        char name[kPathBufferSize];
        for (int32_t index : listed) {
            if (!oldStem.empty() && pieceFileName(oldStem.c_str(), index, name) > 0)
                names.insert(name);
        }
    }
    for (const std::string& name : namesIn(folderFd)) {
        if (name == kManifestFileName || isPieceNameOf(name, stem)) names.insert(name);
        for (const char* own : kOwnFileNames) {
            if (name == own) names.insert(name);
        }
    }
    return names;
}

std::string describeSetIn(int folderFd, const std::string& stem) {
    ManifestHeader header{};
    if (readManifestSummaryAt(folderFd, header, nullptr) == 0) {
        const std::string base(header.baseName, strnlen(header.baseName, sizeof header.baseName));
        return base + ", " + std::to_string(header.pieceCount) +
               (header.pieceCount == 1 ? " piece" : " pieces");
    }
    int pieces = 0;
    bool manifest = false;
    for (const std::string& name : namesIn(folderFd)) {
        if (name == kManifestFileName) manifest = true;
        if (isPieceNameOf(name, stem)) ++pieces;
    }
    if (manifest) return "a damaged manifest";
    if (pieces == 0) return {};
    return std::to_string(pieces) + (pieces == 1 ? " file" : " files") + " named like its pieces";
}

FileDescriptor openSetForReading(const char* pieceFolder) {
    FileDescriptor folder = openFolderPath(pieceFolder);
    if (!folder) {
        engineFailErrno("open", pieceFolder, errno);
        return {};
    }
    if (!lockFolder(folder.get(), false)) {
        engineFail(std::string("cannot read ") + pieceFolder + ": another run is using it");
        return {};
    }
    if (loadManifest(pieceFolder) != 0) {
        engineFail(std::string("cannot read the manifest of ") + pieceFolder);
        return {};
    }
    return folder;
}

bool PieceFolder::openForSplit(int outFd, const std::string& name, const std::string& path) {
    outFd_ = outFd;
    name_ = name;
    displayPath_ = path;
    fd_ = makeFolderAt(outFd, name.c_str(), &created_);
    if (!fd_) {
        engineFail("cannot use " + path + ": " + folderProblem(outFd, name.c_str(), errno));
        return false;
    }
    if (!lockFolder(fd_.get(), true)) {
        if (errno == EWOULDBLOCK) {
            engineFail("cannot use " + path + ": another run is using it");
        } else {
            engineFailErrno("lock", path, errno);
        }
        discardIfCreated();
        return false;
    }
    return true;
}

std::string PieceFolder::describeSet(const std::string& stem) const {
    return describeSetIn(fd_.get(), stem);
}

void PieceFolder::discardIfCreated() {
    if (created_ && namesIn(fd_.get()).empty()) unlinkat(outFd_, name_.c_str(), AT_REMOVEDIR);
    created_ = false;
}

bool PieceFolder::putInPlace(int outFd, const std::string& tempName, int tempFd,
                             const std::string& stem) {
    const std::set<std::string> oldSet = setNamesIn(fd_.get(), stem);
    if (renameat2(outFd, tempName.c_str(), outFd, name_.c_str(), RENAME_EXCHANGE) == 0) {
        // The folder this split locked now has the temporary name; anything
        // else there means the folder was swapped under the split.
        FileDescriptor moved = openFolderAt(outFd, tempName.c_str());
        if (!moved || !sameFile(moved.get(), fd_.get())) {
            renameat2(outFd, tempName.c_str(), outFd, name_.c_str(), RENAME_EXCHANGE);
            engineFail("cannot use " + displayPath_ + ": it was replaced during the split");
            return false;
        }
        created_ = false;
        for (const std::string& name : namesIn(fd_.get())) {
            if (oldSet.count(name) != 0) {
                unlinkat(fd_.get(), name.c_str(), 0);
            } else {
                renameat2(fd_.get(), name.c_str(), tempFd, name.c_str(), RENAME_NOREPLACE);
            }
        }
        unlinkat(outFd, tempName.c_str(), AT_REMOVEDIR);
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        engineFailErrno("put the set in place at", displayPath_, errno);
        return false;
    }
    // Without an atomic swap (some file systems lack one), the new files move
    // in one by one, the manifest last, and the old set's other files go.
    std::vector<std::string> newNames = namesIn(tempFd);
    std::stable_partition(newNames.begin(), newNames.end(),
                          [](const std::string& name) { return name != kManifestFileName; });
    for (const std::string& name : newNames) {
        if (renameat(tempFd, name.c_str(), fd_.get(), name.c_str()) != 0) {
            engineFailErrno("put in place", displayPath_ + "/" + name, errno);
            return false;
        }
    }
    for (const std::string& name : oldSet) {
        if (std::find(newNames.begin(), newNames.end(), name) == newNames.end())
            unlinkat(fd_.get(), name.c_str(), 0);
    }
    created_ = false;
    unlinkat(outFd, tempName.c_str(), AT_REMOVEDIR);
    return true;
}
