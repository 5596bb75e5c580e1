#include "tests/app/ControllerFixture.h"

#include "app/FileTableView.h"
#include "app/Texts.h"
#include "app/toolkit/StdProcesses.h"
#include "engine/base/digest.h"
#include "engine/format/manifest.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <filesystem>
#include <future>

namespace fs = std::filesystem;

namespace {

class JoinSide : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        writeFile(dir / "src/report.final.pdf", seededBytes(8, 3000));
        ASSERT_EQ(splitInto(dir / "src/report.final.pdf", dir / "src", 1024, "pw"), 0);
        set = dir / "src/report_spt";
    }
    TempDir dir;
    std::string set;
};

} // namespace

TEST_F(JoinSide, AddingASetListsItsPiecesAndEnablesTheJoin) {
    fs::remove(set + "/report_1.spt");
    addSet(set);
    EXPECT_EQ(tk.panels.back().title, "Choose one folder");
    EXPECT_TRUE(tk.panels.back().directories);
    EXPECT_FALSE(tk.panels.back().files);
    EXPECT_EQ(c.join().state().outputName, "report.final.pdf");
    EXPECT_EQ(c.join().state().pwdM.size(), 32u);
    EXPECT_EQ(ui.tfMOutputPath.stringValue(), dir / "src");
    ASSERT_EQ(ui.joinView.rows(), 3);
    EXPECT_EQ(ui.joinView.cell("fileNameID", 0), toolkit::CellValue::text("report_0.spt"));
    EXPECT_EQ(ui.joinView.cell("locationID", 0), toolkit::CellValue::text(set));
    EXPECT_EQ(ui.joinView.cell("sizeID", 0), toolkit::CellValue::text("1.00 KB"));
    EXPECT_EQ(ui.joinView.cell("checkStateID", 0), toolkit::CellValue::image("right.png"));
    EXPECT_EQ(ui.joinView.cell("checkStateID", 0).toolTip,
              "Quick check: length and first kilobyte; Verify checks every byte");
    EXPECT_EQ(ui.joinView.cell("checkStateID", 1), toolkit::CellValue::image("wrong.png"));
    // A missing piece has no size to show.
    EXPECT_EQ(ui.joinView.cell("sizeID", 1), toolkit::CellValue::text("\u2014"));
    EXPECT_EQ(ui.joinView.cell("sizeID", 1).toolTip, "missing");
    EXPECT_EQ(ui.joinView.cell("other", 0), toolkit::CellValue::none());
    for (toolkit::Control* on : std::initializer_list<toolkit::Control*>{
             &ui.tfMOutputPath, &ui.mOutputBtn, &ui.delSoureFileM})
        EXPECT_TRUE(on->isEnabled());
    EXPECT_FALSE(
        ui.mergeBtn.isEnabled()); // a piece is missing, and no recovery piece can rebuild it

    // Another output folder, then the same set dropped: the output follows the set again.
    tk.answerPanel(dir.path().string());
    c.mActSelectOutput();
    EXPECT_EQ(c.join().state().outPath, dir.path().string());
    FileTableView view(tk.files);
    view.setDelegate(&c);
    EXPECT_TRUE(view.performDragOperation({{kFilenamesPboardType}, {set}}));
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    EXPECT_TRUE(tk.logged("JoinView fn = " + set));
    EXPECT_EQ(c.join().state().outPath, dir / "src");
    EXPECT_EQ(c.join().state().outputName, "report.final.pdf");
    EXPECT_EQ(ui.joinView.rows(), 3);

    // A second, different set replaces the first whole.
    writeFile(dir / "other/notes.txt", "short");
    ASSERT_EQ(splitInto(dir / "other/notes.txt", dir / "other", 4), 0);
    addSet(dir / "other/notes_spt");
    EXPECT_EQ(ui.joinView.rows(), 2);
    EXPECT_EQ(ui.joinView.cell("fileNameID", 0), toolkit::CellValue::text("notes_0.spt"));
    EXPECT_EQ(c.join().state().outputName, "notes.txt");
    EXPECT_EQ(c.join().state().pwdM, "");
}

