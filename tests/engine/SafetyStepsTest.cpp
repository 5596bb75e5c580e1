// The safety steps that leave no trace in a run's result, seen through the
// system-call seam: what reaches the disk before what depends on it, the locks
// taken, and a change made between a check and the use it guards.

#include "engine/compat/errors.h"
#include "engine/runs/join.h"
#include "engine/runs/removal.h"
#include "engine/runs/split.h"

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/SystemCallSeam.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Where the first call of `call` naming `name` with `flags` comes, or -1.
std::ptrdiff_t firstCall(const std::vector<SeamEvent>& events, SeamCall call,
                         const std::string& name = "", int flags = 0) {
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].call == call && (name.empty() || events[i].names(name)) &&
            (events[i].flags & flags) == flags)
            return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

// The file system of `folder` was flushed before the first removal.
bool flushedBeforeFirstUnlink(const SeamRecording& seam, const std::string& folder) {
    const auto events = seam.events();
    const auto flushed = firstCall(events, SeamCall::Syncfs, folder);
    return flushed >= 0 && flushed < firstCall(events, SeamCall::Unlinkat);
}

bool mentions(const std::string& text) {
    return engineLastError().find(text) != std::string::npos;
}

int32_t join(const std::string& set, const std::string& out, JoinOutcome* outcome = nullptr,
             bool replace = true) {
    JoinOptions options;
    options.replaceExisting = replace;
    return joinWithOptions(set.c_str(), out.c_str(), options, outcome);
}

} // namespace

TEST(SafetySteps, AReplacingSplitHasEveryFileOfTheNewSetOnDiskBeforeTheExchange) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(1, 3000));
    ASSERT_EQ(splitMeasured(dir / "f.bin", dir.path().string(), 1000), 0);
    SeamRecording seam;
    ASSERT_EQ(splitMeasured(dir / "f.bin", dir.path().string(), 1000), 0);
    const auto events = seam.events();
    const auto exchange = firstCall(events, SeamCall::Renameat2, "f_spt", RENAME_EXCHANGE);
    ASSERT_GE(exchange, 0);
    for (const char* name :
         {"f_0.spt", "f_1.spt", "f_2.spt", "SHA256SUMS", "CONTENTS.sha256", "spt_config.morvspt"}) {
        const auto synced = firstCall(events, SeamCall::Fsync, name);
        EXPECT_TRUE(synced >= 0 && synced < exchange) << name;
    }
}

// A file edited while it is split, whose time is then put back. A file
// source's pieces are hashed from the source apart from the copy, so the
// split fails and puts nothing in place; a folder's file is hashed from its
// pieces, the set is made, and the removal keeps the file, since what the
// set holds is not what it holds.
TEST(SafetySteps, ASourceEditedDuringTheSplitFailsItOrIsKeptByTheRemoval) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(2, 3000));
    writeFile(dir / "src/f.bin", seededBytes(2, 3000));
    const auto editDuring = [&](const fs::path& source, const fs::path& file,
                                const char* secondPiece, SplitOutcome* outcome) {
        struct stat before {};
        EXPECT_EQ(stat(file.c_str(), &before), 0);
        SeamRecording seam;
        // Once piece 0 holds the first bytes, they are edited in place.
        seam.before(SeamCall::Openat, secondPiece, 1, [&](const SeamEvent&) {
            const int fd = open(file.c_str(), O_WRONLY);
            ASSERT_EQ(pwrite(fd, "!", 1, 0), 1);
            // A file source's time is put back at once: only its change time tells.
            const timespec later = {before.st_mtim.tv_sec + 60, 0};
            const timespec times[2] = {{0, UTIME_OMIT}, outcome ? later : before.st_mtim};
            futimens(fd, times);
            close(fd);
        });
        const int32_t result = splitMeasured(source, dir.path().string(), 1000, outcome);
        EXPECT_EQ(seam.actionsRun(), 1);
        const timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
        EXPECT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        return result;
    };
    EXPECT_EQ(editDuring(dir / "f.bin", dir / "f.bin", "f_1.spt", nullptr), -1);
    EXPECT_NE(std::string(engineLastError()).find("changed during the split"), std::string::npos)
        << engineLastError();
    EXPECT_FALSE(exists(dir / "f_spt"));

    SplitOutcome outcome;
    ASSERT_EQ(editDuring(dir / "src", dir / "src/f.bin", "src_1.spt", &outcome), 0);
    RemovalReport report;
    ASSERT_EQ(removeSplitSource(outcome, report), 0);
    EXPECT_EQ(report.changed, std::vector<std::string>{"f.bin"});
    EXPECT_TRUE(exists(dir / "src/f.bin"));
}

