// Faults during whole runs, through the controller with the real engine:
// whatever fails, the user is told, and no source or piece is removed.

#include "tests/app/ControllerFixture.h"

#include "tests/support/FaultInjection.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

class Faults : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        tk.app.whenModal(&ui.completeWindow, [&] { c.actFinish(); });
        tk.app.whenModal(&ui.outputPathWindow, [&] { c.actOutputPathOK(); });
        fs::create_directories(dir / "out");
    }
    // Splits `source` into `output`, with the removal box as given.
    void split(const std::string& source, bool folder, const std::string& output, bool remove) {
        tk.answerPanel(source);
        folder ? c.actAddFolder() : c.actAddFile();
        tk.answerPanel(output);
        c.actOutPath();
        ui.delSourceFileBtn.setState(remove ? 1 : 0);
        c.actSplit();
    }
    void join(const std::string& set, const std::string& output, bool remove) {
        tk.answerPanel(set);
        c.mActAddFile();
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
    tk.answerPanel(set);
    c.mActAddFile();
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
    EXPECT_EQ(ui.joinView.rows(), 10); // the list stays as it was
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
    // A listed entry that cannot be opened when its turn comes, as a file
    // deleted after the walk: a link whose target is gone.
    const std::string tree = dir / "tree";
    makeSeededTree(tree, 6, 20, 5000);
    fs::create_symlink(dir / "gone", tree + "/vanished.bin");
    split(tree, true, dir / "out", true);
    EXPECT_FALSE(tk.app.hung);
    EXPECT_EQ(title(), "Splitting Failed!");
    EXPECT_TRUE(fs::is_directory(tree)); // not removed
    EXPECT_FALSE(exists(dir / "out/tree_spt")); // nothing half-made is left
    EXPECT_NE(ui.completeDetail.stringValue().find("cannot read " + tree + "/vanished.bin"),
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
              "Kept 2 items that are not part of the set: data.bin, notes.txt.");
    EXPECT_EQ(ui.joinView.rows(), 0); // the set is gone
}