TEST_F(JoinSide, AFailedAddResetsTheJoinSideAndSaysSo) {
    addSet(set);
    c.split().state().pwd = "split side password";
    addSet(dir.path().string()); // no manifest here
    ASSERT_EQ(tk.alerts.size(), 1u);
    EXPECT_EQ(tk.alerts[0].message, "Add join folder faild!");
    EXPECT_EQ(tk.alerts[0].button, "OK");
    // The reason follows on its own line.
    EXPECT_EQ(tk.alerts[0].informative.rfind("input path is not valid!\n", 0), 0u)
        << tk.alerts[0].informative;
    EXPECT_GT(tk.alerts[0].informative.size(), 26u);
    EXPECT_EQ(tk.alerts[0].window, &ui.window);
    EXPECT_EQ(ui.joinView.rows(), 0);
    EXPECT_EQ(ui.tfMOutputPath.stringValue(), "");
    EXPECT_EQ(c.split().state().pwd,
              "split side password"); // the join side leaves the split's password alone
    EXPECT_EQ(c.join().state().outputName, "report.final.pdf"); // kept from the set before
    EXPECT_FALSE(ui.mergeBtn.isEnabled());                      // nothing to join: Join is off

    tk.cancelPanel();
    c.mActAddFile();
    EXPECT_EQ(ui.joinView.rows(), 0);
    c.mActMergeFile(); // nothing to join: nothing happens
    EXPECT_TRUE(tk.app.modalHistory.empty());
}

TEST_F(JoinSide, PromptsComeInOrderAndCancelStartsNothing) {
    addSet(set);

    // The target exists: cancelling the overwrite prompt ends the request.
    tk.app.whenModal(&ui.outputPathWindow, [&] { c.actOutputPathCancel(); });
    c.mActMergeFile();
    EXPECT_EQ(tk.app.modalHistory, std::vector<const toolkit::Window*>{&ui.outputPathWindow});
    EXPECT_FALSE(ui.outputPathWindow.visible);

    // OK there leads to the password prompt; a wrong password keeps it open.
    tk.app.whenModal(&ui.outputPathWindow, [&] { c.actOutputPathOK(); });
    tk.app.whenModal(&ui.pwdWindow, [&] {
        type(ui.pwdField, "p");
        EXPECT_FALSE(ui.pwdMsg.isHidden());
        EXPECT_FALSE(ui.pwdOKBtn.isEnabled());
        type(ui.pwdField, "pw");
        EXPECT_TRUE(ui.pwdMsg.isHidden());
        EXPECT_TRUE(ui.pwdOKBtn.isEnabled());
        ui.pwdField.setStringValue("PW");
        c.actPwdOK();
        EXPECT_FALSE(ui.pwdMsg.isHidden());
        EXPECT_EQ(ui.pwdField.stringValue(), "");
        EXPECT_TRUE(ui.pwdWindow.visible);
        c.actPwdCancel();
    });
    c.mActMergeFile();
    EXPECT_EQ(tk.app.modalHistory.size(), 3u);
    EXPECT_EQ(tk.app.modalHistory.back(), &ui.pwdWindow);
    EXPECT_FALSE(ui.pwdWindow.visible);
    EXPECT_EQ(ui.joinView.rows(), 3); // the join side is unchanged
}

TEST(DropViews, AcceptanceAndDeliveryOrder) {
    struct Receiver : FileDropDelegate {
        bool respondsToSelector(const std::string&) const override { return responds; }
        void acceptFileNameDragintoPathView(const std::string& p) override { split.push_back(p); }
        void acceptFileNameDrag(const std::string& p) override { join.push_back(p); }
        bool responds = true;
        std::vector<std::string> split, join;
    } receiver;
    TempDir dir;
    writeFile(dir / "file", "f");
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    const DragInfo text{{"text/plain"}, {}};
    const DragInfo files{{kFilenamesPboardType}, {dir / "a", dir / "file", dir / "b"}};

    fake::FileManager fm;
    FSPathView pathView;
    FileTableView joinView(fm);
    EXPECT_EQ(pathView.draggingEntered(files), kDragOperationNone); // no delegate yet
    pathView.setDelegate(&receiver);
    joinView.setDelegate(&receiver);
    EXPECT_EQ(pathView.draggingEntered(files), kDragOperationCopy);
    EXPECT_EQ(joinView.draggingUpdated(files), kDragOperationCopy);
    EXPECT_EQ(pathView.draggingEntered(text), kDragOperationNone);
    EXPECT_FALSE(pathView.performDragOperation(text));
    EXPECT_FALSE(joinView.performDragOperation(text));

    EXPECT_TRUE(pathView.performDragOperation(files));
    EXPECT_EQ(receiver.split, files.filenames);
    EXPECT_FALSE(joinView.performDragOperation(files)); // stops at the regular file
    EXPECT_EQ(receiver.join, std::vector<std::string>{dir / "a"});
    EXPECT_FALSE(joinView.performDragOperation({{kFilenamesPboardType}, {dir / "file"}}));
    EXPECT_EQ(receiver.join.size(), 1u);

    receiver.responds = false;
    EXPECT_TRUE(pathView.performDragOperation(files));
    EXPECT_TRUE(joinView.performDragOperation(files));
    EXPECT_EQ(receiver.split.size(), 3u);
}

