#include "tests/app/ControllerFixture.h"

#include "app/Texts.h"

#include "core/SplitArithmetic.h"
#include "engine/base/utilities.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <filesystem>
#include <future>
#include <limits>

namespace fs = std::filesystem;

using SplitSide = ControllerFixture;

TEST_F(SplitSide, StartsTitledWithBothSidesDisabled) {
    EXPECT_EQ(ui.window.title, "Morvane Parcelor");
    EXPECT_EQ(ui.tfVersion.stringValue(), "Version 1.1");
    EXPECT_TRUE(tk.logged("View did show!"));
    EXPECT_EQ(ui.pathView.draggedTypes, std::vector<std::string>{kFilenamesPboardType});
    EXPECT_EQ(ui.joinView.draggedTypes, std::vector<std::string>{kFilenamesPboardType});
    for (toolkit::Control* control : std::initializer_list<toolkit::Control*>{
             &ui.spliteByBtn, &ui.tfSize, &ui.popBtn, &ui.tfCount, &ui.delSourceFileBtn,
             &ui.tfOutPath, &ui.outPathBtn, &ui.encryptBtn, &ui.btnSplit, &ui.mergeBtn,
             &ui.tfMOutputPath, &ui.mOutputBtn, &ui.delSoureFileM})
        EXPECT_FALSE(control->isEnabled());
    EXPECT_EQ(ui.pathView.rows(), 0);

    // Closing the window is observed and allowed.
    ASSERT_EQ(tk.notifications.entries.size(), 1u);
    tk.postWindowWillClose(&ui.window);
    EXPECT_TRUE(c.windowShouldClose());
}

TEST_F(SplitSide, ChoosingASourceEnablesTheBySizeLayoutAndProposesACut) {
    TempDir dir;
    writeFile(dir / "clip.mov", std::string(50000, 'x'));
    tk.cancelPanel();
    c.actAddFile();
    EXPECT_TRUE(c.split().state().fPath.empty());
    EXPECT_FALSE(ui.btnSplit.isEnabled());

    ui.encryptBtn.setState(1);
    tk.answerPanel(dir / "clip.mov");
    c.actAddFile();
    EXPECT_EQ(tk.panels.back().title, "Choose one file");
    EXPECT_EQ(c.split().state().fPath, dir / "clip.mov");
    EXPECT_EQ(c.split().state().fSize, 50000);
    EXPECT_EQ(c.split().state().oPath, dir.path().string());
    EXPECT_EQ(ui.tfOutPath.stringValue(), dir.path().string());
    EXPECT_EQ(ui.tfSize.stringValue(), "5");
    EXPECT_EQ(ui.tfCount.stringValue(), "10");
    EXPECT_EQ(c.split().state().sSize, 5120);
    for (toolkit::Control* on : std::initializer_list<toolkit::Control*>{
             &ui.spliteByBtn, &ui.tfSize, &ui.popBtn, &ui.delSourceFileBtn, &ui.tfOutPath,
             &ui.outPathBtn, &ui.encryptBtn, &ui.btnSplit})
        EXPECT_TRUE(on->isEnabled());
    EXPECT_FALSE(ui.tfCount.isEnabled());
    EXPECT_EQ(ui.encryptBtn.state(), 0);
    EXPECT_EQ(ui.pathView.rows(), 1);
    EXPECT_EQ(ui.pathView.cell("fileNameID", 0), toolkit::CellValue::text("clip.mov"));
    EXPECT_EQ(ui.pathView.cell("sizeID", 0), toolkit::CellValue::text("48.8 KB"));
    EXPECT_EQ(ui.pathView.cell("checkStateID", 0), toolkit::CellValue::none());

    addFolder(dir.path().string());
    EXPECT_EQ(tk.panels.back().title, "Choose a Folder");
    EXPECT_TRUE(tk.panels.back().directories);
    EXPECT_FALSE(tk.panels.back().files);

    c.actDelFile(7);
    EXPECT_TRUE(tk.logged("tag = 7"));
    EXPECT_EQ(ui.pathView.rows(), 0);
    EXPECT_EQ(c.split().state().fSize, 0);
}

