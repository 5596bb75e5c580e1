// Start-up, the engine bridges, the progress timer shared by both runs, the
// completion window, the tables' data source, the drop receivers, and the
// actions, forwarded to the side they belong to.

#include "app/MainViewController.h"

#include "app/Texts.h"
#include "core/LaunchPaths.h"
#include "core/RecoveryRules.h"
#include "core/SplitArithmetic.h"
#include "engine/base/utilities.h"
#include "engine/compat/errors.h"

#include <cstdio>

#include <unistd.h>

MainViewController::MainViewController(toolkit::Toolkit& toolkit) : tk_(toolkit) {}

MainViewController::~MainViewController() {
    tk_.notificationCenter().removeObserver(this);
}

bool MainViewController::folderIsWritable(const std::string& folder) {
    return access(folder.c_str(), W_OK | X_OK) == 0;
}

void MainViewController::log(const std::string& line) {
    tk_.systemLog().log(line);
}

void MainViewController::onUi(std::function<void()> work) {
    tk_.threads().performOnUiThread(std::move(work));
}

void MainViewController::showAlert(const std::string& message, const std::string& informative) {
    tk_.alert()->beginSheetModalForWindow(window, message, kOK, informative);
}

void MainViewController::awakeFromNib() {
    log("View did show!");
    window->setTitle(kAppTitle);
    tfVersion->setStringValue(kVersionText);
    pathView->setDataSource(this);
    joinView->setDataSource(this);
    pathView->registerForDraggedTypes(kFilenamesPboardType);
    joinView->registerForDraggedTypes(kFilenamesPboardType);
    recoveryBtn->setItemTitles(recoveryChoiceTitles());
    popBtn->setItemTitles(
        std::vector<std::string>(std::begin(kSizeUnitTitles), std::end(kSizeUnitTitles)));
    disableSpliteUIControl();
    disableMergeUIControl();
    split_.recoveryChosen();
    tk_.notificationCenter().addWindowWillCloseObserver(this, window,
                                                        [this] { return windowShouldClose(); });
}

void MainViewController::openLaunchPaths(const std::vector<std::string>& paths) {
    const LaunchPlan plan = planLaunchPaths(paths);
    if (!plan.splitSource.empty()) split_.takeSource(plan.splitSource);
    if (!plan.pieceSet.empty()) join_.load(plan.pieceSet);
    if (!plan.refusals.empty()) {
        std::string text;
        for (const std::string& refusal : plan.refusals)
            text += (text.empty() ? "" : "\n") + refusal;
        showAlert(plan.refusals.size() == 1 ? plan.refusals[0] : "Some paths cannot be opened",
                  plan.refusals.size() == 1 ? "" : text);
    }
}

bool MainViewController::windowShouldClose() {
    if (!runInProgress_) return true;
    // A run goes on: the window closes only once it has been cancelled and stopped.
    if (!closeAfterRun_ &&
        tk_.alert()->runModalQuestion(window, kRunInProgressQuestion, kRunInProgressInformative,
                                      kCancelAndCloseButton,
                                      kKeepRunningButton) == toolkit::kModalResponseOK) {
        closeAfterRun_ = true;
        actCancelRun();
    }
    // The run's window has the keyboard again: Escape and its Cancel reach it.
    if (runInProgress_) progressWindow->makeKeyWindow();
    return false;
}

void MainViewController::OC_splitProject_split(SplitRun& run) {
    run.execute();
}

void MainViewController::OC_splitProject_merge(JoinRun& run) {
    run.execute();
}

void MainViewController::OC_verifyPieceSet(VerifyRun& run) {
    run.execute();
}

void MainViewController::prepareRun(std::shared_ptr<EngineRun> run,
                                    const std::string& outputFolder) {
    activeRun_ = std::move(run);
    lastOutputFolder_ = outputFolder;
    runInProgress_ = true;
    closeAfterRun_ = false;
    runStarted_ = std::chrono::steady_clock::now();
}

void MainViewController::runProgressTimer(std::function<void()> tick) {
    std::unique_ptr<toolkit::RunLoop> loop = tk_.threads().currentRunLoop();
    {
        std::lock_guard lock(timerMutex_);
        if (!spliteTimer) spliteTimer = loop->scheduledTimer(kProgressInterval, std::move(tick));
    }
    loop->run();
}