TEST_F(JoinSide, DropsOntoTheSplitTableTakeFilesOnly) {
    FSPathView view;
    view.setDelegate(&c);
    const std::string file = dir / "src/report.final.pdf";
    EXPECT_TRUE(view.performDragOperation({{kFilenamesPboardType}, {file, set}}));
    EXPECT_EQ(c.split().state().fPath, file); // the folder after it changed nothing
    EXPECT_EQ(c.split().state().oPath, dir / "src");
    EXPECT_EQ(c.split().state().fSize, 3000);
    EXPECT_TRUE(ui.btnSplit.isEnabled());
    EXPECT_TRUE(tk.logged("pathView fn = " + set));
}

TEST_F(JoinSide, TheSummaryLineTellsTheSetsStory) {
    fs::remove(set + "/report_1.spt");
    std::string piece = readFile(set + "/report_2.spt");
    piece[0] ^= 0x01;
    writeFile(set + "/report_2.spt", piece);
    addSet(set);
    EXPECT_EQ(ui.joinSummary.stringValue(),
              std::to_string(ui.joinView.rows()) +
                  " pieces, 1 missing, 1 damaged; protected by a password; checksums present");
    for (int64_t row = 0; row < ui.joinView.rows(); ++row)
        EXPECT_EQ(ui.joinView.cell("fileNameID", row).value,
                  "report_" + std::to_string(row) + ".spt");
    EXPECT_EQ(ui.joinView.cell("checkStateID", 1).toolTip, "missing");
    EXPECT_EQ(ui.joinView.cell("checkStateID", 2).toolTip, "does not match its fingerprint");
}

TEST_F(JoinSide, AddingASetReturnsAtOnceAndAStaleResultIsDropped) {
    // The worker thread waits until the list has changed under it.
    std::promise<void> changed;
    tk.threadsImpl.holdNextThreadUntil(changed.get_future().share());
    tk.answerPanel(set);
    c.mActAddFile();
    EXPECT_TRUE(c.isAddingSet());
    EXPECT_FALSE(ui.mBtnAddFile.isEnabled()); // no second add, no Split, no Join meanwhile
    EXPECT_FALSE(ui.mergeBtn.isEnabled());
    EXPECT_EQ(ui.joinSummary.stringValue(), "Checking the pieces...");
    c.clearMergeMsg(); // the list changes before the result comes
    changed.set_value();
    tk.threadsImpl.joinAll();
    tk.ui.drain();
    EXPECT_EQ(ui.joinView.rows(), 0); // the late result was dropped
}

TEST_F(JoinSide, ClosingTheWindowStopsTheReadingOfASetAndDropsWhatItFound) {
    std::promise<void> closed;
    tk.threadsImpl.holdNextThreadUntil(closed.get_future().share());
    tk.answerPanel(set);
    c.mActAddFile();
    EXPECT_TRUE(c.windowShouldClose()); // no run: the window goes at once
    closed.set_value();
    tk.threadsImpl.joinAll();
    tk.ui.drain();
    EXPECT_EQ(ui.joinView.rows(), 0);
    EXPECT_TRUE(tk.alerts.empty()); // a stopped reading is no failure to report
}