TEST_F(SplitSide, ProposedCutForEverySourceSize) {
    struct Row {
        int64_t size;
        const char* shown;
        const char* unit;
        int64_t pieceSize;
        const char* count;
    };
    const Row rows[] = {
        {0, "1", "KB", 1024, "0"},
        {100, "10", "KB", 10240, "1"},
        {4500, "500", "KB", 512000, "1"},
        {9224, "1000", "KB", 1024000, "1"},
        {9225, "1", "KB", 1024, "10"},
        {50000, "5", "KB", 5120, "10"},
        {1000000, "100", "KB", 102400, "10"},
        {10000000, "1", "MB", 1048576, "10"},
        {734003200, "70", "MB", 73400320, "10"},
        {1073741824, "100", "MB", 104857600, "11"},
        {10737418240, "1", "GB", 1073741824, "10"},
        {1000000000000, "100", "GB", 107374182400, "10"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        c.split().state().fSize = row.size;
        c.cal_AI_size();
        EXPECT_EQ(ui.tfSize.stringValue(), row.shown);
        EXPECT_EQ(ui.popBtn.title(), row.unit);
        EXPECT_EQ(c.split().state().sSize, row.pieceSize);
        EXPECT_EQ(ui.tfCount.stringValue(), row.count);
    }
    // From here on the unit stays whatever it was.
    ui.popBtn.selectItemAtIndex(1);
    c.split().state().fSize = 9905268326400;
    c.cal_AI_size();
    EXPECT_EQ(ui.tfSize.stringValue(), "1");
    EXPECT_EQ(ui.popBtn.title(), "MB");
    EXPECT_EQ(c.split().state().sSize, 1048576);
    EXPECT_EQ(ui.tfCount.stringValue(), "9446400");
    // An unreadable source: 1 KB and one piece.
    c.split().state().fSize = -1;
    c.cal_AI_size();
    EXPECT_EQ(ui.tfSize.stringValue(), "1");
    EXPECT_EQ(ui.tfCount.stringValue(), "1");
}

TEST_F(SplitSide, EditsKeepSizeAndCountInStep) {
    c.split().state().fSize = 1000000;
    type(ui.tfCount, "3");
    EXPECT_EQ(c.split().state().sSize, 333334); // rounded up: exactly 3 pieces
    EXPECT_EQ(ui.tfSize.stringValue(), "325");
    EXPECT_EQ(ui.popBtn.title(), "KB");
    EXPECT_TRUE(tk.logged("tt1 = 325"));

    type(ui.tfCount, "5000");
    EXPECT_EQ(ui.tfCount.stringValue(), "977");
    EXPECT_EQ(c.split().state().sSize, 1024);
    EXPECT_EQ(ui.tfSize.stringValue(), "1");

    type(ui.tfCount, "12ab");
    EXPECT_EQ(ui.tfCount.stringValue(), "12");
    type(ui.tfCount, "-4");
    EXPECT_EQ(ui.tfCount.stringValue(), "977");
    type(ui.tfCount, "");
    EXPECT_EQ(ui.tfCount.stringValue(), "1");
    EXPECT_TRUE(tk.logged("allCount  setStringValue = 1"));

    ui.popBtn.selectItemAtIndex(1);
    type(ui.tfSize, "1.5");
    EXPECT_EQ(c.split().state().sSize, 1048576);
    EXPECT_EQ(ui.tfSize.stringValue(), "1.5");
    for (const char* bad : {"0", "-3", ""}) {
        type(ui.tfSize, bad);
        EXPECT_EQ(ui.tfSize.stringValue(), "1") << bad;
    }

    ui.popBtn.selectItemAtIndex(0);
    type(ui.tfSize, "100");
    ui.popBtn.selectItemAtIndex(1);
    c.actPopBtn();
    EXPECT_EQ(c.split().state().sSize, 104857600);
    EXPECT_EQ(ui.tfCount.stringValue(), "1");

    // Switching modes recomputes nothing.
    ui.spliteByBtn.tag = 2;
    c.actSpliteBy();
    EXPECT_TRUE(ui.tfCount.isEnabled());
    EXPECT_FALSE(ui.tfSize.isEnabled());
    EXPECT_FALSE(ui.popBtn.isEnabled());
    EXPECT_TRUE(tk.logged("row = 2"));
    ui.spliteByBtn.tag = 1;
    c.actSpliteBy();
    EXPECT_EQ(c.split().state().sSize, 104857600);
    EXPECT_EQ(ui.tfSize.stringValue(), "100");
}

TEST_F(SplitSide, InputThatWouldDivideByZeroOrOverflowLeavesASaneCut) {
    c.split().state().fSize = 1000000;
    type(ui.tfCount, "0");
    EXPECT_EQ(ui.tfCount.stringValue(), "1");
    EXPECT_EQ(c.split().state().sSize, 1000000);
    type(ui.tfCount, "x");
    EXPECT_EQ(ui.tfCount.stringValue(), "1");
    type(ui.tfCount, "99999999999999999999999");
    EXPECT_EQ(ui.tfCount.stringValue(), "977");

    for (const int64_t size : {int64_t{0}, int64_t{-1}}) {
        c.split().state().fSize = size;
        type(ui.tfCount, "5");
        EXPECT_EQ(ui.tfCount.stringValue(), "1");
        EXPECT_EQ(c.split().state().sSize, 1024);
    }

    c.split().state().fSize = 1000000;
    ui.popBtn.selectItemAtIndex(2);
    type(ui.tfSize, "99999999999999999");
    EXPECT_GT(c.split().state().sSize, 0);
    EXPECT_EQ(ui.tfSize.integerValue(), std::numeric_limits<int64_t>::max() / kGigabyte);
    EXPECT_EQ(ui.tfCount.stringValue(), "1");
}

TEST_F(SplitSide, TieredDefaultAndReset) {
    const struct {
        int64_t size, pieceSize;
        const char *shown, *unit, *count;
    } rows[] = {{5000000, 102400, "100", "KB", "49"},
                {1073741824, 1073741824, "1", "GB", "1"},
                {1073741823, 104857600, "100", "MB", "11"},
                {102399, 102399, "1", "KB", "1"}};
    for (const auto& row : rows) {
        c.split().state().fSize = row.size;
        c.defaultSpliteSize();
        EXPECT_EQ(c.split().state().sSize, row.pieceSize);
        EXPECT_EQ(ui.tfSize.stringValue(), row.shown);
        EXPECT_EQ(ui.popBtn.title(), row.unit);
        EXPECT_EQ(ui.tfCount.stringValue(), row.count);
    }
    c.split().state().fPath = "/x";
    ui.btnSplit.setEnabled(true);
    c.clearSplitMsg();
    EXPECT_TRUE(c.split().state().fPath.empty());
    EXPECT_EQ(c.split().state().sSize, 0);
    EXPECT_EQ(ui.tfSize.stringValue(), "");
    EXPECT_FALSE(ui.btnSplit.isEnabled());
}

TEST_F(SplitSide, PasswordPanelConfirmsOnlyTwoEqualUsablePasswords) {
    ui.encryptBtn.setState(0);
    c.actEncrypt();
    EXPECT_TRUE(tk.app.modalHistory.empty());

    ui.encryptBtn.setState(1);
    tk.app.whenModal(&ui.encryptPanel, [&] {
        EXPECT_FALSE(ui.encryptViewOKBtn.isEnabled()); // empty fields cannot be confirmed
        type(ui.tfPwdFirst, "secret");
        EXPECT_EQ(ui.pwdStrength.stringValue(),
                  "Weak password: make it longer, or mix letters, digits and symbols.");
        EXPECT_FALSE(ui.encryptViewOKBtn.isEnabled()); // one field is not a confirmation
        c.actEncryptOK();                              // Enter: refused
        EXPECT_TRUE(ui.encryptPanel.visible);
        type(ui.tfPwdSecond, "sec");
        EXPECT_TRUE(ui.encryptMsg2.isHidden());
        // Left short (Enter, Tab): OK stays off, and the message says why.
        c.controlTextDidEndEditing(&ui.tfPwdSecond);
        EXPECT_FALSE(ui.encryptMsg2.isHidden());
        EXPECT_EQ(ui.encryptMsg2.stringValue(), "The passwords do not match.");
        type(ui.tfPwdSecond, "sex");
        EXPECT_EQ(ui.encryptMsg2.stringValue(), "The passwords do not match.");
        EXPECT_FALSE(ui.encryptMsg2.isHidden());
        type(ui.tfPwdSecond, "secret");
        EXPECT_TRUE(ui.encryptViewOKBtn.isEnabled());
        type(ui.tfPwdFirst, "secret2"); // edited after they matched: no longer confirmed
        EXPECT_FALSE(ui.encryptViewOKBtn.isEnabled());
        type(ui.tfPwdSecond, "secret2");
        // Only the join's gate chosen: the password's digest goes into the set.
        ui.pwdUseBtn.selectTag(kGateJoinTag);
        c.actPasswordUse();
        c.actEncryptOK();
    });
    c.actEncrypt();
    EXPECT_EQ(c.split().state().pwd, "secret2");
    EXPECT_EQ(c.split().state().pwdUse, PasswordUse::GateJoin);
    EXPECT_FALSE(ui.encryptPanel.visible);
    EXPECT_EQ(ui.encryptBtn.state(), 1);

    // A new password encrypts, whatever was chosen before; the limit follows
    // the choice: 1024 bytes to encrypt, the gate's 31 bytes.
    ui.encryptBtn.setState(0);
    c.actEncrypt();
    ui.encryptBtn.setState(1);
    tk.app.whenModal(&ui.encryptPanel, [&] {
        EXPECT_EQ(ui.pwdUseBtn.selectedTag(), kEncryptPiecesTag);
        const std::string longOne(32, 'p');
        type(ui.tfPwdFirst, longOne);
        type(ui.tfPwdSecond, longOne);
        EXPECT_TRUE(ui.encryptViewOKBtn.isEnabled());
        ui.pwdUseBtn.selectTag(kGateJoinTag);
        c.actPasswordUse();
        EXPECT_FALSE(ui.encryptMsg2.isHidden());
        EXPECT_EQ(ui.encryptMsg2.stringValue(), "A password has at most 31 bytes.");
        EXPECT_FALSE(ui.encryptViewOKBtn.isEnabled());
        c.actEncryptOK(); // refused
        EXPECT_TRUE(ui.encryptPanel.visible);
        ui.pwdUseBtn.selectTag(kEncryptPiecesTag);
        c.actPasswordUse();
        const std::string tooLong(1025, 'p');
        type(ui.tfPwdFirst, tooLong);
        type(ui.tfPwdSecond, tooLong);
        EXPECT_EQ(ui.encryptMsg2.stringValue(), "A password has at most 1024 bytes.");
        EXPECT_FALSE(ui.encryptViewOKBtn.isEnabled());
        c.actEncryptCancel();
    });
    c.actEncrypt();
    EXPECT_EQ(c.split().state().pwd, "");
    EXPECT_EQ(ui.encryptBtn.state(), 0);
    EXPECT_EQ(ui.tfPwdFirst.stringValue(), "");
    EXPECT_TRUE(ui.encryptMsg2.isHidden());

    // Unticking the box drops a password that was set.
    c.split().state().pwd = "kept?";
    ui.encryptBtn.setState(0);
    c.actEncrypt();
    EXPECT_EQ(c.split().state().pwd, "");
}

TEST_F(SplitSide, ThePasswordPanelHintsAtStrengthAndTakesOnlyAFileNameForTheSet) {
    ui.encryptBtn.setState(1);
    tk.app.whenModal(&ui.encryptPanel, [&] {
        const struct {
            const char* password;
            const char* hint;
        } hints[] = {
            {"abcdefghij", "Weak password: make it longer, or mix letters, digits and symbols."},
            {"aB3$efghij", "Fair password: a few more characters make it much harder to guess."},
            {"correct horse battery staple", "Strong password."},
        };
        for (const auto& hint : hints) {
            type(ui.tfPwdFirst, hint.password);
            EXPECT_EQ(ui.pwdStrength.stringValue(), hint.hint) << hint.password;
        }
        type(ui.tfPwdSecond, "correct horse battery staple");
        for (const char* name : {"a/b", ".vault"}) {
            type(ui.tfSetName, name);
            EXPECT_EQ(ui.encryptMsg2.stringValue(),
                      "A set name is a file name: without '/', not beginning with '.'.");
            EXPECT_FALSE(ui.encryptViewOKBtn.isEnabled()) << name;
        }
        type(ui.tfSetName, "vault");
        c.actEncryptOK();
    });
    c.actEncrypt();
    EXPECT_EQ(c.split().state().setName, "vault");
    EXPECT_EQ(c.split().state().pwdUse, PasswordUse::Encrypt);
    EXPECT_EQ(ui.tfPwdFirst.stringValue(), ""); // the controller keeps it, the field does not
    ui.encryptBtn.setState(0);
    c.actEncrypt();
    EXPECT_EQ(c.split().state().setName,
              ""); // unticking the box forgets the name with the password
}

TEST_F(SplitSide, SplitIsRefusedWithoutSourceOrWithPathsTooLong) {
    c.actSplit();
    EXPECT_TRUE(tk.app.modalHistory.empty());
    c.split().state().fPath = "/" + std::string(1100, 'p');
    c.split().state().oPath = "/tmp";
    c.split().state().fSize = 10;
    c.actSplit();
    ASSERT_EQ(tk.alerts.size(), 1u);
    EXPECT_EQ(tk.alerts[0].informative, "The source path is too long (at most 1023 bytes).");
    c.split().state().fPath = "/tmp/x";
    c.split().state().oPath = "/" + std::string(1100, 'o');
    c.actSplit();
    EXPECT_EQ(tk.alerts.size(), 2u);
    c.split().state().fSize = 0;
    c.actSplit(); // an empty source is said, not ignored
    ASSERT_EQ(tk.alerts.size(), 3u);
    EXPECT_EQ(tk.alerts[2].informative, "The source is empty: there is nothing to split.");
    EXPECT_TRUE(tk.app.modalHistory.empty());
}

TEST_F(SplitSide, TicksShowThePercentageAndNeverDivideByZero) {
    const struct {
        int64_t done, total;
        const char* label;
    } ticks[] = {{10, 40, "25%"}, {1, 3, "33%"}, {1234567, 10000000, "12%"}, {5, 0, "0%"}};
    for (const auto& tick : ticks) {
        auto run = std::make_shared<SplitRun>();
        run->progress.setTotal(tick.total);
        run->progress.add(tick.done);
        c.runs().prepare(run, {kSplittingTitle, "/tmp", nullptr, nullptr});
        c.runs().tick();
        tk.ui.drain();
        EXPECT_EQ(ui.percentLabel.stringValue(), tick.label);
    }
    EXPECT_EQ(ui.progress.value, 0);
}

TEST(Controls, IntegerValueReadsTheLeadingNumber) {
    EXPECT_EQ(toolkit::parseIntegerValue("  -12ab"), -12);
    EXPECT_EQ(toolkit::parseIntegerValue("+7"), 7);
    EXPECT_EQ(toolkit::parseIntegerValue("abc"), 0);
    EXPECT_EQ(toolkit::parseIntegerValue("99999999999999999999"),
              std::numeric_limits<int64_t>::max());
}

TEST_F(SplitSide, RemovalBoxesUntickForANewSourceOrSetAndARemovingRunAsksFirst) {
    TempDir dir;
    writeFile(dir / "album/a.jpg", std::string(3000, 'a'));
    writeFile(dir / "album/sub/b.jpg", std::string(2000, 'b'));
    addFolder(dir / "album");
    ui.delSourceFileBtn.setState(1);
    tk.answerPanel(dir / "album/a.jpg");
    c.actAddFile();
    EXPECT_EQ(ui.delSourceFileBtn.state(), 0);

    addFolder(dir / "album");
    ui.delSourceFileBtn.setState(1);
    c.actSplit(); // the question's default is Cancel
    ASSERT_EQ(tk.alerts.size(), 1u);
    EXPECT_TRUE(tk.alerts[0].question);
    EXPECT_EQ(tk.alerts[0].message,
              "Remove the folder album (2 files, 4.88 KB) once its pieces are verified?");
    EXPECT_TRUE(tk.app.modalHistory.empty()); // nothing started
    EXPECT_FALSE(exists(dir / "album_spt"));
}

TEST_F(SplitSide, AFolderSourceSaysWhatItsSetWillHold) {
    TempDir dir;
    writeFile(dir / "album/a.jpg", std::string(2048, 'a'));
    writeFile(dir / "album/.env", "secret");
    fs::create_directories(dir / "album/build/empty");
    addFolder(dir / "album");
    EXPECT_EQ(ui.splitSummary.stringValue(),
              "Stores 1 file (2.00 KB) and 2 folders (1 empty). Not stored: .env; tick Include "
              "hidden items to keep them.");
    c.actDelFile(0);
    EXPECT_FALSE(ui.btnSplit.isEnabled());
}

TEST_F(SplitSide, IncludeHiddenItemsMeasuresAFolderSourceAgain) {
    TempDir dir;
    writeFile(dir / "album/a.jpg", std::string(2048, 'a'));
    writeFile(dir / "album/.env", std::string(100000, 'e'));
    tk.answerPanel(dir / "album/a.jpg");
    c.actAddFile();
    EXPECT_FALSE(ui.includeHiddenBtn.isEnabled()); // a file source has no hidden items
    ui.includeHiddenBtn.setState(1);
    c.actIncludeHidden();
    EXPECT_FALSE(c.isMeasuringSource());
    EXPECT_EQ(c.split().state().fSize, 2048);

    ui.includeHiddenBtn.setState(0);
    addFolder(dir / "album");
    EXPECT_TRUE(ui.includeHiddenBtn.isEnabled());
    EXPECT_EQ(c.split().state().fSize, 2048);
    ui.encryptBtn.setState(1);
    c.split().state().pwd = "open sesame";
    ui.delSourceFileBtn.setState(1);
    ui.presetBtn.selectItemAtIndex(2);

    ui.includeHiddenBtn.setState(1);
    c.actIncludeHidden();
    EXPECT_TRUE(c.isMeasuringSource());
    EXPECT_FALSE(ui.btnSplit.isEnabled());
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isMeasuringSource(); }));
    EXPECT_EQ(ui.splitSummary.stringValue(), "Stores 2 files (99.7 KB).");
    EXPECT_EQ(c.split().state().fSize, 102048);
    EXPECT_EQ(ui.tfSize.stringValue(), "10"); // the cut proposed for the new size
    EXPECT_EQ(ui.presetBtn.indexOfSelectedItem(), 0);
    EXPECT_TRUE(ui.btnSplit.isEnabled());
    // The same source: its password and its removal choice stay.
    EXPECT_EQ(ui.encryptBtn.state(), 1);
    EXPECT_EQ(c.split().state().pwd, "open sesame");
    c.actSplit(); // the question's default is Cancel
    ASSERT_EQ(tk.alerts.size(), 1u);
    EXPECT_EQ(tk.alerts[0].message,
              "Remove the folder album (2 files, 99.7 KB) once its pieces are verified?");

    // Unticked while the ticked measurement is still on its way: only the last one lands.
    std::promise<void> late;
    tk.threadsImpl.holdNextThreadUntil(late.get_future().share());
    c.actIncludeHidden();
    ui.includeHiddenBtn.setState(0);
    c.actIncludeHidden();
    ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isMeasuringSource(); }));
    late.set_value();
    tk.threadsImpl.joinAll();
    tk.ui.drain();
    EXPECT_EQ(c.split().state().fSize, 2048);
    EXPECT_EQ(ui.splitSummary.stringValue(),
              "Stores 1 file (2.00 KB). Not stored: .env; tick Include hidden items to keep them.");
}

