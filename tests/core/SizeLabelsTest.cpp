#include "core/SizeLabels.h"

#include <gtest/gtest.h>

TEST(SizeLabels, TheCommandLinePrintsPowersOf1024AsSuch) {
    EXPECT_EQ(withBinaryUnits("1.40 KB (1,429 bytes)"), "1.40 KiB (1,429 bytes)");
    EXPECT_EQ(withBinaryUnits("3.0 MB of 4.38 GB, 12.0 MB/s, 0:03 left"),
              "3.0 MiB of 4.38 GiB, 12.0 MiB/s, 0:03 left");
    EXPECT_EQ(withBinaryUnits("512 bytes"), "512 bytes");
    EXPECT_EQ(withBinaryUnits("a KB cut, 2 KBytes, 5 GB"), "a KB cut, 2 KBytes, 5 GiB");
}
