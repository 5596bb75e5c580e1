#pragma once
// The main window's controller: every outlet, every action, the user state
// the two sides share with the window, and the progress and completion windows
// both sides' runs go through. The split side's and the join side's work is
// done by SplitController and JoinController; the actions forward to them. It
// runs on the UI thread, except for the engine bridges (engine thread) and the
// progress indicators and their ticks (progress thread), which hand every
// change of a control to the UI thread.

#include "app/DragInfo.h"
#include "app/EngineRun.h"
#include "app/FSWindow.h"
#include "app/JoinController.h"
#include "app/SplitController.h"
#include "app/toolkit/Toolkit.h"
#include "core/SplitRules.h"
#include "engine/compat/inspection.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The password panel's choices.
inline constexpr int kEncryptPiecesTag = 1; // the pieces are encrypted with the password
inline constexpr int kGateJoinTag = 2;      // only its digest is stored, to ask before a join

class MainViewController : public toolkit::TableDataSource, public FileDropDelegate {
public:
    explicit MainViewController(toolkit::Toolkit& toolkit);
    ~MainViewController() override;
    MainViewController(const MainViewController&) = delete;
    MainViewController& operator=(const MainViewController&) = delete;

    // --- start-up and shutdown
    void awakeFromNib();
    // Fills the split side and the join side from the paths the program was
    // started with; paths it cannot use are named in one alert.
    void openLaunchPaths(const std::vector<std::string>& paths);
    bool windowShouldClose();

    // --- engine bridges (engine thread): each one runs what it is handed and
    // touches nothing else, so a run's state is never shared with the window.
    static void OC_splitProject_split(SplitRun& run);
    static void OC_splitProject_merge(JoinRun& run);

    // --- split settings
    void enableSpliteUIControl();
    void disableSpliteUIControl();
    void actAddFile();
    void actAddFolder();
    void cal_AI_size();
    void cal_sizeTocount();
    void cal_countTosize();
    void controlTextDidChange(const toolkit::Control* object);
    // The field lost the focus or Enter was pressed: corrections happen here.
    void controlTextDidEndEditing(const toolkit::Control* object);
    void actSpliteBy();
    void actPopBtn();
    void actPreset(); // a piece size chosen from the presets menu
    void actDelFile(long tag);
    void actIncludeHidden(); // the box was ticked or unticked: a folder source is measured again
    void actRecovery();      // a choice of recovery pieces was made
    void clearSplitMsg();
    void defaultSpliteSize();
    void sizeTextFieldChange();
    void countTextFieldChange();

    // --- split run
    void actEncrypt();
    void actPasswordUse(); // encrypting or only gating the join was chosen in the password panel
    void actEncryptOK();
    void actEncryptCancel();
    void actOutPath();
    void actSplit();
    void updateSpliteProgressIndicator(); // progress thread
    void updateSpliteProgress();          // progress thread, every tick
    // Makes `run` the one the progress window shows and its Cancel stops,
    // starts the run's clock, and remembers the folder the completion
    // window's open-folder shows.
    void prepareRun(std::shared_ptr<EngineRun> run, const std::string& outputFolder);
    void actCancelRun(); // the progress window's Cancel, Escape and close button
    void actOpenFolder();
    void actFinish();
    void actAgain();

    // --- join list (adding a set returns at once; the pieces are read on a worker thread)
    bool isAddingSet() const { return join_.isAddingSet(); }
    bool isMeasuringSource() const { return split_.isMeasuringSource(); }
    void mActAddFile();
    void acceptFileNameDrag(const std::string& path) override;
    void mActSelectOutput();
    void enableMergeUIControl();
    void disableMergeUIControl();
    void clearMergeMsg();
    int64_t numberOfRowsInTableView(const toolkit::TableView* table) override;
    toolkit::CellValue tableView_objectValueForTableColumn_row(const toolkit::TableView* table,
                                                               const std::string& columnId,
                                                               int64_t row) override;

    // --- full check of the listed set
    void mActVerify();
    static void OC_verifyPieceSet(VerifyRun& run); // engine thread
    void updateVerifyProgress();                   // progress thread, every tick

    // --- repair of the listed set from its recovery pieces
    void mActRepair();

    // --- join run
    void mActMergeFile();
    void actOutputPathOK();
    void actOutputPathCancel();
    void actPwdOK();
    void actPwdCancel();
    void updateMergeProgressIndicator(); // progress thread
    void updateMergeProgress();          // progress thread, every tick

    // --- drops onto the split table
    void acceptFileNameDragintoPathView(const std::string& path) override;
    bool respondsToSelector(const std::string& selector) const override;

    // What the output folder's file system allows; tests put a fake here.
    std::function<OutputSpace(const std::string& folder)> examineOutput = examineOutputFolder;
    // Whether this user may write into a folder; tests put a fake here.
    static bool folderIsWritable(const std::string& folder);
    std::function<bool(const std::string& folder)> canWriteFolder = folderIsWritable;
    // scrypt's work factor for an encrypted split; tests lower it.
    int encryptWorkFactor = SplitOptions{}.encryptWorkFactor;

