// Whole runs through the controller, against the fake toolkit, with the real
// engine thread and progress thread.

#include "tests/app/ControllerFixture.h"

#include "tests/support/SystemCallSeam.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <filesystem>
#include <future>

namespace fs = std::filesystem;

namespace {

class EndToEnd : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        tk.app.whenModal(&ui.completeWindow, [&] { c.actFinish(); });
        tk.defaultQuestionAnswer = toolkit::kModalResponseOK; // the user confirms removals
        fs::create_directories(dir / "out");
        fs::create_directories(dir / "joined");
    }

    void chooseSource(const std::string& path, bool folder) {
        tk.answerPanel(path);
        folder ? c.actAddFolder() : c.actAddFile();
        ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isMeasuringSource(); }));
    }
    void chooseOutput(const std::string& path) {
        tk.answerPanel(path);
        c.actOutPath();
    }
    // The password panel as the user fills it: encryption unless `gateOnly`.
    void setPassword(const std::string& password, bool gateOnly, const std::string& setName = "") {
        ui.encryptBtn.setState(1);
        tk.app.whenModal(&ui.encryptPanel, [&, password, gateOnly, setName] {
            type(ui.tfPwdFirst, password);
            type(ui.tfPwdSecond, password);
            if (gateOnly) {
                ui.pwdUseBtn.selectTag(kGateJoinTag);
                c.actPasswordUse();
            }
            type(ui.tfSetName, setName);
            c.actEncryptOK();
        });
        c.actEncrypt();
    }
    void split() {
        c.actSplit();
        ASSERT_FALSE(tk.app.hung);
    }
    void addSetAndJoin(const std::string& set, const std::string& output,
                       bool removePieces = false) {
        addSet(set);
        ui.delSoureFileM.setState(removePieces ? 1 : 0);
        tk.answerPanel(output);
        c.mActSelectOutput();
        c.mActMergeFile();
        ASSERT_FALSE(tk.app.hung);
    }

    TempDir dir;
};

} // namespace

TEST_F(EndToEnd, FileSplitAndJoinByteForByte) {
    const std::string source = dir / "in/movie.final.mp4";
    writeFile(source, seededBytes(21, 300000));
    chooseSource(source, false);
    chooseOutput(dir / "out");
    type(ui.tfCount, "7");
    split();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Splitting Completed!");
    EXPECT_EQ(ui.completeWindow.title, "Splitting Completed!");
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "7 pieces of 41.9 KB in " + (dir / "out/movie_spt") + ".");
    EXPECT_EQ(ui.percentLabel.stringValue(), "100%");
    EXPECT_EQ(ui.progress.value, 100);
    EXPECT_EQ(ui.proTitle.stringValue(), "Splitting...");
    EXPECT_FALSE(ui.progressWindow.visible);
    EXPECT_FALSE(ui.completeWindow.visible);
    EXPECT_TRUE(tk.logged("path = " + (dir / "out")));
    EXPECT_TRUE(exists(source));
    EXPECT_TRUE(exists(dir / "out/movie_spt/movie_6.spt")); // exactly the 7 pieces asked for
    EXPECT_FALSE(exists(dir / "out/movie_spt/movie_7.spt"));

    c.actOpenFolder();
    EXPECT_EQ(tk.openedFolders.back(), dir / "out");

    addSetAndJoin(dir / "out/movie_spt", dir / "joined");
    EXPECT_EQ(ui.completeTitle.stringValue(), "Joining Completed!");
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "Joined 7 pieces into " + (dir / "joined/movie.final.mp4") + ".");
    EXPECT_EQ(ui.proTitle.stringValue(), "Joining...");
    EXPECT_EQ(readFile(dir / "joined/movie.final.mp4"), readFile(source));
    EXPECT_TRUE(tk.app.modalHistory.back() == &ui.completeWindow);
    EXPECT_EQ(ui.joinView.rows(), 7); // the list stays for another join
}

