#include "core/SplitArithmetic.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>

TEST(Arithmetic, SizeTextsAndPaths) {
    // Every unit boundary, each side of every change of the digits shown, and
    // the presets' sizes: rounded to nearest, three significant digits.
    const std::pair<int64_t, const char*> texts[] = {
        {-1, "\u2014"},
        {0, "0 bytes"},
        {1, "1 byte"},
        {1023, "1,023 bytes"},
        {1024, "1.00 KB"},
        {1029, "1.00 KB"},
        {1030, "1.01 KB"}, // 1.0059: rounded, not truncated
        {10234, "9.99 KB"},
        {10235, "10.0 KB"},
        {102348, "99.9 KB"},
        {102349, "100 KB"},
        {1023487, "999 KB"},
        {1023488, "1,000 KB"},
        {1048063, "1,023 KB"},
        {1048064, "1.00 MB"}, // 1023.5 KB rounds to 1024: the next unit
        {1048576, "1.00 MB"},
        {3000000, "2.86 MB"},
        {18000000, "17.2 MB"},
        {734003200, "700 MB"},
        {1073217535, "1,023 MB"},
        {1073217536, "1.00 GB"},
        {1073741824, "1.00 GB"},
        {4294967295, "4.00 GB"},
        {4700000000, "4.38 GB"},
        {1099511627776, "1,024 GB"}, // no unit past GB
        {std::numeric_limits<int64_t>::max(), "8,589,934,592 GB"}};
    for (const auto& [bytes, text] : texts)
        EXPECT_EQ(roundedSize(bytes), text) << bytes;
    EXPECT_EQ(sizeWithBytes(4294967295), "4.00 GB (4,294,967,295 bytes)");
    EXPECT_EQ(sizeWithBytes(1023), "1,023 bytes");
    EXPECT_EQ(progressText(1048064, 4294967295, 0), "1.00 MB of 4.00 GB");
    EXPECT_EQ(progressText(1048064, 0, 2), "1.00 MB, 512 KB/s"); // a stream: no total yet

    // A size shown exactly: in the largest unit that divides it, else in bytes.
    const std::pair<int64_t, SizeInUnits> exact[] = {{734003200, {700, 1}},
                                                     {2147483648, {2, 2}},
                                                     {3072, {3, 0}},
                                                     {4294967295, {4294967295, 3}},
                                                     {18000000, {18000000, 3}}};
    for (const auto& [bytes, shown] : exact) {
        const SizeInUnits got = sizeInExactUnit(bytes);
        EXPECT_EQ(got.value * unitBytes(kSizeUnitTitles[got.unitIndex]), bytes);
        EXPECT_EQ(got.unitIndex, shown.unitIndex) << bytes;
    }

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
