#include "engine/runs/join_job.h"

namespace joining {

// The target `index` of the join passed every check the set allows: each
// piece feeding it matches its checksum, and its content matches its line in
// CONTENTS.sha256 (hashed from `out` when the pieces' pass could not).
bool passesFullCheck(JoinJob& job, std::size_t index, Slices slices, int out,
                     const std::string& path) {
    RunContext& run = job.run;
    if (!job.verifier) return true;
    const auto stopped = [&] { return run.stopIfRequested(); }; // a stop is not damage
    for (const Slice& slice : slices) {
        if (job.verifier->verdict(static_cast<std::size_t>(slice.piece)) !=
            PieceVerifier::Verdict::Good) {
            if (!stopped())
                run.fail("piece " + piecePath(job, slice.piece) + " does not match its checksum",
                         EngineFailure::PieceDamaged);
            return false;
        }
    }
    if (!job.expectedContent) return true; // no content sums: the pieces' checksums are the check
    PieceVerifier::ContentVerdict content = job.verifier->contentVerdict(index);
    if (content == PieceVerifier::ContentVerdict::ReadBack)
        content = index < job.expectedContent->size() &&
                          sha256OfFile(out, run, false) == hexOf((*job.expectedContent)[index])
                      ? PieceVerifier::ContentVerdict::Good
                      : PieceVerifier::ContentVerdict::Mismatch;
    if (content != PieceVerifier::ContentVerdict::Good) {
        if (!stopped())
            run.fail("the rebuilt " + path +
                     " does not match its checksum in CONTENTS.sha256: the manifest or the "
                     "checksum files were changed");
        return false;
    }
    return true;
}

// The times for utimensat and futimens that set the modification time only.
std::array<struct timespec, 2> modificationTime(int64_t seconds, int32_t nanoseconds) {
    return {{{0, UTIME_OMIT}, {static_cast<time_t>(seconds), static_cast<long>(nanoseconds)}}};
}

// The entry `name` in `folderFd` is a symbolic link to `target`.
bool linkPointsAt(int folderFd, const std::string& name, const std::string& target) {
    char text[PATH_MAX];
    const ssize_t length = readlinkat(folderFd, name.c_str(), text, sizeof text);
    return length >= 0 && std::string_view(text, static_cast<std::size_t>(length)) == target;
}

// Writes one target and gives it `name` in `folderFd` once every slice is in
// and it passed its checks. A new file is written unnamed in its folder
// (where the file system allows) and named in one step that fails if the name
// was taken meanwhile; otherwise in the run's working folder, renamed into
// place. A target that replaces an existing file, and every target of a tree
// that was there before, waits for the end of the run (finishDeferred).
// Nothing stays under either name on failure.
bool writeTarget(JoinJob& job, std::size_t index, int folderFd, const std::string& folder,
                 const std::string& name, const std::string& path, Slices slices) {
    RunContext& run = job.run;
    TargetSpot spot;
    // In a tree this run made, nothing is in a target's way but what appears
    // meanwhile, which naming the file finds; nor in a folder an existing
    // tree lacks (-1), which is made with the moves at the end.
    if (!job.freshRoot && folderFd >= 0 &&
        !examineTarget(folderFd, name, path, job.replaceExisting, spot, run))
        return false;
    const bool replacing = spot.replacing;
    // A described file gets its stored bits; otherwise a new file is as
    // private as the pieces, and one that replaces another keeps its
    // permissions. A file is made with them when the umask allows.
    const TreeAttributes::FileBits* bits = job.described ? &job.tree.files[index] : nullptr;
    const mode_t newMode = bits ? static_cast<mode_t>(bits->mode & 0777)
                                : (0666 & ~job.umask) & static_cast<mode_t>(job.pieceMode);
    // In a tree that was there before, every file waits for the end (all or none).
    const bool deferred = replacing || (!job.fileSet && !job.freshRoot);
    TargetWriter writer(*job.work, job.unnamed, job.umask, run);
    Target out = writer.open(folderFd, path, newMode, !deferred);
    if (!out) return false;
    const auto fail = [&](const char* step, const std::string& where, int error) {
        run.failErrno(step, where, error);
        return false; // the temporary goes with `out`
    };
    // Through the join's transforms, the slices are one stream into the file.
    std::unique_ptr<TransformChain> chain;
    if (!job.transforms.empty())
        chain = std::make_unique<TransformChain>(
            job.transforms,
            [fd = out.fd()](const char* data, std::size_t size) {
                return writeAll(fd, data, size);
            },
            run);
    for (const Slice& slice : slices) {
        if (slice.piece != job.lastIndex || !job.lastPiece) {
            job.lastPiece = openPiece(job, slice.piece);
            job.lastIndex = slice.piece;
            FileIdentity now;
            if (!job.lastPiece || !identityOf(job.lastPiece.get(), now) ||
                !(now == job.pieces[slice.piece].identity)) {
                job.lastPiece = FileDescriptor();
                run.fail("piece " + piecePath(job, slice.piece) + " changed since it was checked");
                return false;
            }
        }
        bool failed = false;
        if (!chain && job.fileSet && !job.sharingProbed) {
            job.sharingProbed = true;
            job.sharing =
                probeBlockSharing(job.lastPiece.get(), folderFd >= 0 ? folderFd : job.root.get());
        }
        const int64_t copied =
            chain ? chain->feed(job.lastPiece.get(), slice.offset, slice.length, failed)
                  : copySharingBlocks(job.lastPiece.get(), slice.offset, slice.length, out.fd(),
                                      job.fileSet ? job.sharing : BlockSharing{}, &job.sharedBytes,
                                      failed, run);
        if (copied > 0) job.copiedBytes += copied;
        if (failed && errno == ECANCELED) return false;
        if (failed) return fail("write", path, errno);
        if (copied != slice.length) return fail("read", piecePath(job, slice.piece), EIO);
    }
    if (chain && !chain->finish()) return fail("write", path, errno);
    // The temporary was private to the run until now.
    const mode_t mode = replacing && !bits ? (spot.existing.st_mode & 0777) : newMode;
    if (((bits ? bits->mode : replacing ? spot.existing.st_mode : 0) & (S_ISUID | S_ISGID)) != 0)
        job.dropped.add(path);
    const struct timespec mtime =
        bits ? modificationTime(bits->mtimeSeconds, bits->mtimeNanoseconds)[1] : timespec{};
    if (!writer.settle(out, spot, mode, bits ? &mtime : nullptr)) return false;
    if (run.stopIfRequested() || !passesFullCheck(job, index, slices, out.fd(), path)) return false;
    if (deferred) {
        struct stat made {};
        if (fstat(out.fd(), &made) != 0) return fail("examine the file written for", path, errno);
        if (!out.closeForMove()) return fail("write", path, errno);
        job.deferred.push_back(
            {folder, out.temporary(), name, path, replacing, static_cast<uint64_t>(made.st_dev),
             static_cast<uint64_t>(made.st_ino), static_cast<uint64_t>(spot.existing.st_dev),
             static_cast<uint64_t>(spot.existing.st_ino)});
        return true;
    }
    if (!writer.place(out, folderFd, name, spot, TargetFlush::None)) return false;
    ++job.added;
    return true;
}

// What an existing tree lacks besides its files: a folder, a link or a FIFO,
// made in the working folder under a temporary name and moved in with them.
struct Incoming {
    std::string path;      // below the root
    std::string temporary; // its name in the working folder
    uint64_t device = 0, inode = 0;
    const DescribedEntry* described = nullptr; // its bits and time, when the set has them
    bool folder = false;
};

// Makes `entry` (a folder when `isFolder`, else the described link or FIFO)
// in the working folder `workFd`: a folder private until all of it is in
// place, a link or a FIFO with its own bits and time.
bool makeInWork(int workFd, Incoming& entry, RunContext& run, const std::string& shown) {
    entry.temporary = newTemporaryName();
    const char* name = entry.temporary.c_str();
    const DescribedEntry* d = entry.described;
    const char* step = "make the folder";
    bool made = false;
    if (entry.folder) {
        made = mkdirat(workFd, name, 0700) == 0;
    } else if (d->type == TreeEntryType::Link) {
        step = "make the link";
        made = symlinkat(d->link.c_str(), workFd, name) == 0;
    } else {
        step = "make the FIFO";
        made = mkfifoat(workFd, name, 0600) == 0 &&
               fchmodat(workFd, name, static_cast<mode_t>(d->mode & 0777), 0) == 0;
    }
    if (made && !entry.folder) {
        const auto times = modificationTime(d->mtimeSeconds, d->mtimeNanoseconds);
        made = utimensat(workFd, name, times.data(), AT_SYMLINK_NOFOLLOW) == 0;
        step = "set the time of";
    }
    struct stat st {};
    if (!made || fstatat(workFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        run.failErrno(step, shown, errno);
        return false;
    }
    entry.device = static_cast<uint64_t>(st.st_dev);
    entry.inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

// The targets that wait for the end (those that replace a file, and every
// entry that comes into a tree that was there before): nothing moves when
// the run failed or was stopped. Otherwise what the tree lacks besides its
// files (folders, links, FIFOs) is made in the working folder too, one flush
// of the file system puts all of it on disk before anything is replaced, the
// moves are journaled, then made (new folders first, parents first; each
// replaced file exchanged into the working folder, where it stays until the
// last move is made), then each new folder gets its own bits and time, the
// deepest first, and every folder that received something is flushed. Only
// then does the journal go. A move that fails, or a stop among them, undoes
// the ones made; a kill is undone by the next run. A folder that was there
// keeps its bits, owner and time as they were.
void finishDeferred(JoinJob& job, int outFd) {
    RunContext& run = job.run;
    const bool intoTree = !job.fileSet && !job.freshRoot;
    if (job.failed || (job.deferred.empty() && !(intoTree && job.described)))
        return; // the temporaries go with the working folder
    if (run.stopIfRequested()) {
        job.failed = true;
        return;
    }
    const int workFd = job.work->fd();
    const auto shown = [&](const std::string& path) {
        return path.empty() ? job.target : job.target + "/" + path;
    };
    const auto fail = [&](const char* step, const std::string& path, int error) {
        if (!run.stopRequested()) run.failErrno(step, path, error);
        job.failed = true;
    };
    // What the tree lacks, parents first: the folders of its files, and the
    // described folders, links and FIFOs that are not there.
    std::vector<Incoming> incoming;
    std::map<std::string, std::size_t> seen; // folders looked at: in `incoming`, or npos
    int keptFolders = 0;
    const auto needFolder = [&](const std::string& path) {
        for (std::size_t end = 0; end != std::string::npos;) {
            end = path.find('/', end + 1);
            const std::string part = path.substr(0, end);
            if (seen.count(part) != 0) continue;
            seen[part] = std::string::npos;
            if (openFolderBelow(job.root.get(), part, false)) continue;
            if (errno != ENOENT) return fail("open", shown(part), errno);
            seen[part] = incoming.size();
            incoming.push_back({part, {}, 0, 0, nullptr, true});
        }
    };
    std::string last = "\n";
    for (const JoinJob::Deferred& target : job.deferred) {
        if (target.folder.empty() || target.folder == last) continue;
        last = target.folder;
        needFolder(target.folder);
    }
    if (intoTree && job.described) {
        for (const DescribedEntry& entry : job.tree.others) {
            if (job.failed) return;
            if (entry.type != TreeEntryType::Folder) continue;
            if (!entry.path.empty()) needFolder(entry.path);
            const auto made = seen.find(entry.path);
            if (made != seen.end() && made->second != std::string::npos) {
                incoming[made->second].described = &entry;
                continue;
            }
            const FileDescriptor there = openFolderBelow(job.root.get(), entry.path, false);
            struct stat st {};
            if (there && fstat(there.get(), &st) == 0 && (st.st_mode & 07777) != entry.mode)
                ++keptFolders;
        }
        for (const DescribedEntry& entry : job.tree.others) {
            if (job.failed) return;
            if (entry.type != TreeEntryType::Link && entry.type != TreeEntryType::Fifo) continue;
            const std::string folder = folderPartOf(entry.path);
            const FileDescriptor in = openFolderBelow(job.root.get(), folder, false);
            struct stat st {};
            // One of the same kind there is kept (checked before anything was written).
            if (in && fstatat(in.get(), lastComponentOf(entry.path).c_str(), &st,
                              AT_SYMLINK_NOFOLLOW) == 0)
                continue;
            incoming.push_back({entry.path, {}, 0, 0, &entry, false});
        }
    }
    if (job.failed) return;
    for (Incoming& entry : incoming) {
        if (run.stopIfRequested()) {
            job.failed = true;
            return;
        }
        if (!makeInWork(workFd, entry, run, shown(entry.path))) {
            job.failed = true;
            return;
        }
    }
    run.enterPhase(RunPhase::WritingToDisk);
    if (syncfs(workFd) != 0) return fail("write to disk", job.target, errno);
    const std::string prefix = job.fileSet ? std::string() : job.baseName;
    const auto below = [&](const std::string& folder) {
        return folder.empty() ? prefix : prefix + "/" + folder;
    };
    std::vector<JoinMove> moves;
    moves.reserve(incoming.size() + job.deferred.size());
    for (const Incoming& entry : incoming) {
        if (!entry.folder) continue;
        JoinMove move{below(folderPartOf(entry.path)),
                      lastComponentOf(entry.path),
                      entry.temporary,
                      false,
                      entry.device,
                      entry.inode};
        move.makesFolder = true;
        moves.push_back(std::move(move));
    }
    for (const JoinJob::Deferred& target : job.deferred)
        moves.push_back({below(target.folder), target.name, target.temporary, target.replaces,
                         target.device, target.inode});
    for (const Incoming& entry : incoming)
        if (!entry.folder)
            moves.push_back({below(folderPartOf(entry.path)), lastComponentOf(entry.path),
                             entry.temporary, false, entry.device, entry.inode});
    if (!writeJoinJournal(workFd, moves)) return fail("write to disk", job.target, errno);

    std::vector<std::string> touched;
    const auto moveIn = [&](const std::string& folder, const std::string& temporary,
                            const std::string& name, bool exchange) {
        const FileDescriptor in = openFolderBelow(job.root.get(), folder, false);
        if (!in) return false;
        touched.push_back(folder);
        return exchange ? exchangeEntries(workFd, temporary, in.get(), name)
                        : placeEntry(workFd, temporary, in.get(), name, false);
    };
    for (const Incoming& entry : incoming) {
        if (!entry.folder) continue;
        if (run.stopIfRequested() || !moveIn(folderPartOf(entry.path), entry.temporary,
                                             lastComponentOf(entry.path), false)) {
            fail("make the folder", shown(entry.path), errno);
            break;
        }
    }
    for (const JoinJob::Deferred& target : job.deferred) {
        if (job.failed) break;
        if (run.stopIfRequested() ||
            !moveIn(target.folder, target.temporary, target.name, target.replaces)) {
            fail("put in place", target.path, errno);
            break;
        }
        // What came out must be the file that was checked: anything put in
        // its place since (a folder, say) would go with the working folder.
        struct stat out {};
        if (target.replaces &&
            (fstatat(workFd, target.temporary.c_str(), &out, AT_SYMLINK_NOFOLLOW) != 0 ||
             !S_ISREG(out.st_mode) || static_cast<uint64_t>(out.st_dev) != target.replacedDevice ||
             static_cast<uint64_t>(out.st_ino) != target.replacedInode)) {
            run.refuse("cannot write " + target.path + ": something else was put in its place");
            job.failed = true;
            break;
        }
    }
    for (const Incoming& entry : incoming) {
        if (job.failed) break;
        if (entry.folder) continue;
        if (run.stopIfRequested() || !moveIn(folderPartOf(entry.path), entry.temporary,
                                             lastComponentOf(entry.path), false)) {
            const bool taken = errno == EEXIST;
            if (taken && !run.stopRequested())
                run.refuse("cannot make " + shown(entry.path) +
                           ": something appeared in its place");
            else
                fail("put in place", shown(entry.path), errno);
            job.failed = true;
            break;
        }
    }
    // The new folders' own bits and times, now that all of them is in.
    for (auto entry = incoming.rbegin(); entry != incoming.rend() && !job.failed; ++entry) {
        if (!entry->folder) continue;
        const FileDescriptor made = openFolderBelow(job.root.get(), entry->path, false);
        const DescribedEntry* d = entry->described;
        const mode_t mode = d ? static_cast<mode_t>(d->mode & 07777) : (0777 & ~job.umask);
        if (!made || fchmod(made.get(), mode) != 0) {
            fail("set the permissions of", shown(entry->path), errno);
            break;
        }
        if (!d) continue;
        const auto times = modificationTime(d->mtimeSeconds, d->mtimeNanoseconds);
        if (futimens(made.get(), times.data()) != 0) {
            fail("set the time of", shown(entry->path), errno);
            break;
        }
    }
    for (const std::string& name : touched) {
        if (job.failed) break;
        FileDescriptor again = openFolderBelow(job.root.get(), name, false);
        if (!again || fsync(again.get()) != 0) fail("write to disk", shown(name), errno);
    }
    if (!job.failed && !dropJoinJournal(workFd)) fail("write to disk", job.target, errno);
    if (job.failed) {
        // Each move is undone only if it was made: its entry is in place.
        if (undoJoinMoves(outFd, workFd, moves)) {
            dropJoinJournal(workFd);
        } else {
            job.undoFailed = true;
            run.note("some of the moves into " + job.target +
                     " could not be undone; the next run in " + job.outputFolder + " undoes them");
        }
        return;
    }
    job.movedIn = true;
    for (const JoinJob::Deferred& target : job.deferred)
        ++(target.replaces ? job.replaced : job.added);
    if (keptFolders > 0)
        run.note("kept the permissions of " + std::to_string(keptFolders) +
                 (keptFolders == 1 ? " existing folder" : " existing folders"));
}

} // namespace joining
