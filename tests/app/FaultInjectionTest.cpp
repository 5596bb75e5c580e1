// Faults during whole runs, through the controller with the real engine:
// whatever fails, the user is told, and no source or piece is removed.

#include "tests/app/ControllerFixture.h"

#include "tests/support/FaultInjection.h"
#include "tests/support/SystemCallSeam.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <cstdio>
#include <filesystem>
#include <future>

namespace fs = std::filesystem;

namespace {

class Faults : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        tk.app.whenModal(&ui.completeWindow, [&] { c.actFinish(); });
        tk.defaultQuestionAnswer = toolkit::kModalResponseOK; // the user confirms removals
        tk.app.whenModal(&ui.outputPathWindow, [&] { c.actOutputPathOK(); });
        fs::create_directories(dir / "out");
    }
    // Splits `source` into `output`, with the removal box as given.
    void split(const std::string& source, bool folder, const std::string& output, bool remove) {
        tk.answerPanel(source);
        folder ? c.actAddFolder() : c.actAddFile();
        ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isMeasuringSource(); }));
        tk.answerPanel(output);
        c.actOutPath();
        ui.delSourceFileBtn.setState(remove ? 1 : 0);
        c.actSplit();
    }
    void join(const std::string& set, const std::string& output, bool remove) {
        addSet(set);
        tk.answerPanel(output);
        c.mActSelectOutput();
        ui.delSoureFileM.setState(remove ? 1 : 0);
        c.mActMergeFile();
    }
    std::string title() { return ui.completeTitle.stringValue(); }
    TempDir dir;
};

} // namespace

TEST_F(Faults, FullDiskDuringASplitKeepsTheSource) {
    const std::string source = dir / "in/big.bin";
    writeFile(source, seededBytes(1, 300000));
    // The proposed pieces are 32 KiB: no piece can be written in full.
    const int result = withFileSizeLimit(20000, [&] {
        split(source, false, dir / "out", true);
        tk.threadsImpl.joinAll();
        return !tk.app.hung && title() == "Splitting Failed!" && exists(source) ? 0 : 1;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readFile(source), seededBytes(1, 300000));
}

TEST_F(Faults, FullDiskDuringAJoinKeepsThePieces) {
    const std::string source = dir / "in/big.bin";
    writeFile(source, seededBytes(2, 300000));
    split(source, false, dir / "out", false);
    ASSERT_EQ(title(), "Splitting Completed!");
    const std::string set = dir / "out/big_spt";
    const auto pieces = treeContents(set);
    fs::create_directories(dir / "joined");
    tk.threadsImpl.joinAll(); // the child must not inherit threads it cannot join
    const int result = withFileSizeLimit(100000, [&] {
        join(set, dir / "joined", true);
        tk.threadsImpl.joinAll();
        if (tk.app.hung || title() != "Joining Failed!") {
            std::fprintf(stderr, "hung %d, title '%s'\n", tk.app.hung, title().c_str());
            return 1;
        }
        return 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(treeContents(set) == pieces);
}

TEST_F(Faults, APieceChangedAfterTheListingFailsTheJoinAndStays) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(3, 50000));
    split(source, false, dir / "out", false);
    const std::string set = dir / "out/data_spt";
    addSet(set);
    ASSERT_EQ(ui.joinView.cell("checkStateID", 0), toolkit::CellValue::image("right.png"));
    std::string piece = readFile(set + "/data_0.spt");
    piece[0] ^= 1;
    writeFile(set + "/data_0.spt", piece);
    fs::create_directories(dir / "joined");
    tk.answerPanel(dir / "joined");
    c.mActSelectOutput();
    ui.delSoureFileM.setState(1);
    c.mActMergeFile();
    EXPECT_EQ(title(), "Joining Failed!");
    EXPECT_EQ(readFile(set + "/data_0.spt"), piece);
    // The set is listed again as it now is: the changed piece is marked.
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    EXPECT_EQ(ui.joinView.rows(), 10);
    EXPECT_EQ(ui.joinView.cell("checkStateID", 0), toolkit::CellValue::image("wrong.png"));
}

TEST_F(Faults, AnOutputNameTakenByAFolderFailsTheJoin) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(4, 5000));
    split(source, false, dir / "out", false);
    fs::create_directories(dir / "joined/data.bin/inside");
    join(dir / "out/data_spt", dir / "joined", true);
    EXPECT_EQ(tk.app.modalHistory.end()[-2], &ui.progressWindow);
    EXPECT_EQ(title(), "Joining Failed!");
    EXPECT_TRUE(fs::is_directory(dir / "joined/data.bin/inside"));
    EXPECT_TRUE(exists(dir / "out/data_spt/data_0.spt"));
}