// Both removals write what replaces the files to disk before the first goes;
// a nested folder source goes whole; joined pieces go only under the lock of
// the folder that holds their set.
TEST(SafetySteps, RemovalsFlushFirstRemoveDeepestFirstAndTakeTheSetsLock) {
    TempDir dir;
    writeFile(dir / "src/top.txt", "top");
    writeFile(dir / "src/a/b/deep.txt", "deep");
    SplitOutcome splitOutcome;
    ASSERT_EQ(splitMeasured(dir / "src", dir.path().string(), 4, &splitOutcome), 0);
    RemovalReport report;
    {
        // The flush is a step of its own in the run's progress.
        RunProgress progress;
        RunContext run(nullptr, &progress);
        RunPhase whileFlushing = RunPhase::Copying;
        SeamRecording seam;
        seam.before(SeamCall::Syncfs, "", 1,
                    [&](const SeamEvent&) { whileFlushing = progress.phase.load(); });
        ASSERT_TRUE(removeSplitSource(splitOutcome, report, run));
        EXPECT_TRUE(flushedBeforeFirstUnlink(seam, "src_spt"));
        EXPECT_EQ(whileFlushing, RunPhase::WritingToDisk);
    }
    {
        // So is a split's tail: the checksums of the last pieces written.
        RunProgress progress;
        RunContext run(nullptr, &progress);
        SplitRequest request;
        request.source = dir / "src_spt/SHA256SUMS";
        request.outFolder = dir / "out";
        request.pieceSize = 100;
        SplitOptions options;
        options.measureSource = true;
        fs::create_directories(dir / "out");
        ASSERT_TRUE(splitSource(request, options, run));
        EXPECT_EQ(progress.phase.load(), RunPhase::FinishingChecksums);
        fs::remove_all(dir / "out");
    }
    EXPECT_FALSE(exists(dir / "src"));

    fs::create_directories(dir / "out");
    JoinOutcome joinOutcome;
    ASSERT_EQ(join(dir / "src_spt", dir / "out", &joinOutcome), 0);
    const int holder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(holder, LOCK_SH), 0); // a run reading the set
    EXPECT_EQ(removeJoinedPieces(joinOutcome, report), -1);
    EXPECT_TRUE(mentions("another run is using them")) << engineLastError();
    EXPECT_TRUE(exists(dir / "src_spt/spt_config.morvspt"));
    close(holder);
    SeamRecording seam;
    ASSERT_EQ(removeJoinedPieces(joinOutcome, report), 0);
    EXPECT_TRUE(flushedBeforeFirstUnlink(seam, "out"));
    EXPECT_FALSE(exists(dir / "src_spt"));
}