TEST_F(EndToEnd, ProtectedFolderTreeWithRemovalOfSourceAndPieces) {
    const std::string tree = dir / "photos.2019";
    makeSeededTree(tree, 5, 30, 20000);
    const auto expected = visibleTreeContents(tree);
    chooseSource(tree, true);
    chooseOutput(dir / "out");
    setPassword("open sesame", true);
    ui.delSourceFileBtn.setState(1);
    split();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Splitting Completed!");
    EXPECT_TRUE(visibleTreeContents(tree).empty()); // hidden entries are not stored, and stay
    addSet(dir / "out/photos_spt");
    EXPECT_NE(ui.joinSummary.stringValue().find("; protected by a password;"), std::string::npos);

    tk.app.whenModal(&ui.pwdWindow, [&] {
        type(ui.pwdField, "open sesame");
        c.actPwdOK();
    });
    addSetAndJoin(dir / "out/photos_spt", dir / "joined", true);
    EXPECT_EQ(ui.completeTitle.stringValue(), "Joining Completed!");
    EXPECT_EQ(treeContents(dir / "joined/photos.2019"), expected);
    EXPECT_FALSE(exists(dir / "out/photos_spt"));
    EXPECT_EQ(ui.joinView.rows(), 0);
    EXPECT_EQ(ui.tfMOutputPath.stringValue(), "");
    EXPECT_EQ(ui.delSoureFileM.state(), 0);
}

TEST_F(EndToEnd, AnEncryptedSetTakesItsNameAndJoinsOnlyWithItsPassword) {
    const std::string source = dir / "in/tax return.pdf";
    writeFile(source, seededBytes(7, 200000));
    chooseSource(source, false);
    chooseOutput(dir / "out");
    c.split().encryptWorkFactor = 10;
    setPassword("correct horse", false, "vault");
    split();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Splitting Completed!");
    const std::string set = dir / "out/vault_spt";
    EXPECT_TRUE(exists(set + "/ENCRYPTED"));

    addSet(set);
    EXPECT_EQ(ui.joinSummary.stringValue(),
              std::to_string(ui.joinView.rows()) + " pieces; encrypted (age); checksums present");
    c.mActVerify(); // without the password: the pieces against SHA256SUMS
    EXPECT_EQ(ui.completeTitle.stringValue(), "Verification Completed!")
        << ui.completeDetail.stringValue();
    tk.answerPanel(dir / "joined");
    c.mActSelectOutput();
    tk.app.whenModal(&ui.pwdWindow, [&] {
        EXPECT_EQ(ui.pwdPrompt.stringValue(), "This piece set is encrypted. Type its password:");
        type(ui.pwdField, "wrong horse");
        c.actPwdOK(); // only the join can tell
    });
    c.mActMergeFile();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Joining Failed!");
    EXPECT_EQ(ui.completeDetail.stringValue(), "Wrong password.");
    EXPECT_TRUE(fs::is_empty(dir / "joined"));

    tk.app.whenModal(&ui.pwdWindow, [&] {
        type(ui.pwdField, "correct horse");
        c.actPwdOK();
    });
    c.mActMergeFile();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Joining Completed!");
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "Joined " + std::to_string(ui.joinView.rows()) + " pieces into " +
                  (dir / "joined/tax return.pdf") +
                  ".\nThe set was encrypted: its password opened it, and every chunk was "
                  "authenticated.");
    EXPECT_EQ(readFile(dir / "joined/tax return.pdf"),
              readFile(source)); // its own name, from inside

    // Joined again: the name it shows is asked about before the password.
    tk.app.whenModal(&ui.outputPathWindow, [&] { c.actOutputPathCancel(); });
    c.mActMergeFile();
    EXPECT_EQ(ui.outputPathPrompt.stringValue(),
              (dir / "joined/tax return.pdf") + " already exists. Replace it?");
    EXPECT_EQ(tk.app.modalHistory.back(), &ui.outputPathWindow);
}

TEST_F(EndToEnd, AFailedSplitKeepsTheSourceAndSaysSo) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(2, 5000));
    writeFile(dir / "blocked", "a file where the output folder should be");
    chooseSource(source, false);
    chooseOutput(dir / "blocked");
    ui.delSourceFileBtn.setState(1);
    split();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Splitting Failed!");
    EXPECT_EQ(ui.completeWindow.title, "Splitting Failed!"); // not the last success's
    EXPECT_EQ(readFile(source), seededBytes(2, 5000));
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "Cannot open the output folder " + (dir / "blocked") +
                  ": Not a directory.\nNothing was removed, because the run did not complete.");
    ASSERT_EQ(tk.alerts.size(), 1u); // only the question before the removing run
    EXPECT_TRUE(tk.alerts[0].question);
}

