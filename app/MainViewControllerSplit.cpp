// The split side: choosing the source, keeping size and count in step, the
// password panel, the output folder, and the split run.

#include "app/MainViewController.h"

#include "app/RunState.h"
#include "app/Texts.h"
#include "core/RemovalSummary.h"
#include "core/SplitArithmetic.h"
#include "core/SplitRules.h"
#include "engine/errors.h"
#include "engine/removal.h"
#include "engine/utilities.h"

#include <cstdio>
#include <cstring>

namespace {

bool isDigitsOnly(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// "Remove the folder album (1,204 files, 5.2 GB) once its pieces are verified?"
std::string sourceRemovalQuestion(const std::string& source) {
    const std::string name = lastPathComponent(source);
    const int64_t bytes = pathSize(source.c_str());
    if (isFolder(source.c_str()) != 1)
        return "Remove the file " + name + " (" + roundedSize(bytes) +
               ") once its pieces are verified?";
    std::vector<std::string> files;
    listFolderFiles(source.c_str(), files, 1);
    return "Remove the folder " + name + " (" + groupedCount(static_cast<int64_t>(files.size())) +
           (files.size() == 1 ? " file, " : " files, ") + roundedSize(bytes) +
           ") once its pieces are verified?";
}

std::string format(const char* pattern, long long value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

static_assert(kMaxPasswordBytes == sizeof(Split_pragma::password) - 1);

} // namespace

void MainViewController::enableSpliteUIControl() {
    spliteByBtn->setEnabled(true);
    // The field the split mode names is the one that can be edited.
    const bool byCount = spliteByBtn->selectedTag() == 2;
    tfSize->setEnabled(!byCount);
    popBtn->setEnabled(!byCount);
    tfCount->setEnabled(byCount);
    delSourceFileBtn->setEnabled(true);
    tfOutPath->setEnabled(true);
    outPathBtn->setEnabled(true);
    encryptBtn->setEnabled(true);
    encryptBtn->setState(0);
    pwd.clear(); // the box is off, so no password goes with the split
    btnSplit->setEnabled(true);
}

void MainViewController::disableSpliteUIControl() {
    spliteByBtn->setEnabled(false);
    tfSize->setEnabled(false);
    popBtn->setEnabled(false);
    tfCount->setEnabled(false);
    delSourceFileBtn->setEnabled(false);
    tfOutPath->setEnabled(false);
    outPathBtn->setEnabled(false);
    encryptBtn->setEnabled(false);
    encryptBtn->setState(0);
    pwd.clear();
    btnSplit->setEnabled(false);
}

void MainViewController::takeSplitSource(const std::string& path) {
    if (measuring_) return;
    delSourceFileBtn->setState(0); // a removal is chosen for one source, never carried over
    fPath = path;
    oPath = stringByDeletingLastPathComponent(fPath);
    tfOutPath->setStringValue(oPath);
    refreshPresets();
    const uint64_t generation = ++sourceGeneration_;
    if (isFolder(fPath.c_str()) != 1) {
        fSize = pathSize(fPath.c_str());
        sSize = fSize;
        splitSummary->setStringValue("");
        sourceMeasured();
        return;
    }
    // A folder is measured on a worker thread: a large tree takes a while.
    measuring_ = true;
    disableSpliteUIControl();
    splitSummary->setStringValue(kMeasuringSource);
    pathView->reloadData();
    tk_.threads().detachNewThread([this, path, generation, alive = std::weak_ptr<int>(alive_)] {
        const int64_t size = pathSize(path.c_str());
        auto summary = std::make_shared<std::string>(folderSourceSummary(path));
        onUi([this, generation, alive, size, summary] {
            if (alive.expired() || generation != sourceGeneration_) return;
            measuring_ = false;
            fSize = size;
            sSize = size;
            splitSummary->setStringValue(*summary);
            sourceMeasured();
        });
    });
}

void MainViewController::sourceMeasured() {
    enableSpliteUIControl();
    cal_AI_size();
    pathView->reloadData();
}

void MainViewController::actAddFile() {
    auto panel = tk_.openPanel();
    panel->setTitle(kChooseOneFile);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    takeSplitSource(panel->path());
}

void MainViewController::actAddFolder() {
    auto panel = tk_.openPanel();
    panel->setTitle(kChooseAFolder);
    panel->setCanChooseDirectories(true);
    panel->setCanChooseFiles(false);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    takeSplitSource(panel->path());
}

void MainViewController::cal_AI_size() {
    log(format("fsize/9 = %lld", fSize / 9));
    const ProposedSize proposal = proposePieceSize(fSize);
    tfSize->setStringValue(format("%lld", proposal.value));
    if (proposal.divisions <= 1) {
        popBtn->selectItemAtIndex(0);
    } else if (proposal.divisions <= 3) {
        popBtn->selectItemAtIndex(proposal.divisions - 1);
    }
    cal_sizeTocount();
}

void MainViewController::refreshPresets() {
    std::vector<std::string> titles;
    for (const SizePreset& preset : sizePresets(examineOutput(oPath).kind == "FAT"))
        titles.push_back(preset.title);
    presetBtn->setItemTitles(titles);
    sizeNote->setStringValue("");
}

void MainViewController::actPreset() {
    const std::string chosen = presetBtn->title();
    for (const SizePreset& preset : sizePresets(false)) {
        if (chosen != preset.title || preset.bytes == 0) continue;
        // The exact size goes to the split; the field shows it in the largest unit that fits.
        sSize = preset.bytes;
        const SizeInUnits shown = sizeInLargestUnit(sSize);
        tfSize->setIntegerValue(shown.value);
        popBtn->selectItemAtIndex(shown.unitIndex);
        tfCount->setIntegerValue(std::max<int64_t>(1, ceilDivide(fSize, sSize)));
        sizeNote->setStringValue("Pieces of " + groupedCount(sSize) +
                                 " bytes; the size shown is rounded.");
    }
}

bool MainViewController::outputCanTakeTheSet() {
    const OutputSpace space = examineOutput(oPath);
    const std::string stem = stemOf(lastPathComponent(fPath));
    std::string refusal = pieceSizeProblem(space, oPath, sSize);
    if (refusal.empty() && space.kind == "FAT") refusal = fatNameProblem(stem);
    if (!refusal.empty()) {
        showAlert(kCannotSplit, refusal);
        return false;
    }
    const std::string tight = freeSpaceProblem(space, oPath, fSize);
    return tight.empty() ||
           tk_.alert()->runModalQuestion(window, kNotEnoughSpaceQuestion, tight, kSplitAnywayButton,
                                         kCancelButton) == toolkit::kModalResponseOK;
}

void MainViewController::cal_sizeTocount() {
    if (tfSize->stringValue().empty()) tfSize->setStringValue("1");
    int64_t n = tfSize->integerValue();
    if (n <= 0) {
        tfSize->setIntValue(1);
        n = 1;
    }
    int64_t unit = unitBytes(popBtn->title());
    if (unit == 0) {
        popBtn->selectItemAtIndex(0);
        unit = kKilobyte;
    }
    if (n > largestSizeInUnits(unit)) {
        n = largestSizeInUnits(unit);
        tfSize->setIntegerValue(n);
    }
    const int64_t pieceSize = n * unit;
    tfCount->setIntegerValue(ceilDivide(fSize, pieceSize));
    sSize = pieceSize;
}

void MainViewController::cal_countTosize() {
    if (tfCount->stringValue().empty()) {
        tfCount->setStringValue("1");
        log("allCount  setStringValue = 1");
    }
    const int64_t count = usableCount(tfCount->integerValue(), fSize);
    tfCount->setIntegerValue(count);
    if (fSize <= 0) {
        // Nothing to divide: one piece of the smallest shown size.
        sSize = kKilobyte;
        tfSize->setIntegerValue(1);
        popBtn->selectItemAtIndex(0);
        return;
    }
    // Rounded up, so the split makes the pieces asked for whenever it can.
    sSize = planForCount(fSize, count).pieceSize;
    const SizeInUnits shown = sizeInLargestUnit(sSize);
    tfSize->setIntegerValue(shown.value);
    popBtn->selectItemAtIndex(shown.unitIndex);
    if (sSize >= kKilobyte) log(format("tt1 = %lld", shown.value));
}

void MainViewController::controlTextDidChange(const toolkit::Control* object) {
    // While typing nothing is corrected: the other field follows a usable value.
    if (object == tfSize) {
        sizePending_ = true;
        sizeNote->setStringValue("");
        const std::string text = tfSize->stringValue();
        const int64_t unit = unitBytes(popBtn->title());
        const int64_t n = tfSize->integerValue();
        if (isDigitsOnly(text) && n > 0 && unit > 0 && n <= largestSizeInUnits(unit)) {
            sSize = n * unit;
            tfCount->setIntegerValue(ceilDivide(fSize, sSize));
        }
    } else if (object == tfCount) {
        countPending_ = true;
        sizeNote->setStringValue("");
        const int64_t count = tfCount->integerValue();
        if (isDigitsOnly(tfCount->stringValue()) && fSize > 0 && count > 0 &&
            usableCount(count, fSize) == count) {
            sSize = planForCount(fSize, count).pieceSize;
            const SizeInUnits shown = sizeInLargestUnit(sSize);
            tfSize->setIntegerValue(shown.value);
            popBtn->selectItemAtIndex(shown.unitIndex);
        }
    } else if (object == tfPwdFirst || object == tfPwdSecond) {
        updatePasswordPanel();
    } else if (object == pwdField) {
        const bool right = checkPassword(pwdField->stringValue().c_str(), pwdM.c_str()) == 1;
        pwdMsg->setHidden(right);
        pwdOKBtn->setEnabled(right);
    }
}

void MainViewController::controlTextDidEndEditing(const toolkit::Control* object) {
    toolkit::TextField* field = object == tfSize ? tfSize : object == tfCount ? tfCount : nullptr;
    if (!field) return;
    bool& pending = field == tfSize ? sizePending_ : countPending_;
    if (!pending) return;
    pending = false;
    const std::string typed = field->stringValue();
    field == tfSize ? cal_sizeTocount() : cal_countTosize();
    if (field->stringValue() != typed) {
        sizeNote->setStringValue(field == tfSize
                                     ? "The piece size was corrected to " + field->stringValue() +
                                           " " + popBtn->title() + "."
                                     : "The number of pieces was corrected to " +
                                           field->stringValue() + ".");
    }
}

bool MainViewController::passwordPanelIsConfirmed() const {
    const std::string first = tfPwdFirst->stringValue();
    return newPasswordProblem(first).empty() && first == tfPwdSecond->stringValue();
}

void MainViewController::updatePasswordPanel() {
    const std::string first = tfPwdFirst->stringValue();
    const std::string second = tfPwdSecond->stringValue();
    // The second field mismatches once it is no longer the start of the first.
    const bool mismatch =
        second.size() > first.size() || first.compare(0, second.size(), second) != 0;
    const char* message = first.size() > kMaxPasswordBytes ? kPasswordTooLong
                          : mismatch                       ? kPasswordMismatch
                                                           : nullptr;
    if (message) encryptMsg2->setStringValue(message);
    encryptMsg2->setHidden(message == nullptr);
    // Only two equal, usable passwords can be confirmed, so Enter cannot store a typo.
    encryptViewOKBtn->setEnabled(passwordPanelIsConfirmed());
}

void MainViewController::actSpliteBy() {
    const int tag = spliteByBtn->selectedTag();
    log(format("row = %lld", tag));
    if (tag == 2) {
        tfSize->setEnabled(false);
        popBtn->setEnabled(false);
        tfCount->setEnabled(true);
    } else if (tag == 1) {
        tfSize->setEnabled(true);
        popBtn->setEnabled(true);
        tfCount->setEnabled(false);
    }
}

void MainViewController::actPopBtn() {
    cal_sizeTocount();
    presetBtn->selectItemAtIndex(0); // a unit chosen by hand: no preset any more
    sizeNote->setStringValue("");
}

void MainViewController::actDelFile(long tag) {
    log(format("tag = %lld", tag));
    ++sourceGeneration_; // a measurement still on its way no longer fits
    measuring_ = false;
    fPath.clear();
    fSize = 0;
    splitSummary->setStringValue("");
    disableSpliteUIControl(); // nothing left to split
    pathView->reloadData();
}

void MainViewController::clearSplitMsg() {
    fPath.clear();
    oPath.clear();
    sSize = 0;
    fSize = 0;
    tfSize->setStringValue("");
    tfCount->setStringValue("");
    tfOutPath->setStringValue("");
    btnSplit->setEnabled(false);
}

void MainViewController::defaultSpliteSize() {
    struct Tier {
        int64_t below;
        int64_t pieceSize;
        int32_t shown;
        int unitIndex;
    };
    static constexpr Tier kTiers[] = {
        {102400, 0, 1, 0},
        {104857600, 102400, 100, 0},
        {1073741824, 104857600, 100, 1},
        {INT64_MAX, 1073741824, 1, 2},
    };
    for (const Tier& tier : kTiers) {
        if (fSize >= tier.below && tier.below != INT64_MAX) continue;
        sSize = tier.pieceSize == 0 ? fSize : tier.pieceSize;
        tfSize->setIntValue(tier.shown);
        popBtn->selectItemAtIndex(tier.unitIndex);
        tfCount->setIntValue(
            tier.pieceSize == 0 ? 1 : static_cast<int32_t>(ceilDivide(fSize, tier.pieceSize)));
        return;
    }
}

void MainViewController::sizeTextFieldChange() {
    log("sizeTextFieldChange");
}
void MainViewController::countTextFieldChange() {
    log("countTextFieldChange");
}

void MainViewController::actEncrypt() {
    if (encryptBtn->state() == 0) {
        pwd.clear(); // unticking the box means no password
        return;
    }
    tfPwdFirst->setStringValue("");
    tfPwdSecond->setStringValue("");
    updatePasswordPanel();
    encryptPanel->center();
    encryptPanel->makeKeyWindow();
    tk_.application().runModalForWindow(encryptPanel);
    encryptMsg2->setHidden(true);
}

void MainViewController::actEncryptOK() {
    if (!passwordPanelIsConfirmed()) return;
    pwd = tfPwdFirst->stringValue();
    tk_.application().stopModal(toolkit::kModalResponseOK);
    encryptPanel->orderOut();
}

void MainViewController::actEncryptCancel() {
    pwd.clear();
    tk_.application().stopModal(toolkit::kModalResponseCancel);
    encryptPanel->orderOut();
    tfPwdFirst->setStringValue("");
    tfPwdSecond->setStringValue("");
    encryptBtn->setState(0);
}

void MainViewController::actOutPath() {
    auto panel = tk_.openPanel();
    panel->setTitle(kChooseOutputFolder);
    panel->setCanChooseDirectories(true);
    panel->setCanChooseFiles(false);
    panel->setCanCreateDirectories(true);
    panel->setAllowsMultipleSelection(false);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    oPath = panel->path();
    tfOutPath->setStringValue(oPath);
    refreshPresets();
    btnSplit->setEnabled(true);
}

void MainViewController::actSplit() {
    // Not while the engine reads a set, or the source is still being measured.
    if (addingSet_ || measuring_ || fPath.empty() || oPath.empty()) return;
    // A correction still pending applies before the split.
    controlTextDidEndEditing(tfSize);
    controlTextDidEndEditing(tfCount);
    if (fSize == 0) {
        showAlert(kCannotSplit, kEmptySource);
        return;
    }
    if (fPath.size() >= sizeof splitRequest.srcPath) {
        showAlert(kCannotSplit, kSourcePathTooLong);
        return;
    }
    if (oPath.size() >= sizeof splitRequest.outFolder) {
        showAlert(kCannotSplit, kOutputPathTooLong);
        return;
    }
    if (pwd.size() > kMaxPasswordBytes) {
        showAlert(kCannotSplit, kPasswordTooLong);
        return;
    }
    if (!outputCanTakeTheSet()) return;
    if (delSourceFileBtn->state() == 1 &&
        tk_.alert()->runModalQuestion(window, sourceRemovalQuestion(fPath), kRemovalInformative,
                                      kRemoveButton, kCancelButton) != toolkit::kModalResponseOK)
        return;
    if (!mayReplaceSetInTheWay()) return;
    std::memset(&splitRequest, 0, sizeof splitRequest);
    std::memcpy(splitRequest.srcPath, fPath.data(), fPath.size());
    splitRequest.totalSize = fSize;
    splitRequest.pieceSize = sSize;
    std::memcpy(splitRequest.password, pwd.data(), pwd.size());
    std::memcpy(splitRequest.outFolder, oPath.data(), oPath.size());
    log(std::string("path = ") + splitRequest.outFolder);

    removeAfterRun_ = delSourceFileBtn->state() == 1;
    lastOutputFolder_ = oPath;
    splitFinished.store(0, std::memory_order_relaxed);
    prepareRun();
    tk_.threads().detachNewThread([this] { OC_splitProject_split(nullptr); });
    tk_.threads().detachNewThread([this] { updateSpliteProgressIndicator(); });

    runProgressWindow(kSplittingTitle);
}

bool MainViewController::mayReplaceSetInTheWay() {
    replaceSet_ = false;
    const std::string inTheWay = describeSetInTheWay(fPath.c_str(), oPath.c_str());
    if (inTheWay.empty()) return true;
    const std::string stem = stemOf(lastPathComponent(fPath));
    const std::string folder = stringByAppendingPathComponent(oPath, stem + "_spt");
    const int answer = tk_.alert()->runModalQuestion(
        window, kReplaceSetQuestion, folder + " holds " + inTheWay + ". " + kReplaceSetInformative,
        kReplaceButton, kCancelButton);
    replaceSet_ = answer == toolkit::kModalResponseOK;
    return replaceSet_;
}

void MainViewController::updateSpliteProgressIndicator() {
    log("start updateSpliteProgressIndicator");
    runProgressTimer(&MainViewController::updateSpliteProgress);
    log("start the timer progress");
}

namespace {

// The set on disk is whole: its manifest loads and every piece checks.
} // namespace

void MainViewController::updateSpliteProgress() {
    showProgress(progressPercent(progressDoneBytes(), progressTotalBytes()));
    if (splitFinished.load(std::memory_order_acquire) != 1) return;
    stopProgressTimer();

    bool succeeded = splitResult.load(std::memory_order_relaxed) == 0;
    std::string detail = succeeded ? "" : engineLastError();
    if (succeeded && removeAfterRun_) {
        // The source goes only when its pieces are known to be whole on disk.
        RemovalReport report;
        if (removeSplitSource(splitOutcome, report) != 0) {
            if (engineLastFailure() == EngineFailure::SetNotWhole) {
                succeeded = false;
                detail = kSetDoesNotCheck;
            } else {
                detail = report.stopped ? removalStoppedText(report, false)
                                        : engineLastError() + "\n" + kUntouchedAfterFailure;
            }
        } else {
            detail = removalSummary(report, false);
        }
    }
    if (!succeeded && removeAfterRun_)
        detail += (detail.empty() ? "" : "\n") + std::string(kUntouchedAfterFailure);
    finishRun(succeeded ? kSplitCompletedTitle
                        : failedTitle(kSplitFailedTitle, kSplitCancelledTitle),
              detail, nullptr, nullptr);
}
