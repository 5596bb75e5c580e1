#pragma once
// Recovery pieces as both front ends present them: the choices a split
// offers, what a choice buys and costs before the split is made, and which
// recovery pieces a set has, seen from its folder's entries alone.

#include "engine/runs/recovery.h"

#include <cstdint>
#include <string>
#include <vector>

// The choices in menu order: "None", "1", "2", "10%", "20%", then "Custom"
// for a count typed in.
inline constexpr const char* kCustomRecovery = "Custom";
std::vector<std::string> recoveryChoiceTitles();
// The request of the choice titled `title`; Custom asks for `customCount`
// recovery pieces (at least 1). Nothing for "None" or an unknown title.
RecoveryRequest recoveryRequestFor(const std::string& title, int64_t customCount);

// The bytes of a set's own files (manifest, checksum files, tree
// description) before the split has written them: an estimate from the
// number of files the source holds.
int64_t estimatedSetFileBytes(int64_t files);

// What `request` would make of a source of `total` bytes holding `files`
// files, cut into pieces of `pieceSize`.
struct RecoveryForecast {
    // "The set can lose any 2 of its 18 pieces and still be joined (+2
    // pieces, 140 MB).", or why none can be made; "" when none are asked for.
    std::string sentence;
    std::string problem; // why none can be made, "" when they can
    int64_t bytes = 0;   // what the recovery pieces take
};
RecoveryForecast forecastRecovery(const RecoveryRequest& request, int64_t total, bool folder,
                                  int64_t files, int64_t pieceSize);

// One recovery piece of a set, as its folder shows it.
struct ListedRecoveryPiece {
    int32_t index = 0;
    std::string name;    // "<stem>_R<index>.rec"
    int64_t size = -1;   // -1 when there is no regular file of that name
    bool header = false; // its header copy lies beside it
};

// The recovery pieces of the set in `folder`: every index its headers, its
// recovery pieces and the lines of its SHA256SUMS name, in index order. No
// piece is read. Empty when the set has no recovery headers.
struct RecoveryListing {
    std::string stem;
    std::vector<ListedRecoveryPiece> pieces;
    // A piece or a header is missing, or a piece is not a regular file.
    bool incomplete() const;
};
RecoveryListing listRecoveryPieces(const std::string& folder);

// The recovery part of a set's summary line: "2 recovery pieces", "2
// recovery pieces, 1 missing: repairable". `missing` and `damaged` count
// listed pieces; `assessed` is what a reading of the whole set found, or null.
std::string recoveryStateText(std::size_t pieces, std::size_t missing, std::size_t damaged,
                              const RecoveryReport* assessed);
