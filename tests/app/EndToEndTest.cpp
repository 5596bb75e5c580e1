// Whole runs through the controller, against the fake toolkit, with the real
// engine thread and progress thread.

#include "tests/app/ControllerFixture.h"

#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class EndToEnd : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        tk.app.whenModal(&ui.completeWindow, [&] { c.actFinish(); });
        fs::create_directories(dir / "out");
        fs::create_directories(dir / "joined");
    }

    void chooseSource(const std::string& path, bool folder) {
        tk.answerPanel(path);
        folder ? c.actAddFolder() : c.actAddFile();
    }
    void chooseOutput(const std::string& path) {
        tk.answerPanel(path);
        c.actOutPath();
    }
    void setPassword(const std::string& password) {
        ui.encryptBtn.setState(1);
        tk.app.whenModal(&ui.encryptPanel, [&, password] {
            type(ui.tfPwdFirst, password);
            type(ui.tfPwdSecond, password);
            c.actEncryptOK();
        });
        c.actEncrypt();
    }
    void split() {
        c.actSplit();
        ASSERT_FALSE(tk.app.hung);
    }
    void addSetAndJoin(const std::string& set, const std::string& output) {
        tk.answerPanel(set);
        c.mActAddFile();
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
    EXPECT_EQ(ui.percentLabel.stringValue(), "100%");
    EXPECT_EQ(ui.progress.value, 100);
    EXPECT_EQ(ui.proTitle.stringValue(), "Splitting...");
    EXPECT_FALSE(ui.progressWindow.visible);
    EXPECT_FALSE(ui.completeWindow.visible);
    EXPECT_TRUE(tk.logged("path = " + (dir / "out")));
    EXPECT_TRUE(exists(source));
    EXPECT_TRUE(exists(dir / "out/movie_spt/movie_7.spt")); // 300000 / 42857 leaves a rest

    c.actOpenFolder();
    EXPECT_EQ(tk.openedFolders.back(), dir / "out");

    addSetAndJoin(dir / "out/movie_spt", dir / "joined");
    EXPECT_EQ(ui.completeTitle.stringValue(), "Joining Completed!");
    EXPECT_EQ(ui.proTitle.stringValue(), "Joining...");
    EXPECT_EQ(readFile(dir / "joined/movie.final.mp4"), readFile(source));
    EXPECT_TRUE(tk.app.modalHistory.back() == &ui.completeWindow);
    EXPECT_EQ(ui.joinView.rows(), 8); // the list stays for another join
}

TEST_F(EndToEnd, ProtectedFolderTreeWithRemovalOfSourceAndPieces) {
    const std::string tree = dir / "photos.2019";
    makeSeededTree(tree, 5, 30, 20000);
    const auto expected = visibleTreeContents(tree);
    chooseSource(tree, true);
    chooseOutput(dir / "out");
    setPassword("open sesame");
    ui.delSourceFileBtn.setState(1);
    split();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Splitting Completed!");
    EXPECT_FALSE(exists(tree));

    ui.delSoureFileM.setState(1);
    tk.app.whenModal(&ui.pwdWindow, [&] {
        type(ui.pwdField, "open sesame");
        c.actPwdOK();
    });
    addSetAndJoin(dir / "out/photos_spt", dir / "joined");
    EXPECT_EQ(ui.completeTitle.stringValue(), "Joining Completed!");
    EXPECT_EQ(treeContents(dir / "joined/photos.2019"), expected);
    EXPECT_FALSE(exists(dir / "out/photos_spt"));
    EXPECT_EQ(ui.joinView.rows(), 0);
    EXPECT_EQ(ui.tfMOutputPath.stringValue(), "");
    EXPECT_EQ(ui.delSoureFileM.state(), 0);
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
    EXPECT_EQ(readFile(source), seededBytes(2, 5000));
    ASSERT_FALSE(tk.alerts.empty());
    EXPECT_EQ(tk.alerts.back().informative, source);
}

TEST_F(EndToEnd, AFailedJoinKeepsThePieces) {
    writeFile(dir / "in/data.bin", seededBytes(3, 5000));
    chooseSource(dir / "in/data.bin", false);
    split();
    const std::string set = dir / "in/data_spt";
    tk.answerPanel(set);
    c.mActAddFile();
    fs::remove(set + "/data_0.spt"); // gone between the listing and the join
    ui.delSoureFileM.setState(1);
    tk.answerPanel(dir / "joined");
    c.mActSelectOutput();
    c.mActMergeFile();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Joining Failed!");
    EXPECT_TRUE(exists(set + "/spt_config.morvspt"));
    EXPECT_EQ(ui.delSoureFileM.state(), 1);
}

TEST_F(EndToEnd, RemovalThatKeepsFailingIsBoundedAndReported) {
    const std::string source = dir / "in/data.bin";
    writeFile(source, seededBytes(4, 5000));
    chooseSource(source, false);
    ui.delSourceFileBtn.setState(1);
    tk.files.failRemovals(source, -1);
    split();
    EXPECT_EQ(ui.completeTitle.stringValue(), "Splitting Completed!");
    EXPECT_EQ(tk.files.removalAttempts(source), 3);
    ASSERT_FALSE(tk.alerts.empty());
    EXPECT_EQ(tk.alerts.back().message, "Could not remove");
    EXPECT_NE(tk.alerts.back().informative.find(source), std::string::npos);
    EXPECT_TRUE(exists(source));

    // A removal that fails twice and then works still goes through.
    tk.files.failRemovals(source, 2);
    split();
    EXPECT_FALSE(exists(source));
}