TEST_F(SplitSide, PresetsAndTheOutputsFileSystemDecideWhatASplitMayDo) {
    TempDir dir;
    writeFile(dir / "a:b.bin", std::string(5000, 'x'));
    std::filesystem::resize_file(dir / "a:b.bin",
                                 int64_t{10} << 30); // sparse: larger than every preset
    OutputSpace space{true, int64_t{1} << 40, 0, ""};
    c.split().examineOutput = [&](const std::string&) { return space; };
    tk.answerPanel(dir / "a:b.bin");
    c.actAddFile();
    EXPECT_EQ(ui.presetBtn.items.front(), "Custom");

    // Each preset, chosen while splitting by count: the split goes by size,
    // and the field with its unit stands for exactly the preset's bytes.
    const std::pair<int, int64_t> presets[] = {
        {1, 4294967295}, {2, 4700000000}, {3, 734003200}, {4, 18000000}};
    for (const auto& [index, bytes] : presets) {
        ui.spliteByBtn.selectTag(2);
        c.actSpliteBy();
        ui.presetBtn.selectItemAtIndex(index);
        c.actPreset();
        EXPECT_EQ(ui.spliteByBtn.selectedTag(), 1) << index;
        EXPECT_TRUE(ui.tfSize.isEnabled());
        EXPECT_FALSE(ui.tfCount.isEnabled());
        EXPECT_EQ(c.split().state().sSize, bytes);
        EXPECT_EQ(ui.tfSize.integerValue() * unitBytes(ui.popBtn.title()), bytes) << index;
        c.cal_sizeTocount(); // what the field says is what the split takes
        EXPECT_EQ(c.split().state().sSize, bytes);
    }
    ui.presetBtn.selectItemAtIndex(1);
    c.actPreset();
    EXPECT_EQ(ui.popBtn.title(), "bytes");
    EXPECT_EQ(ui.sizeNote.stringValue(), "Pieces of 4.00 GB (4,294,967,295 bytes).");
    EXPECT_EQ(ui.presetBtn.title(), "FAT32 drive: 4 GB (4,294,967,295 bytes)");
    EXPECT_EQ(ui.presetBtn.items[2], "DVD: 4.7 GB (4,700,000,000 bytes)"); // as discs are sold
    // A size or count typed afterwards is no longer the preset's.
    for (fake::TextField* field : {&ui.tfSize, &ui.tfCount}) {
        c.actPreset();
        type(*field, "3");
        EXPECT_EQ(ui.presetBtn.title(), "Custom");
        ui.presetBtn.selectItemAtIndex(1);
    }

    // A FAT output: its preset comes first, larger pieces and names it cannot hold are refused.
    space = OutputSpace{true, int64_t{1} << 40, 4294967295LL, "FAT"};
    tk.answerPanel(dir.path().string());
    c.actOutPath();
    EXPECT_EQ(ui.presetBtn.items.front(), "FAT32 drive: 4 GB (4,294,967,295 bytes)");
    c.split().state().sSize = 4294967296;
    c.actSplit();
    ASSERT_EQ(tk.alerts.size(), 1u);
    EXPECT_EQ(tk.alerts[0].informative,
              "Pieces of 4.00 GB (4,294,967,296 bytes) are larger than the 4.00 GB (4,294,967,295 "
              "bytes) the FAT file system at " +
                  dir.path().string() + " allows.");
    c.split().state().sSize = 1000;
    c.actSplit();
    ASSERT_EQ(tk.alerts.size(), 2u);
    EXPECT_NE(tk.alerts[1].informative.find("characters a FAT file system cannot store (:)"),
              std::string::npos);

    // Too little free space: asked, with Cancel as the default.
    space = OutputSpace{true, 100, 0, ""};
    c.actSplit();
    ASSERT_EQ(tk.alerts.size(), 3u);
    EXPECT_EQ(tk.alerts[2].message, "The set may not fit the free space.");
    EXPECT_EQ(tk.alerts[2].button, "Split Anyway");
    EXPECT_TRUE(tk.app.modalHistory.empty());

    // A preset larger than the source: one piece holds it, and the unit stays
    // one the user types in, so a size typed next is taken as typed.
    writeFile(dir / "small.bin", std::string(5000, 'x'));
    tk.answerPanel(dir / "small.bin");
    c.actAddFile();
    ui.presetBtn.selectItemAtIndex(1);
    c.actPreset();
    EXPECT_EQ(ui.tfCount.integerValue(), 1);
    EXPECT_NE(ui.popBtn.title(), "bytes");
    EXPECT_EQ(ui.sizeNote.stringValue(), "One piece of up to 4.00 GB (4,294,967,295 bytes) holds "
                                         "all 4.88 KB of the source: no split is needed.");
    type(ui.tfSize, "100");
    EXPECT_EQ(ui.tfSize.stringValue(), "100");
}

