// Splits and joins on file systems that share blocks (XFS with reflink,
// btrfs), in loop images made here: the pieces and the joined file are the
// source's blocks, their checksums hold, a join elsewhere copies, damage to
// a shared piece is still found, and a source changed between its hashing
// and its sharing fails the split.

#include "engine/base/run_context.h"
#include "engine/compat/errors.h"
#include "engine/fs/shared_blocks.h"
#include "engine/runs/join.h"
#include "engine/runs/numbered_parts.h"
#include "engine/runs/split.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/LoopImage.h"
#include "tests/support/SystemCallSeam.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;

int64_t sharedBytesOfPath(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    const int64_t shared = fd >= 0 ? sharedBytesOf(fd) : -1;
    if (fd >= 0) close(fd);
    return shared;
}

Result<SplitOutcome> split(const std::string& source, const std::string& out, int64_t pieceSize) {
    SplitRequest request;
    request.source = source;
    request.outFolder = out;
    request.pieceSize = pieceSize;
    SplitOptions options;
    options.measureSource = true;
    RunContext run;
    return splitSource(request, options, run);
}

Result<JoinOutcome> join(const std::string& set, const std::string& out) {
    RunContext run;
    return joinSet(set, out, JoinOptions{}, run);
}

class SharedBlocks : public ::testing::TestWithParam<const char*> {};

#define MOUNT_OR_SKIP(image)                                                                       \
    if (!(image).ready()) GTEST_SKIP() << (image).problem()

} // namespace

INSTANTIATE_TEST_SUITE_P(Kinds, SharedBlocks, ::testing::Values("xfs", "btrfs"));

TEST_P(SharedBlocks, PiecesAndJoinedFilesAreTheSourcesBlocksAndCheckWhole) {
    LoopImage image(GetParam(), 320 * kMiB);
    MOUNT_OR_SKIP(image);
    const std::string bytes = seededBytes(31, 8 * kMiB + 1234);
    writeFile(image / "data.bin", bytes);
    sync();

    Result<SplitOutcome> made = split(image / "data.bin", image.path().string(), kMiB);
    ASSERT_TRUE(made) << made.failure().reason;
    EXPECT_EQ(made->sharedBytes, 8 * kMiB);
    EXPECT_EQ(made->writtenBytes, 1234);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(sharedBytesOfPath(image / ("data_spt/data_" + std::to_string(i) + ".spt")), kMiB)
            << i;
    EXPECT_EQ(readFile(image / "data_spt/data_8.spt"), bytes.substr(8 * kMiB));
    const std::string check = "cd " + image / "data_spt" + " && sha256sum --quiet -c SHA256SUMS";
    EXPECT_EQ(std::system(check.c_str()), 0);

    // Joined on the same file system: shared again, byte for byte.
    fs::create_directory(image / "out");
    Result<JoinOutcome> joined = join(image / "data_spt", image / "out");
    ASSERT_TRUE(joined) << joined.failure().reason;
    EXPECT_TRUE(joined->fullCheck);
    EXPECT_EQ(joined->sharedBytes, 8 * kMiB);
    EXPECT_EQ(joined->writtenBytes, 1234);
    EXPECT_GE(sharedBytesOfPath(image / "out/data.bin"), 8 * kMiB);
    EXPECT_TRUE(readFile(image / "out/data.bin") == bytes);
    const std::string contents =
        "cd " + image / "out" + " && sha256sum --quiet -c ../data_spt/CONTENTS.sha256";
    EXPECT_EQ(std::system(contents.c_str()), 0);

    // Into another file system: copied, nothing shared.
    TempDir elsewhere;
    joined = join(image / "data_spt", elsewhere.path().string());
    ASSERT_TRUE(joined) << joined.failure().reason;
    EXPECT_EQ(joined->sharedBytes, 0);
    EXPECT_EQ(joined->writtenBytes, 8 * kMiB + 1234);
    EXPECT_TRUE(readFile(elsewhere / "data.bin") == bytes);

    // Other tools' numbered parts of whole blocks share too.
    fs::create_directory(image / "parts");
    writeFile(image / "parts/big.iso.001", bytes.substr(0, 4 * kMiB));
    writeFile(image / "parts/big.iso.002", bytes.substr(4 * kMiB));
    fs::create_directory(image / "fromparts");
    RunContext run;
    Result<JoinOutcome> parts =
        joinNumberedParts(image / "parts/big.iso.001", image / "fromparts", {}, run);
    ASSERT_TRUE(parts) << parts.failure().reason;
    EXPECT_EQ(parts->sharedBytes, 8 * kMiB);
    EXPECT_TRUE(readFile(image / "fromparts/big.iso") == bytes);
}