// What comes between the join's check of a thing and its use of it.
TEST(SafetySteps, AChangeBetweenAJoinsCheckAndItsUseIsNeverTakenIn) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(3, 6000));
    writeFile(dir / "precious", "the user's own file");
    ASSERT_EQ(splitMeasured(dir / "f.bin", dir.path().string(), 2000), 0);
    fs::create_directories(dir / "out");
    fs::copy(dir / "f_spt", dir / "copy");

    // A link in place of a checksum file or the manifest, to a true copy.
    for (const char* name : {"SHA256SUMS", "spt_config.morvspt"}) {
        SCOPED_TRACE(name);
        SeamRecording seam;
        seam.before(SeamCall::Openat, name, 1, [&](const SeamEvent& call) {
            fs::remove(call.path);
            fs::create_symlink(dir / ("copy/" + std::string(name)), call.path);
        });
        EXPECT_EQ(join(dir / "f_spt", dir / "out"), -1);
        // A link in the manifest's place is not even read; one in place of
        // SHA256SUMS makes the checksums damaged.
        if (std::string(name) == "SHA256SUMS")
            EXPECT_EQ(engineLastFailure(), EngineFailure::ChecksumsDamaged) << engineLastError();
        else
            EXPECT_NE(engineLastError().find("cannot read the manifest"), std::string::npos)
                << engineLastError();
        EXPECT_TRUE(fs::is_empty(dir / "out"));
        fs::remove(dir / ("f_spt/" + std::string(name)));
        fs::copy(dir / ("copy/" + std::string(name)), dir / ("f_spt/" + std::string(name)));
    }

    // A hard link to a file of the user's under the name of the temporary the
    // join is about to create (a join that replaces a file still writes one).
    writeFile(dir / "out/f.bin", "to be replaced");
    {
        SeamRecording seam;
        seam.before(
            SeamCall::Openat, ".parcelor-tmp-*", 1,
            [&](const SeamEvent& call) { fs::create_hard_link(dir / "precious", call.path); },
            O_CREAT);
        EXPECT_EQ(join(dir / "f_spt", dir / "out"), 0);
        EXPECT_EQ(seam.actionsRun(), 1);
        EXPECT_TRUE(readFile(dir / "precious") == "the user's own file");
    }

    // A new file is named from unnamed (by its descriptor, or through /proc
    // where the process may not), or renamed where the file system has no
    // unnamed files. Each way joins; and a file of the user's that appears
    // under the target's name just before it gets it stays, when the join
    // must not replace one.
    enum Way { ByDescriptor, ByProcPath, Renamed };
    for (const Way way : {ByDescriptor, ByProcPath, Renamed}) {
        SCOPED_TRACE(way);
        fs::remove(dir / "out/f.bin");
        SeamRecording seam;
        for (int run = 1; run <= 2; ++run) {
            if (way == ByProcPath) seam.refuse(SeamCall::Linkat, "", run, ENOENT, AT_EMPTY_PATH);
            if (way == Renamed) seam.refuse(SeamCall::Openat, "", run, EOPNOTSUPP, O_TMPFILE);
        }
        ASSERT_EQ(join(dir / "f_spt", dir / "out", nullptr, false), 0);
        EXPECT_TRUE(readFile(dir / "out/f.bin") == seededBytes(3, 6000));
        fs::remove(dir / "out/f.bin");
        seam.before(way == Renamed ? SeamCall::Renameat2 : SeamCall::Linkat, "f.bin", 1,
                    [&](const SeamEvent&) { writeFile(dir / "out/f.bin", "just saved"); });
        EXPECT_EQ(join(dir / "f_spt", dir / "out", nullptr, false), -1);
        EXPECT_EQ(seam.actionsRun(), way == ByDescriptor ? 1 : 3);
        EXPECT_TRUE(readFile(dir / "out/f.bin") == "just saved");
        EXPECT_FALSE(holdsTemporary(dir / "out"));
    }

    // A piece replaced after its check, by one with the same length and first
    // kilobyte, which the quick check alone cannot tell apart.
    fs::remove_all(dir / "f_spt");
    fs::remove(dir / "out/f.bin");
    ASSERT_EQ(splitMeasured(dir / "f.bin", dir.path().string(), 2000, nullptr, false), 0);
    std::string forged = readFile(dir / "f_spt/f_1.spt");
    forged[1500] ^= 1;
    writeFile(dir / "forged", forged);
    SeamRecording seam;
    seam.before(SeamCall::Openat, "f_1.spt", 2,
                [&](const SeamEvent& call) { fs::rename(dir / "forged", call.path); });
    EXPECT_EQ(join(dir / "f_spt", dir / "out"), -1);
    EXPECT_TRUE(mentions("f_1.spt changed since it was checked")) << engineLastError();
    EXPECT_FALSE(exists(dir / "out/f.bin"));
}

// Only a regular file is a piece: a link to a device in place of the empty
// piece of a folder of empty files reads like it, and still fails the join.
TEST(SafetySteps, ALinkToADeviceInPlaceOfAnEmptyPieceFailsTheJoin) {
    TempDir dir;
    writeFile(dir / "src/empty", "");
    ASSERT_EQ(splitMeasured(dir / "src", dir.path().string(), 10), 0);
    ASSERT_EQ(fs::file_size(dir / "src_spt/src_0.spt"), 0u);
    fs::remove(dir / "src_spt/src_0.spt");
    fs::create_symlink("/dev/null", dir / "src_spt/src_0.spt");
    fs::create_directories(dir / "out");
    EXPECT_EQ(join(dir / "src_spt", dir / "out"), -1);
    EXPECT_FALSE(exists(dir / "out/src/empty"));
}

// Removing what stopped runs left is a removal too: a stop ends it between
// two folders, and the run itself stops.
TEST(SafetySteps, AStopEndsTheSweepOfLeftovers) {
    TempDir dir;
    writeFile(dir / "f.bin", seededBytes(4, 3000));
    for (const char* name : {".parcelor-tmp-00000000000a", ".parcelor-tmp-00000000000b"}) {
        writeFile(dir / (std::string(name) + "/.parcelor-run"), "parcelor-run 1\n");
        writeFile(dir / (std::string(name) + "/left"), "a piece of a killed run");
    }
    SeamRecording seam;
    seam.before(SeamCall::Unlinkat, "left", 1, [](const SeamEvent&) { engineRequestCancel(); });
    EXPECT_EQ(splitMeasured(dir / "f.bin", dir.path().string(), 1000), -1);
    engineResetCancel();
    EXPECT_EQ(engineLastFailure(), EngineFailure::Cancelled) << engineLastError();
    EXPECT_EQ(
        exists(dir / ".parcelor-tmp-00000000000a") + exists(dir / ".parcelor-tmp-00000000000b"), 1);
    EXPECT_FALSE(exists(dir / "f_spt"));
}