// The first of numbered parts made by another tool, dropped on the join
// table, lists the parts with their marks as a set's pieces; Join joins
// them, and a gap keeps Join off.
TEST_F(JoinSide, DroppedNumberedPartsAreListedAndJoined) {
    const std::string data = seededBytes(9, 2500);
    for (std::size_t i = 0; i < 3; ++i)
        writeFile(dir / ("dl/movie.mkv.00" + std::to_string(i + 1)), data.substr(i * 1000, 1000));
    writeFile(dir / "dl/notes.txt", "n");
    FileTableView view(tk.files);
    view.setDelegate(&c);
    EXPECT_FALSE(view.performDragOperation({{kFilenamesPboardType}, {dir / "dl/notes.txt"}}));
    const auto drop = [&] {
        EXPECT_TRUE(
            view.performDragOperation({{kFilenamesPboardType}, {dir / "dl/movie.mkv.001"}}));
        ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    };
    drop();
    EXPECT_EQ(c.join().state().outputName, "movie.mkv");
    EXPECT_EQ(c.join().state().outPath, dir / "dl");
    ASSERT_EQ(ui.joinView.rows(), 3);
    EXPECT_EQ(ui.joinView.cell("fileNameID", 2), toolkit::CellValue::text("movie.mkv.003"));
    // Unlisted parts are neither right nor wrong: nothing can check them.
    EXPECT_EQ(ui.joinView.cell("checkStateID", 0), toolkit::CellValue::image("unchecked.png"));
    EXPECT_EQ(ui.joinView.cell("checkStateID", 0).toolTip, kUnlistedPartMark);
    EXPECT_TRUE(ui.mergeBtn.isEnabled());
    EXPECT_FALSE(ui.mVerifyBtn.isEnabled());
    EXPECT_FALSE(ui.delSoureFileM.isEnabled());
    tk.app.whenModal(&ui.completeWindow, [&] { c.actFinish(); });
    c.mActMergeFile();
    ASSERT_FALSE(tk.app.hung);
    EXPECT_EQ(ui.completeTitle.stringValue(), kJoinCompletedTitle);
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "Joined 3 parts into " + (dir / "dl/movie.mkv") + ".\n" + kUnlistedPartMark + ".");
    EXPECT_TRUE(readFile(dir / "dl/movie.mkv") == data);

    fs::remove(dir / "dl/movie.mkv.002");
    drop();
    ASSERT_EQ(ui.joinView.rows(), 3);
    EXPECT_EQ(ui.joinView.cell("checkStateID", 1).toolTip, "missing");
    EXPECT_FALSE(ui.mergeBtn.isEnabled());

    // split's default names say nothing of the file: it takes its folder's name.
    writeFile(dir / "backup/xaa", data.substr(0, 2000));
    writeFile(dir / "backup/xab", data.substr(2000));
    EXPECT_TRUE(view.performDragOperation({{kFilenamesPboardType}, {dir / "backup/xaa"}}));
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    ASSERT_EQ(ui.joinView.rows(), 2);
    EXPECT_TRUE(ui.mergeBtn.isEnabled());
    c.mActMergeFile();
    ASSERT_FALSE(tk.app.hung);
    EXPECT_EQ(ui.completeTitle.stringValue(), kJoinCompletedTitle);
    EXPECT_TRUE(readFile(dir / "backup/backup") == data);

    // Add Parts… takes the first part in a file panel.
    tk.answerPanel(dir / "dl/movie.mkv.001");
    c.mActAddParts();
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    EXPECT_EQ(tk.panels.back().title, "Choose the first part");
    EXPECT_TRUE(tk.panels.back().files);
    EXPECT_FALSE(tk.panels.back().directories);
    EXPECT_EQ(c.join().state().outputName, "movie.mkv");

    // A folder of other tools' parts, chosen or dropped, lists them as well.
    addSet(dir / "backup");
    EXPECT_TRUE(tk.alerts.empty());
    ASSERT_EQ(ui.joinView.rows(), 2);
    EXPECT_EQ(ui.joinView.cell("fileNameID", 1), toolkit::CellValue::text("xab"));
}

