#include "engine/base/utilities.h"
#include "engine/compat/paths.h"

#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <dirent.h>

namespace fs = std::filesystem;

namespace {

std::string baseName(const char* path) {
    char out[1024] = {};
    EXPECT_EQ(baseNameOf(path, out), 0);
    return out;
}

std::string stem(std::string name) {
    name.push_back('\0');
    cutAtFirstDot(name.data());
    return name.c_str();
}

} // namespace

TEST(Naming, BaseNameStemAndPieceName) {
    EXPECT_EQ(baseName("/Users/ann/Movies/clip.mov"), "clip.mov");
    EXPECT_EQ(baseName("D:\\data\\x.bin"), "x.bin");
    EXPECT_EQ(baseName("/film.mkv"), "film.mkv");
    EXPECT_EQ(baseName("/Users/ann/"), "");
    EXPECT_EQ(baseName("no-separator"), "");
    EXPECT_EQ(baseNameOf(nullptr, nullptr), -1);

    EXPECT_EQ(stem("archive.tar.gz"), "archive");
    EXPECT_EQ(stem(".profile"), "");
    EXPECT_EQ(stem("README"), "README");
    EXPECT_EQ(stem(""), "");

    char name[1024];
    EXPECT_EQ(pieceFileName("clip", 12, name), 11);
    EXPECT_STREQ(name, "clip_12.spt");
    EXPECT_EQ(pieceFileName("clip", 0, name), 10);
    EXPECT_STREQ(name, "clip_0.spt");
}

TEST(Naming, NamesThatDoNotFitAreRefusedNotCut) {
    const std::string longName = "/x/" + std::string(1100, 'n');
    char out[1024] = "untouched";
    EXPECT_EQ(baseNameOf(longName.c_str(), out), -1);
    EXPECT_STREQ(out, "untouched");

    char small[8];
    EXPECT_EQ(pieceFileName("clip", 12, small, sizeof small), -1);
    EXPECT_STREQ(small, "");
}

TEST(Naming, SafeNamesAndRelativePaths) {
    for (const char* ok : {"movie.mp4", "photos.2019", ".profile", "a..b"})
        EXPECT_TRUE(isSafeComponentName(ok)) << ok;
    for (const char* bad : {"", ".", "..", "a/b", "a\\b", "/"})
        EXPECT_FALSE(isSafeComponentName(bad)) << bad;

    for (const char* ok : {"a.jpg", "2019/a.jpg", "a/b/c", "..a/b..", ".hidden/x"})
        EXPECT_TRUE(isSafeRelativePath(ok)) << ok;
    for (const char* bad : {"", "/abs", "../x", "a/../../x", "a//b", "a/", "./a", "a/.", "..", "."})
        EXPECT_FALSE(isSafeRelativePath(bad)) << bad;
}

TEST(Sizes, PathSizeOfMissingEmptyAndHiddenEntries) {
    TempDir dir;
    testing::internal::CaptureStdout();
    EXPECT_EQ(pathSize((dir / "missing").c_str()), -1);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "error opendir " + (dir / "missing") + " \n");

    fs::create_directory(dir / "empty");
    EXPECT_EQ(pathSize((dir / "empty").c_str()), 0);

    writeFile(dir / "f/ten.bin", std::string(10, 'x'));
    writeFile(dir / "f/.hidden", std::string(20, 'x'));
    writeFile(dir / "f/.sub/five", std::string(5, 'x'));
    EXPECT_EQ(pathSize((dir / "f").c_str()), 10);
    EXPECT_EQ(pathSize((dir / "f/ten.bin").c_str()), 10);
}

