// What a split that shares the source's blocks writes, and the piece size of
// whole blocks a count gets.

#include "core/SplitRules.h"

#include <gtest/gtest.h>

TEST(SharedSplit, ACountGetsWholeBlocksWhenTheyStillGiveItAndWritesOnlyTheRest) {
    constexpr int64_t kBlock = 4096;
    // 1 GiB + 1 into 7: ceil is 153,391,690 bytes; whole blocks 153,391,104 + 4096.
    const int64_t file = (int64_t{1} << 30) + 1;
    const int64_t size = alignedPieceSizeForCount(file, 7, kBlock);
    EXPECT_EQ(size % kBlock, 0);
    EXPECT_EQ((file + size - 1) / size, 7);
    EXPECT_EQ(alignedPieceSizeForCount(4 * kBlock, 4, kBlock), kBlock);
    // 4,097 bytes cannot be 3 pieces of whole blocks: the count keeps its own size.
    EXPECT_EQ(alignedPieceSizeForCount(kBlock + 1, 3, kBlock), 0);
    EXPECT_EQ(alignedPieceSizeForCount(100, 1, 0), 0);

    // Aligned: the unaligned tail and the set's own files, a few blocks a piece.
    const int64_t aligned = bytesWrittenWhenShared(file, 64 << 20, kBlock);
    EXPECT_GE(aligned, kBlock);
    EXPECT_LT(aligned, 40 * kBlock);
    // Not whole blocks: only the pieces that start on a block (every 64th
    // of 1,000,000 bytes) share, the rest is copied.
    EXPECT_GT(bytesWrittenWhenShared(file, 1000000, kBlock), file / 100 * 98);
    EXPECT_LT(bytesWrittenWhenShared(file, 1000000, kBlock), file / 100 * 99);

    SharedSplitSpace space;
    EXPECT_EQ(sharedSplitText(space, 4096), "");
    space.shares = space.aligned = true;
    space.blockSize = kBlock;
    space.needBytes = 48 << 10;
    EXPECT_EQ(sharedSplitText(space, kBlock), "shares the source's blocks: needs 48.0 KB");
    EXPECT_EQ(sharedBlocksDoneText(0, 10), "");
    EXPECT_EQ(sharedBlocksDoneText(int64_t{1} << 30, 48 << 10),
              "Shared 1.00 GB of blocks, wrote 48.0 KB.");
}
