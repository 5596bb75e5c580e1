#include "engine/runs/set_listing.h"

#include "engine/compat/errors.h"
#include "engine/format/manifest.h"
#include "engine/fs/safe_fs.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string lastReason;

// The listing as a status: 0 with `out` filled, or -1 with `out` untouched
// and the reason in lastReason.
int32_t listPieceSet(const std::string& set, SetListing& out) {
    RunContext run;
    Result<SetListing> listed = listPieceSet(set, run);
    if (!listed) {
        lastReason = listed.failure().reason;
        return -1;
    }
    out = std::move(listed.value());
    return 0;
}

} // namespace

TEST(SetListing, GivesTheInspectionsVerdictsWithoutFollowingALink) {
    TempDir dir;
    writeFile(dir / "report.final.pdf", seededBytes(5, 9000));
    ASSERT_EQ(splitInto(dir / "report.final.pdf", dir.path().string(), 2000, "Secret"), 0);
    const std::string set = dir / "report_spt";
    auto piece = [&](int i) { return set + "/report_" + std::to_string(i) + ".spt"; };
    fs::remove(piece(0));
    writeFile(piece(2), readFile(piece(2)).substr(0, 1999));
    std::string changed = readFile(piece(3));
    changed[10] ^= 1;
    writeFile(piece(3), changed);
    writeFile(set + "/report_01.spt", readFile(piece(1))); // not a name a piece has

    const Inspection inspection = inspect(set);
    ASSERT_EQ(inspection.result, 0);
    SetListing listing;
    ASSERT_EQ(listPieceSet(set.c_str(), listing), 0);
    EXPECT_EQ(listing.baseName, inspection.baseName);
    EXPECT_EQ(listing.stem, "report");
    EXPECT_EQ(listing.passwordDigest, inspection.digest);
    EXPECT_EQ(listing.pieceCount, 5);
    EXPECT_EQ(listing.fileCount, 0);
    EXPECT_EQ(listing.totalSize, 9000);
    ASSERT_EQ(listing.pieces.size(), inspection.pieces.size());
    for (std::size_t i = 0; i < listing.pieces.size(); ++i) {
        EXPECT_EQ(listing.pieces[i].pieceIndex, inspection.pieces[i].pieceIndex) << i;
        EXPECT_EQ(listing.pieces[i].checkState, inspection.pieces[i].checkState) << i;
        EXPECT_EQ(listing.pieces[i].size, inspection.pieces[i].size) << i;
    }
    EXPECT_EQ(listing.pieces[4].checkState, 0);

    // An intact piece behind a link is not read through it.
    fs::rename(piece(4), dir / "elsewhere.spt");
    fs::create_symlink(dir / "elsewhere.spt", piece(4));
    ASSERT_EQ(listPieceSet(set.c_str(), listing), 0);
    EXPECT_EQ(listing.pieces[4].checkState, -1);
    EXPECT_EQ(listing.pieces[4].size,
              static_cast<int64_t>(fs::read_symlink(piece(4)).string().size()));
}

TEST(SetListing, RefusesWhatTheLoadRefusesAndKeepsNoFileRecord) {
    TempDir dir;
    SetListing listing;
    listing.baseName = "kept";
    auto list = [&](const std::string& manifest) {
        writeFile(dir / ("set/" + std::string(kManifestFileName)), manifest);
        return listPieceSet((dir / "set").c_str(), listing);
    };
    EXPECT_EQ(list(ManifestBytes().header(2, 0, 1, "", "x").piece(1, "").piece(0, "").str()), -1);
    EXPECT_EQ(list(ManifestBytes().header(1, 0, 1, "", "..").piece(0, "").str()), -1);
    EXPECT_NE(lastReason.find("unsafe name"), std::string::npos) << lastReason;
    EXPECT_EQ(listing.baseName, "kept");

    // A split holds the lock of the folder holding the set: nothing is listed meanwhile.
    const std::string good = ManifestBytes().header(1, 0, 1, "", "x").piece(0, "").str();
    FileDescriptor held = openFolderPath(dir.path());
    ASSERT_TRUE(lockFolder(held.get(), true));
    EXPECT_EQ(list(good), -1);
    EXPECT_NE(lastReason.find("another run is using it"), std::string::npos);
    held.close();
    EXPECT_EQ(list(good), 0);

    // 30,000 file records (8 MB) are read, and dropped as they go.
    ManifestBytes many;
    many.header(1, 30000, 1, "", "x").piece(0, "");
    for (int32_t i = 0; i < 30000; ++i)
        many.file(std::to_string(i), i, 0, 0, 0);
    writeFile(dir / ("set/" + std::string(kManifestFileName)), many.str());
    int32_t result = -1;
    const std::size_t allocated =
        bytesAllocatedDuring([&] { result = listPieceSet((dir / "set").c_str(), listing); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(listing.fileCount, 30000);
    EXPECT_LT(allocated, std::size_t{4} << 20);
}