// Parts a checksum file lists can be verified without a join, and the file
// they make can be named before Join.
TEST_F(JoinSide, ListedPartsAreVerifiedAndTheirFileNamedBeforeJoin) {
    const std::string data = seededBytes(19, 3000);
    std::string sums;
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string part = data.substr(i * 1000, 1000);
        const std::string name = "iso.img.00" + std::to_string(i + 1);
        writeFile(dir / ("dl/" + name), part);
        Sha256Digest digest;
        ASSERT_TRUE(digest.update(part.data(), part.size()));
        sums += digest.finishHex() + "  " + name + "\n";
    }
    writeFile(dir / "dl/SHA256SUMS", sums);
    tk.app.whenModal(&ui.completeWindow, [&] { c.actFinish(); });
    addSet(dir / "dl/iso.img.001");
    ASSERT_EQ(ui.joinView.rows(), 3);
    EXPECT_EQ(ui.tfMOutputName.stringValue(), "iso.img");
    EXPECT_TRUE(ui.tfMOutputName.isEnabled());
    ASSERT_TRUE(ui.mVerifyBtn.isEnabled());
    c.mActVerify();
    EXPECT_EQ(ui.completeTitle.stringValue(), kVerifyCompletedTitle);
    EXPECT_EQ(ui.completeDetail.stringValue(), "All 3 parts match their checksums in SHA256SUMS.");
    EXPECT_EQ(ui.joinView.cell("checkStateID", 1).toolTip, kVerifiedMark);

    std::string bad = data.substr(1000, 1000);
    bad[500] ^= 1;
    writeFile(dir / "dl/iso.img.002", bad);
    c.mActVerify();
    EXPECT_EQ(ui.completeTitle.stringValue(), kVerifyFailedTitle);
    EXPECT_EQ(ui.completeDetail.stringValue(),
              "1 of 3 parts does not match its checksum: iso.img.002.");
    EXPECT_EQ(ui.joinView.cell("checkStateID", 1).value, "wrong.png");
    writeFile(dir / "dl/iso.img.002", data.substr(1000, 1000));

    // A name of its own: refused when it is no file name, kept when the list is read again.
    type(ui.tfMOutputName, "../x");
    c.mActMergeFile();
    ASSERT_EQ(tk.alerts.size(), 1u);
    EXPECT_EQ(tk.alerts[0].informative, kJoinedNameProblem);
    type(ui.tfMOutputName, "disk.img");
    c.mActRefresh();
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    EXPECT_EQ(ui.tfMOutputName.stringValue(), "disk.img");
    c.mActMergeFile();
    ASSERT_FALSE(tk.app.hung);
    EXPECT_EQ(ui.completeTitle.stringValue(), kJoinCompletedTitle);
    EXPECT_TRUE(readFile(dir / "dl/disk.img") == data);
    EXPECT_FALSE(exists(dir / "dl/iso.img"));
    type(ui.tfMOutputName, ""); // emptied: the parts' own name again
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    EXPECT_EQ(ui.tfMOutputName.stringValue(), "iso.img");
    EXPECT_EQ(c.join().state().outputName, "iso.img");
}

TEST_F(JoinSide, TheTableFollowsTheDiskOnceAChangeSettlesAndOnRefresh) {
    addSet(set);
    ASSERT_EQ(ui.joinView.cell("checkStateID", 1), toolkit::CellValue::image("right.png"));
    ASSERT_FALSE(tk.watches.empty());
    EXPECT_EQ(tk.watches.back()->folder, set);
    EXPECT_EQ(tk.watches.back()->files.size(), 3u); // the pieces themselves too
    tk.answerPanel(dir.path().string());
    c.mActSelectOutput();

    // A burst of changes is read once, after it settles; the output folder stays.
    fs::remove(set + "/report_1.spt");
    for (int i = 0; i < 3; ++i)
        tk.folderChanged(set);
    EXPECT_FALSE(c.isAddingSet());
    ASSERT_EQ(tk.threadsImpl.later.size(), 3u);
    EXPECT_EQ(tk.threadsImpl.later[0].first, JoinController::kSettleMilliseconds);
    tk.threadsImpl.letTimePass();
    EXPECT_TRUE(c.isAddingSet());
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    EXPECT_EQ(ui.joinView.cell("checkStateID", 1), toolkit::CellValue::image("wrong.png"));
    EXPECT_EQ(ui.joinView.cell("sizeID", 1).toolTip, "missing");
    EXPECT_EQ(c.join().state().outPath, dir.path().string());

    // Refresh (F5) reads it at once.
    writeFile(set + "/report_2.spt", "changed");
    EXPECT_TRUE(ui.mRefreshBtn.isEnabled());
    c.mActRefresh();
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    EXPECT_EQ(ui.joinView.cell("checkStateID", 2), toolkit::CellValue::image("wrong.png"));

    // A set no longer listed is no longer watched.
    c.clearMergeMsg();
    EXPECT_FALSE(tk.watches.back()->alive);
    EXPECT_FALSE(ui.mRefreshBtn.isEnabled());
}