TEST_F(Faults, AFileThatVanishesDuringAFolderSplitIsReported) {
    // A listed file that is gone when its turn comes: deleted after the walk.
    const std::string tree = dir / "tree";
    makeSeededTree(tree, 6, 20, 5000);
    writeFile(tree + "/vanished.bin", "soon gone");
    SeamRecording seam(true);
    seam.before(SeamCall::Openat, "vanished.bin", 1,
                [&](const SeamEvent&) { fs::remove(tree + "/vanished.bin"); });
    split(tree, true, dir / "out", true);
    EXPECT_FALSE(tk.app.hung);
    EXPECT_EQ(title(), "Splitting Failed!");
    EXPECT_TRUE(fs::is_directory(tree));        // not removed
    EXPECT_FALSE(exists(dir / "out/tree_spt")); // nothing half-made is left
    EXPECT_NE(ui.completeDetail.stringValue().find("Cannot read " + tree + "/vanished.bin"),
              std::string::npos);
}

TEST_F(Faults, PieceRemovalTakesOnlyTheSet) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(5, 5000));
    split(source, false, dir / "out", false);
    const std::string set = dir / "out/data_spt";
    writeFile(set + "/notes.txt", "mine");
    // Joined into its own piece folder: the result is not part of the set.
    join(set, set, true);
    EXPECT_EQ(title(), "Joining Completed!");
    EXPECT_EQ(treeContents(set), (std::map<std::string, std::string>{
                                     {"data.bin", seededBytes(5, 5000)}, {"notes.txt", "mine"}}));
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "Joined 1 piece into " + set + "/data.bin.\nRemoved 5 files from " + set +
                  ".\nKept 2 items that are not part of the set: data.bin, notes.txt.");
    EXPECT_EQ(ui.joinView.rows(), 0); // the set is gone
}

TEST_F(Faults, TheSourceStaysWhenItsSetNoLongerChecksWholeBeforeTheRemoval) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(6, 5000));
    // A piece is damaged once the set is in place, as the removal begins.
    SeamRecording seam(true);
    seam.before(SeamCall::Syncfs, "", 1,
                [&](const SeamEvent&) { writeFile(dir / "out/data_spt/data_0.spt", "damaged"); });
    split(source, false, dir / "out", true);
    EXPECT_EQ(title(), "Splitting Failed!");
    EXPECT_EQ(readFile(source), seededBytes(6, 5000));
}

TEST_F(Faults, ASetInTheWayIsNamedAndReplacedOnlyWhenTheUserAgrees) {
    writeFile(dir / "in/report.pdf", seededBytes(7, 5000));
    writeFile(dir / "in/report.docx", seededBytes(8, 3000));
    split(dir / "in/report.pdf", false, dir / "out", false);
    ASSERT_TRUE(tk.alerts.empty()); // nothing was in the way
    const auto pdfSet = treeContents(dir / "out/report_spt");
    const std::size_t runs = tk.app.modalHistory.size();

    tk.choiceAnswers.push_back(2);                            // Cancel
    split(dir / "in/report.docx", false, dir / "out", false); // the user declines
    ASSERT_EQ(tk.alerts.size(), 1u);
    EXPECT_TRUE(tk.alerts[0].question);
    EXPECT_EQ(tk.alerts[0].informative,
              (dir / "out/report_spt") + " holds report.pdf, 1 piece. Under another name this " +
                  "set becomes report-2.docx in report-2_spt, and that one stays. It stays as it " +
                  "is until the new set is complete.");
    EXPECT_EQ(tk.app.modalHistory.size(), runs); // nothing started
    EXPECT_EQ(treeContents(dir / "out/report_spt"), pdfSet);

    tk.choiceAnswers.push_back(1); // Replace
    split(dir / "in/report.docx", false, dir / "out", false);
    EXPECT_EQ(title(), "Splitting Completed!");
    addSet(dir / "out/report_spt");
    EXPECT_EQ(c.join().state().outputName, "report.docx");
}