void MainViewController::stopProgressTimer() {
    std::lock_guard lock(timerMutex_);
    if (spliteTimer) spliteTimer->invalidate();
    spliteTimer.reset();
}

void MainViewController::runProgressWindow(const char* title) {
    proTitle->setStringValue(title);
    progress->setDoubleValue(0);
    percentLabel->setStringValue("0%");
    progressDetail->setStringValue("");
    progressCancelBtn->setEnabled(true);
    progressWindow->center();
    progressWindow->makeKeyWindow();
    progress->startAnimation();
    progress->setHidden(false);
    tk_.application().runModalForWindow(progressWindow);
}

void MainViewController::actCancelRun() {
    if (activeRun_) activeRun_->stop.store(true, std::memory_order_relaxed);
    progressCancelBtn->setEnabled(false);
    proTitle->setStringValue(kCancellingTitle);
}

const char* MainViewController::failedTitle(EngineFailure kind, const char* failed,
                                            const char* cancelled) {
    return kind == EngineFailure::Cancelled ? cancelled : failed;
}

void MainViewController::showProgress() {
    if (!activeRun_) return;
    const int64_t done = activeRun_->progress.done.load(std::memory_order_relaxed);
    const int64_t total = activeRun_->progress.total.load(std::memory_order_relaxed);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - runStarted_).count();
    // The last steps move no bytes (the flush, the checksums' tail): each is
    // a step of its own, not a frozen 100%.
    const RunPhase phase = activeRun_->progress.phase.load(std::memory_order_relaxed);
    const bool finishing = phase != RunPhase::Copying;
    const int64_t percent = finishing ? 100 : progressPercent(done, total);
    const std::string detail = finishing ? phaseText(phase) : progressText(done, total, seconds);
    onUi([this, percent, detail] {
        progressDetail->setStringValue(detail);
        progress->setDoubleValue(static_cast<double>(percent));
        char text[32];
        std::snprintf(text, sizeof text, "%d%%", static_cast<int>(percent));
        percentLabel->setStringValue(text);
    });
}

void MainViewController::finishRun(const char* title, const std::string& detail,
                                   std::function<void()> beforeCompletion,
                                   std::function<void()> afterCompletion) {
    onUi([this, title, detail, before = std::move(beforeCompletion),
          after = std::move(afterCompletion)] {
        progress->setDoubleValue(100);
        percentLabel->setStringValue("100%");
        if (before) before();
        tk_.application().stopModal();
        runInProgress_ = false;
        if (closeAfterRun_) {
            // The user asked to close during the run: it has stopped, so the window goes.
            progressWindow->orderOut();
            window->performClose();
            return;
        }
        // A user who went elsewhere during a long run hears that it ended.
        if (!tk_.application().isActive()) tk_.workspace().notify(window, title, detail);
        completeTitle->setStringValue(title);
        completeWindow->setTitle(title); // a failure is not titled as a success
        // A cancelled run needs no reason, but what it left behind; what the
        // engine did on the side (leftovers of stopped runs removed) is said once.
        std::string shown = activeRun_->context.failureKind() == EngineFailure::Cancelled
                                ? std::string(kCancelledDetail)
                                : detail;
        for (const std::string& note : activeRun_->context.takeNotes())
            shown.append(shown.empty() ? "" : "\n").append(sentenceOf(note));
        completeDetail->setStringValue(shown);
        completeDetail->setHidden(shown.empty());
        progressWindow->orderOut();
        completeWindow->center();
        completeWindow->makeKeyWindow();
        tk_.application().runModalForWindow(completeWindow);
        if (after) after();
    });
}

void MainViewController::actOpenFolder() {
    const std::string folder = lastOutputFolder_.empty() ? oPath : lastOutputFolder_;
    if (!tk_.workspace().openFolder(folder)) showAlert(kNoFileManager, folder);
}

void MainViewController::actFinish() {
    tk_.application().stopModal();
    completeWindow->orderOut();
}

void MainViewController::actAgain() {
    mainView->setHidden(false);
    window->setContentView(mainView);
}

int64_t MainViewController::numberOfRowsInTableView(const toolkit::TableView* table) {
    if (table == pathView) return fPath.empty() ? 0 : 1;
    return join_.rowCount();
}

toolkit::CellValue MainViewController::tableView_objectValueForTableColumn_row(
    const toolkit::TableView* table, const std::string& columnId, int64_t row) {
    return table == pathView ? split_.cell(columnId) : join_.cell(columnId, row);
}

