// No run loses what the user did not ask to lose: joins never write through
// links or over their own set, splits never take a set's place unasked or
// read their own output, two runs never share a piece folder, and every
// shortfall is a failure with its reason.

#include "engine/compat/errors.h"
#include "engine/compat/paths.h"
#include "engine/compat/registry.h"
#include "engine/format/manifest.h"
#include "engine/fs/run_folder.h"
#include "engine/runs/join.h"
#include "engine/runs/removal.h"
#include "engine/runs/split.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/FaultInjection.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

int32_t join(const std::string& set, const std::string& out) {
    return splitProject_merge(set.c_str(), out.c_str(), "");
}

bool mentions(const std::string& text) {
    return engineLastError().find(text) != std::string::npos;
}

} // namespace

TEST(JoinSafety, LinksBelowTheOutputFolderAreNeverWrittenThrough) {
    TempDir dir;
    writeFile(dir / "photos/a.jpg", seededBytes(1, 3000));
    writeFile(dir / "photos/sub/b.jpg", seededBytes(2, 3000));
    writeFile(dir / "f.bin", seededBytes(3, 3000));
    ASSERT_EQ(splitInto(dir / "photos", dir.path().string(), 2000), 0);
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 2000), 0);
    fs::create_directories(dir / "elsewhere");
    writeFile(dir / "other", "someone else's file");

    struct Case {
        const char* what;
        std::string set, link, linkTarget;
    } cases[] = {
        {"the tree's root", dir / "photos_spt", "photos", dir / "elsewhere"},
        {"a folder on a record's path", dir / "photos_spt", "photos/sub", dir / "elsewhere"},
        {"a target file", dir / "f_spt", "f.bin", dir / "other"},
        {"a dangling target", dir / "f_spt", "f.bin", dir / "elsewhere/new"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir out;
        fs::create_directories(fs::path(out / c.link).parent_path());
        fs::create_symlink(c.linkTarget, out / c.link);
        EXPECT_EQ(join(c.set, out.path().string()), -1);
        EXPECT_TRUE(mentions("symbolic link") || mentions("link or a file")) << engineLastError();
        EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
        EXPECT_EQ(readFile(dir / "other"), "someone else's file");
        EXPECT_FALSE(holdsTemporary(out.path().string()));
    }

    // A hard-linked target is replaced by a new file: its other names keep their content.
    TempDir out;
    fs::create_hard_link(dir / "other", out / "f.bin");
    EXPECT_EQ(join(dir / "f_spt", out.path().string()), 0);
    EXPECT_EQ(readFile(out / "f.bin"), seededBytes(3, 3000));
    EXPECT_EQ(readFile(dir / "other"), "someone else's file");
}

TEST(JoinSafety, AJoinNeverWritesOverItsOwnSet) {
    TempDir dir;
    // A file whose name is the manifest's, joined into its own piece folder.
    writeFile(dir / "spt_config.morvspt", "not a manifest");
    ASSERT_EQ(splitInto(dir / "spt_config.morvspt", dir.path().string(), 4), 0);
    const std::string own = dir / "spt_config_spt";
    const std::string manifest = readFile(own + "/spt_config.morvspt");
    EXPECT_EQ(join(own, own), -1);
    EXPECT_EQ(readFile(own + "/spt_config.morvspt"), manifest);

    // A folder set that arrives in a folder named like its content: the tree
    // is rebuilt in the piece folder itself, except where it would replace a piece.
    writeFile(dir / "photos/a.jpg", seededBytes(4, 3000));
    writeFile(dir / "photos/photos_0.spt", seededBytes(5, 10));
    ASSERT_EQ(splitInto(dir / "photos", dir.path().string(), 5000), 0);
    fs::create_directories(dir / "inbox");
    fs::rename(dir / "photos_spt", dir / "inbox/photos");
    const std::string piece = readFile(dir / "inbox/photos/photos_0.spt");
    EXPECT_EQ(join(dir / "inbox/photos", dir / "inbox"), -1);
    EXPECT_EQ(readFile(dir / "inbox/photos/photos_0.spt"), piece);
    EXPECT_FALSE(exists(dir / "inbox/photos/a.jpg"));

    fs::remove(dir / "photos/photos_0.spt");
    ASSERT_EQ(splitInto(dir / "photos", dir.path().string(), 5000), 0);
    fs::remove_all(dir / "inbox/photos");
    fs::rename(dir / "photos_spt", dir / "inbox/photos");
    JoinOutcome outcome;
    ASSERT_EQ(
        joinWithOptions((dir / "inbox/photos").c_str(), (dir / "inbox").c_str(), {}, &outcome), 0);
    RemovalReport report;
    ASSERT_EQ(removeJoinedPieces(outcome, report), 0);
    EXPECT_EQ(treeContents(dir / "inbox/photos"), treeContents(dir / "photos"));
    EXPECT_EQ(report.notHeld, std::vector<std::string>{"a.jpg"});
}

