#pragma once
// The listing of a piece set for the command line's `list`: the manifest's
// header and the quick check of every piece record, in memory that grows with
// the piece records only (16 bytes each), never with the file records.

#include "engine/base/run_context.h"

#include <cstdint>
#include <string>
#include <vector>

// One piece record as the listing found its piece.
struct ListedPiece {
    int32_t pieceIndex = 0;
    // 0 when the piece's fingerprint, computed now, equals the stored one; -1
    // otherwise, and always when the piece is missing or cannot be read.
    int16_t checkState = -1;
    // The size of what stands under the piece's name (a link's own size for a
    // link); -1 when nothing does.
    int64_t size = -1;
};

struct SetListing {
    std::string baseName;       // the set's base name, whole
    std::string stem;           // its pieces are "<stem>_<pieceIndex>.spt"
    std::string passwordDigest; // the stored digest, or "" when the set has none
    int32_t pieceCount = 0;     // the header's counts and total, as stored
    int32_t fileCount = 0;
    int64_t totalSize = 0;
    std::vector<ListedPiece> pieces; // one per piece record, in manifest order
};

// Lists the set in `pieceFolder`: the same records, in the same
// order and with the same verdicts as inspectPieceSet gives, at a cost bounded
// by the manifest's real bytes and the pieces actually there.
//  - The folder's lock is taken shared for the whole listing, as the
//    inspection takes it, so no split writes into the folder meanwhile.
//  - The manifest is read in bounded steps (readManifest): the file records
//    are read and checked, then dropped; nothing is reserved from a count.
//  - The folder is listed once; only the pieces that are there are opened and
//    fingerprinted. Nothing below the folder is reached through a link: a
//    piece that is a link, a folder or anything but a regular file counts as
//    unreadable (checkState -1, size that of the entry itself).
// Fails, with the reason kept in `run`, when the folder cannot be opened, another run holds its
// lock, the manifest cannot be read or is refused as loadManifest refuses it, its base name is
// unsafe (empty, ".", "..", or holding '/' or '\'), or a piece's path does not fit 1024 bytes.
// Leaves the manifest registry and the progress counters alone; writes no file.
Result<SetListing> listPieceSet(const std::string& pieceFolder, RunContext& run);
