#include "engine/runs/join.h"

#include "engine/runs/encrypted_set.h"
#include "engine/runs/recovery.h"

#include "engine/base/file_io.h"
#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest.h"
#include "engine/format/manifest_file.h"
#include "engine/format/tree_description.h"
#include "engine/fs/run_folder.h"
#include "engine/fs/target_writer.h"
#include "engine/runs/open_set.h"
#include "engine/runs/piece_folder.h"
#include "engine/runs/piece_hashing.h"
#include "engine/runs/removal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A piece as the check before writing found it.
struct PieceState {
    bool good = false;
    int64_t size = 0;
    FileIdentity identity;
    std::string problem; // why it is not good
    EngineFailure kind = EngineFailure::PieceDamaged;
};

// The slices that make a target of the result (relative to the root; "" for
// a file set), in record order.
using Slice = PieceSlice;
using Slices = std::span<const PieceSlice>;

struct JoinJob {
    JoinJob(RunContext& context, const Manifest& read) : run(context), manifest(read) {}
    RunContext& run;
    const Manifest& manifest;
    std::string pieceFolder;
    std::string outputFolder;
    std::string baseName;
    std::string target; // the file, or the root of the tree
    std::string stem;
    int32_t pieceCount = 0;
    bool replaceExisting = true;
    Transforms transforms; // the inverse of the split's, for a file set
    int pieceMode = 0666;  // new files are no less private than the pieces
    int pieceFd = -1;
    // Pieces rebuilt from the recovery pieces, read from this folder instead.
    int rebuiltFd = -1;
    std::set<int32_t> rebuilt;
    std::map<int32_t, PieceState> pieces;
    PieceVerifier* verifier = nullptr; // full checks, when the set has its checksum files
    RunFolder* work = nullptr;         // where targets are written until complete, unless unnamed
    UnnamedFiles unnamed = UnnamedFiles::Unavailable; // how new files are made, when they can be
    bool freshRoot = false;                           // the tree's root was made by this run
    // The set's TREE.mtree, when it has one: each file's bits and time, and
    // the folders, links and FIFOs, restored as described.
    bool described = false;
    TreeAttributes tree;
    bool fileSet = true;
    mode_t umask = 022;
    const std::vector<Sha256Digest::Bytes>* expectedContent =
        nullptr; // by target, with the verifier
    // Targets that replace an existing file, and every target of a tree that
    // was there before, wait for one flush of the file system and are moved
    // in at the end, all or none (run_folder.h).
    struct Deferred {
        std::string folder; // below the root; "" for a file set's target
        std::string temporary;
        std::string name;
        std::string path;
        bool replaces = false;
        uint64_t device = 0, inode = 0;
        uint64_t replacedDevice = 0, replacedInode = 0; // the file it replaces, as checked
    };
    std::vector<Deferred> deferred;
    FileDescriptor root;     // the tree's root, where it is built; the output folder for a file set
    bool rootInWork = false; // a new tree is built in the working folder and moved out whole
    int64_t added = 0;       // new files named in place
    int64_t replaced = 0;
    bool movedIn = false;       // the moves into an existing tree were made
    bool undoFailed = false;    // some could not be undone (a note says so)
    bool saidUnchanged = false; // the failure's reason says nothing was changed
    // The piece read last, kept open for the next target: a tree's files
    // mostly lie in the same piece one after another.
    int32_t lastIndex = -1;
    FileDescriptor lastPiece;
    bool failed = false;
    DroppedBits dropped; // files written without their setuid or setgid bit
};

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
        return run.refuse("the path of " + job.target + " is too long");
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
        return run.refuse("the path of " + job.target + "/" + name + " is too long");
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
        const int64_t copied =
            chain
                ? chain->feed(job.lastPiece.get(), slice.offset, slice.length, failed)
                : copyRange(job.lastPiece.get(), slice.offset, slice.length, out.fd(), failed, run);
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
    const auto refuse = [&](const std::string& path, const std::string& why) {
        run.refuse("cannot write " + job.target + "/" + path + ": " + why +
                   "; nothing was changed");
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
            if (!job.replaceExisting) return fits = refuse(path, "it already exists");
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

// A file set's content to `outFd`. Each piece is read once and matched
// against SHA256SUMS, then sent from the same descriptor (a second read, from
// the page cache), and must be unchanged once sent; the content's digest,
// taken on the first read, is matched against CONTENTS.sha256 at the end. So
// what went out before a failure is the set's true beginning.
Result<JoinOutcome> sendFile(JoinJob& job, const ManifestTargets& targets, int outFd,
                             const SetChecksums& sums, JoinOutcome read) {
    constexpr int64_t kSendStep = int64_t{1} << 20;
    RunContext& run = job.run;
    run.setTotalBytes(job.manifest.totalSize());
    std::vector<char> buffer(static_cast<std::size_t>(kSendStep));
    Sha256Digest content;
    int64_t sent = 0;
    for (const Slice& slice : targets.slicesOf(0)) {
        const std::string path = piecePath(job, slice.piece);
        const FileDescriptor piece = openPiece(job, slice.piece);
        FileIdentity before;
        if (!piece || !identityOf(piece.get(), before))
            return run.failErrno("read", path, errno), run.failure();
        if (sums.good()) {
            Sha256Digest digest;
            for (int64_t at = 0;;) {
                if (run.stopIfRequested()) return run.failure();
                const int64_t got = readAt(piece.get(), buffer.data(), buffer.size(), at);
                if (got < 0) return run.failErrno("read", path, errno), run.failure();
                if (got == 0) break;
                digest.update(buffer.data(), static_cast<std::size_t>(got));
                // The part of these bytes that belongs to the file.
                const int64_t from = std::max(at, slice.offset);
                const int64_t to = std::min(at + got, slice.offset + slice.length);
                if (to > from)
                    content.update(buffer.data() + (from - at),
                                   static_cast<std::size_t>(to - from));
                at += got;
            }
            const std::size_t index = static_cast<std::size_t>(slice.piece);
            if (index >= sums.pieceHex.size() || digest.finishHex() != sums.pieceHex[index])
                return run.fail(EngineFailure::PieceDamaged,
                                "piece " + path + " does not match its checksum", path);
        }
        for (int64_t done = 0; done < slice.length;) {
            if (run.stopIfRequested()) return run.failure();
            const std::size_t step =
                static_cast<std::size_t>(std::min<int64_t>(slice.length - done, kSendStep));
            off_t offset = static_cast<off_t>(slice.offset + done);
            int64_t n = sendfile(outFd, piece.get(), &offset, step);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
                // Not every output takes sendfile: through the buffer instead.
                n = readAt(piece.get(), buffer.data(), step, slice.offset + done);
                if (n < 0) return run.failErrno("read", path, errno), run.failure();
                if (!writeAll(outFd, buffer.data(), static_cast<std::size_t>(n)))
                    return run.failErrno("write", "standard output", errno), run.failure();
            } else if (n < 0) {
                return run.failErrno("send", path, errno), run.failure();
            }
            if (n == 0) return run.fail("piece " + path + " is shorter than it was"), run.failure();
            done += n;
            sent += n;
            run.addDoneBytes(n);
        }
        FileIdentity after;
        if (!identityOf(piece.get(), after) || !(after == before))
            return run.fail("piece " + path + " changed while it was sent"), run.failure();
    }
    if (sent != job.manifest.totalSize())
        return run.fail("the pieces hold " + std::to_string(sent) + " bytes, not the set's " +
                        std::to_string(job.manifest.totalSize())),
               run.failure();
    if (sums.good() && sums.contentsListed &&
        (sums.contents.empty() || content.finishHex() != hexOf(sums.contents.front())))
        return run.fail("what was sent does not match its checksum in CONTENTS.sha256"),
               run.failure();
    read.target = "standard output";
    return read;
}

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
    return read;
}

} // namespace

namespace {

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

// "rebuilt 1 missing piece from the recovery pieces"
std::string rebuiltText(const RecoveryReport& report) {
    std::string what;
    const auto add = [&](int32_t count, const char* kind) {
        if (count == 0) return;
        what += (what.empty() ? "" : " and ") + std::to_string(count) + " " + kind +
                (count == 1 ? " piece" : " pieces");
    };
    add(report.missingPieces, "missing");
    add(report.damagedPieces, "damaged");
    for (const std::string& name : report.badSetFiles)
        what += (what.empty() ? "" : " and ") + name;
    return "rebuilt " + (what.empty() ? std::string("the set's files") : what) +
           " from the recovery pieces";
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
    if (joined) joined->rebuilt = rebuiltText(repaired->report);
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
