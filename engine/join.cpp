#include "engine/join.h"

#include "engine/file_io.h"
#include "engine/manifest.h"
#include "engine/utilities.h"

#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

struct JoinJob {
    std::string pieceFolder;
    std::string target; // the file, or the root of the tree
    std::string stem;
    int32_t pieceCount = 0;
    bool failed = false;
};

std::string piecePath(const JoinJob& job, int32_t index) {
    return piecePathOf(job.pieceFolder, job.stem, index);
}

bool fitsPathBuffer(const std::string& path) {
    return path.size() < kPathBufferSize;
}

bool planJoin(const char* pieceFolder, const char* outputFolder, JoinJob& job) {
    char baseName[kPathBufferSize] = {};
    getManifestBaseName(baseName);
    if (!isSafeComponentName(baseName)) return false;
    job.pieceFolder = pieceFolder;
    job.target = std::string(outputFolder) + "/" + baseName;
    cutAtFirstDot(baseName);
    job.stem = baseName;
    job.pieceCount = getManifestPieceCount();
    if (!fitsPathBuffer(job.target)) return false;
    if (job.pieceCount > 0 && !fitsPathBuffer(piecePath(job, job.pieceCount - 1))) return false;
    return true;
}

bool recordIsSafe(const JoinJob& job, const FileRecord& record) {
    char name[sizeof record.name + 1] = {};
    std::memcpy(name, record.name, sizeof record.name);
    if (strnlen(record.name, sizeof record.name) == sizeof record.name) return false;
    if (!isSafeRelativePath(name)) return false;
    if (record.pieceIndex < 0 || record.pieceIndex >= job.pieceCount) return false;
    if (record.offset < 0 || record.length < 0) return false;
    return fitsPathBuffer(job.target + "/" + name);
}

// The pieces back to back, each to its end.
void joinFile(JoinJob& job) {
    FileDescriptor target = openForWriting(job.target.c_str());
    if (!target) {
        job.failed = true;
        return;
    }
    for (int32_t i = 0; i < job.pieceCount; ++i) {
        FileDescriptor piece = openForReading(piecePath(job, i).c_str());
        if (!piece) {
            job.failed = true;
            continue;
        }
        copyRange(piece.get(), 0, -1, target.get(), job.failed);
    }
    if (!target.close()) job.failed = true;
    if (progressDoneBytes() != getManifestTotalSize()) job.failed = true;
}

// Every slice appended to its file, in registry order. A file is emptied the
// first time the join reaches it, so a second join replaces rather than extends.
void joinFolder(JoinJob& job, const std::vector<const FileRecord*>& records) {
    std::unordered_set<std::string> reached;
    std::string lastFolder;  // folders made for the previous record
    int32_t pieceIndex = -1; // the piece open for the previous record
    FileDescriptor piece;
    for (const FileRecord* record : records) {
        const std::string name(record->name);
        const std::string targetPath = job.target + "/" + name;
        const std::string folder = targetPath.substr(0, targetPath.rfind('/'));
        if (folder != lastFolder) {
            makeParentFolders(targetPath.c_str());
            lastFolder = folder;
        }
        const bool first = reached.insert(name).second;
        FileDescriptor target = openForAppending(targetPath.c_str(), first);
        if (record->pieceIndex != pieceIndex || !piece) {
            piece = openForReading(piecePath(job, record->pieceIndex).c_str());
            pieceIndex = record->pieceIndex;
        }
        if (!target || !piece) {
            job.failed = true;
            continue;
        }
        const int64_t copied =
            copyRange(piece.get(), record->offset, record->length, target.get(), job.failed);
        if (copied != record->length) job.failed = true;
        if (!target.close()) job.failed = true;
    }
}

// Every piece must still be the piece the split made: same length, same
// first bytes. The fingerprint cannot see a change beyond the first 1016
// bytes that keeps the length.
bool piecesMatchTheirFingerprints(const JoinJob& job) {
    std::vector<const PieceRecord*> pieces;
    listPieceRecords(pieces);
    bool allMatch = true;
    for (const PieceRecord* record : pieces) {
        char now[kMd5HexSize] = {};
        pieceFingerprint(piecePath(job, record->pieceIndex).c_str(), now);
        const std::string stored(record->fingerprint,
                                 strnlen(record->fingerprint, sizeof record->fingerprint));
        if (stored.empty() || stored != now) allMatch = false;
    }
    return allMatch;
}

int32_t runJoin(const char* pieceFolder, const char* outputFolder) {
    progressStartRun();
    if (!pieceFolder || !outputFolder) return -1;
    if (loadManifest(pieceFolder) != 0) return -1;
    const int32_t fileCount = getManifestFileCount();
    progressSetTotalBytes(getManifestTotalSize());

    JoinJob job;
    if (!planJoin(pieceFolder, outputFolder, job)) return -1;
    if (!piecesMatchTheirFingerprints(job)) job.failed = true;
    if (fileCount <= 0) {
        joinFile(job);
    } else {
        std::vector<const FileRecord*> records;
        listFileRecords(records);
        for (const FileRecord* record : records) {
            if (!recordIsSafe(job, *record)) return -1;
        }
        joinFolder(job, records);
    }
    return job.failed ? -1 : 0;
}

} // namespace

int32_t splitProject_merge(const char* pieceFolder, const char* outputFolder,
                           const char* /*password*/) {
    try {
        return runJoin(pieceFolder, outputFolder);
    } catch (...) {
        return -1;
    }
}
