#include "engine/inspection.h"

#include "engine/errors.h"
#include "engine/manifest.h"
#include "engine/piece_folder.h"
#include "engine/utilities.h"

#include <cerrno>
#include <cstring>

namespace {

int32_t runInspection(const char* pieceFolder, std::vector<SPTCfg_SPTitem2>& list,
                      char* passwordDigest, char* baseName) {
    progressStartRun();
    engineClearError();
    if (!pieceFolder || !passwordDigest || !baseName) return -1;
    const FileDescriptor folder = openSetForReading(pieceFolder);
    if (!folder) return -1;
    progressSetTotalBytes(getManifestTotalSize());

    char stem[kPathBufferSize] = {};
    getManifestBaseName(stem);
    if (!isSafeComponentName(stem)) {
        engineFail(std::string("the manifest of ") + pieceFolder + " has an unsafe name");
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
    try {
        return runInspection(pieceFolder, list, passwordDigest, baseName);
    } catch (...) {
        return -1;
    }
}

int32_t checkPassword(const char* typed, const char* storedDigest) {
    if (!typed || !storedDigest) return -1;
    if (storedDigest[0] == '\0') return 0;
    char digest[kMd5HexSize] = {};
    md5Hex(typed, static_cast<uint32_t>(std::strlen(typed)), digest);
    return digest[0] != '\0' && std::strcmp(digest, storedDigest) == 0 ? 1 : 0;
}