TEST_F(EndToEnd, ASplitThatRemovedItsSourceSaysSoAndForgetsIt) {
    const std::string source = dir / "in/rm.bin";
    writeFile(source, seededBytes(4, 3000000));
    chooseSource(source, false);
    EXPECT_EQ(ui.pathView.cell("sizeID", 0), toolkit::CellValue::text("2.86 MB"));
    chooseOutput(dir / "out");
    ui.delSourceFileBtn.setState(1);
    split();
    EXPECT_EQ(tk.alerts.at(0).message,
              "Remove the file rm.bin (2.86 MB) once its pieces are verified?");
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "10 pieces of 300 KB in " + (dir / "out/rm_spt") + ".\nRemoved " + source + ".");
    EXPECT_FALSE(exists(source));
    EXPECT_EQ(ui.pathView.rows(), 0);
    EXPECT_EQ(ui.delSourceFileBtn.state(), 0);
    c.actSplit(); // nothing left to split, nothing asked
    EXPECT_EQ(tk.alerts.size(), 1u);
}

TEST_F(EndToEnd, AFailedJoinKeepsThePieces) {
    writeFile(dir / "in/data.bin", seededBytes(3, 5000));
    chooseSource(dir / "in/data.bin", false);
    split();
    const std::string set = dir / "in/data_spt";
    addSet(set);
    fs::remove(set + "/data_0.spt"); // gone between the listing and the join
    ui.delSoureFileM.setState(1);
    tk.answerPanel(dir / "joined");
    c.mActSelectOutput();
    c.mActMergeFile();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Joining Failed!");
    EXPECT_TRUE(exists(set + "/spt_config.morvspt"));
    EXPECT_EQ(ui.delSoureFileM.state(), 1);
}

TEST_F(EndToEnd, SourceRemovalTakesOnlyWhatTheSetHolds) {
    const std::string tree = dir / "album";
    writeFile(tree + "/a.jpg", seededBytes(1, 3000));
    writeFile(tree + "/sub/b.jpg", seededBytes(2, 3000));
    writeFile(tree + "/sub/c.jpg", seededBytes(3, 3000));
    writeFile(tree + "/.env", "secret");
    writeFile(tree + "/.git/config", "repository");
    fs::create_directories(tree + "/build/empty");
    chooseSource(tree, true);
    chooseOutput(dir / "out");
    ui.delSourceFileBtn.setState(1);
    // An editor saves sub/c.jpg by rename once the split has read it, as
    // the removal begins.
    SeamRecording seam(true);
    seam.before(SeamCall::Syncfs, "", 1, [&](const SeamEvent&) {
        writeFile(tree + "/sub/c.jpg.new", "edited");
        fs::rename(tree + "/sub/c.jpg.new", tree + "/sub/c.jpg");
    });
    split();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Splitting Completed!");
    EXPECT_EQ(treeContents(tree),
              (std::map<std::string, std::string>{
                  {".env", "secret"}, {".git/config", "repository"}, {"sub/c.jpg", "edited"}}));
    EXPECT_TRUE(fs::is_directory(tree + "/build/empty"));
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "1 piece of 8.79 KB in " + (dir / "out/album_spt") + ".\nRemoved 2 files from " +
                  tree +
                  ".\nKept 3 items the pieces do not hold: .env, .git, build.\n"
                  "Kept 1 item changed since the split read them: sub/c.jpg.");
    EXPECT_EQ(ui.pathView.rows(), 0); // what is left is not the source that was split
}