TEST_F(SplitSide, CorrectionsWaitUntilTheFieldIsLeftAndSplitAppliesThem) {
    c.split().state().fSize = 1000000;
    typeWithoutLeaving(ui.tfSize, "");
    EXPECT_EQ(ui.tfSize.stringValue(), ""); // no "1" put in while typing
    typeWithoutLeaving(ui.tfSize, "8");
    EXPECT_EQ(ui.tfSize.stringValue(), "8");
    EXPECT_EQ(c.split().state().sSize, 8192);
    EXPECT_EQ(ui.tfCount.stringValue(), "123");
    typeWithoutLeaving(ui.tfSize, "0");
    c.controlTextDidEndEditing(&ui.tfSize);
    EXPECT_EQ(ui.tfSize.stringValue(), "1");
    EXPECT_EQ(ui.sizeNote.stringValue(), "The piece size was corrected to 1 KB.");

    typeWithoutLeaving(ui.tfCount, "5000"); // more pieces than 1 KB each allows
    EXPECT_EQ(ui.tfCount.stringValue(), "5000");
    c.split().state().fPath = "/tmp/missing-source";
    c.split().state().oPath = "/tmp";
    // An output that takes no piece: the split is refused right after the correction.
    c.split().examineOutput = [](const std::string&) {
        return OutputSpace{true, 1 << 30, 1, "FAT"};
    };
    c.actSplit(); // the pending correction applies before anything else
    EXPECT_TRUE(tk.app.modalHistory.empty());
    EXPECT_EQ(ui.tfCount.stringValue(), "977");
    EXPECT_EQ(ui.sizeNote.stringValue(), "The number of pieces was corrected to 977.");
}

