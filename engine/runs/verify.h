#pragma once
// The full check of a set, and what its checksum files are worth.

#include "engine/base/run_context.h"
#include "engine/format/checksums.h"

#include <cstdint>
#include <string>
#include <vector>

// One piece as the full check found it.
struct PieceCheck {
    int32_t pieceIndex = 0;
    std::string path;
    bool good = false;
    bool missing = false; // nothing readable holds its name
    std::string problem;  // "is missing or cannot be read", "does not match its checksum"
};

// The full check: every piece of the set against its SHA-256 in SHA256SUMS,
// one entry per piece in index order appended to `out`, and every file the
// join rebuilds against CONTENTS.sha256. `checksums` tells what the set's
// checksum files are worth: without them (Absent) or with damaged ones
// (Damaged, the reason names what disagrees) nothing is checked and the
// result is -1 (EngineFailure::NoChecksums or ChecksumsDamaged). Returns 0
// when every piece and file matches, -1 otherwise (reason kept, errors.h).
// Takes the set's lock shared (piece_folder.h); the progress counters count
// the bytes hashed.
// With the stop request, progress and notes of `run`.
Result<void> verifySet(const std::string& pieceFolder, std::vector<PieceCheck>& out,
                       ChecksumState& checksums, RunContext& run);

// What the checksum files of the set in `pieceFolder` are worth, from the
// files alone (whether CONTENTS.sha256 names exactly the manifest's files is
// left to the join and the full check). Writes nothing and leaves the
// registry alone.
struct ChecksumVerdict {
    ChecksumState state = ChecksumState::Absent;
    std::string problem; // when Damaged
};
ChecksumVerdict checksumVerdict(const char* pieceFolder);
