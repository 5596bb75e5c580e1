#include "engine/join.h"

#include "engine/checksums.h"
#include "engine/errors.h"
#include "engine/file_io.h"
#include "engine/manifest.h"
#include "engine/piece_folder.h"
#include "engine/utilities.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A piece as the check before writing found it.
struct PieceState {
    bool good = false;
    int64_t size = 0;
    FileIdentity identity;
    std::string problem; // why it is not good
};

struct Slice {
    int32_t piece;
    int64_t offset;
    int64_t length;
};

// One file of the result and the slices that make it, in record order.
struct Target {
    std::string name; // relative to the root; "" for a file set
    std::vector<Slice> slices;
};

struct JoinJob {
    std::string pieceFolder;
    std::string outputFolder;
    std::string baseName;
    std::string target; // the file, or the root of the tree
    std::string stem;
    int32_t pieceCount = 0;
    bool replaceExisting = true;
    int pieceFd = -1;
    std::map<int32_t, PieceState> pieces;
    PieceVerifier* verifier = nullptr; // full checks, when the set has its checksum files
    // The piece read last, kept open for the next target: a tree's files
    // mostly lie in the same piece one after another.
    int32_t lastIndex = -1;
    FileDescriptor lastPiece;
    bool failed = false;
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

bool refuse(const std::string& reason) {
    engineFail(reason);
    return false;
}

bool planJoin(const char* pieceFolder, const char* outputFolder, JoinJob& job) {
    char baseName[kPathBufferSize] = {};
    getManifestBaseName(baseName);
    if (!isSafeComponentName(baseName))
        return refuse(std::string("the manifest of ") + pieceFolder + " has an unsafe name");
    job.pieceFolder = pieceFolder;
    job.outputFolder = outputFolder;
    job.baseName = baseName;
    job.target = std::string(outputFolder) + "/" + baseName;
    cutAtFirstDot(baseName);
    job.stem = baseName;
    job.pieceCount = getManifestPieceCount();
    if (!fitsPathBuffer(job.target) ||
        (job.pieceCount > 0 && !fitsPathBuffer(piecePath(job, job.pieceCount - 1))))
        return refuse("the path of " + job.target + " is too long");
    return true;
}

bool recordIsSafe(const JoinJob& job, const FileRecord& record) {
    if (strnlen(record.name, sizeof record.name) == sizeof record.name)
        return refuse("a file record of the manifest has no end");
    const std::string name(record.name);
    if (!isSafeRelativePath(name.c_str()))
        return refuse("the manifest names an unsafe path: \"" + name + "\"");
    if (record.pieceIndex < 0 || record.pieceIndex >= job.pieceCount || record.offset < 0 ||
        record.length < 0)
        return refuse("the manifest's record of " + name + " is damaged");
    if (!fitsPathBuffer(job.target + "/" + name))
        return refuse("the path of " + job.target + "/" + name + " is too long");
    return true;
}

// Opens a piece for reading; a link to a piece is read like the piece.
FileDescriptor openPiece(const JoinJob& job, int32_t index) {
    FileDescriptor fd(::openat(job.pieceFd, pieceName(job, index).c_str(),
                               O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) return {};
    return fd;
}

// Every piece must still be the piece the split made: same length, same
// first bytes. The fingerprint cannot see a change beyond the first 1016
// bytes that keeps the length.
void checkPieces(JoinJob& job, JoinOutcome* outcome) {
    std::vector<const PieceRecord*> records;
    listPieceRecords(records);
    for (const PieceRecord* record : records) {
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
        } else if (stored.empty() || stored != now) {
            piece.problem = "does not match its fingerprint";
        } else if (identityOf(fd.get(), piece.identity)) {
            piece.good = true;
            piece.size = piece.identity.size;
            if (outcome && !seen)
                outcome->setFiles.push_back({pieceName(job, index), piece.identity});
        }
    }
}

bool pieceIsGood(JoinJob& job, int32_t index) {
    auto found = job.pieces.find(index);
    if (found != job.pieces.end() && found->second.good) return true;
    const std::string problem =
        found == job.pieces.end() ? "has no fingerprint in the manifest" : found->second.problem;
    engineFail("piece " + piecePath(job, index) + " " + problem);
    return false;
}

// The targets in the order their first record comes, each with its slices.
std::vector<Target> targetsOf(const std::vector<const FileRecord*>& records) {
    std::vector<Target> targets;
    std::unordered_map<std::string, std::size_t> where;
    for (const FileRecord* record : records) {
        const std::string name(record->name);
        auto [it, added] = where.emplace(name, targets.size());
        if (added) targets.push_back({name, {}});
        targets[it->second].slices.push_back({record->pieceIndex, record->offset, record->length});
    }
    return targets;
}

// The slices lie inside their pieces and add up to at most the total; a file
// set's pieces add up to exactly the total.
bool sizesAgree(JoinJob& job, const std::vector<Target>& targets, bool fileSet) {
    const int64_t total = getManifestTotalSize();
    int64_t sum = 0;
    for (const Target& target : targets) {
        for (const Slice& slice : target.slices) {
            auto piece = job.pieces.find(slice.piece);
            if (piece != job.pieces.end() && piece->second.good &&
                slice.length > piece->second.size - slice.offset)
                return refuse("the manifest places " + target.name + " past the end of piece " +
                              piecePath(job, slice.piece));
            if (__builtin_add_overflow(sum, slice.length, &sum) || sum > total)
                return refuse("the manifest's slices add up to more than its total of " +
                              std::to_string(total) + " bytes");
        }
    }
    if (fileSet && sum != total)
        return refuse("the pieces of " + job.pieceFolder + " hold " + std::to_string(sum) +
                      " bytes, not the " + std::to_string(total) + " of the manifest");
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
bool writesOverItsOwnSet(const JoinJob& job, const std::vector<Target>& targets, bool fileSet) {
    const std::string pieces = resolvedPath(job.pieceFolder);
    const std::string output = resolvedPath(job.outputFolder);
    if (pieces.empty() || output.empty()) return false;
    const std::string root = output + "/" + job.baseName;
    const std::set<std::string> own = ownNames(job);
    if (fileSet) {
        if (root == pieces || (output == pieces && own.count(job.baseName) != 0))
            return !refuse("joining " + job.pieceFolder + " into " + job.outputFolder +
                           " would write over the set itself");
        return false;
    }
    if (pieces != root && pieces.compare(0, root.size() + 1, root + "/") != 0) return false;
    const std::string inside = pieces == root ? "" : pieces.substr(root.size() + 1);
    for (const Target& target : targets) {
        const std::size_t slash = target.name.rfind('/');
        const std::string folder = slash == std::string::npos ? "" : target.name.substr(0, slash);
        const std::string leaf = target.name.substr(slash == std::string::npos ? 0 : slash + 1);
        if (folder == inside && own.count(leaf) != 0)
            return !refuse("the file " + target.name + " of the set would write over the set's " +
                           "own " + leaf);
    }
    return false;
}

// Writes one target under a temporary name in `folderFd` and renames it to
// `name` once every slice is in. Nothing stays under either name on failure.
bool writeTarget(JoinJob& job, int folderFd, const std::string& name, const std::string& path,
                 const std::vector<Slice>& slices) {
    switch (entryAt(folderFd, name.c_str())) {
    case EntryKind::Link:
        return refuse("cannot write " + path + ": a symbolic link is in its place");
    case EntryKind::Folder:
        return refuse("cannot write " + path + ": a folder is in its place");
    case EntryKind::Missing:
        break;
    default:
        if (!job.replaceExisting) return refuse("cannot write " + path + ": it already exists");
    }
    std::string temporary;
    FileDescriptor out = createTemporaryFile(folderFd, temporary);
    if (!out) {
        engineFailErrno("create a file beside", path, errno);
        return false;
    }
    auto fail = [&](const char* step, const std::string& where, int error) {
        engineFailErrno(step, where, error);
        unlinkat(folderFd, temporary.c_str(), 0);
        return false;
    };
    for (const Slice& slice : slices) {
        if (slice.piece != job.lastIndex || !job.lastPiece) {
            job.lastPiece = openPiece(job, slice.piece);
            job.lastIndex = slice.piece;
            FileIdentity now;
            if (!job.lastPiece || !identityOf(job.lastPiece.get(), now) ||
                !(now == job.pieces[slice.piece].identity)) {
                job.lastPiece = FileDescriptor();
                engineFail("piece " + piecePath(job, slice.piece) + " changed since it was checked");
                unlinkat(folderFd, temporary.c_str(), 0);
                return false;
            }
        }
        bool failed = false;
        const int64_t copied =
            copyRange(job.lastPiece.get(), slice.offset, slice.length, out.get(), failed);
        if (failed) return fail("write", path, errno);
        if (copied != slice.length) return fail("read", piecePath(job, slice.piece), EIO);
    }
    if (!out.close()) return fail("write", path, errno);
    if (job.verifier) {
        // Under its real name only once every piece that feeds it has passed.
        for (const Slice& slice : slices) {
            if (job.verifier->verdict(static_cast<std::size_t>(slice.piece)) !=
                PieceVerifier::Verdict::Good) {
                engineFail("piece " + piecePath(job, slice.piece) + " does not match its checksum");
                unlinkat(folderFd, temporary.c_str(), 0);
                return false;
            }
        }
    }
    if (renameat(folderFd, temporary.c_str(), folderFd, name.c_str()) != 0)
        return fail("put in place", path, errno);
    return true;
}

void joinFile(JoinJob& job, int outFd, const std::vector<Target>& targets) {
    if (!writeTarget(job, outFd, job.baseName, job.target, targets.front().slices))
        job.failed = true;
}

void joinFolder(JoinJob& job, int outFd, const std::vector<Target>& targets) {
    FileDescriptor root = makeFolderAt(outFd, job.baseName.c_str());
    if (!root) {
        engineFail("cannot write into " + job.target + ": " +
                   folderProblem(outFd, job.baseName.c_str(), errno));
        job.failed = true;
        return;
    }
    std::string openFolderName = "";
    FileDescriptor folder(::fcntl(root.get(), F_DUPFD_CLOEXEC, 0));
    for (const Target& target : targets) {
        bool good = true;
        for (const Slice& slice : target.slices)
            good = pieceIsGood(job, slice.piece) && good;
        if (!good) {
            job.failed = true;
            continue;
        }
        const std::size_t slash = target.name.rfind('/');
        const std::string folderName =
            slash == std::string::npos ? "" : target.name.substr(0, slash);
        if (folderName != openFolderName || !folder) {
            folder = openFolderBelow(root.get(), folderName, true);
            openFolderName = folderName;
        }
        const std::string path = job.target + "/" + target.name;
        if (!folder) {
            const int error = errno;
            engineFail("cannot write " + path + ": " +
                       (error == ELOOP || error == ENOTDIR
                            ? std::string("a link or a file is in the way of its folder")
                            : std::string(strerror(error))));
            job.failed = true;
            continue;
        }
        const std::string leaf = slash == std::string::npos ? target.name : target.name.substr(slash + 1);
        if (!writeTarget(job, folder.get(), leaf, path, target.slices)) job.failed = true;
    }
}

int32_t runJoin(const char* pieceFolder, const char* outputFolder, const JoinOptions& options,
                JoinOutcome* outcome) {
    progressStartRun();
    engineClearError();
    if (!pieceFolder || !outputFolder) return -1;
    const FileDescriptor pieceFd = openSetForReading(pieceFolder);
    if (!pieceFd) return -1;
    JoinOutcome read;
    read.pieceFolder = pieceFolder;
    read.outputFolder = outputFolder;
    FileIdentity manifest;
    if (entryAt(pieceFd.get(), kManifestFileName, &manifest) == EntryKind::Regular)
        read.setFiles.push_back({kManifestFileName, manifest});
    progressSetTotalBytes(getManifestTotalSize());

    JoinJob job;
    job.replaceExisting = options.replaceExisting;
    job.pieceFd = pieceFd.get();
    if (!planJoin(pieceFolder, outputFolder, job)) return -1;

    const bool fileSet = getManifestFileCount() <= 0;
    std::vector<Target> targets;
    if (fileSet) {
        std::vector<const PieceRecord*> pieceRecords;
        listPieceRecords(pieceRecords);
        if (static_cast<std::size_t>(std::max(job.pieceCount, 0)) > pieceRecords.size()) {
            engineFail("the manifest of " + job.pieceFolder + " lists fewer pieces than it counts");
            return -1;
        }
        Target whole{"", {}};
        for (int32_t i = 0; i < job.pieceCount; ++i)
            whole.slices.push_back({i, 0, INT64_MAX});
        targets.push_back(std::move(whole));
    } else {
        std::vector<const FileRecord*> records;
        listFileRecords(records);
        for (const FileRecord* record : records) {
            if (!recordIsSafe(job, *record)) return -1;
        }
        targets = targetsOf(records);
    }
    checkPieces(job, &read);
    if (fileSet) {
        // Every piece feeds the one target: all of them must be good, and
        // each is copied whole.
        for (Slice& slice : targets.front().slices) {
            if (!pieceIsGood(job, slice.piece)) return -1;
            slice.length = job.pieces[slice.piece].size;
        }
    }
    if (!sizesAgree(job, targets, fileSet)) return -1;
    if (writesOverItsOwnSet(job, targets, fileSet)) return -1;

    // With checksum files that belong to the set, every piece is checked in
    // full on another thread while the copy goes on.
    const SetChecksums sums = readSetChecksums(pieceFd.get(), job.stem, job.pieceCount);
    std::unique_ptr<PieceVerifier> verifier;
    if (sums.belongs) {
        std::vector<std::string> names;
        for (int32_t i = 0; i < job.pieceCount; ++i)
            names.push_back(pieceName(job, i));
        verifier = std::make_unique<PieceVerifier>(pieceFd.get(), std::move(names), sums.pieceHex,
                                                   false);
        job.verifier = verifier.get();
        for (const char* name : kOwnFileNames) {
            FileIdentity identity;
            if (entryAt(pieceFd.get(), name, &identity) == EntryKind::Regular)
                read.setFiles.push_back({name, identity});
        }
    }

    FileDescriptor out = openFolderPath(outputFolder);
    if (!out) {
        engineFailErrno("open the output folder", outputFolder, errno);
        return -1;
    }
    fileSet ? joinFile(job, out.get(), targets) : joinFolder(job, out.get(), targets);
    if (job.failed) return -1;
    if (outcome) *outcome = std::move(read);
    return 0;
}

} // namespace

int32_t joinWithOptions(const char* pieceFolder, const char* outputFolder,
                        const JoinOptions& options, JoinOutcome* outcome) {
    try {
        return runJoin(pieceFolder, outputFolder, options, outcome);
    } catch (...) {
        engineFail("the join ran out of memory");
        return -1;
    }
}

int32_t splitProject_merge(const char* pieceFolder, const char* outputFolder,
                           const char* /*password*/) {
    return joinWithOptions(pieceFolder, outputFolder, JoinOptions{}, nullptr);
}
