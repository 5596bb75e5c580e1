#include "core/SplitArithmetic.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>

TEST(Arithmetic, SizeTextsAndPaths) {
    const std::pair<int64_t, const char*> texts[] = {
        {-1, "1K"},         {0, "1K"},          {1023, "1K"},
        {1024, "1K"},       {2047, "1K"},       {2048, "2K"},
        {1048575, "1023K"}, {1048576, "1M"},    {1073741823, "1023M"},
        {1073741824, "1G"}, {1610612736, "1G"}, {5368709120, "5G"}};
    for (const auto& [bytes, text] : texts)
        EXPECT_EQ(sizeText(bytes), text) << bytes;

    EXPECT_EQ(lastPathComponent("/a/b.spt"), "b.spt");
    EXPECT_EQ(lastPathComponent("/a/b/"), "b");
    EXPECT_EQ(stringByDeletingLastPathComponent("/a/b"), "/a");
    EXPECT_EQ(stringByDeletingLastPathComponent("/a"), "/");
    EXPECT_EQ(stringByAppendingPathComponent("/out", "x.bin"), "/out/x.bin");
    EXPECT_EQ(stringByAppendingPathComponent("/", "x.bin"), "/x.bin");

    EXPECT_EQ(
        progressPercent(std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max()),
        100);
}