TEST(JoinSafety, AWriteThatFailsLeavesNoTemporaryAndTheOldFileWhole) {
    TempDir dir;
    writeFile(dir / "big.bin", seededBytes(6, 200000));
    ASSERT_EQ(splitInto(dir / "big.bin", dir.path().string(), 50000), 0);
    fs::create_directories(dir / "out");
    writeFile(dir / "out/big.bin", "the old content");
    EXPECT_EQ(withFileSizeLimit(100000, [&] { return join(dir / "big_spt", dir / "out"); }), -1);
    EXPECT_EQ(readFile(dir / "out/big.bin"), "the old content");
    EXPECT_FALSE(holdsTemporary(dir / "out"));
}

TEST(SplitSafety, APieceFolderInsideAFolderSourceIsRefused) {
    TempDir dir;
    writeFile(dir / "src/a.txt", "aaaa");
    fs::create_directories(dir / "src/sub");
    fs::create_directory_symlink(dir / "src/sub", dir / "into-src");
    const auto before = treeContents(dir / "src");
    for (const std::string& out : {dir / "src", dir / "src/sub", dir / "into-src"}) {
        SCOPED_TRACE(out);
        EXPECT_EQ(splitInto(dir / "src", out, 2), -1);
        EXPECT_TRUE(mentions("would lie inside the source")) << engineLastError();
        EXPECT_EQ(treeContents(dir / "src"), before);
        EXPECT_FALSE(exists(dir / "src/sub/src_spt"));
    }
}

TEST(SplitSafety, AnotherSetInTheWayIsRefusedOrReplacedOnlyWhenComplete) {
    TempDir dir;
    writeFile(dir / "report.pdf", seededBytes(7, 5000));
    writeFile(dir / "report.docx", seededBytes(8, 3000));
    ASSERT_EQ(splitInto(dir / "report.pdf", dir.path().string(), 1000), 0);
    const auto oldSet = treeContents(dir / "report_spt");
    EXPECT_EQ(describeSetInTheWay((dir / "report.docx").c_str(), dir.path().c_str()),
              "report.pdf, 5 pieces");

    Split_pragma request{};
    auto fill = [&] {
        request = Split_pragma{};
        std::strcpy(request.srcPath, (dir / "report.docx").c_str());
        std::strcpy(request.outFolder, dir.path().c_str());
        request.pieceSize = 2000;
    };
    fill();
    EXPECT_EQ(splitWithOptions(&request, SplitOptions{false, true}, nullptr), -1);
    EXPECT_TRUE(mentions("report.pdf, 5 pieces")) << engineLastError();
    EXPECT_EQ(treeContents(dir / "report_spt"), oldSet);

    // A replace that fails (a full disk) leaves the old set exactly as it was.
    EXPECT_EQ(
        withFileSizeLimit(1000,
                          [&] {
                              fill();
                              return splitWithOptions(&request, SplitOptions{true, true}, nullptr);
                          }),
        -1);
    EXPECT_EQ(treeContents(dir / "report_spt"), oldSet);
    EXPECT_FALSE(holdsTemporary(dir.path().string()));

    fill();
    EXPECT_EQ(splitWithOptions(&request, SplitOptions{true, true}, nullptr), 0);
    EXPECT_EQ(inspect(dir / "report_spt").baseName, "report.docx");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "report_spt"), {}),
              6); // 2 pieces, 4 own files
}

