#pragma once
// The join side of the main window: adding a piece set and its table, the
// output folder, the overwrite and password prompts, the join run, the full
// check and the repair of the listed set. It owns its outlets and its state,
// and reaches the window around it through its host; the controller forwards
// its join actions here.

#include "app/Browsing.h"
#include "app/FSWindow.h"
#include "app/JoinRun.h"
#include "app/RepairRun.h"
#include "app/RunHost.h"
#include "app/SideHost.h"
#include "app/VerifyRun.h"
#include "app/toolkit/Controls.h"
#include "app/toolkit/Table.h"
#include "core/RecoveryRules.h"
#include "engine/runs/verify.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The join side's outlets (not owned).
struct JoinOutlets {
    toolkit::Button* mBtnAddFile = nullptr;
    toolkit::Button* mAddPartsBtn = nullptr; // adds other tools' numbered parts by their first
    toolkit::Button* mVerifyBtn = nullptr;
    toolkit::Button* mBrowseBtn = nullptr;  // mounts the set and opens it; pressed again, unmounts
    toolkit::Button* mRepairBtn = nullptr;  // rebuilds the set from its recovery pieces
    toolkit::Button* mRefreshBtn = nullptr; // lists the set again as it lies on disk (F5)
    toolkit::TextField* joinSummary = nullptr; // the listed set in one line
    toolkit::TableView* joinView = nullptr;
    toolkit::Button* delSoureFileM = nullptr;
    toolkit::TextField* tfMOutputPath = nullptr;
    toolkit::TextField* tfMOutputName =
        nullptr; // what the join writes; numbered parts may rename it
    toolkit::Button* mOutputBtn = nullptr;
    toolkit::Button* mergeBtn = nullptr;
    // The password prompt of a protected or encrypted set.
    FSWindow* pwdWindow = nullptr;
    toolkit::TextField* pwdPrompt = nullptr; // says whether the set is encrypted or protected
    toolkit::TextField* pwdField = nullptr;
    toolkit::TextField* pwdMsg = nullptr;
    toolkit::Button* pwdOKBtn = nullptr;
    // The prompt before a join replaces what holds its target's name.
    FSWindow* outputPathWindow = nullptr;
    toolkit::TextField* outputPathPrompt = nullptr; // names what a join would replace
};

// One piece of the listed set, or one of the numbered parts, as its row shows it.
struct PieceRow {
    int32_t index = 0;
    std::string path;
    int64_t size = -1; // -1 when it is missing
    bool good = false; // the last check of it passed: the quick one, or Verify's
};

// What the join side holds between the user's actions.
struct JoinState {
    std::string intPath;            // the listed set's folder, or the first of numbered parts
    std::string outPath;            // where the join writes
    std::string pwdM;               // the set's password digest, "" for none
    std::string outputName;         // what the join writes, as far as it shows
    std::vector<PieceRow> joinList; // the pieces in index order
};

class JoinController : public toolkit::TableDataSource {
public:
    explicit JoinController(SideHost& host);
    ~JoinController() override;
    JoinController(const JoinController&) = delete;
    JoinController& operator=(const JoinController&) = delete;

    void connect(const JoinOutlets& outlets);
    // The window has shown: the table's source and drops set, the side
    // disabled until it has a set.
    void awake();

    const JoinState& state() const { return s_; }

    // Lists the set in `path`, or the numbered parts whose first is the file
    // `path`; they are read on a worker thread.
    void load(const std::string& path);
    bool isAddingSet() const { return addingSet_; }
    // A reading under way stops, and what it finds is dropped.
    void stopReading();
    void chooseSet();
    // The first of other tools' numbered parts, chosen in a file panel.
    void chooseParts();
    void chooseOutputFolder();
    void setControlsEnabled(bool enabled);
    void reset();
    // Lists the set again as it now lies on disk (Refresh, F5), keeping the
    // output folder and the removal choice; nothing while a run or a reading
    // is under way.
    void refresh();
    // How long the set's folder must stay unchanged before it is read again.
    static constexpr int kSettleMilliseconds = 700;

    // The questions and prompts, then the join in the progress window.
    void start();
    void answerReplacePrompt(bool replace);
    // False when `object` is none of this side's fields.
    bool textChanged(const toolkit::Control* object);
    void passwordEntered();
    void passwordCancelled();

    // The full check of every piece against the set's checksums, and of
    // the whole set against its recovery pieces when it has them.
    void startVerify();

    // Rebuilds what is missing or damaged from the recovery pieces: in
    // place, or into a folder the user chooses when the set's folder cannot
    // be written.
    void startRepair();

    // Browse: mounts the listed set in a private folder and opens it in the
    // file manager; pressed again, unmounts it. The mount starts on a worker
    // thread.
    void browse();
    bool isStartingBrowse() const { return static_cast<bool>(browseStart_); }
    bool isBrowsing() const { return browsed_.has_value(); }
    // Ends the browse, or one still starting (the window closes, another set
    // is listed); false, with the reason shown when `tell`, when the mount
    // could not be ended.
    bool stopBrowsing(bool tell);