TEST_F(SplitSide, TheRecoveryChoiceSaysWhatTheSetSurvivesAndWhatItCosts) {
    TempDir dir;
    writeFile(dir / "clip.mov", std::string(160000, 'x'));
    tk.answerPanel(dir / "clip.mov");
    c.actAddFile();
    type(ui.tfCount, "16");
    EXPECT_EQ(ui.recoveryNote.stringValue(), ""); // None
    EXPECT_TRUE(ui.tfRecoveryCount.isHidden());
    ui.recoveryBtn.selectItemAtIndex(2);
    c.actRecovery();
    EXPECT_EQ(ui.recoveryNote.stringValue(),
              "The set can lose any 2 of its 18 pieces and still be joined (+2 pieces, 19.5 KB).");
    type(ui.tfCount, "8"); // the sentence follows the cut
    EXPECT_EQ(ui.recoveryNote.stringValue(),
              "The set can lose any 2 of its 10 pieces and still be joined (+2 pieces, 39.1 KB).");

    ui.recoveryBtn.selectItemAtIndex(5); // Custom, with its count
    c.actRecovery();
    EXPECT_FALSE(ui.tfRecoveryCount.isHidden());
    typeWithoutLeaving(ui.tfRecoveryCount, "300");
    EXPECT_EQ(ui.recoveryNote.stringValue(),
              "No recovery pieces can be made: at most 254 recovery pieces a group can be made.");
    c.actSplit(); // refused before anything is written
    ASSERT_EQ(tk.alerts.size(), 1u);
    EXPECT_EQ(tk.alerts[0].informative, ui.recoveryNote.stringValue());
    EXPECT_TRUE(tk.app.modalHistory.empty());
}

