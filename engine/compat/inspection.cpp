#include "engine/compat/inspection.h"

#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/compat/paths.h"
#include "engine/compat/published.h"
#include "engine/compat/registry.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest.h"
#include "engine/format/manifest_file.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/piece_folder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The set locked shared, its manifest loaded into the registry.
OpenSet openSetForReading(const char* pieceFolder, RunContext& run) {
    OpenSet set = lockSetForReading(pieceFolder, run);
    if (set && loadManifest(pieceFolder) != 0) {
        run.fail(std::string("cannot read the manifest of ") + pieceFolder);
        return {};
    }
    return set;
}

int32_t runInspection(const char* pieceFolder, std::vector<SPTCfg_SPTitem2>& list,
                      char* passwordDigest, char* baseName, RunContext& run) {
    run.startProgress();
    if (!pieceFolder || !passwordDigest || !baseName) return -1;
    const OpenSet folder = openSetForReading(pieceFolder, run);
    if (!folder) return -1;
    run.setTotalBytes(getManifestTotalSize());

    char stem[kPathBufferSize] = {};
    getManifestBaseName(stem);
    if (!isSafeComponentName(stem)) {
        run.fail(std::string("the manifest of ") + pieceFolder + " has an unsafe name");
        return -1;
    }
    const std::string wholeName = stem;
    cutAtFirstDot(stem);

    std::vector<const PieceRecord*> records;
    listPieceRecords(records);
    std::vector<SPTCfg_SPTitem2> found;
    found.reserve(records.size());
    for (const PieceRecord* record : records) {
        std::string path = piecePathOf(pieceFolder, stem, record->pieceIndex);
        if (path.empty() || path.size() >= kPathBufferSize) return -1;

        char fingerprint[kMd5HexSize] = {};
        pieceFingerprint(path.c_str(), fingerprint);
        std::string stored(record->fingerprint,
                           strnlen(record->fingerprint, sizeof record->fingerprint));
        const bool intact = fingerprint[0] != '\0' && stored == fingerprint;
        const int64_t size = fileSize(path.c_str());
        found.push_back({record->pieceIndex, static_cast<int16_t>(intact ? 0 : -1),
                         std::move(stored), std::move(path), size});
    }

    std::memcpy(baseName, wholeName.c_str(), wholeName.size() + 1);
    std::memset(passwordDigest, 0, kMd5HexSize);
    getManifestPasswordDigest(passwordDigest);
    list.insert(list.end(), std::make_move_iterator(found.begin()),
                std::make_move_iterator(found.end()));
    return 0;
}

} // namespace

int32_t inspectPieceSet(const char* pieceFolder, std::vector<SPTCfg_SPTitem2>& list,
                        char* passwordDigest, char* baseName) {
    PublishedRun published;
    try {
        return runInspection(pieceFolder, list, passwordDigest, baseName, published.context());
    } catch (...) {
        return -1;
    }
}

int32_t verifyPieceSet(const char* pieceFolder, std::vector<PieceCheck>& out,
                       ChecksumState& checksums) {
    PublishedRun published;
    if (!pieceFolder) {
        checksums = ChecksumState::Absent;
        return -1;
    }
    return verifySet(pieceFolder, out, checksums, published.context()) ? 0 : -1;
}

int32_t checkPassword(const char* typed, const char* storedDigest) {
    if (!typed || !storedDigest) return -1;
    if (storedDigest[0] == '\0') return 0;
    char digest[kMd5HexSize] = {};
    md5Hex(typed, static_cast<uint32_t>(std::strlen(typed)), digest);
    return digest[0] != '\0' && std::strcmp(digest, storedDigest) == 0 ? 1 : 0;
}
