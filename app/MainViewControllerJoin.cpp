// The join side: adding a piece set, its table, the output folder, the
// overwrite and password prompts, and the join run.

#include "app/MainViewController.h"

#include "app/RunState.h"
#include "app/Texts.h"
#include "core/RemovalSummary.h"
#include "core/SplitArithmetic.h"
#include "core/SplitRules.h"
#include "engine/errors.h"
#include "engine/removal.h"
#include "engine/utilities.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

std::unique_ptr<toolkit::OpenPanel> folderPanel(toolkit::Toolkit& tk) {
    auto panel = tk.openPanel();
    panel->setTitle(kChooseOneFolder);
    panel->setCanChooseDirectories(true);
    panel->setCanChooseFiles(false);
    panel->setAllowsMultipleSelection(false);
    return panel;
}

} // namespace

void MainViewController::mActAddFile() {
    auto panel = folderPanel(tk_);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    loadPieceSet(panel->path());
}

void MainViewController::acceptFileNameDrag(const std::string& path) {
    log("JoinView fn = " + path);
    loadPieceSet(path);
}

namespace {

// What the inspection on the worker thread found, for the UI thread.
struct InspectedSet {
    int32_t result = -1;
    std::vector<SPTCfg_SPTitem2> pieces;
    std::string digest;
    std::string name;
    ChecksumVerdict checksums;
};

} // namespace

void MainViewController::loadPieceSet(const std::string& path) {
    if (addingSet_) return;
    delSoureFileM->setState(0); // a removal is chosen for one set, never carried over
    checksumFailures_.clear();
    intPath = path;
    outPath = stringByDeletingLastPathComponent(intPath);
    tfMOutputPath->setStringValue(outPath);
    joinList.clear();
    joinView->reloadData();
    joinSummary->setStringValue(kCheckingPieces);
    // Every piece is read on a worker thread; Split, Join and another add wait
    // for it, and a result that comes after the list changed is dropped.
    const uint64_t generation = ++setGeneration_;
    setAddingSet(true);
    tk_.threads().detachNewThread([this, path, generation, alive = std::weak_ptr<int>(alive_)] {
        auto found = std::make_shared<InspectedSet>();
        char digest[40] = {};
        char name[1024] = {};
        found->result = inspectPieceSet(path.c_str(), found->pieces, digest, name);
        found->digest = digest;
        found->name = name;
        found->checksums = checksumVerdict(path.c_str());
        onUi([this, generation, found, alive] {
            if (alive.expired() || generation != setGeneration_) return;
            setAddingSet(false);
            if (found->result < 0) {
                showAlert(kAddJoinFolderFailed, kInputPathNotValid);
                clearMergeMsg();
            } else {
                joinList = std::move(found->pieces);
                pwdM = found->digest;
                outputName = found->name;
                setChecksums_ = found->checksums;
                // Rows in piece order, whatever order the manifest lists them in.
                std::stable_sort(joinList.begin(), joinList.end(),
                                 [](const SPTCfg_SPTitem2& a, const SPTCfg_SPTitem2& b) {
                                     return a.pieceIndex < b.pieceIndex;
                                 });
                enableMergeUIControl();
            }
            showJoinSummary();
            joinView->reloadData();
        });
    });
}

void MainViewController::setAddingSet(bool busy) {
    addingSet_ = busy;
    mBtnAddFile->setEnabled(!busy);
    if (busy) setMergeControlsEnabled(false);
    btnSplit->setEnabled(!busy && !fPath.empty() && !oPath.empty());
}

void MainViewController::mActSelectOutput() {
    auto panel = folderPanel(tk_);
    panel->setCanCreateDirectories(true);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    outPath = panel->path();
    tfMOutputPath->setStringValue(outPath);
}

void MainViewController::setMergeControlsEnabled(bool enabled) {
    mergeBtn->setEnabled(enabled);
    mVerifyBtn->setEnabled(enabled);
    tfMOutputPath->setEnabled(enabled);
    mOutputBtn->setEnabled(enabled);
    delSoureFileM->setEnabled(enabled);
}

void MainViewController::enableMergeUIControl() {
    setMergeControlsEnabled(true);
}
void MainViewController::disableMergeUIControl() {
    setMergeControlsEnabled(false);
}

void MainViewController::showJoinSummary() {
    if (joinList.empty()) {
        joinSummary->setStringValue("");
        return;
    }
    std::size_t missing = 0, damaged = 0;
    for (const SPTCfg_SPTitem2& entry : joinList) {
        if (entry.size < 0)
            ++missing;
        else if (entry.checkState != 0)
            ++damaged;
    }
    joinSummary->setStringValue(
        joinSummaryText(joinList.size(), missing, damaged, !pwdM.empty(), setChecksums_.state));
}