    // --- state
    std::string fPath;
    int64_t fSize = 0;
    int64_t sSize = 0;
    std::string oPath;
    std::string pwd;                           // the split's password, "" for none
    PasswordUse pwdUse = PasswordUse::Encrypt; // what `pwd` does
    std::string setName;                       // the name the set shows, "" for the source's
    std::shared_ptr<toolkit::Timer> spliteTimer;
    std::shared_ptr<toolkit::Timer> mergeTimer; // stays empty: the join uses spliteTimer
    std::string intPath;
    std::string outPath;
    std::string pwdM;
    std::string outputName;
    std::vector<SPTCfg_SPTitem2> joinList;

    // --- outlets (not owned)
    toolkit::Window* window = nullptr;
    toolkit::View* mainView = nullptr;
    toolkit::TextField* tfVersion = nullptr;
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
    FSWindow* encryptPanel = nullptr;
    toolkit::RadioGroup* pwdUseBtn = nullptr; // kEncryptPiecesTag or kGateJoinTag
    toolkit::SecureTextField* tfPwdFirst = nullptr;
    toolkit::SecureTextField* tfPwdSecond = nullptr;
    toolkit::TextField* pwdStrength = nullptr; // how hard the password is to guess
    toolkit::TextField* tfSetName = nullptr;   // optional: the set's name instead of the source's
    toolkit::TextField* encryptMsg2 = nullptr;
    toolkit::Button* encryptViewOKBtn = nullptr;
    toolkit::Button* encryptViewCancelBtn = nullptr;
    FSWindow* progressWindow = nullptr;
    toolkit::TextField* proTitle = nullptr;
    toolkit::TextField* percentLabel = nullptr;
    toolkit::ProgressIndicator* progress = nullptr;
    toolkit::TextField* progressDetail = nullptr; // bytes done of total, rate, time left
    toolkit::Button* progressCancelBtn = nullptr;
    FSWindow* completeWindow = nullptr;
    toolkit::TextField* completeTitle = nullptr;
    toolkit::TextField* completeDetail = nullptr; // why a run failed, what a removal kept
    toolkit::Button* mBtnAddFile = nullptr;
    toolkit::Button* mVerifyBtn = nullptr;
    toolkit::Button* mRepairBtn = nullptr;      // rebuilds the set from its recovery pieces
    toolkit::TextField* joinSummary = nullptr;  // the listed set in one line
    toolkit::TextField* splitSummary = nullptr; // what a folder source's set will hold
    toolkit::TableView* joinView = nullptr;
    toolkit::Button* delSoureFileM = nullptr;
    toolkit::TextField* tfMOutputPath = nullptr;
    toolkit::Button* mOutputBtn = nullptr;
    toolkit::Button* mergeBtn = nullptr;
    FSWindow* pwdWindow = nullptr;
    toolkit::TextField* pwdPrompt = nullptr; // says whether the set is encrypted or protected
    toolkit::TextField* pwdField = nullptr;
    toolkit::TextField* pwdMsg = nullptr;
    toolkit::Button* pwdOKBtn = nullptr;
    FSWindow* outputPathWindow = nullptr;
    toolkit::TextField* outputPathPrompt = nullptr; // names what a join would replace

private:
    // The sides drive the outlets, the state above and the run windows below.
    friend class SplitController;
    friend class JoinController;

    void log(const std::string& line);
    void onUi(std::function<void()> work);
    void showAlert(const std::string& message, const std::string& informative);
    // Runs `tick` every progress interval on the calling (progress) thread
    // until stopProgressTimer().
    void runProgressTimer(std::function<void()> tick);
    void stopProgressTimer();
    // Shows the progress window and stays in its modal loop until the run ends.
    void runProgressWindow(const char* title);
    // Shows the active run's progress.
    void showProgress();
    // The completion title of a run that failed with `kind`: cancelled, or failed.
    static const char* failedTitle(EngineFailure kind, const char* failed, const char* cancelled);
    // The finishing steps of a run, handed to the UI thread: 100%, then
    // `beforeCompletion`, then the completion window with `title` and
    // `detail`, then `afterCompletion`.
    void finishRun(const char* title, const std::string& detail,
                   std::function<void()> beforeCompletion, std::function<void()> afterCompletion);

    toolkit::Toolkit& tk_;
    std::mutex timerMutex_;        // guards spliteTimer between progress threads
    bool runInProgress_ = false;   // a split, join or full check has started and not ended
    bool closeAfterRun_ = false;   // the user closed the window during the run
    std::string lastOutputFolder_; // what the completion window's open-folder shows
    std::chrono::steady_clock::time_point runStarted_; // for the rate and the time left
    // The run in progress, or the last one: set on the UI thread before its
    // engine thread starts, replaced only once it has ended.
    std::shared_ptr<EngineRun> activeRun_;
    SplitController split_{*this, tk_};
    JoinController join_{*this, tk_};
};
