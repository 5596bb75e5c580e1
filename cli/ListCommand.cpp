// parcelor list PIECE_FOLDER

#include "cli/Commands.h"

#include "engine/base/utilities.h"
#include "engine/compat/inspection.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/encrypted_set.h"
#include "engine/runs/recovery.h"
#include "engine/runs/set_listing.h"

#include <algorithm>
#include <cstdio>

int listCommand(Session& s) {
    const std::string set = operandPath(s.options().operands[0]);
    const Result<SetListing> listed = listPieceSet(set, s.run());
    s.engineNotes();
    if (!listed)
        return s.fail("cannot read the set in " + quotedName(set) + ": " + listed.failure().reason);
    const SetListing& listing = listed.value();
    const ChecksumVerdict checksums = checksumVerdict(set.c_str());
    if (stopSignal() != 0) return s.cancelled("list");
    // An encrypted set shows only what is visible without its password.
    const FileDescriptor folder = openFolderPath(set);
    const bool encrypted = folder && isEncryptedSet(folder.get());
    std::printf("name:       %s\n", quotedName(listing.baseName).c_str());
    std::printf("mode:       %s\n", encrypted               ? "encrypted (age)"
                                    : listing.fileCount > 0 ? "folder"
                                                            : "file");
    std::printf("total:      %lld bytes\n", static_cast<long long>(listing.totalSize));
    std::printf("pieces:     %zu\n", listing.pieces.size());
    std::printf("password:   %s\n", encrypted ? "yes (the pieces are encrypted)"
                                    : listing.passwordDigest.empty() ? "no"
                                                                     : "yes");
    std::printf("checksums:  %s\n", checksums.state == ChecksumState::Good ? "yes"
                                    : checksums.state == ChecksumState::Absent
                                        ? "no (only the quick check is possible)"
                                        : ("damaged (" + checksums.problem + ")").c_str());
    // As the window does: a set with recovery pieces in which something is
    // wrong is read against them whole, so damage past a piece's first
    // kilobyte shows too.
    const bool quickFails =
        checksums.state != ChecksumState::Good ||
        std::any_of(listing.pieces.begin(), listing.pieces.end(),
                    [](const ListedPiece& piece) { return piece.checkState != 0; });
    RecoveryReport recovery;
    if (const std::string stem = folder ? recoveryStemIn(folder.get()) : std::string();
        quickFails && !stem.empty()) {
        recovery = assessRecovery(folder.get(), set, stem, s.run());
        if (stopSignal() != 0) return s.cancelled("list");
        std::printf("recovery:   %s\n", recovery.summary().c_str());
    }
    std::size_t bad = 0;
    char name[kPathBufferSize];
    for (const ListedPiece& piece : listing.pieces) {
        pieceFileName(listing.stem.c_str(), piece.pieceIndex, name);
        const bool damaged =
            piece.checkState != 0 || std::find(recovery.badPieces.begin(), recovery.badPieces.end(),
                                               piece.pieceIndex) != recovery.badPieces.end();
        bad += damaged ? 1 : 0;
        // A missing piece has no size to show.
        const std::string size = piece.size < 0 ? "-" : std::to_string(piece.size);
        std::printf("%s  %s  %s\n", quotedName(name).c_str(), size.c_str(),
                    !damaged         ? "ok"
                    : piece.size < 0 ? "missing"
                                     : "damaged");
    }
    return bad == 0 ? 0 : 1;
}
