// parcelor list PIECE_FOLDER

#include "cli/Commands.h"

#include "engine/base/utilities.h"
#include "engine/compat/inspection.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/encrypted_set.h"
#include "engine/runs/set_listing.h"

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
    std::size_t bad = 0;
    char name[kPathBufferSize];
    for (const ListedPiece& piece : listing.pieces) {
        pieceFileName(listing.stem.c_str(), piece.pieceIndex, name);
        const char* state = piece.checkState == 0 ? "ok" : piece.size < 0 ? "missing" : "damaged";
        bad += piece.checkState == 0 ? 0 : 1;
        std::printf("%s  %lld  %s\n", quotedName(name).c_str(), static_cast<long long>(piece.size),
                    state);
    }
    return bad == 0 ? 0 : 1;
}