// A typed size that is not whole blocks is kept: the first piece shares what
// it can, the others start off the blocks and are copied, and the set checks.
TEST_P(SharedBlocks, AnUnalignedPieceSizeIsCopied) {
    LoopImage image(GetParam(), 320 * kMiB);
    MOUNT_OR_SKIP(image);
    const std::string bytes = seededBytes(32, 4 * kMiB);
    writeFile(image / "data.bin", bytes);
    Result<SplitOutcome> made = split(image / "data.bin", image.path().string(), 1000000);
    ASSERT_TRUE(made) << made.failure().reason;
    EXPECT_EQ(made->pieces, 5);
    EXPECT_EQ(made->sharedBytes, 1000000 / 4096 * 4096);
    EXPECT_EQ(made->writtenBytes, 4 * kMiB - made->sharedBytes);
    EXPECT_EQ(sharedBytesOfPath(image / "data_spt/data_1.spt"), 0);
    const std::string check = "cd " + image / "data_spt" + " && sha256sum --quiet -c SHA256SUMS";
    EXPECT_EQ(std::system(check.c_str()), 0);
}

// A shared piece changed after the split gets blocks of its own: the source
// keeps its bytes, and the join's check finds the piece.
TEST_P(SharedBlocks, APieceChangedAfterTheSplitIsCaughtByTheJoin) {
    LoopImage image(GetParam(), 320 * kMiB);
    MOUNT_OR_SKIP(image);
    const std::string bytes = seededBytes(33, 4 * kMiB);
    writeFile(image / "data.bin", bytes);
    ASSERT_TRUE(split(image / "data.bin", image.path().string(), kMiB));
    const int fd = open((image / "data_spt/data_2.spt").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "x", 1, 300000), 1);
    close(fd);
    EXPECT_TRUE(readFile(image / "data.bin") == bytes);
    fs::create_directory(image / "out");
    Result<JoinOutcome> joined = join(image / "data_spt", image / "out");
    ASSERT_FALSE(joined);
    EXPECT_EQ(joined.failure().kind, EngineFailure::PieceDamaged) << joined.failure().reason;
    EXPECT_FALSE(exists(image / "out/data.bin"));
}

// The pieces are hashed from the source, apart from the clones: a write to
// the source after the first piece is shared fails the split, and no set is
// put in place.
TEST_P(SharedBlocks, ASourceChangedBetweenHashingAndSharingFailsTheSplit) {
    LoopImage image(GetParam(), 320 * kMiB);
    MOUNT_OR_SKIP(image);
    writeFile(image / "data.bin", seededBytes(34, 4 * kMiB));
    {
        SeamRecording seam;
        seam.before(SeamCall::Openat, "data_2.spt", 1, [&](const SeamEvent&) {
            const int fd = open((image / "data.bin").c_str(), O_WRONLY);
            ASSERT_EQ(pwrite(fd, "!", 1, 3 * kMiB + 5), 1);
            close(fd);
        });
        Result<SplitOutcome> made = split(image / "data.bin", image.path().string(), kMiB);
        EXPECT_EQ(seam.actionsRun(), 1);
        ASSERT_FALSE(made);
        EXPECT_NE(made.failure().reason.find("changed during the split"), std::string::npos)
            << made.failure().reason;
    }
    EXPECT_FALSE(exists(image / "data_spt"));
}

// Recovery pieces are encoded from the source's bytes the split read: they
// rebuild a lost shared piece.
TEST_P(SharedBlocks, RecoveryPiecesMadeFromTheSourceRebuildALostPiece) {
    LoopImage image(GetParam(), 320 * kMiB);
    MOUNT_OR_SKIP(image);
    const std::string bytes = seededBytes(35, 4 * kMiB + 77);
    writeFile(image / "data.bin", bytes);
    SplitRequest request;
    request.source = image / "data.bin";
    request.outFolder = image.path().string();
    request.pieceSize = kMiB;
    SplitOptions options;
    options.measureSource = true;
    options.recovery.count = 1;
    RunContext run;
    Result<SplitOutcome> made = splitSource(request, options, run);
    ASSERT_TRUE(made) << made.failure().reason;
    EXPECT_EQ(made->sharedBytes, 4 * kMiB);
    fs::remove(image / "data_spt/data_1.spt");
    fs::create_directory(image / "out");
    Result<JoinOutcome> joined = join(image / "data_spt", image / "out");
    ASSERT_TRUE(joined) << joined.failure().reason;
    EXPECT_FALSE(joined->rebuilt.empty());
    EXPECT_TRUE(readFile(image / "out/data.bin") == bytes);
}
