#include "core/RecoveryRules.h"

#include "core/SplitArithmetic.h"
#include "engine/format/checksums.h"
#include "engine/fs/safe_fs.h"

#include <algorithm>
#include <map>

namespace {

struct Choice {
    const char* title;
    RecoveryRequest request;
};
constexpr Choice kChoices[] = {
    {"None", {}},     {"1", {1, 0}},    {"2", {2, 0}},
    {"10%", {0, 10}}, {"20%", {0, 20}}, {kCustomRecovery, {}},
};

constexpr int32_t kMostListed = 1 << 16;

// The index of "<stem>_R<i>.rec" or of its header; -1 for any other name.
int32_t recoveryIndex(const std::string& stem, const std::string& name) {
    if (!isRecoveryFileName(stem, name)) return -1;
    const std::size_t from = stem.size() + 2;
    return static_cast<int32_t>(std::stol(name.substr(from, name.find('.', from) - from)));
}

std::string counted(int64_t count, const char* one, const char* many) {
    return groupedCount(count) + " " + (count == 1 ? one : many);
}

} // namespace

std::vector<std::string> recoveryChoiceTitles() {
    std::vector<std::string> titles;
    for (const Choice& choice : kChoices)
        titles.emplace_back(choice.title);
    return titles;
}

RecoveryRequest recoveryRequestFor(const std::string& title, int64_t customCount) {
    if (title == kCustomRecovery)
        return {static_cast<int32_t>(std::clamp<int64_t>(customCount, 1, INT32_MAX)), 0};
    for (const Choice& choice : kChoices)
        if (title == choice.title) return choice.request;
    return {};
}

int64_t estimatedSetFileBytes(int64_t files) {
    return 4096 + 300 * std::max<int64_t>(files, 1);
}

RecoveryForecast forecastRecovery(const RecoveryRequest& request, int64_t total, bool folder,
                                  int64_t files, int64_t pieceSize) {
    RecoveryForecast forecast;
    if (!request.wanted() || pieceSize <= 0 || total < 0) return forecast;
    // As the split counts them: a folder of no bytes still makes one piece.
    const int64_t pieces = total == 0 ? (folder ? 1 : 0) : ceilDivide(total, pieceSize);
    if (pieces == 0) return forecast;
    RecoveryShape shape;
    forecast.problem =
        pieces > INT32_MAX
            ? std::string("the set has too many pieces for recovery pieces")
            : planRecovery(request, static_cast<int32_t>(pieces), pieceSize,
                           std::min(total, pieceSize), estimatedSetFileBytes(files), shape);
    if (!forecast.problem.empty()) {
        forecast.sentence = "No recovery pieces can be made: " + forecast.problem + ".";
        return forecast;
    }
    const int32_t made = shape.recoveryPieces();
    forecast.bytes = made * shape.columnLength;
    forecast.sentence = "The set can lose " + survivalText(shape) + " and still be joined (+" +
                        counted(made, "piece", "pieces") + ", " + roundedSize(forecast.bytes) +
                        ").";
    return forecast;
}

bool RecoveryListing::incomplete() const {
    return std::any_of(pieces.begin(), pieces.end(),
                       [](const ListedRecoveryPiece& p) { return p.size < 0 || !p.header; });
}

RecoveryListing listRecoveryPieces(const std::string& folder) {
    RecoveryListing listing;
    const FileDescriptor fd = openFolderPath(folder);
    if (!fd) return listing;
    listing.stem = recoveryStemIn(fd.get());
    if (listing.stem.empty()) return listing;
    std::map<int32_t, ListedRecoveryPiece> found;
    const auto at = [&](int32_t index) -> ListedRecoveryPiece& {
        ListedRecoveryPiece& piece = found[index];
        piece.index = index;
        piece.name = recoveryPieceName(listing.stem, index);
        return piece;
    };
    for (const std::string& name : namesIn(fd.get())) {
        const int32_t index = recoveryIndex(listing.stem, name);
        if (index < 0) continue;
        ListedRecoveryPiece& piece = at(index);
        FileIdentity identity;
        const EntryKind kind = entryAt(fd.get(), name.c_str(), &identity);
        if (name == piece.name) {
            if (kind == EntryKind::Regular) piece.size = identity.size;
        } else {
            piece.header = kind == EntryKind::Regular;
        }
    }
    // SHA256SUMS names every recovery piece the split made, even those whose
    // files and headers are both gone.
    std::vector<ChecksumEntry> sums;
    if (const std::optional<std::string> text =
            readSmallFileAt(fd.get(), kPieceSumsFileName, std::size_t{64} << 20);
        text && parseChecksumLines(*text, sums)) {
        for (const ChecksumEntry& entry : sums)
            if (const int32_t index = recoveryIndex(listing.stem, entry.name); index >= 0)
                at(index);
    }
    if (found.empty()) return listing;
    // Indexes run from 0 without a gap: one that none of the above names is
    // missing too (up to a bound a stray name cannot make the list exceed).
    for (int32_t index = 0; index < std::min(found.rbegin()->first, kMostListed); ++index)
        at(index);
    for (auto& [index, piece] : found)
        listing.pieces.push_back(std::move(piece));
    return listing;
}

std::string recoveryStateText(std::size_t pieces, std::size_t missing, std::size_t damaged,
                              const RecoveryReport* assessed) {
    if (assessed && !assessed->hasRecovery) return "recovery pieces unusable";
    std::string text = counted(static_cast<int64_t>(pieces), "recovery piece", "recovery pieces");
    if (missing > 0) text += ", " + groupedCount(static_cast<int64_t>(missing)) + " missing";
    if (damaged > 0) text += ", " + groupedCount(static_cast<int64_t>(damaged)) + " damaged";
    if (!assessed || assessed->intact()) return text;
    return text + (assessed->repairable ? ": repairable" : ": not repairable");
}
