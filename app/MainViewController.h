#pragma once
// The main window's controller: all user state of the split side and the join
// side, every outlet, every action, and the only caller of the engine. It runs
// on the UI thread, except for the engine bridges (engine thread) and the
// progress indicators and their ticks (progress thread), which hand every
// change of a control to the UI thread.

#include "app/DragInfo.h"
#include "app/FSWindow.h"
#include "app/toolkit/Toolkit.h"
#include "core/SplitRules.h"
#include "engine/inspection.h"
#include "engine/split.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

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

    // --- engine bridges (engine thread)
    void OC_splitProject_split(Split_pragma* ignored);
    void OC_splitProject_merge(const char* pieceFolder, const char* outputFolder,
                               const char* password);

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
    void clearSplitMsg();
    void defaultSpliteSize();
    void sizeTextFieldChange();
    void countTextFieldChange();

    // --- split run
    void actEncrypt();
    void actEncryptOK();
    void actEncryptCancel();
    void actOutPath();
    void actSplit();
    void updateSpliteProgressIndicator(); // progress thread
    void updateSpliteProgress();          // progress thread, every tick
    void actCancelRun();                  // the progress window's Cancel, Escape and close button
    void actOpenFolder();
    void actFinish();
    void actAgain();

    // --- join list (adding a set returns at once; the pieces are read on a worker thread)
    bool isAddingSet() const { return addingSet_; }
    bool isMeasuringSource() const { return measuring_; }
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
    void OC_verifyPieceSet(const char* pieceFolder); // engine thread
    void updateVerifyProgress();                     // progress thread, every tick

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

    // --- state
    std::string fPath;
    int64_t fSize = 0;
    int64_t sSize = 0;
    std::string oPath;
    std::string pwd;
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
    toolkit::Button* btnSplit = nullptr;
    toolkit::TextField* tfOutPath = nullptr;
    toolkit::Button* outPathBtn = nullptr;
    toolkit::Button* addFolderBtn = nullptr;
    toolkit::Button* encryptBtn = nullptr;
    FSWindow* encryptPanel = nullptr;
    toolkit::SecureTextField* tfPwdFirst = nullptr;
    toolkit::SecureTextField* tfPwdSecond = nullptr;
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
    toolkit::TextField* joinSummary = nullptr;  // the listed set in one line
    toolkit::TextField* splitSummary = nullptr; // what a folder source's set will hold
    toolkit::TableView* joinView = nullptr;
    toolkit::Button* delSoureFileM = nullptr;
    toolkit::TextField* tfMOutputPath = nullptr;
    toolkit::Button* mOutputBtn = nullptr;
    toolkit::Button* mergeBtn = nullptr;
    FSWindow* pwdWindow = nullptr;
    toolkit::TextField* pwdField = nullptr;
    toolkit::TextField* pwdMsg = nullptr;
    toolkit::Button* pwdOKBtn = nullptr;
    FSWindow* outputPathWindow = nullptr;
    toolkit::TextField* outputPathPrompt = nullptr; // names what a join would replace

private:
    void log(const std::string& line);
    void onUi(std::function<void()> work);
    void takeSplitSource(const std::string& path);
    void loadPieceSet(const std::string& path);
    void setMergeControlsEnabled(bool enabled);
    void showJoinSummary();
    void setAddingSet(bool busy);
    // The source's size is known: the split side comes alive with a proposed cut.
    void sourceMeasured();
    bool passwordStep();
    void launchJoin();
    void runProgressTimer(void (MainViewController::*tick)());
    // Clears a stop request left from an earlier run and starts the run's clock.
    void prepareRun();
    // Shows the progress window and stays in its modal loop until the run ends.
    void runProgressWindow(const char* title);
    void showProgress(int64_t percent);
    // The completion title of a run that returned -1: cancelled, or failed.
    static const char* failedTitle(const char* failed, const char* cancelled);
    // Asks before a split replaces a set already in its piece folder; false
    // when the user declines. Sets replaceSet_.
    bool mayReplaceSetInTheWay();
    bool passwordPanelIsConfirmed() const;
    // The presets for the output folder's file system, "Custom" selected.
    void refreshPresets();
    // The checks before a split: the file system's file size limit and names,
    // and the free space. False when the split must not start.
    bool outputCanTakeTheSet();
    void updatePasswordPanel();
    // The finishing steps of a run, handed to the UI thread: 100%, then
    // `beforeCompletion`, then the completion window with `title` and
    // `detail`, then `afterCompletion`.
    void finishRun(const char* title, const std::string& detail,
                   std::function<void()> beforeCompletion, std::function<void()> afterCompletion);
    void stopProgressTimer();
    void showAlert(const std::string& message, const std::string& informative);

    toolkit::Toolkit& tk_;
    std::mutex timerMutex_; // guards spliteTimer between progress threads
    // What the finishing tick needs, fixed when the run starts.
    bool removeAfterRun_ = false;        // the removal box was on when the run started
    bool replaceSet_ = false;            // the user agreed to replace the set in the way
    std::set<int32_t> checksumFailures_; // pieces the last Verify found wrong
    bool addingSet_ = false;             // a set is being read on a worker thread
    bool measuring_ = false;             // a folder source is being measured on a worker thread
    uint64_t sourceGeneration_ = 0;      // which source a measurement answers
    uint64_t setGeneration_ = 0;         // which add a result answers
    ChecksumVerdict setChecksums_;       // what the listed set's checksum files are worth
    bool joinIgnoresChecksums_ = false;  // the user chose to join over damaged checksum files
    std::shared_ptr<int> alive_ = std::make_shared<int>(0); // posted work checks it
    bool runInProgress_ = false; // a split, join or full check has started and not ended
    bool closeAfterRun_ = false; // the user closed the window during the run
    bool sizePending_ = false;   // typed into, not yet corrected
    bool countPending_ = false;
    std::string lastOutputFolder_; // what the completion window's open-folder shows
    std::chrono::steady_clock::time_point runStarted_; // for the rate and the time left
};
