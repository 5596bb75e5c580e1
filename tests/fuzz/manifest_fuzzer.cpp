// libFuzzer target: arbitrary bytes as a set's manifest, beside a few piece
// files, through the load, the inspection, the listing and the join. Beyond
// "no crash and no sanitizer report", it checks that the listing gives the
// inspection's verdicts, and that the join never creates anything outside the
// output folder and never leaves a file there that the manifest did not lead
// to.

#include "engine/compat/inspection.h"
#include "engine/compat/registry.h"
#include "engine/format/manifest.h"
#include "engine/runs/join.h"
#include "engine/runs/set_listing.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Large counts are legal, but listing millions of zero-filled records only
// slows the search down; the unit tests cover the caps.
constexpr int32_t kMaxCountsWorthRunning = 4096;

// One temporary folder for the whole process, removed when it exits. The
// path is never destroyed, so the exit handler can still read it.
const fs::path& workspace() {
    static const fs::path* root = [] {
        std::string pattern = (fs::temp_directory_path() / "parcelor-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        return new fs::path(pattern);
    }();
    static const bool cleanup = std::atexit([] {
                                    std::error_code ignored;
                                    fs::remove_all(*root, ignored);
                                }) == 0;
    (void)cleanup;
    return *root;
}

void writeBytes(const fs::path& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

int32_t readInt32(const uint8_t* data, std::size_t size, std::size_t offset) {
    int32_t value = 0;
    if (size >= offset + 4) std::memcpy(&value, data + offset, 4);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const fs::path root = workspace();
    const fs::path set = root / "set";
    const fs::path out = root / "area" / "out";
    fs::remove_all(root / "set");
    fs::remove_all(root / "area");
    fs::create_directories(set);
    fs::create_directories(out);
    writeBytes(set / kManifestFileName, data, size);

    // Pieces named after the stem the manifest claims, so the join has data.
    std::string stem;
    if (size > 96) {
        const char* name = reinterpret_cast<const char*>(data + 96);
        stem.assign(name, strnlen(name, std::min<std::size_t>(256, size - 96)));
        stem = stem.substr(0, stem.find('.'));
    }
    if (!stem.empty() && stem.find('/') == std::string::npos && stem.size() < 200) {
        static const char kPiece[] = "0123456789abcdefghijklmnopqrstuvwxyz";
        for (std::size_t i = 0; i < 3; ++i)
            writeBytes(set / (stem + "_" + std::to_string(i) + ".spt"), kPiece, 10 + 10 * i);
    }

    if (loadManifest(set.c_str()) != 0) return 0;
    if (readInt32(data, size, 40) > kMaxCountsWorthRunning ||
        readInt32(data, size, 44) > kMaxCountsWorthRunning)
        return 0;

    std::vector<SPTCfg_SPTitem2> list;
    char digest[33] = {};
    char baseName[1024] = {};
    const int32_t inspected = inspectPieceSet(set.c_str(), list, digest, baseName);
    if (inspected == 0) {
        if (std::strlen(digest) > 32 || std::strlen(baseName) > 255) std::abort();
        checkPassword("guess", digest);
    }
    RunContext run;
    const Result<SetListing> listed = listPieceSet(set, run);
    if ((listed ? 0 : -1) != inspected) std::abort();
    const SetListing listing = listed ? listed.value() : SetListing{};
    if (inspected == 0) {
        if (listing.pieces.size() != list.size() || listing.baseName != baseName) std::abort();
        for (std::size_t i = 0; i < list.size(); ++i) {
            const ListedPiece& piece = listing.pieces[i];
            if (piece.pieceIndex != list[i].pieceIndex || piece.checkState != list[i].checkState ||
                piece.size != list[i].size)
                std::abort();
        }
    }

    const int32_t result = splitProject_merge(set.c_str(), out.c_str(), "");

    // Nothing new outside the output folder...
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const fs::path p = entry.path();
        const bool inSet = p.parent_path() == set || p == set;
        const bool inArea = p == root / "area" || p == out ||
                            std::mismatch(out.begin(), out.end(), p.begin()).first == out.end();
        if (!inSet && !inArea) std::abort();
    }
    // ...and inside it, only the one name the manifest gives.
    std::size_t topLevel = 0;
    for (const auto& entry : fs::directory_iterator(out)) {
        (void)entry;
        ++topLevel;
    }
    if (topLevel > 1) std::abort();
    if (result != 0 && result != -1) std::abort();
    return 0;
}
