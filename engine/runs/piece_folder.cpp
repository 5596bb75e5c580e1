#include "engine/runs/piece_folder.h"

#include "engine/runs/recovery.h"

#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/format/manifest.h"
#include "engine/fs/safe_fs.h"
#include "engine/fs/target_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
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

bool isSetFileName(const std::string& name, const std::string& stem) {
    if (name == kManifestFileName || isPieceNameOf(name, stem) || isRecoveryFileName(stem, name))
        return true;
    return std::any_of(std::begin(kOwnFileNames), std::end(kOwnFileNames),
                       [&](const char* own) { return name == own; });
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
        if (isSetFileName(name, stem) || (hasManifest && isRecoveryFileName(oldStem, name)))
            names.insert(name);
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
    if (pieces == 0) {
        for (const char* own : kOwnFileNames) {
            if (entryAt(folderFd, own) == EntryKind::Regular) return "a set's checksum files";
        }
        return {};
    }
    return std::to_string(pieces) + (pieces == 1 ? " file" : " files") + " named like its pieces";
}

namespace {} // namespace

// Takes `fd`'s lock, waiting a moment (at most a second) for a run that
// holds it only while it sweeps.
bool lockSoon(int fd, bool exclusive) {
    for (int attempt = 0;; ++attempt) {
        if (lockFolder(fd, exclusive)) return true;
        if (errno != EWOULDBLOCK || attempt == 100) return false;
        usleep(10'000);
    }
}

bool lockForWriting(int outFd, const std::string& what, RunContext& run) {
    if (!lockSoon(outFd, true)) {
        if (errno == EWOULDBLOCK)
            run.fail("cannot use " + what + ": another run is using it");
        else
            run.failErrno("lock", what, errno);
        return false;
    }
    sweepLeftovers(outFd, run);
    return true;
}

OpenSet lockSetForReading(const char* pieceFolder, RunContext& run) {
    OpenSet set;
    set.folder = openFolderPath(pieceFolder);
    if (!set.folder && errno == ENOENT) {
        // A replacement interrupted between its two renames leaves no folder
        // under the set's name: settling its journal brings the old one back.
        FileDescriptor parent = openFolderPath(parentFolderOf(pieceFolder));
        if (parent && sweepWhenAlone(parent.get(), run)) set.folder = openFolderPath(pieceFolder);
        errno = set.folder ? 0 : ENOENT;
    }
    if (!set.folder) {
        run.failErrno("open", pieceFolder, errno);
        return {};
    }
    set.parent =
        FileDescriptor(::openat(set.folder.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!set.parent) {
        run.failErrno("open the folder holding", pieceFolder, errno);
        return {};
    }
    const std::string name = lastComponentOf(resolvedPath(pieceFolder));
    const std::string busy =
        std::string("cannot read ") + pieceFolder + ": another run is using it";
    if (!lockSoon(set.parent.get(), false)) {
        run.fail(busy);
        return {};
    }
    // A split may have put a new set in place while this run waited for the
    // lock: read the folder the name holds now.
    const auto current = [&] {
        if (FileDescriptor now = openFolderAt(set.parent.get(), name.c_str());
            now && !sameFile(now.get(), set.folder.get()))
            set.folder = std::move(now);
    };
    current();
    const bool marked = entryAt(set.folder.get(), kRunMarkerName) != EntryKind::Missing;
    if (!marked && !holdsWorkingFolders(set.parent.get())) return set;
    // Something may be left to settle: only a run that holds the lock alone
    // settles it (a failed upgrade gives the shared lock up, so it is taken
    // again).
    if (sweepWhenAlone(set.parent.get(), run) && marked)
        settleReplaceJournal(set.parent.get(), name);
    if (!lockSoon(set.parent.get(), false)) {
        run.fail(busy);
        return {};
    }
    current();
    if (replacementPending(set.parent.get(), set.folder.get(), name)) {
        run.fail(std::string("cannot read ") + pieceFolder +
                 ": it is being replaced (a split that replaced it stopped before it was "
                 "finished; it finishes when nothing else reads the set)");
        return {};
    }
    return set;
}

bool PieceFolder::openForSplit(int outFd, const std::string& name, const std::string& path,
                               RunContext& run) {
    run_ = &run;
    outFd_ = outFd;
    name_ = name;
    displayPath_ = path;
    if (!lockForWriting(outFd, path, run)) return false;
    if (entryAt(outFd, name.c_str()) == EntryKind::Missing) return true;
    fd_ = openFolderAt(outFd, name.c_str());
    if (!fd_) {
        run.fail("cannot use " + path + ": " + folderProblem(outFd, name.c_str(), errno));
        return false;
    }
    // A marker in the set's own folder: a replacement that stopped before its
    // exchange, or the working folder's marker that came along with a new set.
    if (entryAt(fd_.get(), kRunMarkerName) != EntryKind::Missing) settleReplaceJournal(outFd, name);
    return true;
}

std::string PieceFolder::describeSet(const std::string& stem) const {
    return fd_ ? describeSetIn(fd_.get(), stem) : std::string();
}

std::string PieceFolder::entryInTheWay(const std::string& stem, int32_t count) const {
    if (!fd_) return {};
    for (const std::string& name : namesIn(fd_.get())) {
        bool needed = name == kManifestFileName;
        for (const char* own : kOwnFileNames)
            needed = needed || name == own;
        if (!needed && isPieceNameOf(name, stem)) {
            const std::string digits = name.substr(stem.size() + 1, name.size() - stem.size() - 5);
            needed = digits.size() < 10 && std::stoll(digits) < count;
        }
        if (needed && entryAt(fd_.get(), name.c_str()) != EntryKind::Regular) return name;
    }
    return {};
}

bool PieceFolder::putInPlace(RunFolder& temp, const std::string& stem, bool replace,
                             mode_t newMode) {
    RunContext& run = *run_;
    // The run's marker must not stay in the set once it is in place.
    const auto dropMarker = [&] { unlinkat(temp.fd(), kRunMarkerName, 0); };
    if (!fd_) {
        if (placeEntry(outFd_, temp.name(), outFd_, name_, false)) {
            dropMarker();
            // Killed before this, the set stays as private as the working folder was.
            if (fchmod(temp.fd(), newMode) != 0)
                run.note("the new set's folder " + displayPath_ + " was left private to you");
            temp.release();
            fsync(outFd_);
            return true;
        }
        if (errno != EEXIST && errno != ENOTEMPTY) {
            run.failErrno("put the set in place at", displayPath_, errno);
            return false;
        }
        fd_ = openFolderAt(outFd_, name_.c_str());
        if (!fd_) {
            run.fail("cannot use " + displayPath_ + ": " +
                     folderProblem(outFd_, name_.c_str(), errno));
            return false;
        }
    }
    const std::set<std::string> oldSet = setNamesIn(fd_.get(), stem);
    if (!oldSet.empty() && !replace) {
        run.fail("a set appeared in " + displayPath_ + " during the split");
        return false;
    }
    if (!exchange(temp, oldSet)) return false;
    dropMarker();
    std::string kept;
    const std::string aside = temp.name();
    temp.release();
    fsync(outFd_);
    const bool settled = settleReplaceJournal(outFd_, aside, &kept);
    if (!kept.empty())
        run.note(kept);
    else if (!settled)
        run.note("the replaced set's folder is still in " + aside +
                 "; the next run on this folder finishes clearing it");
    return true;
}

bool PieceFolder::exchange(RunFolder& temp, const std::set<std::string>& oldSet) {
    RunContext& run = *run_;
    // The new folder takes the old one's place: it gets the old one's bits,
    // owner and group once it holds the name (the journal says which, so a
    // run that finishes a killed one gives them too). Until then both are
    // this user's and private: the old folder loses the write permission of
    // its group and others while the journal is in it.
    struct stat old {};
    struct stat made {};
    if (fstat(fd_.get(), &old) != 0 || fstat(temp.fd(), &made) != 0) {
        run.failErrno("examine", displayPath_, errno);
        return false;
    }
    const mode_t oldMode = old.st_mode & 07777;
    if (old.st_uid != made.st_uid && geteuid() != 0) {
        errno = EPERM;
        run.failErrno("keep the owner of", displayPath_, errno);
        return false;
    }
    std::vector<std::pair<std::string, FileIdentity>> journal;
    for (const std::string& name : oldSet) {
        FileIdentity identity;
        if (entryAt(fd_.get(), name.c_str(), &identity) == EntryKind::Regular)
            journal.emplace_back(name, identity);
    }
    const auto giveBack = [&] {
        unlinkat(fd_.get(), kRunMarkerName, 0);
        fchmod(fd_.get(), oldMode);
    };
    if ((oldMode & (S_IWGRP | S_IWOTH)) != 0)
        fchmod(fd_.get(), oldMode & ~mode_t{S_IWGRP | S_IWOTH}); // best effort: see the sweep
    const ReplacedFolder folders{static_cast<uint64_t>(made.st_dev),
                                 static_cast<uint64_t>(made.st_ino), oldMode, old.st_uid,
                                 old.st_gid};
    if (!writeReplaceJournal(fd_.get(), name_, folders, journal)) {
        const int error = errno;
        giveBack();
        run.failErrno("write a journal into", displayPath_, error);
        return false;
    }
    if (run.stopIfRequested()) { // the last moment a stop keeps the old set
        giveBack();
        return false;
    }
    const std::string& tempName = temp.name();
    if (!swapEntries(outFd_, tempName, name_)) {
        const int error = errno;
        giveBack();
        run.failErrno("put the set in place at", displayPath_, error);
        return false;
    }
    // The folder this split examined now has the working folder's name;
    // anything else there means the folder was swapped under the split.
    FileDescriptor moved = openFolderAt(outFd_, tempName.c_str());
    if (!moved || !sameFile(moved.get(), fd_.get())) {
        exchangeEntries(outFd_, tempName, outFd_, name_);
        giveBack();
        run.fail("cannot use " + displayPath_ + ": it was replaced during the split");
        return false;
    }
    // In place from here on: what cannot be given now is said, not failed.
    if (!giveFolderItsPlace(temp.fd(), folders))
        run.note("could not give the new set's folder " + displayPath_ +
                 " the permissions and owner of the old one: " + std::strerror(errno));
    return true;
}
