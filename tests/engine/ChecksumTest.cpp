// The checksum files: checkable with sha256sum, hashed from what was written,
// trusted only when they belong to the set, and a change anywhere in a piece
// caught by the full check and the join.

#include "engine/checksums.h"
#include "engine/errors.h"
#include "engine/join.h"
#include "engine/safe_fs.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// Runs `sha256sum -c` in `folder`; true when every line checks.
bool sha256sumChecks(const std::string& folder, const std::string& sums) {
    const std::string command =
        "cd '" + folder + "' && sha256sum --quiet -c '" + sums + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

void flipByte(const std::string& path, std::size_t at) {
    std::string bytes = readFile(path);
    bytes[at] ^= 0x01;
    writeFile(path, bytes);
}

int32_t splitWithoutChecksums(const std::string& source, const std::string& out,
                              int64_t pieceSize) {
    Split_pragma request{};
    std::strcpy(request.srcPath, source.c_str());
    std::strcpy(request.outFolder, out.c_str());
    request.pieceSize = pieceSize;
    SplitOptions options;
    options.measureSource = true;
    options.writeChecksums = false;
    return splitWithOptions(&request, options, nullptr);
}

} // namespace

TEST(ChecksumFiles, CheckWithSha256sumForOddNames) {
    TempDir dir;
    writeFile(dir / "my file.bin", seededBytes(1, 10000));
    const std::string odd = "tree/sub dir/back\\slash\nnew\rline";
    writeFile(dir / odd, seededBytes(2, 7000));
    writeFile(dir / "tree/a b/c.txt", seededBytes(3, 5000));
    writeFile(dir / "tree/empty", "");
    fs::create_directories(dir / "out");
    for (const auto& [source, set] :
         {std::pair{"my file.bin", "my file_spt"}, std::pair{"tree", "tree_spt"}}) {
        SCOPED_TRACE(source);
        ASSERT_EQ(splitInto(dir / source, dir.path().string(), 4000), 0);
        EXPECT_TRUE(sha256sumChecks(dir / set, "SHA256SUMS"));
        ASSERT_EQ(splitProject_merge((dir / set).c_str(), (dir / "out").c_str(), ""), 0);
        EXPECT_TRUE(sha256sumChecks(dir / "out", dir / (std::string(set) + "/CONTENTS.sha256")));
    }
    EXPECT_NE(
        readFile(dir / "tree_spt/CONTENTS.sha256").find("/sub dir/back\\\\slash\\nnew\\rline\n"),
        std::string::npos);
}

TEST(ChecksumFiles, AChangePastTheFirstKilobyteIsCaughtAndNothingItFeedsIsPutInPlace) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(4, 30000));
    writeFile(dir / "tree/one", seededBytes(5, 6000));
    writeFile(dir / "tree/two", seededBytes(6, 6000));
    const std::vector<std::string> order = walkOrder(dir / "tree");
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 10000), 0);
    ASSERT_EQ(splitInto(dir / "tree", dir.path().string(), 8000), 0);
    flipByte(dir / "f_spt/f_1.spt", 5000);
    flipByte(dir / "tree_spt/tree_1.spt", 3000); // only the second file lies in piece 1

    std::vector<PieceCheck> checks;
    bool belong = false;
    EXPECT_EQ(verifyPieceSet((dir / "f_spt").c_str(), checks, belong), -1);
    EXPECT_TRUE(belong);
    ASSERT_EQ(checks.size(), 3u);
    EXPECT_TRUE(checks[0].good && !checks[1].good && checks[2].good);
    EXPECT_EQ(checks[1].problem, "does not match its checksum");
    EXPECT_EQ(inspect(dir / "f_spt").pieces[1].checkState, 0); // the quick check cannot see it

    fs::create_directories(dir / "out");
    EXPECT_EQ(splitProject_merge((dir / "f_spt").c_str(), (dir / "out").c_str(), ""), -1);
    EXPECT_NE(engineLastError().find("f_1.spt does not match its checksum"), std::string::npos);
    EXPECT_EQ(splitProject_merge((dir / "tree_spt").c_str(), (dir / "out").c_str(), ""), -1);
    EXPECT_EQ(treeContents(dir / "out"),
              (std::map<std::string, std::string>{
                  {"tree/" + order[0], readFile(dir / ("tree/" + order[0]))}}));
}

