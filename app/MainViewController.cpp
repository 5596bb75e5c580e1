// Start-up, the engine bridges, the progress timer shared by both runs, the
// completion window, the tables' data source and the drop receivers.

#include "app/MainViewController.h"

#include "app/RunState.h"
#include "app/Texts.h"
#include "core/LaunchPaths.h"
#include "core/SplitArithmetic.h"
#include "engine/errors.h"
#include "engine/join.h"
#include "engine/utilities.h"

#include <cstdio>

MainViewController::MainViewController(toolkit::Toolkit& toolkit) : tk_(toolkit) {}

MainViewController::~MainViewController() {
    tk_.notificationCenter().removeObserver(this);
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
    disableSpliteUIControl();
    disableMergeUIControl();
    tk_.notificationCenter().addWindowWillCloseObserver(this, window,
                                                        [this] { return windowShouldClose(); });
}

void MainViewController::openLaunchPaths(const std::vector<std::string>& paths) {
    const LaunchPlan plan = planLaunchPaths(paths);
    if (!plan.splitSource.empty()) takeSplitSource(plan.splitSource);
    if (!plan.pieceSet.empty()) loadPieceSet(plan.pieceSet);
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
    return false;
}

void MainViewController::OC_splitProject_split(Split_pragma* /*ignored*/) {
    splitFinished.store(0, std::memory_order_relaxed);
    const int32_t result =
        splitWithOptions(&splitRequest, SplitOptions{replaceSet_, true}, &splitOutcome);
    splitResult.store(result, std::memory_order_relaxed);
    splitFinished.store(1, std::memory_order_release);
}

void MainViewController::OC_splitProject_merge(const char* pieceFolder, const char* outputFolder,
                                               const char* password) {
    joinFinished.store(0, std::memory_order_relaxed);
    (void)password; // checked in the password prompt before the run
    JoinOptions options;
    options.ignoreChecksums = joinIgnoresChecksums_; // set before this thread started
    const int32_t result = joinWithOptions(pieceFolder, outputFolder, options, &joinOutcome);
    joinResult.store(result, std::memory_order_relaxed);
    joinFinished.store(1, std::memory_order_release);
}

void MainViewController::prepareRun() {
    runInProgress_ = true;
    closeAfterRun_ = false;
    engineResetCancel();
    runStarted_ = std::chrono::steady_clock::now();
}

void MainViewController::runProgressTimer(void (MainViewController::*tick)()) {
    std::unique_ptr<toolkit::RunLoop> loop = tk_.threads().currentRunLoop();
    {
        std::lock_guard lock(timerMutex_);
        if (!spliteTimer)
            spliteTimer =
                loop->scheduledTimer(kProgressInterval, [this, tick] { (this->*tick)(); });
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
    engineRequestCancel();
    progressCancelBtn->setEnabled(false);
    proTitle->setStringValue(kCancellingTitle);
}

const char* MainViewController::failedTitle(const char* failed, const char* cancelled) {
    return engineLastFailure() == EngineFailure::Cancelled ? cancelled : failed;
}

void MainViewController::showProgress(int64_t percent) {
    const int64_t done = progressDoneBytes();
    const int64_t total = progressTotalBytes();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - runStarted_).count();
    const std::string detail = progressText(done, total, seconds);
    onUi([this, percent, detail] {
        progressDetail->setStringValue(detail);
        progress->setDoubleValue(static_cast<double>(percent));
        char text[32];
        std::snprintf(text, sizeof text, "%d%%", static_cast<int>(percent));
        percentLabel->setStringValue(text);
    });
}

namespace {

std::string capitalized(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

} // namespace

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
        // A cancelled run needs no reason, but what it left behind; what the
        // engine did on the side (leftovers of stopped runs removed) is said once.
        std::string shown =
            detail.rfind("cancelled", 0) == 0 ? std::string(kCancelledDetail) : detail;
        for (const std::string& note : engineTakeNotes())
            shown += (shown.empty() ? "" : "\n") + capitalized(note) + ".";
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
    return static_cast<int64_t>(joinList.size());
}

toolkit::CellValue MainViewController::tableView_objectValueForTableColumn_row(
    const toolkit::TableView* table, const std::string& columnId, int64_t row) {
    using toolkit::CellValue;
    if (table == pathView) {
        if (fPath.empty() || fPath == "0") return CellValue::none();
        if (columnId == kFileNameColumn) return CellValue::text(lastPathComponent(fPath));
        if (columnId == kLocationColumn)
            return CellValue::text(stringByDeletingLastPathComponent(fPath));
        if (columnId == kSizeColumn) return CellValue::text(sizeText(fSize));
        return CellValue::none();
    }
    if (row < 0 || row >= static_cast<int64_t>(joinList.size())) return CellValue::none();
    const SPTCfg_SPTitem2& entry = joinList[static_cast<std::size_t>(row)];
    if (columnId == kFileNameColumn) return CellValue::text(lastPathComponent(entry.path));
    if (columnId == kLocationColumn)
        return CellValue::text(stringByDeletingLastPathComponent(entry.path));
    if (columnId == kSizeColumn) return CellValue::text(sizeText(entry.size));
    if (columnId == kCheckStateColumn) {
        if (entry.checkState == 0) return CellValue::image(kRightImage);
        // Why the mark is wrong: the full check's verdict once Verify has run.
        const char* why = entry.size < 0 ? "missing"
                          : checksumFailures_.count(entry.pieceIndex) != 0
                              ? "does not match its checksum"
                              : "does not match its fingerprint";
        return CellValue::image(kWrongImage, why);
    }
    return CellValue::none();
}

bool MainViewController::respondsToSelector(const std::string& selector) const {
    return selector == "acceptFileNameDragintoPathView:" || selector == "acceptFileNameDrag:";
}

void MainViewController::acceptFileNameDragintoPathView(const std::string& path) {
    log("pathView fn = " + path);
    if (tk_.fileManager().attributesOfItemAtPath_fileType(path) == toolkit::FileType::Directory)
        return;
    takeSplitSource(path);
}
