#pragma once
// The split side of the main window: choosing the source, keeping the piece
// size and count in step, the password panel, the output folder, and the
// split run. It owns its outlets and its state, and reaches the window around
// it through its host; the controller forwards its split actions here.

#include "app/FSWindow.h"
#include "app/RunHost.h"
#include "app/SideHost.h"
#include "app/SplitRun.h"
#include "app/toolkit/Controls.h"
#include "app/toolkit/Table.h"
#include "core/RecoveryRules.h"
#include "core/SplitRules.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The split side's outlets (not owned).
struct SplitOutlets {
    toolkit::TableView* pathView = nullptr;
    toolkit::RadioGroup* spliteByBtn = nullptr;
    toolkit::TextField* tfSize = nullptr;
    toolkit::PopUpButton* popBtn = nullptr;
    toolkit::PopUpButton* presetBtn = nullptr; // piece sizes people need, in exact bytes
    toolkit::TextField* sizeNote = nullptr;    // says when the size shown is rounded
    toolkit::TextField* tfCount = nullptr;
    toolkit::Button* delSourceFileBtn = nullptr;
    toolkit::Button* includeHiddenBtn = nullptr;   // a folder source's hidden items go into the set
    toolkit::PopUpButton* recoveryBtn = nullptr;   // how many recovery pieces the split writes
    toolkit::TextField* tfRecoveryCount = nullptr; // the count of the Custom choice
    toolkit::TextField* recoveryNote = nullptr;    // what the choice survives, and costs
    toolkit::Button* btnSplit = nullptr;
    toolkit::TextField* tfOutPath = nullptr;
    toolkit::Button* outPathBtn = nullptr;
    toolkit::Button* addFolderBtn = nullptr;
    toolkit::Button* encryptBtn = nullptr;
    toolkit::TextField* splitSummary = nullptr; // what a folder source's set will hold
    // The password panel.
    FSWindow* encryptPanel = nullptr;
    toolkit::RadioGroup* pwdUseBtn = nullptr; // kEncryptPiecesTag or kGateJoinTag
    toolkit::SecureTextField* tfPwdFirst = nullptr;
    toolkit::SecureTextField* tfPwdSecond = nullptr;
    toolkit::TextField* pwdStrength = nullptr; // how hard the password is to guess
    toolkit::TextField* tfSetName = nullptr;   // optional: the set's name instead of the source's
    toolkit::TextField* encryptMsg2 = nullptr;
    toolkit::Button* encryptViewOKBtn = nullptr;
    toolkit::Button* encryptViewCancelBtn = nullptr;
};

// The password panel's choices.
inline constexpr int kEncryptPiecesTag = 1; // the pieces are encrypted with the password
inline constexpr int kGateJoinTag = 2;      // only its digest is stored, to ask before a join

// What the split side holds between the user's actions.
struct SplitState {
    std::string fPath;                         // the source
    int64_t fSize = 0;                         // its bytes, as measured
    int64_t sSize = 0;                         // the piece size
    std::string oPath;                         // the output folder
    std::string pwd;                           // the split's password, "" for none
    PasswordUse pwdUse = PasswordUse::Encrypt; // what `pwd` does
    std::string setName;                       // the name the set shows, "" for the source's
};

class SplitController : public toolkit::TableDataSource {
public:
    explicit SplitController(SideHost& host);
    ~SplitController() override = default;
    SplitController(const SplitController&) = delete;
    SplitController& operator=(const SplitController&) = delete;

    void connect(const SplitOutlets& outlets);
    // The window has shown: the menus filled, the table's source and drops
    // set, the side disabled until it has a source.
    void awake();

    SplitState& state() { return s_; }
    const SplitState& state() const { return s_; }

    void enableControls();
    void disableControls();
    // Takes `path` as the source; a folder is measured on a worker thread.
    void takeSource(const std::string& path);
    bool isMeasuringSource() const { return measuring_; }
    void chooseFile();
    void chooseFolder();
    void forgetSource(long tag);
    // Include hidden items was ticked or unticked: a folder source is measured
    // again, and keeps its password and its removal choice.
    void includeHiddenToggled();
    // A choice of recovery pieces was made: the Custom count shows with its
    // choice, and the sentence under them follows.
    void recoveryChosen();
    void reset();
    // The join side began or ended reading a set: Split waits for it.
    void setReadingChanged(bool reading);

