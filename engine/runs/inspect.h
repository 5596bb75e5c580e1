#pragma once
// A set as a join sees it before it starts, as a value: every piece with the
// quick check of its fingerprint, what the manifest says of the set, what its
// checksum files are worth, whether it is encrypted and, when something is
// wrong with a set that has recovery pieces, what a reading of every byte
// against them found. Nothing is written, and the registry is left alone.

#include "engine/base/run_context.h"
#include "engine/runs/recovery.h"
#include "engine/runs/verify.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct InspectedPiece {
    int32_t index = 0;
    std::string fingerprint; // as stored: 32 upper-case hex characters, or ""
    std::string path;        // "<piece folder>/<stem>_<index>.spt"
    int64_t size = -1;       // -1 when it cannot be queried
    // Its fingerprint, computed now, equals the stored one; never for a
    // piece that is missing or cannot be read.
    bool quickCheckPassed = false;
};

struct SetInspection {
    std::vector<InspectedPiece> pieces; // in manifest order
    std::string baseName;               // the source's name, as the manifest has it
    std::string passwordDigest;         // "" when the set has none
    bool encrypted = false;             // an encrypted set's marker lies beside the manifest
    ChecksumVerdict checksums;
    std::string recoveryStem; // "" when the set has no recovery headers
    // What a reading of every byte against the recovery pieces found, when
    // one was made.
    std::optional<RecoveryReport> recovery;
};

// Asked once the quick check is done, for a set with recovery headers only:
// whether every byte is read against them now. Without one, they are when a
// piece failed its quick check or the checksum files are not good.
using RecoveryReadingWanted = std::function<bool(const SetInspection& quick)>;

// Inspects the set in `pieceFolder` with its lock held shared
// (lockSetForReading). Fails, with the reason kept, when the folder cannot
// be opened or is being replaced, the manifest cannot be read or its base
// name is unsafe (empty, ".", "..", or holding '/' or '\'), or a piece path
// does not fit 1024 bytes; fails Cancelled when `run` is stopped, between
// pieces or during the reading against the recovery pieces.
Result<SetInspection> inspectSet(const std::string& pieceFolder, RunContext& run,
                                 const RecoveryReadingWanted& readRecovery = {});
