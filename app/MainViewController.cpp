// Start-up, the launch paths, the window's closing, the drop receivers, what
// the sides ask of the window, and the actions, forwarded to the side they
// belong to.

#include "app/MainViewController.h"

#include "app/Texts.h"
#include "core/LaunchPaths.h"

MainViewController::MainViewController(toolkit::Toolkit& toolkit) : tk_(toolkit) {}

MainViewController::~MainViewController() {
    tk_.notificationCenter().removeObserver(this);
}

void MainViewController::connect(const WindowOutlets& outlets) {
    window_ = outlets.window;
    mainView_ = outlets.mainView;
    tfVersion_ = outlets.tfVersion;
    split_.connect(outlets.split);
    join_.connect(outlets.join);
    runs_.connect(outlets.window, outlets.runs);
}

void MainViewController::log(const std::string& line) {
    tk_.systemLog().log(line);
}

void MainViewController::showAlert(const std::string& message, const std::string& informative) {
    tk_.alert()->beginSheetModalForWindow(window_, message, kOK, informative);
}

bool MainViewController::confirm(const std::string& question, const std::string& informative,
                                 const std::string& yes, const std::string& no) {
    return tk_.alert()->runModalQuestion(window_, question, informative, yes, no) ==
           toolkit::kModalResponseOK;
}

int MainViewController::choose(const std::string& question, const std::string& informative,
                               const std::vector<std::string>& buttons) {
    return tk_.alert()->runModalChoice(window_, question, informative, buttons);
}

void MainViewController::readingSetChanged() {
    split_.setReadingChanged(join_.isAddingSet());
}

void MainViewController::awakeFromNib() {
    log("View did show!");
    window_->setTitle(kAppTitle);
    tfVersion_->setStringValue(kVersionText);
    split_.awake();
    join_.awake();
    tk_.notificationCenter().addWindowWillCloseObserver(this, window_,
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
    if (!runs_.running()) {
        join_.stopReading();       // the window goes: a set being read is not waited for
        join_.stopBrowsing(false); // nor is its set left mounted
        return true;
    }
    // A run goes on: the window closes only once it has been cancelled and stopped.
    if (!runs_.closingAfterRun() && confirm(kRunInProgressQuestion, kRunInProgressInformative,
                                            kCancelAndCloseButton, kKeepRunningButton))
        runs_.cancelAndClose();
    // The run's window has the keyboard again: Escape and its Cancel reach it.
    if (runs_.running()) runs_.focusProgress();
    return false;
}

void MainViewController::actCancelRun() {
    runs_.cancel();
}

void MainViewController::actOpenFolder() {
    const std::string folder =
        runs_.outputFolder().empty() ? split_.state().oPath : runs_.outputFolder();
    if (!tk_.workspace().openFolder(folder)) showAlert(kNoFileManager, folder);
}

void MainViewController::actFinish() {
    runs_.closeCompletion();
}

void MainViewController::actAgain() {
    mainView_->setHidden(false);
    window_->setContentView(mainView_);
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
    if (!join_.textChanged(object)) split_.textChanged(object);
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

// --- the join side

void MainViewController::mActAddFile() {
    join_.chooseSet();
}
void MainViewController::mActAddParts() {
    join_.chooseParts();
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
void MainViewController::mActBrowse() {
    join_.browse();
}
void MainViewController::mActRepair() {
    join_.startRepair();
}
void MainViewController::mActRefresh() {
    join_.refresh();
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