TEST(Walk, ListsFilesDepthFirstAndSkipsHiddenEntries) {
    TempDir dir;
    const std::string root = dir / "src";
    writeFile(root + "/top1", "1");
    writeFile(root + "/top2", "2");
    writeFile(root + "/sub/x", "x");
    writeFile(root + "/sub/deeper/y", "y");
    writeFile(root + "/.hidden/z", "z");
    writeFile(root + "/.dot", "d");

    std::vector<std::string> flat;
    EXPECT_EQ(listFolderFiles(root.c_str(), flat, 0), 0);
    std::sort(flat.begin(), flat.end());
    EXPECT_EQ(flat, (std::vector<std::string>{root + "/top1", root + "/top2"}));

    std::vector<std::string> deep{"kept in front"};
    EXPECT_EQ(listFolderFiles(root.c_str(), deep, 1), 0);
    ASSERT_EQ(deep.size(), 5u);
    EXPECT_EQ(deep[0], "kept in front");
    // A subfolder's files enter the list together, where the subfolder stands.
    const auto x = std::find(deep.begin(), deep.end(), root + "/sub/x");
    const auto y = std::find(deep.begin(), deep.end(), root + "/sub/deeper/y");
    ASSERT_NE(x, deep.end());
    ASSERT_NE(y, deep.end());
    EXPECT_EQ(std::abs(x - y), 1);

    EXPECT_EQ(fileAtIndex(deep, 4), deep[4]);
    EXPECT_EQ(fileAtIndex(deep, 5), "");
    EXPECT_EQ(fileAtIndex(deep, -1), "");
}

TEST(Walk, EntriesTooLongForTheWalkBufferAreReportedNotCutShort) {
    TempDir dir;
    std::string deep = dir / "src";
    while (deep.size() < 600)
        deep += "/" + std::string(60, 'd');
    writeFile(deep + "/far.bin", "far");
    writeFile(dir / "src/near.bin", "near");

    std::vector<std::string> list;
    EXPECT_EQ(listFolderFiles((dir / "src").c_str(), list, 1), -1);
    EXPECT_EQ(list, (std::vector<std::string>{dir / "src/near.bin"}));
    for (const auto& entry : list)
        EXPECT_LT(entry.size(), kWalkPathBufferSize);
    EXPECT_EQ(folderSize((dir / "src").c_str()), 4);
}

TEST(Walk, DirectoryTestUsesTheTypeBitAndFallsBackToLstat) {
    TempDir dir;
    fs::create_directory(dir / "folder");
    writeFile(dir / "file", "f");
    fs::create_directory_symlink(dir / "folder", dir / "link");

    EXPECT_TRUE(entryIsFolder(DT_DIR, "ignored"));
    EXPECT_TRUE(entryIsFolder(DT_BLK, "ignored"));  // shares the bit
    EXPECT_TRUE(entryIsFolder(DT_SOCK, "ignored")); // shares the bit
    EXPECT_FALSE(entryIsFolder(DT_REG, "ignored"));
    EXPECT_FALSE(entryIsFolder(DT_LNK, "ignored"));
    EXPECT_FALSE(entryIsFolder(DT_CHR, "ignored"));

    EXPECT_TRUE(entryIsFolder(DT_UNKNOWN, (dir / "folder").c_str()));
    EXPECT_FALSE(entryIsFolder(DT_UNKNOWN, (dir / "file").c_str()));
    EXPECT_FALSE(entryIsFolder(DT_UNKNOWN, (dir / "link").c_str()));
    EXPECT_FALSE(entryIsFolder(DT_UNKNOWN, (dir / "missing").c_str()));
}

TEST(Folders, MakeParentFoldersCreatesLeadingFoldersOnly) {
    TempDir dir;
    const std::string target = dir / "out/photos/2019/a.jpg";
    makeParentFolders(target.c_str());
    EXPECT_TRUE(fs::is_directory(dir / "out/photos/2019"));
    EXPECT_FALSE(exists(target));

    makeParentFolders(("/" + std::string(2000, 'x') + "/y").c_str()); // no overrun, no crash
    EXPECT_EQ(makeFolder((dir / "out").c_str()), -1);                 // exists: harmless
}

TEST(Progress, RunStartResetsDoneBytesButKeepsTotal) {
    progressStartRun();
    progressSetTotalBytes(100);
    progressAddDoneBytes(40);
    progressAddDoneBytes(2);
    EXPECT_EQ(progressDoneBytes(), 42);
    EXPECT_EQ(progressTotalBytes(), 100);
    EXPECT_LE(progressElapsedSeconds(), 1);
    progressStartRun();
    EXPECT_EQ(progressDoneBytes(), 0);
    EXPECT_EQ(progressTotalBytes(), 100);
}