// Where the pieces of a file would share its blocks (a fake of the probe):
// a count gets a size of whole blocks, the line under the table says what
// the split needs, the free-space question counts only that, and a typed
// size that is not whole blocks says its pieces will be copied.
TEST_F(SplitSide, ASplitThatSharesTheSourcesBlocksSaysWhatItNeeds) {
    TempDir dir;
    writeFile(dir / "big.bin", std::string(std::size_t{1} << 20, 'x'));
    c.split().examineOutput = [](const std::string&) { return OutputSpace{true, 100, 0, ""}; };
    c.split().examineSharing = [](const std::string&, const std::string&, int64_t bytes,
                                  int64_t piece) {
        SharedSplitSpace shared;
        shared.shares = true;
        shared.blockSize = 4096;
        shared.aligned = piece % 4096 == 0;
        shared.needBytes = shared.aligned ? 40 : bytes;
        return shared;
    };
    tk.answerPanel(dir / "big.bin");
    c.actAddFile();
    ui.spliteByBtn.selectTag(2);
    c.actSpliteBy();
    type(ui.tfCount, "7");
    const int64_t piece = c.split().state().sSize;
    EXPECT_EQ(piece % 4096, 0) << piece;
    EXPECT_EQ(ceilDivide(int64_t{1} << 20, piece), 7);
    EXPECT_EQ(ui.splitSummary.stringValue(), "shares the source's blocks: needs 40 bytes");
    tk.app.whenModal(&ui.completeWindow, [&] { c.actFinish(); });
    c.actSplit();
    ASSERT_FALSE(tk.app.hung);
    EXPECT_TRUE(tk.alerts.empty()); // nothing asked of the free space
    EXPECT_TRUE(exists(dir / "big_spt/big_6.spt"));

    ui.spliteByBtn.selectTag(1);
    c.actSpliteBy();
    ui.popBtn.selectItemAtIndex(0);
    type(ui.tfSize, "1001");
    EXPECT_NE(ui.splitSummary.stringValue().find("they will be copied"), std::string::npos)
        << ui.splitSummary.stringValue();
}
