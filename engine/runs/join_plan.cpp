#include "engine/runs/join_job.h"

namespace joining {

std::string piecePath(const JoinJob& job, int32_t index) {
    return piecePathOf(job.pieceFolder, job.stem, index);
}

std::string pieceName(const JoinJob& job, int32_t index) {
    char name[kPathBufferSize];
    return pieceFileName(job.stem.c_str(), index, name) > 0 ? name : "";
}

bool fitsPathBuffer(const std::string& path) {
    return path.size() < kPathBufferSize;
}

bool planJoin(const std::string& pieceFolder, const std::string& outputFolder, JoinJob& job) {
    RunContext& run = job.run;
    char baseName[kPathBufferSize] = {};
    const std::string stored = job.manifest.baseName();
    std::memcpy(baseName, stored.data(), stored.size());
    if (!isSafeComponentName(baseName))
        return run.refuse("the manifest of " + pieceFolder + " has an unsafe name",
                          EngineFailure::UnsafeName);
    if (isReservedName(baseName))
        return run.refuse(reservedNameRefusal(baseName), EngineFailure::UnsafeName);
    job.pieceFolder = pieceFolder;
    job.outputFolder = outputFolder;
    job.baseName = baseName;
    job.target = outputFolder + "/" + baseName;
    cutAtFirstDot(baseName);
    job.stem = baseName;
    job.pieceCount = job.manifest.pieceCount();
    if (!fitsPathBuffer(job.target) ||
        (job.pieceCount > 0 && !fitsPathBuffer(piecePath(job, job.pieceCount - 1))))
        return run.refuse("the path of " + job.target + " is too long", EngineFailure::TooLarge);
    return true;
}

bool recordIsSafe(const JoinJob& job, const FileRecord& record) {
    RunContext& run = job.run;
    if (strnlen(record.name, sizeof record.name) == sizeof record.name)
        return run.refuse("a file record of the manifest has no end", EngineFailure::NotASet);
    const std::string name(record.name);
    if (!isSafeRelativePath(name.c_str()))
        return run.refuse("the manifest names an unsafe path: \"" + name + "\"",
                          EngineFailure::UnsafeName);
    if (!reservedComponentOf(name).empty())
        return run.refuse(reservedNameRefusal(job.baseName + "/" + name),
                          EngineFailure::UnsafeName);
    if (record.pieceIndex < 0 || record.pieceIndex >= job.pieceCount || record.offset < 0 ||
        record.length < 0)
        return run.refuse("the manifest's record of " + name + " is damaged",
                          EngineFailure::NotASet);
    if (!fitsPathBuffer(job.target + "/" + name))
        return run.refuse("the path of " + job.target + "/" + name + " is too long",
                          EngineFailure::TooLarge);
    return true;
}

// Opens a piece for reading; a link to a piece is read like the piece.
FileDescriptor openPiece(const JoinJob& job, int32_t index) {
    if (job.rebuilt.count(index) != 0)
        return openFileAt(job.rebuiltFd, pieceName(job, index).c_str());
    return openFileAt(job.pieceFd, pieceName(job, index).c_str(), true);
}

// Every piece must still be the piece the split made: same length, same
// first bytes. The fingerprint cannot see a change beyond the first 1016
// bytes that keeps the length.
void checkPieces(JoinJob& job, JoinOutcome* outcome) {
    for (const PieceRecord& entry : job.manifest.pieces()) {
        const PieceRecord* record = &entry;
        const int32_t index = record->pieceIndex; // a packed field: copied, never referenced
        if (index < 0 || index >= job.pieceCount) continue;
        const bool seen = job.pieces.count(index) != 0;
        PieceState& piece = job.pieces[index];
        if (seen && !piece.good) continue;
        FileDescriptor fd = openPiece(job, index);
        const std::string stored(record->fingerprint,
                                 strnlen(record->fingerprint, sizeof record->fingerprint));
        char now[kMd5HexSize] = {};
        if (fd) pieceFingerprintOf(fd.get(), now);
        piece.good = false;
        if (!fd) {
            piece.problem = "is missing or cannot be read";
            piece.kind = EngineFailure::PieceMissing;
        } else if (stored.empty() || stored != now) {
            piece.problem = "does not match its fingerprint";
        } else if (identityOf(fd.get(), piece.identity)) {
            piece.good = true;
            piece.size = piece.identity.size;
            struct stat st {};
            if (fstat(fd.get(), &st) == 0)
                job.pieceMode &= static_cast<int>(st.st_mode | ~mode_t{0666});
            if (outcome && !seen)
                outcome->setFiles.push_back({pieceName(job, index), piece.identity});
        }
    }
}

bool pieceIsGood(JoinJob& job, int32_t index) {
    RunContext& run = job.run;
    auto found = job.pieces.find(index);
    if (found != job.pieces.end() && found->second.good) return true;
    const bool listed = found != job.pieces.end();
    const std::string problem =
        listed ? found->second.problem : "has no fingerprint in the manifest";
    run.fail(listed ? found->second.kind : EngineFailure::NotASet,
             "piece " + piecePath(job, index) + " " + problem, piecePath(job, index));
    return false;
}

// The slices lie inside their pieces and add up to at most the total; a file
// set's pieces add up to exactly the total.
bool sizesAgree(JoinJob& job, const ManifestTargets& targets, bool fileSet) {
    RunContext& run = job.run;
    const int64_t total = job.manifest.totalSize();
    int64_t sum = 0;
    for (std::size_t index = 0; index < targets.size(); ++index) {
        for (const Slice& slice : targets.slicesOf(index)) {
            auto piece = job.pieces.find(slice.piece);
            if (piece != job.pieces.end() && piece->second.good &&
                slice.length > piece->second.size - slice.offset) {
                std::string name;
                targets.nameOf(job.manifest, index, name);
                return run.refuse("the manifest places " + name + " past the end of piece " +
                                      piecePath(job, slice.piece),
                                  EngineFailure::NotASet);
            }
            if (__builtin_add_overflow(sum, slice.length, &sum) || sum > total)
                return run.refuse("the manifest's slices add up to more than its total of " +
                                      std::to_string(total) + " bytes",
                                  EngineFailure::NotASet);
        }
    }
    if (fileSet && sum != total)
        return run.refuse("the pieces of " + job.pieceFolder + " hold " + std::to_string(sum) +
                              " bytes, not the " + std::to_string(total) + " of the manifest",
                          EngineFailure::NotASet);
    return true;
}

// The names the set's own files have in its piece folder.
std::set<std::string> ownNames(const JoinJob& job) {
    std::set<std::string> names{kManifestFileName};
    for (const char* name : kOwnFileNames)
        names.insert(name);
    for (const auto& [index, piece] : job.pieces)
        names.insert(pieceName(job, index));
    return names;
}

// A target that would be one of the set's own files, in its own folder.
bool writesOverItsOwnSet(const JoinJob& job, int outFd, const ManifestTargets& targets,
                         bool fileSet) {
    RunContext& run = job.run;
    const std::set<std::string> own = ownNames(job);
    const FileDescriptor root = openFolderAt(outFd, job.baseName.c_str());
    if (fileSet) {
        if ((root && sameFile(root.get(), job.pieceFd)) ||
            (sameFile(outFd, job.pieceFd) && own.count(job.baseName) != 0))
            return !run.refuse("joining " + job.pieceFolder + " into " + job.outputFolder +
                               " would write over the set itself");
        return false;
    }
    const int depth = root ? depthBelow(job.pieceFd, root.get()) : -1;
    if (depth < 0) return false;
    // The piece folder's path below the root: the last `depth` names of its path.
    std::vector<std::string> names;
    const std::string resolved = resolvedPath(job.pieceFolder);
    for (std::size_t start = 1; start < resolved.size();) {
        const std::size_t end = std::min(resolved.find('/', start), resolved.size());
        names.push_back(resolved.substr(start, end - start));
        start = end + 1;
    }
    if (names.size() < static_cast<std::size_t>(depth)) return false;
    std::string inside;
    for (std::size_t i = names.size() - static_cast<std::size_t>(depth); i < names.size(); ++i)
        inside += (inside.empty() ? "" : "/") + names[i];
    bool over = false;
    const bool named =
        targets.forEachName(job.manifest, [&](std::size_t, const FileRecord* record) {
            const std::string name = record ? recordName(*record) : std::string();
            const std::string leaf = lastComponentOf(name);
            if (folderPartOf(name) != inside || own.count(leaf) == 0) return true;
            over = !run.refuse("the file " + name + " of the set would write over the set's " +
                               "own " + leaf);
            return false;
        });
    if (!over && !named)
        return !run.refuse("cannot read the manifest of " + job.pieceFolder + " again");
    return over;
}

// A stream that is a file of the set itself ("join SET - >> SET/x_2.spt")
// would damage the set as it reads it.
bool streamsIntoItsOwnSet(const JoinJob& job, int outFd) {
    struct stat out {};
    if (fstat(outFd, &out) != 0 || !S_ISREG(out.st_mode)) return false;
    for (const std::string& name : namesIn(job.pieceFd)) {
        struct stat st {};
        if (fstatat(job.pieceFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            st.st_dev == out.st_dev && st.st_ino == out.st_ino)
            return !job.run.refuse("the output is " + job.pieceFolder + "/" + name +
                                   ", a file of the set itself");
    }
    return false;
}

// Decides which check the join makes: the full check with checksum files
// that agree with the set; the quick check alone without any (unless they
// are required) or when told to ignore damaged ones. Damaged files fail it.
bool chooseCheck(const JoinOptions& options, const SetChecksums& sums,
                 const std::string& pieceFolder, RunContext& run) {
    if (sums.state == ChecksumState::Damaged && !options.ignoreChecksums) {
        run.fail("the checksum files of " + pieceFolder + " are damaged: " + sums.problem,
                 EngineFailure::ChecksumsDamaged);
        return false;
    }
    if (sums.state == ChecksumState::Absent && options.requireChecksums) {
        run.fail(pieceFolder + " has no checksum files, so only the quick check is possible",
                 EngineFailure::NoChecksums);
        return false;
    }
    return true;
}

} // namespace joining
