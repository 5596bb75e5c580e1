#include "engine/compat/inspection.h"
#include "engine/format/manifest.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class InspectionTest : public testing::Test {
protected:
    void SetUp() override {
        source = seededBytes(5, 5000);
        writeFile(dir / "report.final.pdf", source);
        ASSERT_EQ(splitInto(dir / "report.final.pdf", dir.path().string(), 2000, "Secret"), 0);
    }
    std::string piece(int i) const {
        return dir / ("report_spt/report_" + std::to_string(i) + ".spt");
    }
    std::string set() const { return dir / "report_spt"; }

    TempDir dir;
    std::string source;
};

} // namespace

TEST_F(InspectionTest, IntactSetListsEveryPieceInOrder) {
    Inspection result = inspect(set());
    ASSERT_EQ(result.result, 0);
    EXPECT_EQ(result.baseName, "report.final.pdf");
    char expectedDigest[33];
    md5Hex("Secret", 6, expectedDigest);
    EXPECT_EQ(result.digest, expectedDigest);
    ASSERT_EQ(result.pieces.size(), 3u);
    const int64_t sizes[] = {2000, 2000, 1000};
    for (int i = 0; i < 3; ++i) {
        const auto& listed = result.pieces[static_cast<std::size_t>(i)];
        EXPECT_EQ(listed.pieceIndex, i);
        EXPECT_EQ(listed.checkState, 0);
        EXPECT_EQ(listed.path, piece(i));
        EXPECT_EQ(listed.size, sizes[i]);
        EXPECT_EQ(listed.fingerprint.size(), 32u);
    }
}

TEST_F(InspectionTest, DamagedAndMissingPiecesAreMarked) {
    fs::remove(piece(0));
    std::string middle = readFile(piece(1));
    middle[1500] ^= 1; // beyond the fingerprinted bytes, same length
    writeFile(piece(1), middle);
    writeFile(piece(2), readFile(piece(2)).substr(0, 999));

    Inspection result = inspect(set());
    ASSERT_EQ(result.result, 0);
    ASSERT_EQ(result.pieces.size(), 3u);
    EXPECT_EQ(result.pieces[0].checkState, -1);
    EXPECT_EQ(result.pieces[0].size, -1);
    EXPECT_EQ(result.pieces[1].checkState, 0);
    EXPECT_EQ(result.pieces[2].checkState, -1);
    EXPECT_EQ(result.pieces[2].size, 999);

    middle[10] ^= 1; // within the fingerprinted bytes
    writeFile(piece(1), middle);
    EXPECT_EQ(inspect(set()).pieces[1].checkState, -1);
}

TEST_F(InspectionTest, MissingPieceWithEmptyStoredFingerprintIsStillMarked) {
    // A set whose piece records carry no fingerprint, with no piece files at all.
    TempDir other;
    writeFile(other / kManifestFileName,
              ManifestBytes().header(2, 0, 8, "", "x.bin").piece(0, "").piece(1, "").str());
    Inspection result = inspect(other.path().string());
    ASSERT_EQ(result.result, 0);
    ASSERT_EQ(result.pieces.size(), 2u);
    EXPECT_EQ(result.pieces[0].checkState, -1);
    EXPECT_EQ(result.pieces[1].checkState, -1);
}

TEST_F(InspectionTest, RefusalLeavesTheCallersListAndBuffersAlone) {
    std::vector<SPTCfg_SPTitem2> list{{7, 0, "F", "kept", 1}};
    char digest[33] = "digest sentinel";
    char baseName[1024] = "name sentinel";
    EXPECT_EQ(inspectPieceSet((dir / "nowhere").c_str(), list, digest, baseName), -1);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_STREQ(digest, "digest sentinel");
    EXPECT_STREQ(baseName, "name sentinel");

    for (const char* unsafe : {"", ".", "..", "../escape", "a/b", "a\\b"}) {
        TempDir hostile;
        writeFile(hostile / kManifestFileName,
                  ManifestBytes().header(1, 0, 1, "", unsafe).piece(0, "").str());
        EXPECT_EQ(inspectPieceSet(hostile.path().c_str(), list, digest, baseName), -1) << unsafe;
    }
    EXPECT_EQ(list.size(), 1u);

    // A successful listing appends behind what was there.
    ASSERT_EQ(inspectPieceSet(set().c_str(), list, digest, baseName), 0);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].path, "kept");
}

TEST(Password, CheckMatchesExactDigestOnly) {
    char digest[33];
    md5Hex("Secret", 6, digest);
    EXPECT_EQ(checkPassword("Secret", digest), 1);
    EXPECT_EQ(checkPassword("secret", digest), 0);
    EXPECT_EQ(checkPassword("", digest), 0);
    EXPECT_EQ(checkPassword(nullptr, digest), -1);
    EXPECT_EQ(checkPassword("Secret", nullptr), -1);
    EXPECT_EQ(checkPassword("", ""), 0);
    EXPECT_EQ(checkPassword("anything", ""), 0);
}