TEST_F(EndToEnd, HiddenItemsGoIntoTheSetWhenTheBoxIsTicked) {
    const std::string tree = dir / "project";
    writeFile(tree + "/main.cpp", seededBytes(1, 3000));
    writeFile(tree + "/.env", "secret");
    writeFile(tree + "/.git/config", "repository");
    ui.includeHiddenBtn.setState(1); // as the window remembered it
    chooseSource(tree, true);
    EXPECT_EQ(c.split().state().fSize, 3016);
    chooseOutput(dir / "out");
    split();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Splitting Completed!");
    addSetAndJoin(dir / "out/project_spt", dir / "joined");
    EXPECT_EQ(ui.completeTitle.stringValue(), "Joining Completed!");
    EXPECT_EQ(treeContents(dir / "joined/project"), treeContents(tree));
}

TEST_F(EndToEnd, ARunIsItsWindowsAlone) {
    writeFile(dir / "in/data.bin", seededBytes(4, 5000));
    chooseSource(dir / "in/data.bin", false);
    chooseOutput(dir / "out");
    split();
    ASSERT_EQ(ui.completeTitle.stringValue(), "Splitting Completed!");

    // A second window in the same process: its tick finds no run of its own ended.
    fake::Toolkit otherTk;
    fake::MainWindow otherUi;
    MainViewController other{otherTk};
    otherUi.wire(other);
    other.awakeFromNib();
    other.runs().tick();
    otherTk.ui.drain();
    EXPECT_TRUE(otherTk.app.modalHistory.empty());
    EXPECT_EQ(otherUi.completeTitle.stringValue(), "");
}

TEST_F(EndToEnd, RecoveryPiecesRebuildWhatIsLostInTheJoinAndInARepair) {
    const std::string source = dir / "in/movie.mp4";
    writeFile(source, seededBytes(5, 300000));
    chooseSource(source, false);
    chooseOutput(dir / "out");
    type(ui.tfCount, "6");
    ui.recoveryBtn.selectItemAtIndex(2);
    c.actRecovery();
    split();
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "6 pieces of 48.8 KB in " + (dir / "out/movie_spt") +
                  ".\nWrote 2 recovery pieces: the set can lose any 2 of its 8 pieces and still be "
                  "joined.");
    const std::string set = dir / "out/movie_spt";
    addSet(set);
    ASSERT_EQ(ui.joinView.rows(), 8);
    EXPECT_EQ(ui.joinView.cell("fileNameID", 7), toolkit::CellValue::text("movie_R1.rec"));
    EXPECT_EQ(ui.joinView.cell("locationID", 7), toolkit::CellValue::text(set));
    EXPECT_EQ(ui.joinView.cell("checkStateID", 7), toolkit::CellValue::image("right.png"));
    EXPECT_EQ(ui.joinSummary.stringValue(), "6 pieces; 2 recovery pieces; checksums present");
    EXPECT_FALSE(ui.mRepairBtn.isEnabled()); // nothing to mend

    const std::string lost = readFile(set + "/movie_3.spt");
    fs::remove(set + "/movie_3.spt");
    fs::remove(set + "/movie_R1.rec");
    addSet(set);
    EXPECT_EQ(ui.joinSummary.stringValue(), "6 pieces, 1 missing; 2 recovery pieces, 1 missing: "
                                            "repairable; checksums present");
    EXPECT_EQ(ui.joinView.cell("checkStateID", 7).toolTip, "missing");
    EXPECT_TRUE(ui.mRepairBtn.isEnabled());

    tk.answerPanel(dir / "joined");
    c.mActSelectOutput();
    c.mActMergeFile();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Joining Completed!");
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "Joined 6 pieces into " + (dir / "joined/movie.mp4") +
                  ".\nRebuilt movie_3.spt and movie_R1.rec from the recovery pieces (1 piece "
                  "missing).");
    EXPECT_EQ(readFile(dir / "joined/movie.mp4"), readFile(source));
    EXPECT_FALSE(exists(set + "/movie_3.spt")); // the join leaves the set as it was
    // Listed again after the join that rebuilt a piece: Repair offers to mend it.
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    EXPECT_TRUE(ui.mRepairBtn.isEnabled());

    c.mActRepair();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Repair Completed!");
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "Found 1 piece missing, 1 recovery piece damaged or missing (2 bad stripes); 2 "
              "recovery pieces: repairable.\nRebuilt movie_3.spt, movie_R1.rec.");
    EXPECT_EQ(readFile(set + "/movie_3.spt"), lost);
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); })); // listed again, whole
    EXPECT_FALSE(ui.mRepairBtn.isEnabled());
    EXPECT_EQ(ui.tfMOutputPath.stringValue(), dir / "joined");

    // Checksum files the recovery pieces can mend: the join rebuilds them, and asks nothing.
    std::string sums = readFile(set + "/SHA256SUMS");
    const std::size_t line = sums.rfind('\n', sums.find("  spt_config.morvspt")) + 1;
    sums[line] = sums[line] == '0' ? '1' : '0';
    writeFile(set + "/SHA256SUMS", sums);
    fs::remove(dir / "joined/movie.mp4");
    addSetAndJoin(set, dir / "joined");
    EXPECT_TRUE(tk.alerts.empty());
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "Joined 6 pieces into " + (dir / "joined/movie.mp4") +
                  ".\nRebuilt SHA256SUMS from the recovery pieces.");
    EXPECT_EQ(readFile(dir / "joined/movie.mp4"), readFile(source));
}