    // Size and count.
    void proposeCut();
    void defaultCut();
    void sizeToCount();
    void countToSize();
    void textChanged(const toolkit::Control* object);
    void editingEnded(const toolkit::Control* object);
    void modeChosen();
    void unitChosen();
    void presetChosen();

    // The password panel: the password, what it does, and the set's name.
    void encryptToggled();
    void passwordUseChosen();
    void confirmPassword();
    void cancelPassword();

    void chooseOutputFolder();
    // The checks, the questions, then the run in the progress window.
    void start();

    // The split table's one row.
    int64_t numberOfRowsInTableView(const toolkit::TableView* table) override;
    toolkit::CellValue tableView_objectValueForTableColumn_row(const toolkit::TableView* table,
                                                               const std::string& columnId,
                                                               int64_t row) override;

    // What the output folder's file system allows; tests put a fake here.
    std::function<OutputSpace(const std::string& folder)> examineOutput = examineOutputFolder;
    // Whether the pieces of a file would share its blocks there, and what the
    // split would write; tests put a fake here.
    std::function<SharedSplitSpace(const std::string& source, const std::string& folder,
                                   int64_t fileBytes, int64_t pieceSize)>
        examineSharing = sharedSplitSpace;
    // scrypt's work factor for an encrypted split; tests lower it.
    int encryptWorkFactor = SplitOptions{}.encryptWorkFactor;

private:
    void log(const std::string& line);
    bool includeHidden() const;
    RecoveryRequest recoveryRequest() const;
    // What the chosen recovery pieces would make of the source, with the cut as it stands.
    RecoveryForecast recoveryForecast() const;
    // The sentence under the recovery choice, for the source and cut as they stand.
    void updateRecoveryNote();
    // Enables or disables the split side's controls and nothing else.
    void setControlsEnabled(bool enabled);
    // Measures the folder source on a worker thread with the split side
    // disabled; `again` keeps what was chosen for it (password, removal).
    void measureFolder(bool again);
    // The source's size is known: the split side comes alive with a proposed
    // cut; `again` as for measureFolder.
    void sourceMeasured(bool again = false);
    // The presets for the output folder's file system, "Custom" selected.
    void refreshPresets();
    // The checks before a split: the file system's file size limit and names,
    // and the free space for the set and its recovery pieces. False when the
    // split must not start.
    bool outputCanTakeTheSet(int64_t recoveryBytes);
    // A file split that can share the source's blocks: what it writes, the
    // line that says so, and the aligned size a count asks for.
    SharedSplitSpace sharingOfSplit() const;
    void updateSharingNote();
    int64_t sharedCountSize(int64_t count, int64_t pieceSize) const;
    // Asks before a split replaces a set already in its piece folder; false
    // when the user declines. Sets `replace` to the answer.
    bool mayReplaceSetInTheWay(bool& replace);
    // What the password panel's choice makes of the password.
    PasswordUse chosenPasswordUse() const;
    bool passwordPanelIsConfirmed() const;
    void updatePasswordPanel();
    // No password, no set name: the box is off.
    void forgetPassword();
    // The name the set will show: the set name, or the source's.
    std::string setNameShown() const;
    // What the completion window says of a split that has ended.
    RunEnd ended(const SplitRun& run);

    SideHost& host_;
    toolkit::Toolkit& tk_;
    SplitOutlets o_;
    SplitState s_;
    bool measuring_ = false;        // a folder source is being measured on a worker thread
    bool folderSource_ = false;     // the source is a folder
    int64_t sourceFiles_ = 1;       // the files the source holds, as measured
    uint64_t sourceGeneration_ = 0; // which source a measurement answers
    bool sizePending_ = false;      // typed into, not yet corrected
    bool countPending_ = false;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0); // posted work checks it
};
