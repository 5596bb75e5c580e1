#include "engine/piece_folder.h"

#include "engine/errors.h"
#include "engine/manifest.h"
#include "engine/safe_fs.h"
#include "engine/utilities.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

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
    const bool hasManifest = readManifestSummaryAt(folderFd, header, &listed) == 0;
    const std::string oldStem =
        stemOf(std::string(header.baseName, strnlen(header.baseName, sizeof header.baseName)));
    if (hasManifest && isSafeComponentName(oldStem.c_str())) {
        char name[kPathBufferSize];
        for (int32_t index : listed) {
            if (pieceFileName(oldStem.c_str(), index, name) > 0) names.insert(name);
        }
    }
    for (const std::string& name : namesIn(folderFd)) {
        if (name == kManifestFileName || isPieceNameOf(name, stem)) names.insert(name);
        for (const char* own : kOwnFileNames) {
            if (name == own) names.insert(name);
        }
    }
    // Only regular files are a set's; anything else by those names stays.
    std::erase_if(names, [folderFd](const std::string& name) {
        return entryAt(folderFd, name.c_str()) != EntryKind::Regular;
    });
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
                             const std::string& stem, bool replace) {
    const std::set<std::string> oldSet = setNamesIn(fd_.get(), stem);
    if (!oldSet.empty() && !replace) {
        engineFail("a set appeared in " + displayPath_ + " during the split");
        return false;
    }
    for (const std::string& name : namesIn(fd_.get())) {
        // Anything else in the folder stays where it is: the new files move in.
        if (oldSet.count(name) == 0) {
            if (!moveFilesIn(tempFd, oldSet)) return false;
            unlinkat(outFd, tempName.c_str(), AT_REMOVEDIR);
            return true;
        }
    }
    return swapFolders(outFd, tempName, tempFd, oldSet);
}

void PieceFolder::removeOldSet(int folderFd, const std::set<std::string>& oldSet) {
    for (const std::string& name : oldSet) {
        if (entryAt(folderFd, name.c_str()) == EntryKind::Regular)
            unlinkat(folderFd, name.c_str(), 0);
    }
}

bool PieceFolder::swapFolders(int outFd, const std::string& tempName, int tempFd,
                              const std::set<std::string>& oldSet) {
    std::string aside = tempName;
    if (renameat2(outFd, tempName.c_str(), outFd, name_.c_str(), RENAME_EXCHANGE) != 0) {
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            engineFailErrno("put the set in place at", displayPath_, errno);
            return false;
        }
        // Without an atomic swap (some file systems lack one): the old folder
        // goes aside, then the new one takes its name.
        aside = newTemporaryName();
        if (renameat(outFd, name_.c_str(), outFd, aside.c_str()) != 0) {
            engineFailErrno("put the set in place at", displayPath_, errno);
            return false;
        }
        if (renameat(outFd, tempName.c_str(), outFd, name_.c_str()) != 0) {
            const int error = errno;
            renameat(outFd, aside.c_str(), outFd, name_.c_str());
            engineFailErrno("put the set in place at", displayPath_, error);
            return false;
        }
    }
    // The folder this split locked now has the other name; anything else
    // there means the folder was swapped under the split.
    FileDescriptor moved = openFolderAt(outFd, aside.c_str());
    if (!moved || !sameFile(moved.get(), fd_.get())) {
        renameat2(outFd, aside.c_str(), outFd, name_.c_str(), RENAME_EXCHANGE);
        engineFail("cannot use " + displayPath_ + ": it was replaced during the split");
        return false;
    }
    created_ = false;
    removeOldSet(fd_.get(), oldSet);
    // Anything that came into the old folder since it was looked at goes
    // with the new set, not into a hidden folder.
    for (const std::string& name : namesIn(fd_.get()))
        renameat2(fd_.get(), name.c_str(), tempFd, name.c_str(), RENAME_NOREPLACE);
    unlinkat(outFd, aside.c_str(), AT_REMOVEDIR);
    return true;
}

bool PieceFolder::moveFilesIn(int tempFd, const std::set<std::string>& oldSet) {
    // The old set's files step aside under temporary names, the new files
    // come in (the manifest last), and only then do the old ones go. Any
    // failure puts everything back as it was.
    std::vector<std::pair<std::string, std::string>> asides;
    std::vector<std::string> movedIn;
    auto undo = [&](const char* step, const std::string& name, int error) {
        for (const std::string& moved : movedIn)
            renameat(fd_.get(), moved.c_str(), tempFd, moved.c_str());
        for (const auto& [original, aside] : asides)
            renameat(fd_.get(), aside.c_str(), fd_.get(), original.c_str());
        engineFailErrno(step, displayPath_ + "/" + name, error);
        return false;
    };
    for (const std::string& name : oldSet) {
        if (entryAt(fd_.get(), name.c_str()) != EntryKind::Regular) continue;
        const std::string aside = newTemporaryName();
        if (renameat(fd_.get(), name.c_str(), fd_.get(), aside.c_str()) != 0)
            return undo("move aside", name, errno);
        asides.emplace_back(name, aside);
    }
    std::vector<std::string> newNames = namesIn(tempFd);
    std::stable_partition(newNames.begin(), newNames.end(),
                          [](const std::string& name) { return name != kManifestFileName; });
    for (const std::string& name : newNames) {
        if (renameat(tempFd, name.c_str(), fd_.get(), name.c_str()) != 0)
            return undo("put in place", name, errno);
        movedIn.push_back(name);
    }
    for (const auto& [original, aside] : asides)
        unlinkat(fd_.get(), aside.c_str(), 0);
    created_ = false;
    return true;
}
