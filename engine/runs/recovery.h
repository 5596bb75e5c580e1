#pragma once
// Recovery pieces: Reed-Solomon parity across a set, so that lost or damaged
// pieces, and a lost manifest or checksum file, can be rebuilt.
//
// The code's columns are the data pieces, then the set's own files (manifest,
// the piece lines of SHA256SUMS, CONTENTS.sha256, TREE.mtree) laid end to end
// and cut into columns of the same length. Column c belongs to group c mod G;
// each group of k columns gets m recovery pieces "<stem>_R<i>.rec" (recovery
// piece i is parity row i / G of group i mod G), all of the longest column's
// length. Row r of a group is stripe r of each of its columns, shorter
// columns counting as zeros: a row with at most m bad stripes comes back.
//
// Beside each recovery piece lies an identical copy of the recovery header
// "<stem>_R<i>.rec.hdr" (docs/recovery.md has its layout): the code's shape,
// each data piece's length, the set files' lengths and SHA-256, each recovery
// piece's SHA-256, and a CRC32C of every stripe of every column, which is how
// damage is found inside a piece. It carries its own SHA-256 in its last 32
// bytes; SHA256SUMS lists the recovery pieces after its other lines, but not
// the headers.

#include "engine/base/run_context.h"
#include "engine/format/set_names.h"

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

// What a split is asked for: m per group, or a share of the data pieces.
struct RecoveryRequest {
    int32_t count = 0;   // recovery pieces per group
    int32_t percent = 0; // or this share of each group's data pieces, rounded up
    bool wanted() const { return count > 0 || percent > 0; }
};

// The code's shape: how many columns of what length, in how many groups.
struct RecoveryShape {
    int32_t dataPieces = 0;
    int32_t metaColumns = 0;
    int32_t groups = 1;
    int32_t perGroup = 0; // m
    int64_t columnLength = 0;
    int32_t stripeSize = 0;
    int32_t columns() const { return dataPieces + metaColumns; }
    int32_t recoveryPieces() const { return groups * perGroup; }
    int64_t stripes() const;
    // The columns of group `g`, in order.
    std::vector<int32_t> columnsOf(int32_t group) const;
    bool operator==(const RecoveryShape&) const = default;
};

// The shape for `dataPieces` pieces whose longest is `longestPiece` bytes,
// cut at `pieceSize`, with `metaBytes` of the set's own files. "" when it can
// be made; otherwise why not (too many recovery pieces, say).
std::string planRecovery(const RecoveryRequest& request, int32_t dataPieces, int64_t pieceSize,
                         int64_t longestPiece, int64_t metaBytes, RecoveryShape& shape);

// What a shape survives, in words: "any 2 of its 18 pieces", or "any 2
// pieces of each of its 4 groups, or any 8 consecutive pieces".
std::string survivalText(const RecoveryShape& shape);

// Writes the recovery pieces and headers of the set in `folderFd` (pieces,
// manifest, CONTENTS.sha256 and TREE.mtree complete, SHA256SUMS holding its
// lines so far), then appends their lines to SHA256SUMS. `pieceLengths` by
// piece index. Files get `mode`; recovery pieces the AND of their group's
// piece modes, from `pieceModes` (empty: `mode` for all). False on a fault.
// With `dataFd`, data piece i is read there, `pieceSize` bytes from i *
// pieceSize (the source of a file cut as it is, whose pages the split read),
// instead of from the piece; the caller proves it unchanged afterwards.
bool writeRecovery(int folderFd, const std::string& folderPath, const std::string& stem,
                   const std::vector<int64_t>& pieceLengths, int64_t pieceSize,
                   const RecoveryRequest& request, int mode,
                   const std::vector<uint32_t>& pieceModes, bool sync, RunContext& run,
                   RecoveryShape* made = nullptr, int dataFd = -1);

// What is wrong with a set that has recovery files, and whether it can be mended.
struct RecoveryReport {
    bool hasRecovery = false;  // a usable header was found
    std::string headerProblem; // why none was usable, when there were some
    RecoveryShape shape;
    int32_t missingPieces = 0;   // data pieces
    int32_t damagedPieces = 0;   // data pieces present but with bad stripes or a wrong length
    int64_t badStripes = 0;      // over every column
    int32_t recoveryPresent = 0; // recovery pieces with no bad stripe
    int32_t badRecovery = 0;     // recovery pieces missing or damaged
    int32_t badHeaders = 0;      // header copies missing or unlike the one used
    std::vector<std::string> badSetFiles;   // manifest, SHA256SUMS, ... missing or damaged
    std::vector<int32_t> badPieces;         // data piece indexes, missing or damaged
    std::vector<int32_t> badRecoveryPieces; // recovery piece indexes, missing or damaged
    int32_t worstRow = 0;                   // the most bad stripes in one row of one group
    bool repairable = false;
    bool intact() const {
        return missingPieces == 0 && damagedPieces == 0 && badRecovery == 0 && badHeaders == 0 &&
               badSetFiles.empty();
    }
    // "2 pieces missing, 1 piece damaged (3 bad stripes); 4 recovery pieces: repairable"
    std::string summary() const;
};

// Reads every column of the set in `folderFd` against the recovery header's
// stripe checksums. A report without `hasRecovery` when the set has no usable
// header (with `headerProblem` when it had headers that could not be used).
RecoveryReport assessRecovery(int folderFd, const std::string& folderPath, const std::string& stem,
                              RunContext& run);

// The stem of the set in `folderFd` as its recovery headers name it; "" when
// there are none.
std::string recoveryStemIn(int folderFd);

// What a repair rebuilt for a join, in a folder of the join's own.
struct RebuiltFiles {
    int fd = -1;
    bool setFiles = false; // the manifest and checksum files are read from `fd` too
    std::set<std::string> names;
};

struct RepairOutcome {
    std::vector<std::string> rebuilt;   // names of the files written
    std::vector<std::string> keptAside; // "<name>" -> "<name>.damaged", as renamed
    RecoveryReport report;              // what was found before
};

// Rebuilds every missing or damaged file of the set in `folderFd`. Each is
// written to a temporary, checked against its SHA-256, then named: into
// `outFd` under its real name when it is given (>= 0; the set's folder is not
// written), or in place, with a damaged original renamed "<name>.damaged".
// Fails, writing nothing under a real name, when the damage is more than the
// recovery pieces cover.
// With `visibleOnly`, only pieces that are missing or of the wrong length
// (and the set's own files) are rebuilt, without reading the others first:
// what a join needs when a piece is plainly lost.
Result<RepairOutcome> repairSet(int folderFd, const std::string& folderPath,
                                const std::string& stem, int outFd, const std::string& outPath,
                                RunContext& run, bool visibleOnly = false);