TEST(SplitSafety, TwoRunsNeverUseOnePieceFolderAtOnce) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(9, 3000));
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 1000), 0);
    fs::create_directories(dir / "out");
    for (const int held : {LOCK_EX, LOCK_SH}) {
        SCOPED_TRACE(held == LOCK_EX ? "a split holds it" : "a join holds it");
        // Every run takes the lock of the folder holding the set: no swap replaces it.
        const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_EQ(flock(fd, held), 0);
        EXPECT_EQ(splitInto(dir / "f.bin", dir.path().string(), 500), -1);
        EXPECT_TRUE(mentions("another run is using it")) << engineLastError();
        const int expected = held == LOCK_EX ? -1 : 0;
        EXPECT_EQ(join(dir / "f_spt", dir / "out"), expected);
        EXPECT_EQ(inspect(dir / "f_spt").result, expected);
        close(fd);
    }
    EXPECT_EQ(inspect(dir / "f_spt").pieces.size(), 3u);
}

TEST(SplitSafety, OnlyTheHolderOfTheLockFinishesAnInterruptedReplacement) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(9, 3000));
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 1000), 0);
    {
        // A replacement stopped before its exchange left its journal.
        FileDescriptor set = openFolderPath(dir / "f_spt");
        ASSERT_TRUE(writeReplaceJournal(set.get(), "f_spt", ReplacedFolder{}, {}));
    }
    const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(fd, LOCK_SH), 0); // another reader
    EXPECT_EQ(inspect(dir / "f_spt").result, -1);
    EXPECT_TRUE(mentions("it is being replaced")) << engineLastError();
    EXPECT_TRUE(exists(dir / "f_spt/.parcelor-run"));
    close(fd);
    fs::copy(dir / "f_spt", dir / "keep_spt"); // the user keeps a copy under another name
    EXPECT_EQ(inspect(dir / "f_spt").result, 0);
    EXPECT_FALSE(exists(dir / "f_spt/.parcelor-run"));
    // A journal in a folder that is not a working folder never moves or removes
    // anything, whatever it names: the set there is whole.
    EXPECT_EQ(inspect(dir / "keep_spt").result, 0);
    EXPECT_EQ(inspect(dir / "keep_spt").pieces.size(), 3u);
    EXPECT_FALSE(exists(dir / "keep_spt/.parcelor-run"));
    EXPECT_EQ(treeContents(dir / "keep_spt"), treeContents(dir / "f_spt"));

    // A folder of the user's under a name the new set needs is refused before
    // anything is written: a replacement would leave it hidden.
    fs::remove(dir / "f_spt/f_1.spt");
    fs::create_directories(dir / "f_spt/f_1.spt");
    const auto before = treeContents(dir / "f_spt");
    EXPECT_EQ(splitInto(dir / "f.bin", dir.path().string(), 1000), -1);
    EXPECT_TRUE(mentions("f_1.spt is in the way")) << engineLastError();
    EXPECT_EQ(treeContents(dir / "f_spt"), before);
    EXPECT_FALSE(holdsTemporary(dir.path().string()));
}

// A replacement stopped once the old set's folder went aside, before the new
// one took its name: the next run gives the old set its name and bits back.
TEST(SplitSafety, AReplacementStoppedBetweenItsRenamesGivesTheOldSetItsNameBack) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(19, 3000));
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 1000), 0);
    const auto before = treeContents(dir / "f_spt");
    {
        FileDescriptor set = openFolderPath(dir / "f_spt");
        ASSERT_TRUE(writeReplaceJournal(set.get(), "f_spt", ReplacedFolder{1, 1, 0750, 0, 0}, {}));
    }
    const std::string aside = dir / ".parcelor-tmp-00000000000a";
    fs::rename(dir / "f_spt", aside);
    fs::permissions(aside, fs::perms(0700));
    const FileDescriptor folder = openFolderPath(dir.path().string());
    RunContext run;
    sweepLeftovers(folder.get(), run);
    EXPECT_FALSE(exists(aside));
    EXPECT_EQ(treeContents(dir / "f_spt"), before);
    EXPECT_EQ(fs::status(dir / "f_spt").permissions(), fs::perms(0750));
}