void MainViewController::clearMergeMsg() {
    ++setGeneration_; // an inspection still on its way no longer fits
    joinList.clear();
    intPath.clear();
    outPath.clear();
    tfMOutputPath->setStringValue(outPath);
    joinSummary->setStringValue("");
    disableMergeUIControl(); // no set, nothing to join
}

void MainViewController::mActMergeFile() {
    if (addingSet_ || joinList.empty()) return;
    if (outPath.empty()) return;
    const std::string target = stringByAppendingPathComponent(outPath, outputName);
    if (tk_.fileManager().fileExistsAtPath(target)) {
        outputPathPrompt->setStringValue(target + " already exists. Replace it?");
        outputPathWindow->center();
        outputPathWindow->makeKeyWindow();
        if (tk_.application().runModalForWindow(outputPathWindow) != toolkit::kModalResponseOK)
            return;
    }
    joinIgnoresChecksums_ = false;
    if (setChecksums_.state == ChecksumState::Damaged) {
        // Damaged checksum files are never passed over silently: the user
        // decides, and Cancel is the default. Pieces are never removed then.
        if (tk_.alert()->runModalQuestion(window, kDamagedChecksumsQuestion,
                                          setChecksums_.problem + ". " + kDamagedChecksumsRisk,
                                          kJoinAnywayButton,
                                          kCancelButton) != toolkit::kModalResponseOK)
            return;
        joinIgnoresChecksums_ = true;
        delSoureFileM->setState(0);
    }
    if (delSoureFileM->state() == 1) {
        if (tk_.alert()->runModalQuestion(
                window,
                "Remove the pieces of " + outputName + " (" + std::to_string(joinList.size()) +
                    (joinList.size() == 1 ? " piece" : " pieces") +
                    ") once the joined files are on disk?",
                kRemovalInformative, kRemoveButton, kCancelButton) != toolkit::kModalResponseOK)
            return;
        if (setChecksums_.state == ChecksumState::Absent &&
            tk_.alert()->runModalQuestion(window, kUnverifiableRemovalQuestion,
                                          "Without checksum files that belong to the set, "
                                          "only each piece's first kilobyte can be checked (it "
                                          "has no checksum files).",
                                          kRemoveAnywayButton,
                                          kCancelButton) != toolkit::kModalResponseOK)
            return;
    }
    if (!passwordStep()) return;
    launchJoin();
}

void MainViewController::actOutputPathOK() {
    tk_.application().stopModal(toolkit::kModalResponseOK);
    outputPathWindow->orderOut();
}

void MainViewController::actOutputPathCancel() {
    tk_.application().stopModal(toolkit::kModalResponseCancel);
    outputPathWindow->orderOut();
}

bool MainViewController::passwordStep() {
    if (pwdM.empty()) return true;
    pwdWindow->center();
    pwdWindow->makeKeyWindow();
    return tk_.application().runModalForWindow(pwdWindow) == toolkit::kModalResponseOK;
}

void MainViewController::actPwdOK() {
    if (checkPassword(pwdField->stringValue().c_str(), pwdM.c_str()) == 1) {
        tk_.application().stopModal(toolkit::kModalResponseOK);
        pwdWindow->orderOut();
        pwdMsg->setHidden(true);
        pwdOKBtn->setEnabled(false);
        pwdField->setStringValue("");
    } else {
        pwdMsg->setHidden(false);
        pwdField->setStringValue("");
        pwdOKBtn->setEnabled(false);
    }
}

void MainViewController::actPwdCancel() {
    tk_.application().stopModal(toolkit::kModalResponseCancel);
    pwdWindow->orderOut();
}

void MainViewController::launchJoin() {
    removeAfterRun_ = delSoureFileM->state() == 1;
    lastOutputFolder_ = outPath;
    joinFinished.store(0, std::memory_order_relaxed);
    prepareRun();
    // The engine thread gets its own copies: the controller's texts belong to the UI thread.
    tk_.threads().detachNewThread([this, in = intPath, out = outPath, password = pwd] {
        OC_splitProject_merge(in.c_str(), out.c_str(), password.c_str());
    });
    tk_.threads().detachNewThread([this] { updateMergeProgressIndicator(); });

    runProgressWindow(kJoiningTitle);
}

void MainViewController::updateMergeProgressIndicator() {
    runProgressTimer(&MainViewController::updateMergeProgress);
    log("start the timer progress");
}

