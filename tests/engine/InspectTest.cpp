// The inspection a join makes before it starts, as a value with its own run:
// it says what the published inspection says, marks what is wrong, reads a
// set against its recovery pieces only when asked to, and stops when told.

#include "engine/runs/inspect.h"
#include "engine/format/manifest.h"
#include "engine/runs/split.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

class Inspect : public testing::Test {
protected:
    // A set of 5 pieces of 1000 bytes with a password, and with `recovery`
    // recovery pieces.
    std::string makeSet(int32_t recovery) {
        writeFile(dir / "report.final.pdf", seededBytes(21, 5000));
        SplitRequest request;
        request.source = dir / "report.final.pdf";
        request.outFolder = dir.path().string();
        request.totalSize = 5000;
        request.pieceSize = 1000;
        request.password = "Secret";
        SplitOptions options;
        options.recovery.count = recovery;
        RunContext run;
        const Result<SplitOutcome> made = splitSource(request, options, run);
        EXPECT_TRUE(made) << (made ? "" : made.failure().reason);
        return made ? made->pieceFolder : "";
    }
    static std::string piece(const std::string& set, int i) {
        return set + "/report_" + std::to_string(i) + ".spt";
    }

    TempDir dir;
};

} // namespace

TEST_F(Inspect, SaysWhatThePublishedInspectionSaysAndMarksWhatIsWrong) {
    const std::string set = makeSet(0);
    fs::remove(piece(set, 1));
    std::string third = readFile(piece(set, 3));
    third[10] ^= 1; // within the fingerprinted bytes
    writeFile(piece(set, 3), third);

    RunContext run;
    const Result<SetInspection> found = inspectSet(set, run);
    ASSERT_TRUE(found) << found.failure().reason;
    const Inspection published = inspect(set);
    ASSERT_EQ(published.result, 0);
    EXPECT_EQ(found->baseName, published.baseName);
    EXPECT_EQ(found->passwordDigest, published.digest);
    EXPECT_EQ(found->passwordDigest.size(), 32u);
    ASSERT_EQ(found->pieces.size(), published.pieces.size());
    for (std::size_t i = 0; i < found->pieces.size(); ++i) {
        SCOPED_TRACE(i);
        const InspectedPiece& mine = found->pieces[i];
        const SPTCfg_SPTitem2& theirs = published.pieces[i];
        EXPECT_EQ(mine.index, theirs.pieceIndex);
        EXPECT_EQ(mine.fingerprint, theirs.fingerprint);
        EXPECT_EQ(mine.path, theirs.path);
        EXPECT_EQ(mine.size, theirs.size);
        EXPECT_EQ(mine.quickCheckPassed, theirs.checkState == 0);
        EXPECT_EQ(mine.quickCheckPassed, i != 1 && i != 3);
    }
    EXPECT_EQ(found->pieces[1].size, -1);
    EXPECT_FALSE(found->encrypted);
    EXPECT_EQ(found->checksums.state, ChecksumState::Good);
    EXPECT_TRUE(found->recoveryStem.empty());
    EXPECT_FALSE(found->recovery);

    RunContext none;
    const Result<SetInspection> refused = inspectSet(dir.path().string(), none);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.failure().reason.find("cannot read the manifest"), std::string::npos);
}

TEST_F(Inspect, ReadsAgainstTheRecoveryPiecesOnlyWhenSomethingIsWrongOrWhenAsked) {
    const std::string set = makeSet(1);
    RunContext intact;
    Result<SetInspection> found = inspectSet(set, intact);
    ASSERT_TRUE(found) << found.failure().reason;
    EXPECT_EQ(found->recoveryStem, "report");
    EXPECT_FALSE(found->recovery); // nothing wrong: nothing read

    RunContext asked;
    found = inspectSet(set, asked, [](const SetInspection&) { return true; });
    ASSERT_TRUE(found && found->recovery);
    EXPECT_TRUE(found->recovery->intact());

    std::string second = readFile(piece(set, 2));
    second[500] ^= 1;
    writeFile(piece(set, 2), second.substr(0, 999)); // cut: the quick check fails
    RunContext damaged;
    found = inspectSet(set, damaged);
    ASSERT_TRUE(found && found->recovery);
    EXPECT_FALSE(found->pieces[2].quickCheckPassed);
    EXPECT_EQ(found->recovery->badPieces, std::vector<int32_t>{2});
    EXPECT_TRUE(found->recovery->repairable);
}

TEST_F(Inspect, AStoppedInspectionEndsCancelled) {
    const std::string set = makeSet(1);
    fs::remove(piece(set, 0));
    {
        std::atomic<bool> stop{true};
        RunContext run(&stop);
        const Result<SetInspection> found = inspectSet(set, run);
        ASSERT_FALSE(found);
        EXPECT_EQ(found.failure().kind, EngineFailure::Cancelled);
    }
    // Stopped as the long reading against the recovery pieces begins: it
    // reads nothing, and the inspection ends without a report.
    std::atomic<bool> stop{false};
    RunProgress progress;
    RunContext run(&stop, &progress);
    const Result<SetInspection> found = inspectSet(set, run, [&](const SetInspection& quick) {
        EXPECT_FALSE(quick.pieces[0].quickCheckPassed);
        stop = true;
        return true;
    });
    ASSERT_FALSE(found);
    EXPECT_EQ(found.failure().kind, EngineFailure::Cancelled);
    EXPECT_EQ(progress.done.load(), 0);
}