TEST_F(Faults, OutputInsideTheSourceFolderIsRefusedAndTheSourceStays) {
    const std::string tree = dir / "album";
    writeFile(tree + "/a.jpg", seededBytes(9, 3000));
    fs::create_directories(tree + "/sets");
    split(tree, true, tree + "/sets", true);
    EXPECT_EQ(title(), "Splitting Failed!");
    EXPECT_EQ(readFile(tree + "/a.jpg"), seededBytes(9, 3000));
    EXPECT_TRUE(fs::is_empty(tree + "/sets"));
    EXPECT_NE(ui.completeDetail.stringValue().find("would lie inside the source"),
              std::string::npos);
}

TEST_F(Faults, ASourceEditedAfterItWasChosenIsMeasuredAgainAtSplit) {
    const std::string source = dir / "in/notes.txt";
    writeFile(source, seededBytes(10, 5000));
    tk.answerPanel(source);
    c.actAddFile();
    writeFile(source, seededBytes(11, 7000)); // saved again before Split
    tk.answerPanel(dir / "out");
    c.actOutPath();
    c.actSplit();
    EXPECT_EQ(title(), "Splitting Completed!");
    join(dir / "out/notes_spt", dir / "out", false);
    EXPECT_EQ(readFile(dir / "out/notes.txt"), seededBytes(11, 7000));
}

TEST_F(Faults, VerifyMarksExactlyThePieceChangedPastItsFirstKilobyte) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(12, 300000));
    split(source, false, dir / "out", false);
    const std::string set = dir / "out/data_spt";
    std::string piece = readFile(set + "/data_2.spt");
    piece[20000] ^= 0x01;
    writeFile(set + "/data_2.spt", piece);
    addSet(set);
    const int64_t rows = ui.joinView.rows();
    ASSERT_GT(rows, 3);
    EXPECT_EQ(ui.joinView.cell("checkStateID", 2).value, "right.png"); // the quick check
    fs::remove(set + "/data_0.spt");                                   // gone since it was listed
    c.mActVerify();
    EXPECT_EQ(title(), "Verification Failed!");
    const std::string of = "1 of " + std::to_string(rows);
    EXPECT_EQ(ui.completeDetail.stringValue(), of + " pieces is missing: data_0.spt. " + of +
                                                   " does not match its checksum: data_2.spt.");
    for (int64_t row = 0; row < rows; ++row)
        EXPECT_EQ(ui.joinView.cell("checkStateID", row).value,
                  row == 2 || row == 0 ? "wrong.png" : "right.png");
    EXPECT_EQ(ui.joinView.cell("checkStateID", 0).toolTip, "missing");
    EXPECT_EQ(ui.joinView.cell("checkStateID", 2).toolTip, "does not match its checksum");
}

TEST_F(Faults, PiecesWithoutChecksumsAreRemovedOnlyWhenTheUserAgrees) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(13, 5000));
    split(source, false, dir / "out", false);
    const std::string set = dir / "out/data_spt";
    fs::remove(set + "/SHA256SUMS");
    fs::remove(set + "/CONTENTS.sha256"); // a set made without checksum files
    fs::create_directories(dir / "joined");
    const std::size_t runs = tk.app.modalHistory.size();
    tk.questionAnswers = {toolkit::kModalResponseOK, toolkit::kModalResponseCancel};
    join(set, dir / "joined", true); // the user confirms the removal, then declines
    ASSERT_EQ(tk.alerts.size(), 2u);
    EXPECT_EQ(tk.alerts[0].message,
              "Remove the pieces of data.bin (1 piece) once the joined files are on disk?");
    EXPECT_EQ(tk.alerts[1].message, "These pieces cannot be fully verified. Remove them anyway?");
    EXPECT_EQ(tk.app.modalHistory.size(), runs);
    EXPECT_FALSE(exists(dir / "joined/data.bin"));

    c.mActVerify(); // only the quick check is possible, and the marks stay
    EXPECT_EQ(title(), "Only the Quick Check Was Possible");
    EXPECT_EQ(ui.joinView.cell("checkStateID", 0).value, "right.png");

    ui.delSoureFileM.setState(1);
    c.mActMergeFile();
    EXPECT_EQ(title(), "Joining Completed!");
    EXPECT_FALSE(exists(set + "/spt_config.morvspt"));
}