TEST(ChecksumFiles, FilesThatDoNotBelongAreIgnoredAndSetsWithoutThemJoinAsBefore) {
    TempDir dir;
    writeFile(dir / "a.bin", seededBytes(7, 9000));
    writeFile(dir / "b.bin", seededBytes(8, 9000));
    ASSERT_EQ(splitInto(dir / "a.bin", dir.path().string(), 4000), 0);
    ASSERT_EQ(splitWithoutChecksums(dir / "b.bin", dir.path().string(), 4000), 0);
    EXPECT_FALSE(exists(dir / "b_spt/SHA256SUMS"));
    EXPECT_EQ(checksumProblem((dir / "b_spt").c_str()), "it has no checksum files");
    fs::create_directories(dir / "out");
    EXPECT_EQ(splitProject_merge((dir / "b_spt").c_str(), (dir / "out").c_str(), ""), 0);
    EXPECT_EQ(readFile(dir / "out/b.bin"), seededBytes(8, 9000));

    // Another set's sums beside this set's pieces: treated as absent.
    fs::copy_file(dir / "a_spt/SHA256SUMS", dir / "b_spt/SHA256SUMS");
    EXPECT_EQ(checksumProblem((dir / "b_spt").c_str()),
              "SHA256SUMS does not list this set's pieces");
    std::vector<PieceCheck> checks;
    bool belong = true;
    EXPECT_EQ(verifyPieceSet((dir / "b_spt").c_str(), checks, belong), -1);
    EXPECT_FALSE(belong);
    fs::remove(dir / "out/b.bin");
    EXPECT_EQ(splitProject_merge((dir / "b_spt").c_str(), (dir / "out").c_str(), ""), 0);
    EXPECT_EQ(readFile(dir / "out/b.bin"), seededBytes(8, 9000));

    // The same names left behind by an earlier set after a re-split without sums.
    const std::string stale = readFile(dir / "a_spt/SHA256SUMS");
    writeFile(dir / "a.bin", seededBytes(9, 9000));
    ASSERT_EQ(splitWithoutChecksums(dir / "a.bin", dir.path().string(), 4000), 0);
    writeFile(dir / "a_spt/SHA256SUMS", stale);
    EXPECT_EQ(checksumProblem((dir / "a_spt").c_str()), "SHA256SUMS belongs to another manifest");
    EXPECT_EQ(splitProject_merge((dir / "a_spt").c_str(), (dir / "out").c_str(), ""), 0);
    EXPECT_EQ(readFile(dir / "out/a.bin"), seededBytes(9, 9000));
}

TEST(ChecksumFiles, AChecksumFileThatCannotBeWrittenFailsTheSplit) {
    TempDir dir;
    // Many tiny pieces: SHA256SUMS is the largest file of the set.
    writeFile(dir / "f.bin", seededBytes(9, 300));
    EXPECT_EQ(
        withFileSizeLimit(8000, [&] { return splitInto(dir / "f.bin", dir.path().string(), 1); }),
        -1);
    EXPECT_FALSE(exists(dir / "f_spt/spt_config.morvspt"));

    failTextWritesNamed("CONTENTS.sha256");
    EXPECT_EQ(splitInto(dir / "f.bin", dir.path().string(), 100), -1);
    failTextWritesNamed("");
    EXPECT_NE(engineLastError().find("CONTENTS.sha256: No space left on device"),
              std::string::npos);
    EXPECT_FALSE(exists(dir / "f_spt/spt_config.morvspt"));
    EXPECT_FALSE(holdsTemporary(dir.path().string()));
}