TEST_F(EndToEnd, DamageOnlyVerifyFindsIsRepairedWhereTheUserChooses) {
    const std::string source = dir / "in/movie.mp4";
    writeFile(source, seededBytes(6, 300000));
    chooseSource(source, false);
    type(ui.tfCount, "6");
    ui.recoveryBtn.selectItemAtIndex(1);
    c.actRecovery();
    split();
    const std::string set = dir / "in/movie_spt";
    const std::string whole = readFile(set + "/movie_2.spt");
    std::string damaged = whole;
    damaged[40000] ^= 0x20; // past the quick check's first kilobyte
    writeFile(set + "/movie_2.spt", damaged);
    addSet(set);
    EXPECT_FALSE(ui.mRepairBtn.isEnabled()); // the quick check sees nothing wrong
    c.mActVerify();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Verification Failed!");
    EXPECT_NE(
        ui.completeDetail.stringValue().find(
            "\nRecovery pieces: 1 piece damaged (1 bad stripe); 1 recovery piece: repairable. "
            "Repair "
            "rebuilds what is missing or damaged."),
        std::string::npos);
    EXPECT_EQ(ui.joinSummary.stringValue(),
              "6 pieces, 1 damaged; 1 recovery piece: repairable; checksums present");
    ASSERT_TRUE(ui.mRepairBtn.isEnabled());

    // A folder the user cannot write: the rebuilt piece goes where they choose.
    c.join().canWriteFolder = [](const std::string&) { return false; };
    tk.answerPanel(dir / "joined");
    c.mActRepair();
    EXPECT_TRUE(tk.panels.back().createDirectories);
    EXPECT_EQ(ui.completeDetail.stringValue(), "Found 1 piece damaged (1 bad stripe); 1 recovery "
                                               "piece: repairable.\nRebuilt movie_2.spt in " +
                                                   (dir / "joined") + ".");
    EXPECT_EQ(readFile(dir / "joined/movie_2.spt"), whole);
    EXPECT_EQ(readFile(set + "/movie_2.spt"), damaged);

    // In place, the damaged piece is kept aside.
    c.join().canWriteFolder = [](const std::string&) { return true; };
    c.mActRepair();
    EXPECT_NE(ui.completeDetail.stringValue().find(
                  "\nKept the damaged file aside: movie_2.spt -> movie_2.spt.damaged."),
              std::string::npos);
    EXPECT_EQ(readFile(set + "/movie_2.spt"), whole);
    // Listed again with what the repair kept aside: the set stays readable.
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    EXPECT_TRUE(tk.alerts.empty()) << tk.alerts.back().message;
    EXPECT_EQ(ui.joinView.rows(), 7);
    EXPECT_NE(ui.joinSummary.stringValue().find("kept aside: movie_2.spt.damaged"),
              std::string::npos)
        << ui.joinSummary.stringValue();
    addSet(set);
    EXPECT_TRUE(tk.alerts.empty());
    EXPECT_EQ(ui.joinView.rows(), 7);
}
