#include "engine/runs/join.h"

#include "engine/runs/join_job.h"

using namespace joining;

namespace {

Result<JoinOutcome> runJoin(const std::string& pieceFolder, const std::string& outputFolder,
                            const JoinOptions& options, RunContext& run,
                            const RebuiltFiles* rebuilt = nullptr) {
    run.startProgress();
    // The set's own files, where the join reads them: a repair's folder may
    // hold a rebuilt manifest.
    Result<ReadableSet> opened =
        openSet(pieceFolder, run, rebuilt && rebuilt->setFiles ? rebuilt->fd : -1);
    if (!opened) return run.failure();
    const ReadableSet& set = opened.value();
    const Manifest* manifest = &set.manifest;
    const int ownFd = rebuilt && rebuilt->setFiles ? rebuilt->fd : set.fd();
    JoinOutcome read;
    read.pieceFolder = pieceFolder;
    read.outputFolder = outputFolder;
    if (set.manifestInFolder) read.setFiles.push_back({kManifestFileName, set.manifestIdentity});
    run.setTotalBytes(manifest->totalSize());

    JoinJob job{run, *manifest};
    job.replaceExisting = options.replaceExisting;
    job.transforms = options.transforms;
    job.pieceFd = set.fd();
    if (!planJoin(pieceFolder, outputFolder, job)) return run.failure();
    if (rebuilt) {
        job.rebuiltFd = rebuilt->fd;
        for (int32_t i = 0; i < job.pieceCount; ++i)
            if (rebuilt->names.count(pieceName(job, i)) != 0) job.rebuilt.insert(i);
    }

    const bool fileSet = manifest->fileSet();
    const bool streamed = options.outputFd >= 0;
    if (!fileSet && streamed)
        return run.refuse("the set in " + pieceFolder +
                          " holds a folder, which cannot be written to a "
                          "stream: join it into a folder"),
               run.failure();
    if (!fileSet && !options.transforms.empty())
        return run.refuse("a folder set is not joined through stages that change its bytes"),
               run.failure();
    job.fileSet = fileSet;
    if (fileSet) {
        if (static_cast<std::size_t>(std::max(job.pieceCount, 0)) > manifest->pieces().size()) {
            run.fail("the manifest of " + job.pieceFolder + " lists fewer pieces than it counts");
            return run.failure();
        }
    }
    // A folder set's records are checked as the targets are read from them.
    ManifestTargets targets;
    bool refused = false;
    if (!targets.read(*manifest, [&](const FileRecord& record) {
            refused = !fileSet && !recordIsSafe(job, record);
            return !refused;
        })) {
        if (!refused) run.fail("cannot read the manifest of " + pieceFolder + " again");
        return run.failure();
    }
    checkPieces(job, &read);
    if (fileSet) {
        // Every piece feeds the one target: all of them must be good, and
        // each is copied whole.
        for (Slice& slice : targets.slicesOf(0)) {
            if (!pieceIsGood(job, slice.piece)) return run.failure();
            slice.length = job.pieces[slice.piece].size;
        }
    }
    if (!sizesAgree(job, targets, fileSet)) return run.failure();
    FileDescriptor out = streamed ? FileDescriptor() : openFolderPath(outputFolder.c_str());
    if (!out && !streamed) {
        run.failErrno("open the output folder", outputFolder, errno);
        return run.failure();
    }
    if (!streamed && writesOverItsOwnSet(job, out.get(), targets, fileSet)) return run.failure();
    if (streamed && streamsIntoItsOwnSet(job, options.outputFd)) return run.failure();

    // With checksum files that agree with the set, every piece, and every
    // file's content, is checked in full on another thread while the copy
    // goes on.
    const TargetNames names = contentNamesOf(*manifest, targets);
    const SetChecksums sums = readSetChecksums(ownFd, job.stem, job.pieceCount,
                                               static_cast<int64_t>(targets.size()), run, &names);
    if (run.stopIfRequested() || !chooseCheck(options, sums, job.pieceFolder, run))
        return run.failure();
    std::unique_ptr<PieceVerifier> verifier;
    if (sums.good() && !streamed) { // a stream checks each piece as it sends it
        std::vector<std::string> pieceNames;
        std::vector<int> pieceFolders;
        for (int32_t i = 0; i < job.pieceCount; ++i) {
            pieceNames.push_back(pieceName(job, i));
            pieceFolders.push_back(job.rebuilt.count(i) != 0 ? job.rebuiltFd : -1);
        }
        verifier = std::make_unique<PieceVerifier>(run, set.fd(), std::move(pieceNames),
                                                   sums.pieceHex, false, &targets,
                                                   sums.contentDigests(), std::move(pieceFolders));
        job.expectedContent = sums.contentDigests();
        job.verifier = verifier.get();
        for (const char* name : kOwnFileNames) {
            FileIdentity identity;
            if (entryAt(set.fd(), name, &identity) == EntryKind::Regular)
                read.setFiles.push_back({name, identity});
        }
        // Recovery pieces and their headers go with the set they protect.
        for (const std::string& name : namesIn(set.fd())) {
            FileIdentity identity;
            if (isRecoveryFileName(job.stem, name) &&
                entryAt(set.fd(), name.c_str(), &identity) == EntryKind::Regular)
                read.setFiles.push_back({name, identity});
        }
    }
    read.fullCheck = sums.good();
    if (streamed) return sendFile(job, targets, options.outputFd, sums, std::move(read));

    // The tree's description, when the set has one, checked against the
    // manifest before anything is written.
    if (options.transforms.empty() && entryAt(ownFd, kTreeFileName) != EntryKind::Missing) {
        const std::string why = readTreeDescription(ownFd, *manifest, targets, job.tree);
        if (!why.empty() && !(options.ignoreChecksums && sums.state == ChecksumState::Damaged)) {
            run.fail("the tree description of " + pieceFolder + " is damaged: " + why,
                     EngineFailure::ChecksumsDamaged);
            return run.failure();
        }
        job.described = why.empty();
        if (!why.empty()) run.note("the tree description was left aside: " + why);
        for (std::size_t i = 0; job.described && i < job.tree.others.size(); ++i) {
            const std::string& path = job.tree.others[i].path;
            if (!reservedComponentOf(path).empty())
                return run.fail(EngineFailure::UnsafeName,
                                reservedNameRefusal(job.baseName + "/" + path));
        }
        FileIdentity identity;
        if (!sums.good() && entryAt(set.fd(), kTreeFileName, &identity) == EntryKind::Regular)
            read.setFiles.push_back({kTreeFileName, identity}); // a part of the set all the same
    }

    // Targets are written in a working folder of this run beside them; what a
    // killed join left there is removed first, when no other run is using
    // the output folder.
    if (sweepWhenAlone(out.get(), run)) flock(out.get(), LOCK_UN);
    RunFolder work;
    job.umask = currentUmask();
    if (!work.create(out.get())) {
        run.failErrno("create a folder in", outputFolder, errno);
        return run.failure();
    }
    job.work = &work;
    job.unnamed = probeUnnamedFiles(work.fd(), ".probe");
    fileSet ? joinFile(job, out.get(), targets) : joinFolder(job, out.get(), targets);
    finishDeferred(job, out.get());
    restoreTreeEntries(job);
    putNewTreeInPlace(job, out.get());
    if (job.failed) {
        if (job.movedIn && !job.undoFailed)
            run.note("the files were moved into " + job.target +
                     ", but not every folder, link or FIFO could be made as described");
        else if (!job.undoFailed && !job.saidUnchanged && !run.stopRequested())
            run.note("nothing in " + outputFolder + " was changed");
        return run.failure();
    }
    job.dropped.sayIn(run);
    read.target = job.target;
    read.filesAdded = job.added;
    read.filesReplaced = job.replaced;
    read.sharedBytes = job.sharedBytes;
    read.writtenBytes = job.copiedBytes - job.sharedBytes;
    return read;
}

// The set's recovery headers say a piece or one of its own files is missing
// or of the wrong length: found from the folder's entries alone, so an
// intact set pays nothing for it.
bool visiblyIncomplete(int setFd, const std::string& stem) {
    const std::string sums = kPieceSumsFileName;
    if (entryAt(setFd, kManifestFileName) != EntryKind::Regular ||
        entryAt(setFd, sums.c_str()) != EntryKind::Regular)
        return true;
    const Result<Manifest> manifest = Manifest::readAt(setFd, "");
    if (!manifest) return true;
    char name[kPathBufferSize];
    int64_t total = 0;
    for (int32_t i = 0; i < manifest->pieceCount(); ++i) {
        FileIdentity identity;
        if (pieceFileName(stem.c_str(), i, name) < 0 ||
            entryAt(setFd, name, &identity) != EntryKind::Regular)
            return true;
        total += identity.size;
    }
    return total != manifest->totalSize();
}

// "rebuilt movie_3.spt from the recovery pieces (1 piece missing)": what was rebuilt,
// by name, and what was wrong with the set.
std::string rebuiltText(const RecoveryReport& report, const std::vector<std::string>& names) {
    std::string what;
    constexpr std::size_t kNamed = 4; // then "and 3 more files"
    for (std::size_t i = 0; i < names.size() && i < kNamed; ++i)
        what += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    if (names.size() > kNamed)
        what += " and " + std::to_string(names.size() - kNamed) + " more files";
    std::string wrong;
    const auto add = [&](int32_t count, const char* kind) {
        if (count == 0) return;
        wrong += (wrong.empty() ? "" : ", ") + std::to_string(count) +
                 (count == 1 ? " piece " : " pieces ") + kind;
    };
    add(report.missingPieces, "missing");
    add(report.damagedPieces, "damaged");
    return "rebuilt " + (what.empty() ? std::string("the set's files") : what) +
           " from the recovery pieces" + (wrong.empty() ? "" : " (" + wrong + ")");
}

// The pieces go after a join that asked for it, unless it needed the
// recovery pieces.
Result<JoinOutcome> finishJoin(Result<JoinOutcome> joined, const JoinOptions& options,
                               RunContext& run) {
    if (joined && !joined->rebuilt.empty() && options.removePieces) {
        run.note("the pieces were kept: the set needed its recovery pieces");
        return joined;
    }
    if (joined && options.removePieces &&
        !removeJoinedPieces(joined.value(), joined->removal, options.quickCheckAccepted, run))
        joined->removalFailure = run.failure();
    return joined;
}

// A join of a set with recovery pieces that is missing or damaged: the
// recovery pieces rebuild what is wrong into a working folder of the join
// (the set's folder is never written), and the join reads the rebuilt files
// there. Empty when the set has no recovery pieces or nothing to rebuild.
// `joinFrom` is the join itself, reading what `rebuilt` holds from there.
using JoinFrom = std::function<Result<JoinOutcome>(const RebuiltFiles* rebuilt)>;
std::optional<Result<JoinOutcome>> joinThroughRepair(const std::string& pieceFolder,
                                                     const std::string& outputFolder,
                                                     const JoinFrom& joinFrom, RunContext& run,
                                                     bool visibleOnly = false) {
    const FileDescriptor set = openFolderPath(pieceFolder);
    const std::string stem = set ? recoveryStemIn(set.get()) : std::string();
    if (stem.empty()) return std::nullopt;
    const FileDescriptor out = openFolderPath(outputFolder);
    RunFolder work;
    if (!out || !work.create(out.get())) return std::nullopt;
    const Failure before = run.failure();
    const bool failedBefore = run.failed();
    run.clearFailure();
    const Result<RepairOutcome> repaired =
        repairSet(set.get(), pieceFolder, stem, work.fd(), outputFolder + "/" + work.name(), run,
                  visibleOnly);
    if (!repaired || repaired->rebuilt.empty()) {
        // Nothing the recovery pieces could rebuild: the join's own failure
        // (which names the pieces) stands, with the repair's reason beside it.
        const std::string why = repaired ? std::string() : repaired.failure().reason;
        run.clearFailure();
        if (!why.empty()) run.note(why);
        if (!failedBefore) return std::nullopt;
        run.fail(before);
        return std::optional<Result<JoinOutcome>>(run.failure());
    }
    RebuiltFiles rebuilt;
    rebuilt.fd = work.fd();
    for (const std::string& name : repaired->rebuilt)
        rebuilt.names.insert(name);
    for (const char* own :
         {kManifestFileName, kPieceSumsFileName, kContentSumsFileName, kTreeFileName})
        rebuilt.setFiles = rebuilt.setFiles || rebuilt.names.count(own) != 0;
    if (rebuilt.setFiles) {
        // The set's own files are read together: those that were whole join
        // the rebuilt ones.
        for (const char* own :
             {kManifestFileName, kPieceSumsFileName, kContentSumsFileName, kTreeFileName}) {
            if (rebuilt.names.count(own) != 0 || entryAt(set.get(), own) != EntryKind::Regular)
                continue;
            FileDescriptor from = openFileAt(set.get(), own);
            FileDescriptor to(
                openat(work.fd(), own, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
            struct stat st {};
            bool failed = false;
            if (!from || !to || fstat(from.get(), &st) != 0 ||
                copyRange(from.get(), 0, st.st_size, to.get(), failed, run) != st.st_size ||
                failed) {
                run.failErrno("copy", pieceFolder + "/" + own, errno);
                return std::optional<Result<JoinOutcome>>(run.failure());
            }
        }
    }
    run.clearFailure();
    Result<JoinOutcome> joined = joinFrom(&rebuilt);
    if (joined) joined->rebuilt = rebuiltText(repaired->report, repaired->rebuilt);
    return joined;
}

} // namespace

Result<JoinOutcome> joinSet(const std::string& pieceFolder, const std::string& outputFolder,
                            const JoinOptions& options, RunContext& run) {
    run.clearFailure();
    return runGuarded<Result<JoinOutcome>>(run, "the join", [&] {
        // A set with recovery pieces that visibly lacks a piece or a file of
        // its own is rebuilt first; damage inside a piece shows only as the
        // join reads it, and then the join is made again through the repair
        // when the failed one left nothing.
        std::optional<Result<JoinOutcome>> through;
        // A join made again through the repair: what the failed one said
        // ("nothing in ... was changed") stands only if this one fails too.
        const auto again = [&](const JoinFrom& from) {
            std::vector<std::string> said = run.takeNotes();
            std::optional<Result<JoinOutcome>> made =
                joinThroughRepair(pieceFolder, outputFolder, from, run);
            if (made && *made) return made;
            for (std::string& note : run.takeNotes())
                said.push_back(std::move(note));
            for (std::string& note : said)
                run.note(std::move(note));
            return made;
        };
        const FileDescriptor setFd = openFolderPath(pieceFolder);
        const std::string stem = setFd ? recoveryStemIn(setFd.get()) : std::string();
        if (options.outputFd >= 0) {
            // A stream cannot take back what it sent: no rebuilding as it goes.
            if (setFd && isEncryptedSet(setFd.get()))
                return run.refuse("the set in " + pieceFolder +
                                  " is encrypted: join it into a folder"),
                       Result<JoinOutcome>(run.failure());
            return runJoin(pieceFolder, outputFolder, options, run);
        }
        if (setFd && isEncryptedSet(setFd.get())) {
            if (options.password.empty())
                return run.fail("the set in " + pieceFolder +
                                " is encrypted: its password is needed"),
                       Result<JoinOutcome>(run.failure());
            // A piece the stream finds lost or damaged is rebuilt, as below;
            // a failed encrypted join has put nothing in place.
            bool pieceFault = false;
            const JoinFrom decrypt = [&](const RebuiltFiles* rebuilt) {
                return joinEncryptedSet(pieceFolder, outputFolder, options.password, options, run,
                                        rebuilt, &pieceFault);
            };
            const bool visible = !stem.empty() && visiblyIncomplete(setFd.get(), stem);
            if (visible) through = joinThroughRepair(pieceFolder, outputFolder, decrypt, run, true);
            Result<JoinOutcome> joined = through ? std::move(*through) : decrypt(nullptr);
            if (!joined && !stem.empty() && pieceFault && !run.stopRequested())
                if (std::optional<Result<JoinOutcome>> repaired = again(decrypt))
                    joined = std::move(*repaired);
            return finishJoin(std::move(joined), options, run);
        }
        bool tried = false;
        const JoinFrom join = [&](const RebuiltFiles* rebuilt) {
            return runJoin(pieceFolder, outputFolder, options, run, rebuilt);
        };
        if (!stem.empty() && options.transforms.empty() && visiblyIncomplete(setFd.get(), stem)) {
            // What is plainly missing is rebuilt without reading the rest
            // first; damage found only as the join reads is then rebuilt
            // from a full reading of the set.
            through = joinThroughRepair(pieceFolder, outputFolder, join, run, true);
            tried = !through || *through || run.stopRequested();
        }
        const auto targetPath = [&]() -> std::string {
            if (!setFd) return {};
            const Result<Manifest> manifest = Manifest::readAt(setFd.get(), "");
            return manifest ? outputFolder + "/" + manifest->baseName() : std::string();
        };
        const std::string target = stem.empty() ? std::string() : targetPath();
        struct stat st {};
        const bool targetExisted = !target.empty() && lstat(target.c_str(), &st) == 0;
        Result<JoinOutcome> joined =
            through ? std::move(*through) : runJoin(pieceFolder, outputFolder, options, run);
        if (!joined && !tried && !stem.empty() && options.transforms.empty() &&
            !run.stopRequested() && !targetExisted &&
            (target.empty() || lstat(target.c_str(), &st) != 0)) {
            if (std::optional<Result<JoinOutcome>> repaired = again(join))
                joined = std::move(*repaired);
        }
        return finishJoin(std::move(joined), options, run);
    });
}
