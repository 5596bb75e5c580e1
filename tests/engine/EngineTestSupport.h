#pragma once
// Shared helpers of the engine tests: running a split, and building manifest
// bytes by hand to compare with what the engine writes.

#include "engine/base/utilities.h"
#include "engine/compat/inspection.h"
#include "engine/compat/paths.h"
#include "engine/runs/split.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// The bytes allocated through operator new while `work` runs, freed or not:
// a bound on what a call costs at its peak. Always 0 under AddressSanitizer
// (AllocationCount.cpp says why).
std::size_t bytesAllocatedDuring(const std::function<void()>& work);

// Splits `source` into `outFolder` as the front ends do (measured when the
// split starts), with or without checksum files; `outcome` may be null.
inline int32_t splitMeasured(const std::string& source, const std::string& outFolder,
                             int64_t pieceSize, SplitOutcome* outcome = nullptr,
                             bool checksums = true) {
    Split_pragma request{};
    std::strncpy(request.srcPath, source.c_str(), sizeof request.srcPath - 1);
    std::strncpy(request.outFolder, outFolder.c_str(), sizeof request.outFolder - 1);
    request.pieceSize = pieceSize;
    SplitOptions options;
    options.measureSource = true;
    options.writeChecksums = checksums;
    return splitWithOptions(&request, options, outcome);
}

// Splits `source` into `outFolder`. The total defaults to the measured size.
inline int32_t splitInto(const std::string& source, const std::string& outFolder, int64_t pieceSize,
                         const std::string& password = "", int64_t totalSize = INT64_MIN) {
    Split_pragma request{};
    std::strncpy(request.srcPath, source.c_str(), sizeof request.srcPath - 1);
    std::strncpy(request.outFolder, outFolder.c_str(), sizeof request.outFolder - 1);
    request.totalSize = totalSize == INT64_MIN ? pathSize(source.c_str()) : totalSize;
    request.pieceSize = pieceSize;
    std::strncpy(request.password, password.c_str(), sizeof request.password - 1);
    return splitProject_split(&request);
}

// The folder's files in the order the walk lists them, as names relative to it.
inline std::vector<std::string> walkOrder(const std::string& folder) {
    std::vector<std::string> list;
    listFolderFiles(folder.c_str(), list, 1);
    for (auto& entry : list)
        entry = entry.substr(folder.size() + 1);
    return list;
}

// True when a temporary of the engine (".parcelor-tmp-…") lies anywhere below `folder`.
inline bool holdsTemporary(const std::string& folder) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".parcelor-tmp-", 0) == 0) return true;
    }
    return false;
}

struct Inspection {
    int32_t result = 0;
    std::vector<SPTCfg_SPTitem2> pieces;
    std::string digest;
    std::string baseName;
};

inline Inspection inspect(const std::string& pieceFolder) {
    Inspection out;
    char digest[33] = {};
    char baseName[1024] = {};
    out.result = inspectPieceSet(pieceFolder.c_str(), out.pieces, digest, baseName);
    out.digest = digest;
    out.baseName = baseName;
    return out;
}

// Manifest bytes written out field by field, little-endian.
class ManifestBytes {
public:
    ManifestBytes& header(int32_t pieceCount, int32_t fileCount, int64_t totalSize,
                          const std::string& digest, const std::string& baseName,
                          int32_t magic = 2014, int32_t version = 101) {
        bytes_.append(32, '\0');
        int32le(magic).int32le(version).int32le(pieceCount).int32le(fileCount).int64le(totalSize);
        return text(digest, 40).text(baseName, 256);
    }
    ManifestBytes& piece(int32_t index, const std::string& fingerprint) {
        return int32le(index).text(fingerprint, 32).text("", 1);
    }
    ManifestBytes& file(const std::string& name, int32_t id, int32_t piece, int64_t offset,
                        int64_t length) {
        return text(name, 256).int32le(id).int32le(piece).int64le(offset).int64le(length);
    }
    const std::string& str() const { return bytes_; }

private:
    ManifestBytes& int32le(int32_t v) {
        return little(static_cast<uint64_t>(static_cast<uint32_t>(v)), 4);
    }
    ManifestBytes& int64le(int64_t v) { return little(static_cast<uint64_t>(v), 8); }
    ManifestBytes& little(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            bytes_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        return *this;
    }
    ManifestBytes& text(const std::string& s, std::size_t field) {
        std::string padded = s.substr(0, field);
        padded.resize(field, '\0');
        bytes_ += padded;
        return *this;
    }
    std::string bytes_;
};
