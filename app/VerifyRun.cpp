#include "app/VerifyRun.h"

#include "core/RecoveryRules.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/numbered_parts.h"

#include <algorithm>

void VerifyRun::execute() {
    if (!firstPart.empty()) {
        const Result<PartsListing> listed = listNumberedParts(firstPart, context);
        if (!listed) return finish(Result<void>(listed.failure()));
        checksums = !listed->sumsProblem.empty() ? ChecksumState::Damaged
                    : listed->sumsFile.empty()   ? ChecksumState::Absent
                                                 : ChecksumState::Good;
        return finish(verifyNumberedParts(listed.value(), checks, context));
    }
    const Result<void> verified = verifySet(pieceFolder, checks, checksums, context);
    const FileDescriptor folder = openFolderPath(pieceFolder);
    const std::string stem = folder ? recoveryStemIn(folder.get()) : std::string();
    if (!stem.empty() && !context.stopRequested()) {
        // A second reading, of the pieces and the recovery pieces: the bar starts again.
        int64_t bytes = progress.total.load(std::memory_order_relaxed);
        for (const ListedRecoveryPiece& piece : listRecoveryPieces(pieceFolder).pieces)
            bytes += std::max<int64_t>(piece.size, 0);
        context.startProgress();
        context.setTotalBytes(bytes);
        RecoveryReport report = assessRecovery(folder.get(), pieceFolder, stem, context);
        if (!context.stopRequested()) recovery = std::move(report);
    }
    // Stopped while the recovery pieces were read: cancelled, as it would be before.
    if (verified && context.stopIfRequested()) return finish(Result<void>(context.failure()));
    finish(verified);
}