void MainViewController::updateMergeProgress() {
    const int64_t done = progressDoneBytes();
    const int64_t total = progressTotalBytes();
    std::printf("s1 = %lld,s2 = %lld\n", static_cast<long long>(done),
                static_cast<long long>(total));
    const int64_t percent = progressPercent(done, total);
    std::printf("pre = %f\n", static_cast<double>(percent));
    std::fflush(stdout);
    showProgress(percent);

    if (joinFinished.load(std::memory_order_acquire) != 1) {
        onUi([this] { joinView->reloadData(); });
        return;
    }
    stopProgressTimer();
    const bool succeeded = joinResult.load(std::memory_order_relaxed) == 0;
    std::string detail = !succeeded               ? engineLastError()
                         : !joinOutcome.fullCheck ? std::string(kQuickCheckOnlyDetail)
                                                  : std::string();
    std::function<void()> beforeCompletion;
    if (removeAfterRun_ && succeeded) {
        RemovalReport report;
        // Without checksum files the user was asked before the run, and agreed.
        const bool accepted = setChecksums_.state == ChecksumState::Absent;
        if (removeJoinedPieces(joinOutcome, report, accepted) != 0) {
            detail = report.stopped ? removalStoppedText(report, true)
                                    : engineLastError() + "\n" + kUntouchedAfterFailure;
        } else {
            const std::string summary = removalSummary(report, true);
            detail += (detail.empty() || summary.empty() ? "" : "\n") + summary;
            // The list is emptied only when the set is really gone.
            if (report.changed.empty() && report.failed.empty()) {
                beforeCompletion = [this] {
                    clearMergeMsg();
                    delSoureFileM->setState(0);
                };
            }
        }
    } else if (removeAfterRun_) {
        detail += (detail.empty() ? "" : "\n") + std::string(kUntouchedAfterFailure);
    }
    finishRun(succeeded ? kJoinCompletedTitle : failedTitle(kJoinFailedTitle, kJoinCancelledTitle),
              detail, std::move(beforeCompletion), [this] { joinView->reloadData(); });
}

void MainViewController::mActVerify() {
    if (addingSet_ || joinList.empty()) return;
    lastOutputFolder_ = outPath;
    verifyFinished.store(0, std::memory_order_relaxed);
    prepareRun();
    tk_.threads().detachNewThread([this, in = intPath] { OC_verifyPieceSet(in.c_str()); });
    tk_.threads().detachNewThread(
        [this] { runProgressTimer(&MainViewController::updateVerifyProgress); });
    runProgressWindow(kVerifyingTitle);
}

void MainViewController::OC_verifyPieceSet(const char* pieceFolder) {
    verifyFinished.store(0, std::memory_order_relaxed);
    verifyChecks.clear();
    const int32_t result = verifyPieceSet(pieceFolder, verifyChecks, verifyChecksums);
    verifyResult.store(result, std::memory_order_relaxed);
    verifyFinished.store(1, std::memory_order_release);
}

void MainViewController::updateVerifyProgress() {
    showProgress(progressPercent(progressDoneBytes(), progressTotalBytes()));
    if (verifyFinished.load(std::memory_order_acquire) != 1) return;
    stopProgressTimer();
    const bool belong = verifyChecksums == ChecksumState::Good;
    std::vector<PieceCheck> checks = verifyChecks;
    const char* title = kVerifyCompletedTitle;
    std::string detail;
    if (engineLastFailure() == EngineFailure::Cancelled) {
        title = kVerifyCancelledTitle;
        detail = "The marks stay as they were.";
        checks.clear();
    } else if (verifyChecksums == ChecksumState::Damaged) {
        title = kVerifyFailedTitle;
        detail = engineLastError() + ".";
    } else if (!belong) {
        title = kVerifyImpossibleTitle;
        detail = std::string(kNoChecksumsDetail) + ": " + engineLastError() + ".";
    } else {
        std::size_t bad = 0;
        for (const PieceCheck& check : checks)
            bad += check.good ? 0 : 1;
        if (bad > 0) title = kVerifyFailedTitle;
        detail = bad == 0
                     ? "All " + std::to_string(checks.size()) + " pieces match their checksums."
                     : std::to_string(bad) + " of " + std::to_string(checks.size()) +
                           " pieces do not match their checksums:";
        for (const PieceCheck& check : checks) {
            if (!check.good) detail += " " + lastPathComponent(check.path);
        }
        if (verifyResult.load(std::memory_order_relaxed) != 0 && checks.empty())
            detail = engineLastError();
    }
    finishRun(
        title, detail,
        [this, belong, checks = std::move(checks)] {
            if (!belong || checks.empty()) return; // the quick marks stay
            checksumFailures_.clear();
            for (SPTCfg_SPTitem2& entry : joinList) {
                for (const PieceCheck& check : checks) {
                    if (check.pieceIndex != entry.pieceIndex) continue;
                    entry.checkState = check.good ? 0 : -1;
                    if (!check.good) checksumFailures_.insert(check.pieceIndex);
                }
            }
            showJoinSummary();
        },
        [this] { joinView->reloadData(); });
}
