#include "engine/runs/inspect.h"

#include "engine/runs/open_set.h"

#include "engine/base/utilities.h"
#include "engine/format/manifest.h"
#include "engine/format/manifest_file.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/encrypted_set.h"
#include "engine/runs/piece_folder.h"

#include <algorithm>
#include <cstring>

#include <sys/stat.h>

namespace {

// A piece as it lies in the set's folder: its size through a link, as a
// join reads it, and its fingerprint against the stored one.
InspectedPiece inspectPiece(int folderFd, const std::string& name, const PieceRecord& record,
                            std::string path) {
    InspectedPiece piece;
    piece.index = record.pieceIndex;
    piece.fingerprint.assign(record.fingerprint,
                             strnlen(record.fingerprint, sizeof record.fingerprint));
    piece.path = std::move(path);
    struct stat st {};
    if (fstatat(folderFd, name.c_str(), &st, 0) == 0) piece.size = static_cast<int64_t>(st.st_size);
    char fingerprint[kMd5HexSize] = {};
    if (const FileDescriptor fd = openFileAt(folderFd, name.c_str(), true))
        pieceFingerprintOf(fd.get(), fingerprint);
    piece.quickCheckPassed = fingerprint[0] != '\0' && piece.fingerprint == fingerprint;
    return piece;
}

bool quickCheckFails(const SetInspection& quick) {
    return quick.checksums.state != ChecksumState::Good ||
           std::any_of(quick.pieces.begin(), quick.pieces.end(),
                       [](const InspectedPiece& piece) { return !piece.quickCheckPassed; });
}

} // namespace

Result<SetInspection> inspectSet(const std::string& pieceFolder, RunContext& run,
                                 const RecoveryReadingWanted& readRecovery) {
    run.startProgress();
    Result<ReadableSet> opened = openSet(pieceFolder, run);
    if (!opened) return run.failure();
    const ReadableSet& set = opened.value();
    const Manifest* manifest = &set.manifest;
    SetInspection found;
    found.baseName = set.baseName;
    const std::string& stem = set.stem;
    const ManifestHeader& header = manifest->header();
    found.passwordDigest.assign(header.passwordDigest,
                                strnlen(header.passwordDigest, kMd5HexSize - 1));

    found.pieces.reserve(manifest->pieces().size());
    for (const PieceRecord& record : manifest->pieces()) {
        if (run.stopIfRequested()) return run.failure();
        char name[kPathBufferSize];
        std::string path = piecePathOf(pieceFolder, stem, record.pieceIndex);
        if (pieceFileName(stem.c_str(), record.pieceIndex, name) < 0 || path.empty() ||
            path.size() >= kPathBufferSize) {
            run.fail("a piece path of " + pieceFolder + " is too long");
            return run.failure();
        }
        found.pieces.push_back(inspectPiece(set.fd(), name, record, std::move(path)));
    }

    found.encrypted = set.encrypted;
    found.checksums = checksumVerdict(pieceFolder.c_str());
    found.recoveryStem = set.recoveryStem;
    if (!found.recoveryStem.empty() &&
        (readRecovery ? readRecovery(found) : quickCheckFails(found))) {
        RecoveryReport report = assessRecovery(set.fd(), pieceFolder, found.recoveryStem, run);
        // A reading cut short proves nothing.
        if (run.stopIfRequested()) return run.failure();
        found.recovery = std::move(report);
    }
    return found;
}