TEST(SplitSafety, AReplacedSetFolderKeepsItsPermissionsAndUnreadableMarksAreNeverActedOn) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(17, 3000));
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 1000), 0);
    fs::permissions(dir / "f_spt", fs::perms::owner_all);
    // A folder named like a working folder whose mark cannot be read as one.
    const std::string odd = dir / ".parcelor-tmp-0123456789ab";
    writeFile(odd + "/notes.txt", "the user's");
    ASSERT_EQ(mkfifo((odd + "/.parcelor-run").c_str(), 0600), 0);
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 500), 0);
    EXPECT_EQ(fs::status(dir / "f_spt").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(readFile(odd + "/notes.txt"), "the user's");
}

TEST(SplitFailure, WhatTheSizeWalkCountsIsWhatTheSplitStores) {
    TempDir dir;
    writeFile(dir / "src/a", "aaaa");
    fs::create_directories(dir / "elsewhere/deep");
    fs::create_directory_symlink(dir / "elsewhere", dir / "src/link");
    EXPECT_EQ(pathSize((dir / "src").c_str()), 4);
    EXPECT_EQ(splitInto(dir / "src", dir.path().string(), 3), 0);

    // A file that shrinks after it was measured.
    writeFile(dir / "src/b", "bbbb");
    EXPECT_EQ(splitInto(dir / "src", dir.path().string(), 3, "", 12), -1);
    EXPECT_TRUE(mentions("held 8 bytes, not the 12 measured")) << engineLastError();
}

TEST(SplitFailure, AFolderThatCannotBeListedFailsTheSplit) {
    TempDir dir;
    writeFile(dir / "src/a", "aaaa");
    writeFile(dir / "src/locked/b", "bbbb");
    fs::create_directories(dir / "out");
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(dir / "src", fs::perms::all);
    fs::permissions(dir / "out", fs::perms::all);
    fs::permissions(dir / "src/a", fs::perms::all);
    fs::permissions(dir / "src/locked", fs::perms::none);
    // As an unprivileged user, who cannot list src/locked.
    EXPECT_EQ(asUnprivilegedUser([&] {
                  const int32_t result = splitInto(dir / "src", dir / "out", 3, "", 4);
                  return result == -1 && mentions("Permission denied") ? 0 : 1;
              }),
              0);
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

TEST(Registry, AShortManifestClaimingMillionsOfRecordsCostsWhatItHolds) {
    TempDir dir;
    writeFile(
        dir / "spt_config.morvspt",
        ManifestBytes().header(kManifestMaxPieceCount, kManifestMaxFileCount, 10, "", "x").str());
    ASSERT_EQ(loadManifest(dir.path().c_str()), 0);
    EXPECT_EQ(getManifestPieceCount(), kManifestMaxPieceCount);
    std::vector<const PieceRecord*> pieces;
    std::vector<const FileRecord*> files;
    listPieceRecords(pieces);
    listFileRecords(files);
    EXPECT_EQ(pieces.size(), 1024u);
    EXPECT_EQ(files.size(), 1024u);
    EXPECT_EQ(inspect(dir.path().string()).pieces.size(), 1024u);
}

TEST(Removal, AFileSourceChangedSinceTheSplitStays) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(10, 3000));
    Split_pragma request{};
    std::strcpy(request.srcPath, (dir / "f.bin").c_str());
    std::strcpy(request.outFolder, dir.path().c_str());
    request.pieceSize = 1000;
    SplitOutcome outcome;
    ASSERT_EQ(splitWithOptions(&request, SplitOptions{true, true}, &outcome), 0);
    writeFile(dir / "f.bin", seededBytes(11, 3000));
    RemovalReport report;
    ASSERT_EQ(removeSplitSource(outcome, report), 0);
    EXPECT_EQ(report.changed, std::vector<std::string>{"f.bin"});
    EXPECT_EQ(readFile(dir / "f.bin"), seededBytes(11, 3000));
}