// Browse mounts the set through the installed command, in a private folder
// of the runtime folder, the password through a pipe and in no argument;
// opens the folder; and unmounts it when pressed again and when the window
// closes. A failed mount shows the command's error and leaves no folder.
TEST_F(JoinSide, BrowseMountsThroughTheCommandAndUnmountsWhenDone) {
    TempDir runtime;
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    addSet(set);
    EXPECT_EQ(ui.mBrowseBtn.title(), kBrowseTitle);
    EXPECT_TRUE(ui.mBrowseBtn.isEnabled());
    tk.app.whenModal(&ui.pwdWindow, [&] {
        type(ui.pwdField, "pw");
        c.actPwdOK();
    });
    const auto browse = [&] {
        c.mActBrowse();
        ASSERT_TRUE(tk.ui.runUntil([&] { return !c.join().isStartingBrowse(); }));
    };
    browse();
    ASSERT_EQ(tk.openedFolders.size(), 1u);
    const std::string folder = tk.openedFolders[0];
    EXPECT_EQ(fs::path(folder).parent_path(), runtime.path());
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
    std::vector<fake::Processes::Run> runs = tk.processesImpl.runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].program, "/opt/fake/bin/parcelor");
    EXPECT_EQ(runs[0].arguments,
              (std::vector<std::string>{"mount", "--password-fd", "3", "--", set, folder}));
    EXPECT_EQ(runs[0].secretFd, 3);
    EXPECT_EQ(runs[0].secret, "pw\n");
    EXPECT_EQ(ui.mBrowseBtn.title(), kStopBrowsingTitle);
    EXPECT_TRUE(c.join().isBrowsing());

    c.mActBrowse(); // pressed again
    runs = tk.processesImpl.runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].arguments, (std::vector<std::string>{"unmount", "--", folder}));
    EXPECT_EQ(runs[1].secretFd, -1);
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(ui.mBrowseBtn.title(), kBrowseTitle);

    tk.processesImpl.answer({true, 1, "parcelor: cannot mount on it\n"});
    browse();
    ASSERT_FALSE(tk.alerts.empty());
    EXPECT_EQ(tk.alerts.back().message, kCannotBrowse);
    EXPECT_EQ(tk.alerts.back().informative, "parcelor: cannot mount on it");
    EXPECT_EQ(tk.openedFolders.size(), 1u);
    EXPECT_TRUE(fs::is_empty(runtime.path()));
    EXPECT_EQ(ui.mBrowseBtn.title(), kBrowseTitle);

    // Closing the window unmounts; a folder changed since it was made stays.
    browse();
    ASSERT_EQ(tk.openedFolders.size(), 2u);
    const std::string second = tk.openedFolders[1];
    fs::last_write_time(second, fs::last_write_time(second) - std::chrono::hours(1));
    EXPECT_TRUE(tk.postWindowWillClose(&ui.window));
    runs = tk.processesImpl.runs();
    EXPECT_EQ(runs.back().arguments, (std::vector<std::string>{"unmount", "--", second}));
    EXPECT_TRUE(fs::exists(second));
    unsetenv("XDG_RUNTIME_DIR");
}

// The real starter Browse goes through: the secret arrives on its descriptor
// only, standard error and the exit status come back, and a daemon left
// holding standard error is not waited for.
TEST(StdProcesses, HandsTheSecretThroughItsDescriptorAndReturnsWhatTheProgramSaid) {
    toolkit::StdProcesses real;
    toolkit::Processes& processes = real;
    const std::string shell = processes.findProgram("sh");
    ASSERT_FALSE(shell.empty());
    toolkit::ProcessOutcome outcome = processes.run(
        shell, {"-c", "read -r word <&5; echo \"got $word\" >&2; exit 3"}, 5, "secret\n");
    EXPECT_TRUE(outcome.started);
    EXPECT_EQ(outcome.exitStatus, 3);
    EXPECT_EQ(outcome.errorText, "got secret\n");
    outcome = processes.run(shell, {"-c", "(sleep 1; echo late >&2) & echo up >&2"});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(outcome.errorText, "up\n");
    outcome = processes.run("/nonexistent/parcelor", {});
    EXPECT_FALSE(outcome.started);
    EXPECT_NE(outcome.errorText.find("cannot start /nonexistent/parcelor"), std::string::npos);
}
