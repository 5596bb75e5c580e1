#include "engine/runs/join_job.h"

namespace joining {

// The described tree's other entries, once every file is in place: the
// folders (empty ones are made here), then the links (never followed, their
// targets as stored) and the FIFOs, then each folder's bits and time, the
// deepest first, so what is made inside does not change them again. An entry
// already there of the same kind is kept (a link only with the same target).
void restoreTreeEntries(JoinJob& job) {
    RunContext& run = job.run;
    // Into a tree that was there, these came with the moves (finishDeferred).
    if (!job.described || job.fileSet || job.failed || !job.freshRoot) return;
    const auto failed = [&](const char* step, const std::string& path, int error) {
        run.failErrno(step, path, error);
        job.failed = true;
    };
    const FileDescriptor& root = job.root;
    const auto shown = [&](const std::string& path) {
        return path.empty() ? job.target : job.target + "/" + path;
    };
    std::string openName;
    FileDescriptor folder;
    const auto folderOf = [&](const std::string& path, bool create) -> int {
        const std::string name = folderPartOf(path);
        if (!folder || name != openName || create) {
            folder = openFolderBelow(root.get(), create ? path : name, create);
            openName = create ? std::string("\n") : name; // a made folder is not kept open
        }
        return folder ? folder.get() : -1;
    };
    for (const DescribedEntry& entry : job.tree.others) {
        if (run.stopIfRequested()) {
            job.failed = true;
            return;
        }
        if (entry.type != TreeEntryType::Folder || entry.path.empty()) continue;
        if (folderOf(entry.path, true) < 0)
            return failed("make the folder", shown(entry.path), errno);
    }
    folder = FileDescriptor();
    for (const DescribedEntry& entry : job.tree.others) {
        if (entry.type != TreeEntryType::Link && entry.type != TreeEntryType::Fifo) continue;
        if (run.stopIfRequested()) {
            job.failed = true;
            return;
        }
        const int at = folderOf(entry.path, false);
        const std::string name = lastComponentOf(entry.path);
        const std::string path = shown(entry.path);
        if (at < 0) return failed("open the folder of", path, errno);
        struct stat there {};
        if (entry.type == TreeEntryType::Link) {
            if (symlinkat(entry.link.c_str(), at, name.c_str()) != 0) {
                if (errno != EEXIST) return failed("make the link", path, errno);
                if (!linkPointsAt(at, name, entry.link)) {
                    run.refuse("cannot make the link " + path + ": something else is in its place");
                    job.failed = true;
                    return;
                }
            }
        } else if (mkfifoat(at, name.c_str(), 0600) != 0) {
            if (errno != EEXIST || fstatat(at, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISFIFO(there.st_mode)) {
                run.refuse("cannot make the FIFO " + path + ": something else is in its place");
                job.failed = true;
                return;
            }
        }
        if (entry.type == TreeEntryType::Fifo &&
            fchmodat(at, name.c_str(), static_cast<mode_t>(entry.mode), AT_SYMLINK_NOFOLLOW) != 0)
            return failed("set the permissions of", path, errno);
        const auto times = modificationTime(entry.mtimeSeconds, entry.mtimeNanoseconds);
        if (utimensat(at, name.c_str(), times.data(), AT_SYMLINK_NOFOLLOW) != 0)
            return failed("set the time of", path, errno);
    }
    folder = FileDescriptor();
    for (auto it = job.tree.others.rbegin(); it != job.tree.others.rend(); ++it) {
        if (it->type != TreeEntryType::Folder) continue;
        FileDescriptor at = it->path.empty()
                                ? FileDescriptor(::fcntl(root.get(), F_DUPFD_CLOEXEC, 0))
                                : openFolderBelow(root.get(), it->path, false);
        const auto times = modificationTime(it->mtimeSeconds, it->mtimeNanoseconds);
        if (!at) return failed("open", shown(it->path), errno);
        // A new tree's root is moved out of the working folder at the end,
        // which takes its owner's write permission: until then it keeps it.
        const mode_t mode =
            static_cast<mode_t>(it->mode) | (job.rootInWork && it->path.empty() ? S_IWUSR : 0);
        if (fchmod(at.get(), mode) != 0)
            return failed("set the permissions of", shown(it->path), errno);
        if (futimens(at.get(), times.data()) != 0)
            return failed("set the time of", shown(it->path), errno);
    }
}

void joinFile(JoinJob& job, int outFd, const ManifestTargets& targets) {
    job.root = FileDescriptor(::fcntl(outFd, F_DUPFD_CLOEXEC, 0));
    if (!writeTarget(job, 0, outFd, "", job.baseName, job.target, targets.slicesOf(0)))
        job.failed = true;
}

// A new tree, complete, takes its name in the output folder; never over
// something that appeared there meanwhile.
void putNewTreeInPlace(JoinJob& job, int outFd) {
    RunContext& run = job.run;
    if (!job.rootInWork || job.failed) return;
    if (run.stopIfRequested()) {
        job.failed = true;
        return;
    }
    if (!renameNoReplace(job.work->fd(), job.baseName.c_str(), outFd, job.baseName.c_str())) {
        if (errno == EEXIST || errno == ENOTEMPTY)
            run.refuse("cannot write " + job.target + ": something appeared in its place");
        else
            run.failErrno("put in place", job.target, errno);
        job.failed = true;
        return;
    }
    fsync(outFd);
    // The root's own bits, without the write permission it kept to be moved.
    const DescribedEntry* root =
        job.described && !job.tree.others.empty() && job.tree.others.front().path.empty()
            ? &job.tree.others.front()
            : nullptr;
    if (root && (root->mode & S_IWUSR) == 0 &&
        fchmod(job.root.get(), static_cast<mode_t>(root->mode)) != 0) {
        run.failErrno("set the permissions of", job.target, errno);
        job.failed = job.movedIn = true; // in place, but not quite as described
    }
}

// Before a join writes into a tree that is there, every target is checked
// against what holds its name: a link, a folder, a FIFO or a device where a
// file goes, a file or a link where a folder goes, anything else where a link
// or a FIFO goes (a link only with another target), and, without replacing, a
// file where a file goes. Refused with the first such reason: nothing written.
bool fitsExistingTree(JoinJob& job, const ManifestTargets& targets) {
    RunContext& run = job.run;
    std::string openName = "\n";
    FileDescriptor folder;
    int folderError = 0;
    // The entry `path` below the root, without following a link: false with
    // `kind` unset when its folder or it is missing.
    const auto look = [&](const std::string& path, struct stat& st) {
        const std::string name = folderPartOf(path);
        if (name != openName) {
            openName = name;
            folder = openFolderBelow(job.root.get(), name, false);
            folderError = folder ? 0 : errno;
        }
        if (!folder) return false;
        return fstatat(folder.get(), lastComponentOf(path).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    };
    const auto refuse = [&](const std::string& path, const std::string& why,
                            EngineFailure kind = EngineFailure::Other) {
        run.refuse("cannot write " + job.target + "/" + path + ": " + why + "; nothing was changed",
                   kind);
        job.saidUnchanged = true;
        return false;
    };
    const auto folderInTheWay = [&](const std::string& path) {
        return folderError == ENOTDIR || folderError == ELOOP
                   ? refuse(path, "a link or a file is in the way of its folder")
                   : true;
    };
    const auto kindOf = [](const struct stat& st) {
        return S_ISLNK(st.st_mode)    ? "a symbolic link"
               : S_ISDIR(st.st_mode)  ? "a folder"
               : S_ISFIFO(st.st_mode) ? "a FIFO"
               : S_ISREG(st.st_mode)  ? "a file"
                                      : "a special file";
    };
    bool fits = true;
    const bool named =
        targets.forEachName(job.manifest, [&](std::size_t, const FileRecord* record) {
            if (run.stopIfRequested()) return fits = false;
            const std::string path = record ? recordName(*record) : std::string();
            struct stat st {};
            if (!look(path, st)) return fits = folderInTheWay(path);
            if (!S_ISREG(st.st_mode))
                return fits = refuse(path, std::string(kindOf(st)) + " is in its place");
            if (!job.replaceExisting)
                return fits = refuse(path, "it already exists", EngineFailure::TargetExists);
            return true;
        });
    if (!fits) return false;
    if (!named) return run.refuse("cannot read the manifest of " + job.pieceFolder + " again");
    if (!job.described) return true;
    for (const DescribedEntry& entry : job.tree.others) {
        if (entry.path.empty()) continue;
        struct stat st {};
        if (!look(entry.path, st)) {
            if (!folderInTheWay(entry.path)) return false;
            continue;
        }
        const bool same = entry.type == TreeEntryType::Folder ? S_ISDIR(st.st_mode)
                          : entry.type == TreeEntryType::Fifo ? S_ISFIFO(st.st_mode)
                                                              : S_ISLNK(st.st_mode);
        if (!same) return refuse(entry.path, std::string(kindOf(st)) + " is in its place");
        if (entry.type == TreeEntryType::Link &&
            !linkPointsAt(folder.get(), lastComponentOf(entry.path), entry.link))
            return refuse(entry.path, "a link to somewhere else is in its place");
    }
    return true;
}

// The targets are written in the order of their first records, their names
// read again from the manifest as they come.
void joinFolder(JoinJob& job, int outFd, const ManifestTargets& targets) {
    RunContext& run = job.run;
    // A new tree is built in the working folder and moved out whole once
    // complete; an existing one is checked before anything is written.
    const EntryKind there = entryAt(outFd, job.baseName.c_str());
    job.rootInWork = job.freshRoot = there == EntryKind::Missing;
    job.root = job.rootInWork ? makeFolderAt(job.work->fd(), job.baseName.c_str())
                              : openFolderAt(outFd, job.baseName.c_str());
    if (!job.root) {
        run.fail(
            "cannot write into " + job.target + ": " +
            folderProblem(job.rootInWork ? job.work->fd() : outFd, job.baseName.c_str(), errno));
        job.failed = true;
        return;
    }
    if (!job.freshRoot && !fitsExistingTree(job, targets)) {
        job.failed = true;
        return;
    }
    const FileDescriptor& root = job.root;
    std::string openFolderName = "";
    FileDescriptor folder(::fcntl(root.get(), F_DUPFD_CLOEXEC, 0));
    bool ended = false; // by a stop or a refusal, not by the manifest
    const bool named =
        targets.forEachName(job.manifest, [&](std::size_t index, const FileRecord* record) {
            // Once one target failed, nothing of the tree is put in place: the
            // rest is not worth writing.
            if (job.failed || run.stopIfRequested() || !record || !recordIsSafe(job, *record)) {
                job.failed = ended = true;
                return false;
            }
            const Slices slices = targets.slicesOf(index);
            bool good = true;
            for (const Slice& slice : slices)
                good = pieceIsGood(job, slice.piece) && good;
            if (!good) {
                job.failed = true;
                return true;
            }
            const std::string name = recordName(*record);
            const std::string folderName = folderPartOf(name);
            if (folderName != openFolderName || !folder) {
                // A folder an existing tree lacks is made only with the moves at
                // the end, so a join that fails leaves none behind.
                folder = openFolderBelow(root.get(), folderName, job.freshRoot);
                openFolderName = folderName;
            }
            const std::string path = job.target + "/" + name;
            const bool missing = !folder && !job.freshRoot && errno == ENOENT;
            if (!folder && !missing) {
                const int error = errno;
                run.fail("cannot write " + path + ": " +
                         (error == ELOOP || error == ENOTDIR
                              ? std::string("a link or a file is in the way of its folder")
                              : std::string(strerror(error))));
                job.failed = true;
                return true;
            }
            if (!writeTarget(job, index, missing ? -1 : folder.get(), folderName,
                             lastComponentOf(name), path, slices))
                job.failed = true;
            return true;
        });
    if (!named && !ended) {
        run.fail("cannot read the manifest of " + job.pieceFolder + " again");
        job.failed = true;
    }
}

} // namespace joining
