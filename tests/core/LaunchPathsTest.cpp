#include "core/LaunchPaths.h"

#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>

// Started from a terminal with relative paths, the window gets absolute ones:
// the split side's folder and output folder come from them.
TEST(LaunchPaths, RelativePathsAreTakenAgainstTheWorkingFolder) {
    TempDir dir;
    writeFile(dir / "big300.bin", "bytes");
    writeFile(dir / "photos_spt/spt_config.morvspt", "m");
    std::filesystem::create_directories(dir / "album");
    const std::string cwd = dir.path().string();

    LaunchPlan plan = planLaunchPaths({"big300.bin"}, cwd);
    EXPECT_EQ(plan.splitSource, dir / "big300.bin");
    EXPECT_TRUE(plan.refusals.empty());
    plan = planLaunchPaths({"./photos_spt/"}, cwd);
    EXPECT_EQ(plan.pieceSet, dir / "photos_spt");
    plan = planLaunchPaths({"photos_spt/spt_config.morvspt", "album/."}, cwd);
    EXPECT_EQ(plan.pieceSet, dir / "photos_spt");
    EXPECT_EQ(plan.splitSource, dir / "album");
    plan = planLaunchPaths({"missing.bin"}, cwd);
    ASSERT_EQ(plan.refusals.size(), 1u);
    EXPECT_EQ(plan.refusals[0].rfind("Cannot open " + (dir / "missing.bin") + ":", 0), 0u);

    EXPECT_EQ(absoluteLaunchPath("/a//b/./c/", "/w"), "/a/b/c");
    EXPECT_EQ(absoluteLaunchPath("../x", "/w/v"), "/w/v/../x");
    EXPECT_EQ(absoluteLaunchPath(".", "/"), "/");
}