TEST_F(Faults, DamagedChecksumFilesAreJoinedOnlyWhenTheUserTakesTheRisk) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(15, 5000));
    split(source, false, dir / "out", false);
    const std::string set = dir / "out/data_spt";
    fs::remove(set + "/CONTENTS.sha256");
    fs::create_directories(dir / "joined");
    tk.questionAnswers = {toolkit::kModalResponseCancel}; // the default
    join(set, dir / "joined", true);
    ASSERT_EQ(tk.alerts.size(), 1u);
    EXPECT_EQ(tk.alerts[0].message,
              "The checksum files of this set are damaged. Join it with the quick check only?");
    EXPECT_NE(tk.alerts[0].informative.find("CONTENTS.sha256 is missing"), std::string::npos);
    EXPECT_FALSE(exists(dir / "joined/data.bin"));

    c.mActVerify();
    EXPECT_EQ(title(), "Verification Failed!");

    ui.delSoureFileM.setState(1);
    tk.questionAnswers = {toolkit::kModalResponseOK};
    c.mActMergeFile();               // taken: joined with the quick check, and nothing removed
    EXPECT_EQ(tk.alerts.size(), 2u); // no question about a removal that will not happen
    EXPECT_EQ(title(), "Joining Completed!");
    EXPECT_EQ(readFile(dir / "joined/data.bin"), seededBytes(15, 5000));
    EXPECT_TRUE(exists(set + "/spt_config.morvspt"));
}

TEST_F(Faults, WhatAStoppedRunLeftIsRemovedAndSaidOnce) {
    writeFile(dir / "in/data.bin", seededBytes(16, 3000));
    writeFile(dir / "out/.parcelor-tmp-0123456789ab/.parcelor-run", "parcelor-run 1\n");
    writeFile(dir / "out/.parcelor-tmp-0123456789ab/data_0.spt", "a piece of a killed split");
    split(dir / "in/data.bin", false, dir / "out", false);
    EXPECT_EQ(title(), "Splitting Completed!");
    EXPECT_NE(ui.completeDetail.stringValue().find("Removed what 1 stopped run left (40 bytes)."),
              std::string::npos)
        << ui.completeDetail.stringValue();
    EXPECT_FALSE(exists(dir / "out/.parcelor-tmp-0123456789ab"));
    split(dir / "in/data.bin", false, dir / "out", false);
    EXPECT_EQ(ui.completeDetail.stringValue().find("stopped run"), std::string::npos);
}

TEST_F(Faults, CancelStopsASplitAJoinAndAFullCheckAndLeavesNothingHalfMade) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(14, 3 << 20));
    split(source, false, dir / "out", false);
    const std::string set = dir / "out/data_spt";
    fs::create_directories(dir / "joined");
    addSet(set);
    tk.answerPanel(dir / "joined");
    c.mActSelectOutput();

    struct Run {
        const char* title;
        std::function<void()> start;
    } runs[] = {
        {"Splitting Cancelled",
         [&] {
             tk.questionAnswers.push_back(toolkit::kModalResponseOK); // replace the set
             tk.answerPanel(source);
             c.actAddFile();
             c.actSplit();
         }},
        {"Joining Cancelled", [&] { c.mActMergeFile(); }},
        {"Verification Cancelled", [&] { c.mActVerify(); }},
    };
    const auto before = treeContents(dir.path().string());
    for (Run& run : runs) {
        SCOPED_TRACE(run.title);
        // The engine thread waits until the user has pressed Cancel.
        std::promise<void> pressed;
        tk.threadsImpl.holdNextThreadUntil(pressed.get_future().share());
        tk.app.whenModal(&ui.progressWindow, [&] {
            c.actCancelRun();
            EXPECT_FALSE(ui.progressCancelBtn.isEnabled());
            pressed.set_value();
        });
        run.start();
        EXPECT_EQ(title(), run.title);
        EXPECT_EQ(treeContents(dir.path().string()), before); // nothing made, nothing lost
    }
}