// A piece changed while it is sent to a stream fails the stream: what went
// out is the set's true beginning, and nothing more is said to be the set.
TEST(JoinSafety, APieceChangedWhileItIsSentFailsTheStream) {
    TempDir dir;
    const std::string bytes = seededBytes(21, 3 << 20);
    writeFile(dir / "f.bin", bytes);
    ASSERT_EQ(splitInto(dir / "f.bin", dir.path().string(), 2 << 20), 0);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        // The stream's first bytes are out, and the rest of the piece waits
        // for room in the pipe: its time changes meanwhile.
        ssize_t got = read(ends[0], buffer, sizeof buffer);
        const struct timespec times[2] = {{0, UTIME_OMIT}, {1, 0}};
        utimensat(AT_FDCWD, (dir / "f_spt/f_0.spt").c_str(), times, 0);
        for (; got > 0; got = read(ends[0], buffer, sizeof buffer))
            received.append(buffer, static_cast<std::size_t>(got));
    });
    JoinOptions options;
    options.outputFd = ends[1];
    RunContext run;
    const Result<JoinOutcome> sent = joinSet(dir / "f_spt", dir.path().string(), options, run);
    close(ends[1]);
    reader.join();
    close(ends[0]);
    EXPECT_FALSE(sent);
    EXPECT_LE(received.size(), std::size_t{2} << 20);
    EXPECT_EQ(received, bytes.substr(0, received.size()));
}

TEST(JoinSafety, AFifoInPlaceOfTheManifestNeverHangsARun) {
    TempDir dir;
    writeFile(dir / "a.bin", "abcd");
    fs::create_directories(dir / "a_spt");
    ASSERT_EQ(mkfifo((dir / "a_spt/spt_config.morvspt").c_str(), 0600), 0);
    EXPECT_EQ(inspect(dir / "a_spt").result, -1);
    EXPECT_EQ(join(dir / "a_spt", dir.path().string()), -1);
    EXPECT_EQ(describeSetInTheWay((dir / "a.bin").c_str(), dir.path().c_str()),
              "a damaged manifest");
    // A split does not replace a special file of the user's: it says so.
    EXPECT_EQ(splitInto(dir / "a.bin", dir.path().string(), 2), -1);
    EXPECT_TRUE(mentions("spt_config.morvspt is in the way")) << engineLastError();
    EXPECT_EQ(fs::status(dir / "a_spt/spt_config.morvspt").type(), fs::file_type::fifo);
}