bool MainViewController::respondsToSelector(const std::string& selector) const {
    return selector == "acceptFileNameDragintoPathView:" || selector == "acceptFileNameDrag:";
}

void MainViewController::acceptFileNameDragintoPathView(const std::string& path) {
    log("pathView fn = " + path);
    if (tk_.fileManager().attributesOfItemAtPath_fileType(path) == toolkit::FileType::Directory)
        return;
    split_.takeSource(path);
}

void MainViewController::acceptFileNameDrag(const std::string& path) {
    log("JoinView fn = " + path);
    join_.load(path);
}

void MainViewController::controlTextDidChange(const toolkit::Control* object) {
    if (object == pwdField)
        join_.passwordTyped();
    else
        split_.textChanged(object);
}

void MainViewController::controlTextDidEndEditing(const toolkit::Control* object) {
    split_.editingEnded(object);
}

// --- the split side

void MainViewController::enableSpliteUIControl() {
    split_.enableControls();
}
void MainViewController::disableSpliteUIControl() {
    split_.disableControls();
}
void MainViewController::actAddFile() {
    split_.chooseFile();
}
void MainViewController::actAddFolder() {
    split_.chooseFolder();
}
void MainViewController::cal_AI_size() {
    split_.proposeCut();
}
void MainViewController::cal_sizeTocount() {
    split_.sizeToCount();
}
void MainViewController::cal_countTosize() {
    split_.countToSize();
}
void MainViewController::actSpliteBy() {
    split_.modeChosen();
}
void MainViewController::actPopBtn() {
    split_.unitChosen();
}
void MainViewController::actPreset() {
    split_.presetChosen();
}
void MainViewController::actDelFile(long tag) {
    split_.forgetSource(tag);
}
void MainViewController::actIncludeHidden() {
    split_.includeHiddenToggled();
}
void MainViewController::actRecovery() {
    split_.recoveryChosen();
}
void MainViewController::clearSplitMsg() {
    split_.reset();
}
void MainViewController::defaultSpliteSize() {
    split_.defaultCut();
}
void MainViewController::sizeTextFieldChange() {
    log("sizeTextFieldChange");
}
void MainViewController::countTextFieldChange() {
    log("countTextFieldChange");
}
void MainViewController::actEncrypt() {
    split_.encryptToggled();
}
void MainViewController::actPasswordUse() {
    split_.passwordUseChosen();
}
void MainViewController::actEncryptOK() {
    split_.confirmPassword();
}
void MainViewController::actEncryptCancel() {
    split_.cancelPassword();
}
void MainViewController::actOutPath() {
    split_.chooseOutputFolder();
}
void MainViewController::actSplit() {
    split_.start();
}

void MainViewController::updateSpliteProgressIndicator() {
    log("start updateSpliteProgressIndicator");
    runProgressTimer([this] { updateSpliteProgress(); });
    log("start the timer progress");
}

void MainViewController::updateSpliteProgress() {
    split_.tick();
}

// --- the join side

void MainViewController::mActAddFile() {
    join_.chooseSet();
}
void MainViewController::mActSelectOutput() {
    join_.chooseOutputFolder();
}
void MainViewController::enableMergeUIControl() {
    join_.setControlsEnabled(true);
}
void MainViewController::disableMergeUIControl() {
    join_.setControlsEnabled(false);
}
void MainViewController::clearMergeMsg() {
    join_.reset();
}
void MainViewController::mActVerify() {
    join_.startVerify();
}
void MainViewController::updateVerifyProgress() {
    join_.verifyTick();
}
void MainViewController::mActRepair() {
    join_.startRepair();
}
void MainViewController::mActMergeFile() {
    join_.start();
}
void MainViewController::actOutputPathOK() {
    join_.answerReplacePrompt(true);
}
void MainViewController::actOutputPathCancel() {
    join_.answerReplacePrompt(false);
}
void MainViewController::actPwdOK() {
    join_.passwordEntered();
}
void MainViewController::actPwdCancel() {
    join_.passwordCancelled();
}

void MainViewController::updateMergeProgressIndicator() {
    runProgressTimer([this] { updateMergeProgress(); });
    log("start the timer progress");
}

void MainViewController::updateMergeProgress() {
    join_.tick();
}