TEST_F(Faults, ARunThatEndsWhileTheUserIsElsewhereSendsANotification) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(15, 5000));
    split(source, false, dir / "out", false);
    EXPECT_TRUE(tk.desktopNotifications.empty()); // the user was here
    tk.app.active = false;
    tk.questionAnswers.push_back(toolkit::kModalResponseOK); // replace the set
    split(source, false, dir / "out", false);
    EXPECT_EQ(tk.desktopNotifications,
              std::vector<std::string>{"Splitting Completed!: 1 piece of 4.88 KB in " +
                                       (dir / "out/data_spt") + "."});
}

TEST_F(Faults, ClosingTheWindowDuringARunAsksAndClosesOnceTheRunHasStopped) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(16, 3 << 20));
    tk.answerPanel(source);
    c.actAddFile();
    tk.answerPanel(dir / "out");
    c.actOutPath();
    for (const bool agree : {false, true}) {
        SCOPED_TRACE(agree ? "cancel and close" : "keep running");
        std::promise<void> asked;
        tk.threadsImpl.holdNextThreadUntil(asked.get_future().share());
        tk.app.whenModal(&ui.progressWindow, [&] {
            tk.questionAnswers.push_back(agree ? toolkit::kModalResponseOK
                                               : toolkit::kModalResponseCancel);
            EXPECT_FALSE(tk.postWindowWillClose(&ui.window)); // never while the run lasts
            asked.set_value();
        });
        if (agree) tk.questionAnswers.push_back(toolkit::kModalResponseOK); // replace the first set
        ui.completeTitle.setStringValue("");
        c.actSplit();
        EXPECT_EQ(tk.alerts.back().message, "A run is in progress. Cancel it and close?");
        EXPECT_EQ(ui.window.closeRequests, agree ? 1 : 0);
        EXPECT_EQ(title(),
                  agree ? "" : "Splitting Completed!"); // no completion window when closing
    }
    EXPECT_TRUE(tk.postWindowWillClose(&ui.window)); // nothing runs now
}

TEST_F(Faults, AnotherSourcesSetInTheWayIsKeptUnderAnotherNameUnlessReplaced) {
    writeFile(dir / "in/backup.img", seededBytes(16, 5000));
    writeFile(dir / "in/backup.iso", seededBytes(17, 6000));
    split(dir / "in/backup.img", false, dir / "out", false);
    ASSERT_EQ(title(), "Splitting Completed!");
    const auto first = treeContents(dir / "out/backup_spt");

    // Cancel, the default, makes nothing; "Use Another Name" makes backup-2_spt.
    split(dir / "in/backup.iso", false, dir / "out", false);
    ASSERT_FALSE(tk.alerts.empty());
    EXPECT_EQ(tk.alerts.back().button, "Use Another Name|Replace|Cancel");
    EXPECT_NE(tk.alerts.back().informative.find("backup-2.iso in backup-2_spt"), std::string::npos)
        << tk.alerts.back().informative;
    EXPECT_FALSE(exists(dir / "out/backup-2_spt"));
    tk.choiceAnswers = {0};
    c.actSplit();
    ASSERT_EQ(title(), "Splitting Completed!");
    EXPECT_EQ(treeContents(dir / "out/backup_spt"), first);
    addSet(dir / "out/backup-2_spt");
    EXPECT_EQ(c.join().state().outputName, "backup-2.iso");

    // The same source again is only asked about replacing.
    tk.questionAnswers = {toolkit::kModalResponseCancel};
    split(dir / "in/backup.img", false, dir / "out", false);
    EXPECT_EQ(tk.alerts.back().button, "Replace");
}