    // The join table: the pieces in index order, then the recovery pieces.
    int64_t numberOfRowsInTableView(const toolkit::TableView* table) override;
    toolkit::CellValue tableView_objectValueForTableColumn_row(const toolkit::TableView* table,
                                                               const std::string& columnId,
                                                               int64_t row) override;

    // Whether this user may write into a folder; tests put a fake here.
    static bool folderIsWritable(const std::string& folder);
    std::function<bool(const std::string& folder)> canWriteFolder = folderIsWritable;

private:
    // One reading of a set on a worker thread, which stops when asked.
    struct Reading {
        std::atomic<bool> stop{false};
        RunContext context{&stop};
    };

    void log(const std::string& line);
    void setAdding(bool busy);
    // The listed set's folder is watched, and read again once a change settles.
    void watchListedFolder(const std::string& folder);
    void folderChanged();
    void settled(uint64_t change);
    // What the join writes, in its field: editable for numbered parts only.
    void showOutputName();
    // The numbered parts that the file `path` begins, listed as a set's pieces.
    void loadParts(const std::string& path, uint64_t generation);
    int64_t rowCount() const;
    void showSummary();
    // What a reading of the whole set against its recovery pieces found:
    // the pieces it found wrong are marked so.
    void takeAssessment(const RecoveryReport& report);
    // The quick check, or the last reading against the recovery pieces, found
    // something wrong that they may mend.
    bool canRepair() const;
    // Why a recovery piece's row is marked wrong; null when it is not.
    const char* recoveryPieceProblem(const ListedRecoveryPiece& piece) const;
    void passwordTyped();
    // Asks for the password of a protected or encrypted set; false when the
    // user cancels. An encrypted set's password comes back in `password`.
    bool askPassword(std::string& password);
    // `replaceAgreed`: the user agreed to replace what lies under the target's name.
    void launch(bool ignoreChecksums, bool replaceAgreed, std::string password);
    // What the completion window says of a run that has ended.
    RunEnd joinEnded(const JoinRun& run);
    RunEnd verifyEnded(const VerifyRun& run);
    RunEnd repairEnded(const RepairRun& run);

    // A mount being started on a worker thread. Whoever comes second, the
    // worker with its outcome or the UI thread abandoning it, ends it.
    struct BrowseStart {
        std::mutex mutex;
        BrowseFolder folder;
        std::optional<toolkit::ProcessOutcome> outcome; // once the mount command ended
        bool abandoned = false;
    };
    void browseStarted(const std::shared_ptr<BrowseStart>& start);
    // Ends the browse without touching the window's controls.
    bool endBrowse(bool tell);
    void showBrowseButton();

    SideHost& host_;
    toolkit::Toolkit& tk_;
    JoinOutlets o_;
    JoinState s_;
    bool addingSet_ = false;           // a set is being read on a worker thread
    std::shared_ptr<Reading> reading_; // the latest, until it has landed
    bool encrypted_ = false;           // the listed set is encrypted
    // What the listed encrypted set holds, once a join has decrypted its name.
    std::string revealedName_;
    bool parts_ = false;           // the list holds numbered parts, not a set's pieces
    std::string partsSums_;        // the checksum file that lists the parts; "" when none
    std::string partsName_;        // the joined file's name when the parts carry none (xaa, x00)
    std::string typedPartsName_;   // the name typed for the listed parts' file; "" for theirs
    std::string typedPassword_;    // an encrypted set's, from OK until the prompt returns
    uint64_t setGeneration_ = 0;   // which add a result answers
    ChecksumVerdict setChecksums_; // what the listed set's checksum files are worth
    std::set<int32_t> checksumFailures_; // pieces the last Verify found wrong
    bool checksumsVerified_ = false;     // the marks are the last Verify's, every byte read
    RecoveryListing recovery_;           // the listed set's recovery pieces
    std::vector<std::string> keptAside_; // damaged files a repair kept beside the set
    // What the last reading against the recovery pieces found; none until one is made.
    std::optional<RecoveryReport> assessed_;
    std::unique_ptr<toolkit::FolderWatch> watch_; // the listed set's folder
    uint64_t changeGeneration_ = 0;               // which change a settling answers
    bool changedDuringRun_ = false;               // the folder changed while a run went on
    bool readRecoveryNext_ = false; // the next reading reads every byte against the recovery pieces
    bool controlsEnabled_ = false;  // as setControlsEnabled left them
    std::shared_ptr<BrowseStart> browseStart_; // a mount being started
    std::optional<BrowseFolder> browsed_;      // the folder the listed set is mounted on
    std::string browsedSet_;                   // what is mounted there
    std::shared_ptr<int> alive_ = std::make_shared<int>(0); // posted work checks it
};