TEST(SplitSafety, TheSetIsAsPrivateAsItsSourceAndAJoinKeepsPermissions) {
    TempDir dir;
    writeFile(dir / "private.txt", seededBytes(12, 3000));
    fs::permissions(dir / "private.txt", fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(splitInto(dir / "private.txt", dir.path().string(), 1000), 0);
    for (const auto& entry : fs::directory_iterator(dir / "private_spt"))
        EXPECT_EQ(fs::status(entry).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write)
            << entry.path();
    fs::create_directories(dir / "out");
    ASSERT_EQ(join(dir / "private_spt", dir / "out"), 0);
    EXPECT_EQ(fs::status(dir / "out/private.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // A file it replaces gets the stored bits too; without a description of
    // them, it keeps its own; without replacing, it stays.
    fs::permissions(dir / "out/private.txt", fs::perms::owner_read | fs::perms::group_read);
    ASSERT_EQ(join(dir / "private_spt", dir / "out"), 0);
    EXPECT_EQ(fs::status(dir / "out/private.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(dir / "out/private.txt", fs::perms::owner_read | fs::perms::group_read);
    fs::remove(dir / "private_spt/TREE.mtree");
    fs::remove(dir / "private_spt/SHA256SUMS");
    fs::remove(dir / "private_spt/CONTENTS.sha256");
    ASSERT_EQ(join(dir / "private_spt", dir / "out"), 0);
    EXPECT_EQ(fs::status(dir / "out/private.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read);
    writeFile(dir / "out/private.txt", "newer");
    EXPECT_EQ(joinWithOptions((dir / "private_spt").c_str(), (dir / "out").c_str(),
                              JoinOptions{false}, nullptr),
              -1);
    EXPECT_EQ(readFile(dir / "out/private.txt"), "newer");

    // Root replacing a user's file leaves it the user's; a new file is root's.
    if (geteuid() != 0) GTEST_SKIP() << "the owner part needs root";
    ASSERT_EQ(chown((dir / "out/private.txt").c_str(), 65534, 65534), 0);
    ASSERT_EQ(join(dir / "private_spt", dir / "out"), 0);
    struct stat st {};
    ASSERT_EQ(stat((dir / "out/private.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(readFile(dir / "out/private.txt"), seededBytes(12, 3000));
    fs::create_directories(dir / "fresh");
    ASSERT_EQ(join(dir / "private_spt", dir / "fresh"), 0);
    ASSERT_EQ(stat((dir / "fresh/private.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST(Removal, AFileTheSystemWillNotRemoveIsKeptWithItsReason) {
    TempDir dir;
    writeFile(dir / "src/a.txt", "aaaa");
    writeFile(dir / "src/locked/b.txt", "bbbb");
    fs::create_directories(dir / "out");
    fs::permissions(dir.path(), fs::perms::all);
    // The user owns the source and the output, but not the folder "locked".
    for (const std::string& path : {dir / "src", dir / "src/a.txt", dir / "out"})
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(asUnprivilegedUser([&] {
                  Split_pragma request{};
                  std::strcpy(request.srcPath, (dir / "src").c_str());
                  std::strcpy(request.outFolder, (dir / "out").c_str());
                  request.pieceSize = 3;
                  SplitOutcome outcome;
                  RemovalReport report;
                  if (splitWithOptions(&request, SplitOptions{true, true, true}, &outcome) != 0 ||
                      removeSplitSource(outcome, report) != 0)
                      return 1;
                  const bool kept =
                      report.failed == std::vector<std::string>{"locked/b.txt (Permission denied)"};
                  return kept && report.removed == 1 && report.notHeld.empty() ? 0 : 1;
              }),
              0);
    EXPECT_FALSE(exists(dir / "src/a.txt"));
    EXPECT_EQ(readFile(dir / "src/locked/b.txt"), "bbbb");
}

// A source goes only while the set its split made is the one in the piece
// folder: another source of the same stem may have replaced it since.
TEST(Removal, TheSourceStaysWhenItsSetWasReplacedByAnother) {
    TempDir dir;
    writeFile(dir / "report.pdf", seededBytes(41, 5000));
    writeFile(dir / "report.docx", seededBytes(42, 5000));
    RunContext run;
    const auto split = [&](const char* name) {
        SplitRequest request;
        request.source = dir / name;
        request.outFolder = dir.path();
        request.totalSize = 5000;
        request.pieceSize = 2000;
        SplitOptions options;
        options.keepSourceFiles = true;
        return splitSource(request, options, run);
    };
    const Result<SplitOutcome> first = split("report.pdf");
    ASSERT_TRUE(first) << first.failure().reason;
    ASSERT_TRUE(split("report.docx")); // replaces report_spt whole
    RemovalReport report;
    EXPECT_FALSE(removeSplitSource(first.value(), report, run));
    EXPECT_EQ(run.failureKind(), EngineFailure::SetNotWhole);
    EXPECT_EQ(readFile(dir / "report.pdf"), seededBytes(41, 5000));
}

// A piece that cannot be written says which, and why, even when its last
// bytes were small files gathered in memory, written only as it ends.
TEST(FullDisk, AFailedWriteOfAPiecesLastBytesNamesThePieceAndTheError) {
    TempDir dir;
    for (uint32_t i = 0; i < 5; ++i)
        writeFile(dir / ("tree/f" + std::to_string(i)), seededBytes(43 + i, 1000));
    signal(SIGXFSZ, SIG_IGN);
    // Only the soft limit: raising a hard one back needs CAP_SYS_RESOURCE.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limit{1024, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    RunContext run;
    SplitRequest request;
    request.source = dir / "tree";
    request.outFolder = dir.path();
    request.totalSize = 5000;
    request.pieceSize = 1 << 20;
    const Result<SplitOutcome> made = splitSource(request, {}, run);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.failure().error, EFBIG) << made.failure().reason;
    EXPECT_NE(made.failure().reason.find("tree_0.spt"), std::string::npos) << made.failure().reason;
    EXPECT_FALSE(fs::exists(dir / "tree_spt"));
}
