#include "app/SplitController.h"

#include "app/MainViewController.h"
#include "app/Texts.h"
#include "core/RemovalSummary.h"
#include "core/SplitArithmetic.h"
#include "core/SplitRules.h"
#include "engine/base/utilities.h"
#include "engine/compat/errors.h"
#include "engine/compat/paths.h"
#include "engine/runs/removal.h"

#include <cstdio>
#include <cstring>

namespace {

bool isDigitsOnly(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// "Remove the folder album (1,204 files, 5.2 GB) once its pieces are verified?", counting
// what the split stores.
std::string sourceRemovalQuestion(const std::string& source, bool includeHidden) {
    const std::string name = lastPathComponent(source);
    if (isFolder(source.c_str()) != 1)
        return "Remove the file " + name + " (" + roundedSize(pathSize(source.c_str())) +
               ") once its pieces are verified?";
    const FolderSourceSummary stored = summarizeFolderSource(source, includeHidden, "");
    return "Remove the folder " + name + " (" + groupedCount(stored.files) +
           (stored.files == 1 ? " file, " : " files, ") + roundedSize(stored.bytes) +
           ") once its pieces are verified?";
}

std::string format(const char* pattern, long long value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

static_assert(kMaxPasswordBytes == sizeof(Split_pragma::password) - 1);

} // namespace

SplitController::SplitController(MainViewController& controller, toolkit::Toolkit& toolkit)
    : c_(controller), tk_(toolkit) {}

void SplitController::setControlsEnabled(bool enabled) {
    c_.spliteByBtn->setEnabled(enabled);
    // The field the split mode names is the one that can be edited.
    const bool byCount = c_.spliteByBtn->selectedTag() == 2;
    c_.tfSize->setEnabled(enabled && !byCount);
    c_.popBtn->setEnabled(enabled && !byCount);
    c_.tfCount->setEnabled(enabled && byCount);
    c_.delSourceFileBtn->setEnabled(enabled);
    c_.tfOutPath->setEnabled(enabled);
    c_.outPathBtn->setEnabled(enabled);
    c_.encryptBtn->setEnabled(enabled);
    c_.recoveryBtn->setEnabled(enabled);
    c_.tfRecoveryCount->setEnabled(enabled);
    c_.btnSplit->setEnabled(enabled);
}

void SplitController::enableControls() {
    setControlsEnabled(true);
    forgetPassword();
}

void SplitController::disableControls() {
    setControlsEnabled(false);
    forgetPassword();
}

void SplitController::forgetPassword() {
    c_.encryptBtn->setState(0);
    c_.pwd.clear(); // the box is off, so no password goes with the split
    c_.setName.clear();
}

std::string SplitController::setNameShown() const {
    return c_.setName.empty() ? lastPathComponent(c_.fPath) : c_.setName;
}

bool SplitController::includeHidden() const {
    return c_.includeHiddenBtn->state() == 1;
}

RecoveryRequest SplitController::recoveryRequest() const {
    return recoveryRequestFor(c_.recoveryBtn->title(), c_.tfRecoveryCount->integerValue());
}

RecoveryForecast SplitController::recoveryForecast() const {
    return forecastRecovery(recoveryRequest(), c_.fSize, folderSource_, sourceFiles_, c_.sSize);
}

void SplitController::updateRecoveryNote() {
    c_.recoveryNote->setStringValue(c_.fPath.empty() || measuring_ ? ""
                                                                   : recoveryForecast().sentence);
}

void SplitController::recoveryChosen() {
    c_.tfRecoveryCount->setHidden(c_.recoveryBtn->title() != kCustomRecovery);
    updateRecoveryNote();
}

void SplitController::takeSource(const std::string& path) {
    if (measuring_) return;
    c_.delSourceFileBtn->setState(0); // a removal is chosen for one source, never carried over
    c_.fPath = path;
    c_.oPath = stringByDeletingLastPathComponent(c_.fPath);
    c_.tfOutPath->setStringValue(c_.oPath);
    refreshPresets();
    ++sourceGeneration_; // a measurement still on its way no longer fits
    folderSource_ = isFolder(c_.fPath.c_str()) == 1;
    if (!folderSource_) {
        sourceFiles_ = 1;
        c_.fSize = pathSize(c_.fPath.c_str());
        c_.sSize = c_.fSize;
        c_.splitSummary->setStringValue("");
        sourceMeasured();
        return;
    }
    measureFolder(false);
}

void SplitController::includeHiddenToggled() {
    // A file source has no hidden items to add or leave out.
    if (c_.fPath.empty() || isFolder(c_.fPath.c_str()) != 1) return;
    c_.presetBtn->selectItemAtIndex(0); // the cut proposed for the new size is no preset
    c_.sizeNote->setStringValue("");
    measureFolder(true);
}

void SplitController::measureFolder(bool again) {
    // A folder is measured on a worker thread: a large tree takes a while.
    // Only the latest measurement lands; one still on its way is dropped.
    const uint64_t generation = ++sourceGeneration_;
    measuring_ = true;
    again ? setControlsEnabled(false) : disableControls();
    c_.splitSummary->setStringValue(kMeasuringSource);
    updateRecoveryNote();
    c_.pathView->reloadData();
    tk_.threads().detachNewThread([this, path = c_.fPath, hidden = includeHidden(), generation,
                                   again, alive = std::weak_ptr<int>(alive_)] {
        const FolderSourceSummary measured =
            summarizeFolderSource(path, hidden, kIncludeHiddenAdvice);
        const int64_t size = measured.bytes;
        const int64_t files = measured.files;
        auto summary = std::make_shared<std::string>(measured.text);
        c_.onUi([this, generation, again, alive, size, files, summary] {
            if (alive.expired() || generation != sourceGeneration_) return;
            measuring_ = false;
            c_.fSize = size;
            sourceFiles_ = files;
            c_.sSize = size;
            c_.splitSummary->setStringValue(*summary);
            sourceMeasured(again);
        });
    });
}

void SplitController::sourceMeasured(bool again) {
    // A source measured again keeps its password; a new one starts without.
    again ? setControlsEnabled(true) : enableControls();
    proposeCut();
    c_.pathView->reloadData();
}

void SplitController::chooseFile() {
    auto panel = tk_.openPanel();
    panel->setTitle(kChooseOneFile);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    takeSource(panel->path());
}

void SplitController::chooseFolder() {
    auto panel = tk_.openPanel();
    panel->setTitle(kChooseAFolder);
    panel->setCanChooseDirectories(true);
    panel->setCanChooseFiles(false);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    takeSource(panel->path());
}

void SplitController::proposeCut() {
    c_.log(format("fsize/9 = %lld", c_.fSize / 9));
    const ProposedSize proposal = proposePieceSize(c_.fSize);
    c_.tfSize->setStringValue(format("%lld", proposal.value));
    if (proposal.divisions <= 1) {
        c_.popBtn->selectItemAtIndex(0);
    } else if (proposal.divisions <= 3 || c_.popBtn->indexOfSelectedItem() == kBytesUnitIndex) {
        c_.popBtn->selectItemAtIndex(std::min(proposal.divisions, 3) - 1);
    }
    sizeToCount();
}

void SplitController::refreshPresets() {
    std::vector<std::string> titles;
    for (const SizePreset& preset : sizePresets(c_.examineOutput(c_.oPath).kind == "FAT"))
        titles.push_back(preset.title);
    c_.presetBtn->setItemTitles(titles);
    c_.sizeNote->setStringValue("");
}

void SplitController::presetChosen() {
    const std::string chosen = c_.presetBtn->title();
    for (const SizePreset& preset : sizePresets(false)) {
        if (chosen != preset.title || preset.bytes == 0) continue;
        // A preset is a piece size: the split goes by size, and the field
        // shows exactly the bytes that go to the split.
        c_.spliteByBtn->selectTag(1);
        modeChosen();
        c_.sSize = preset.bytes;
        const SizeInUnits shown = sizeInExactUnit(c_.sSize);
        c_.tfSize->setIntegerValue(shown.value);
        c_.popBtn->selectItemAtIndex(shown.unitIndex);
        c_.tfCount->setIntegerValue(std::max<int64_t>(1, ceilDivide(c_.fSize, c_.sSize)));
        c_.sizeNote->setStringValue("Pieces of " + sizeWithBytes(c_.sSize) + ".");
    }
    updateRecoveryNote();
}

bool SplitController::outputCanTakeTheSet(int64_t recoveryBytes) {
    const OutputSpace space = c_.examineOutput(c_.oPath);
    const std::string stem = stemOf(setNameShown());
    std::string refusal = pieceSizeProblem(space, c_.oPath, c_.sSize);
    if (refusal.empty() && space.kind == "FAT") refusal = fatNameProblem(stem);
    if (!refusal.empty()) {
        c_.showAlert(kCannotSplit, refusal);
        return false;
    }
    const std::string tight = freeSpaceProblem(space, c_.oPath, c_.fSize + recoveryBytes);
    return tight.empty() || tk_.alert()->runModalQuestion(c_.window, kNotEnoughSpaceQuestion, tight,
                                                          kSplitAnywayButton, kCancelButton) ==
                                toolkit::kModalResponseOK;
}

void SplitController::sizeToCount() {
    if (c_.tfSize->stringValue().empty()) c_.tfSize->setStringValue("1");
    int64_t n = c_.tfSize->integerValue();
    if (n <= 0) {
        c_.tfSize->setIntValue(1);
        n = 1;
    }
    int64_t unit = unitBytes(c_.popBtn->title());
    if (unit == 0) {
        c_.popBtn->selectItemAtIndex(0);
        unit = kKilobyte;
    }
    if (n > largestSizeInUnits(unit)) {
        n = largestSizeInUnits(unit);
        c_.tfSize->setIntegerValue(n);
    }
    if (n * unit < kKilobyte) { // no pieces below 1 KB, as in the count mode
        n = ceilDivide(kKilobyte, unit);
        c_.tfSize->setIntegerValue(n);
    }
    const int64_t pieceSize = n * unit;
    c_.tfCount->setIntegerValue(ceilDivide(c_.fSize, pieceSize));
    c_.sSize = pieceSize;
    updateRecoveryNote();
}

void SplitController::countToSize() {
    if (c_.tfCount->stringValue().empty()) {
        c_.tfCount->setStringValue("1");
        c_.log("allCount  setStringValue = 1");
    }
    const int64_t count = usableCount(c_.tfCount->integerValue(), c_.fSize);
    c_.tfCount->setIntegerValue(count);
    if (c_.fSize <= 0) {
        // Nothing to divide: one piece of the smallest shown size.
        c_.sSize = kKilobyte;
        c_.tfSize->setIntegerValue(1);
        c_.popBtn->selectItemAtIndex(0);
        updateRecoveryNote();
        return;
    }
    // Rounded up, so the split makes the pieces asked for whenever it can.
    c_.sSize = planForCount(c_.fSize, count).pieceSize;
    const SizeInUnits shown = sizeInLargestUnit(c_.sSize);
    c_.tfSize->setIntegerValue(shown.value);
    c_.popBtn->selectItemAtIndex(shown.unitIndex);
    if (c_.sSize >= kKilobyte) c_.log(format("tt1 = %lld", shown.value));
    updateRecoveryNote();
}

void SplitController::textChanged(const toolkit::Control* object) {
    // While typing nothing is corrected: the other field follows a usable value.
    // A size or count typed by hand is no preset any more.
    if (object == c_.tfSize || object == c_.tfCount) c_.presetBtn->selectItemAtIndex(0);
    if (object == c_.tfSize) {
        sizePending_ = true;
        c_.sizeNote->setStringValue("");
        const std::string text = c_.tfSize->stringValue();
        const int64_t unit = unitBytes(c_.popBtn->title());
        const int64_t n = c_.tfSize->integerValue();
        if (isDigitsOnly(text) && unit > 0 && n <= largestSizeInUnits(unit) &&
            n * unit >= kKilobyte) {
            c_.sSize = n * unit;
            c_.tfCount->setIntegerValue(ceilDivide(c_.fSize, c_.sSize));
            updateRecoveryNote();
        }
    } else if (object == c_.tfCount) {
        countPending_ = true;
        c_.sizeNote->setStringValue("");
        const int64_t count = c_.tfCount->integerValue();
        if (isDigitsOnly(c_.tfCount->stringValue()) && c_.fSize > 0 && count > 0 &&
            usableCount(count, c_.fSize) == count) {
            c_.sSize = planForCount(c_.fSize, count).pieceSize;
            const SizeInUnits shown = sizeInLargestUnit(c_.sSize);
            c_.tfSize->setIntegerValue(shown.value);
            c_.popBtn->selectItemAtIndex(shown.unitIndex);
            updateRecoveryNote();
        }
    } else if (object == c_.tfPwdFirst || object == c_.tfPwdSecond || object == c_.tfSetName) {
        updatePasswordPanel();
    } else if (object == c_.tfRecoveryCount) {
        updateRecoveryNote();
    }
}

void SplitController::editingEnded(const toolkit::Control* object) {
    toolkit::TextField* field = object == c_.tfSize    ? c_.tfSize
                                : object == c_.tfCount ? c_.tfCount
                                                       : nullptr;
    if (!field) return;
    bool& pending = field == c_.tfSize ? sizePending_ : countPending_;
    if (!pending) return;
    pending = false;
    const std::string typed = field->stringValue();
    field == c_.tfSize ? sizeToCount() : countToSize();
    if (field->stringValue() != typed) {
        c_.sizeNote->setStringValue(field == c_.tfSize
                                        ? "The piece size was corrected to " +
                                              field->stringValue() + " " + c_.popBtn->title() + "."
                                        : "The number of pieces was corrected to " +
                                              field->stringValue() + ".");
    }
}

PasswordUse SplitController::chosenPasswordUse() const {
    return c_.pwdUseBtn->selectedTag() == kGateJoinTag ? PasswordUse::GateJoin
                                                       : PasswordUse::Encrypt;
}

bool SplitController::passwordPanelIsConfirmed() const {
    const std::string first = c_.tfPwdFirst->stringValue();
    return passwordProblem(first, chosenPasswordUse()).empty() &&
           first == c_.tfPwdSecond->stringValue() &&
           setNameProblem(c_.tfSetName->stringValue()).empty();
}

void SplitController::updatePasswordPanel() {
    const PasswordUse use = chosenPasswordUse();
    const std::string first = c_.tfPwdFirst->stringValue();
    const std::string second = c_.tfPwdSecond->stringValue();
    // The second field mismatches once it is no longer the start of the first.
    const bool mismatch =
        second.size() > first.size() || first.compare(0, second.size(), second) != 0;
    // The limit follows the choice: a password typed for encryption may be
    // too long for the join's gate.
    const std::string message = first.size() > maxPasswordBytes(use) ? passwordProblem(first, use)
                                : mismatch ? std::string(kPasswordMismatch)
                                           : setNameProblem(c_.tfSetName->stringValue());
    c_.encryptMsg2->setStringValue(message);
    c_.encryptMsg2->setHidden(message.empty());
    c_.pwdStrength->setStringValue(passwordStrengthText(first));
    // Only two equal, usable passwords can be confirmed, so Enter cannot store a typo.
    c_.encryptViewOKBtn->setEnabled(passwordPanelIsConfirmed());
}

void SplitController::modeChosen() {
    const int tag = c_.spliteByBtn->selectedTag();
    c_.log(format("row = %lld", tag));
    if (tag == 2) {
        c_.tfSize->setEnabled(false);
        c_.popBtn->setEnabled(false);
        c_.tfCount->setEnabled(true);
    } else if (tag == 1) {
        c_.tfSize->setEnabled(true);
        c_.popBtn->setEnabled(true);
        c_.tfCount->setEnabled(false);
    }
}

void SplitController::unitChosen() {
    sizeToCount();
    c_.presetBtn->selectItemAtIndex(0); // a unit chosen by hand: no preset any more
    c_.sizeNote->setStringValue("");
}

void SplitController::forgetSource(long tag) {
    c_.log(format("tag = %lld", tag));
    ++sourceGeneration_; // a measurement still on its way no longer fits
    measuring_ = false;
    c_.fPath.clear();
    c_.fSize = 0;
    c_.splitSummary->setStringValue("");
    updateRecoveryNote();
    disableControls(); // nothing left to split
    c_.pathView->reloadData();
}

void SplitController::reset() {
    c_.fPath.clear();
    c_.oPath.clear();
    c_.sSize = 0;
    c_.fSize = 0;
    c_.tfSize->setStringValue("");
    c_.tfCount->setStringValue("");
    c_.tfOutPath->setStringValue("");
    updateRecoveryNote();
    c_.btnSplit->setEnabled(false);
}

void SplitController::defaultCut() {
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
        if (c_.fSize >= tier.below && tier.below != INT64_MAX) continue;
        c_.sSize = tier.pieceSize == 0 ? c_.fSize : tier.pieceSize;
        c_.tfSize->setIntValue(tier.shown);
        c_.popBtn->selectItemAtIndex(tier.unitIndex);
        c_.tfCount->setIntValue(
            tier.pieceSize == 0 ? 1 : static_cast<int32_t>(ceilDivide(c_.fSize, tier.pieceSize)));
        return;
    }
}

void SplitController::encryptToggled() {
    if (c_.encryptBtn->state() == 0) {
        forgetPassword(); // unticking the box means no password
        return;
    }
    c_.tfPwdFirst->setStringValue("");
    c_.tfPwdSecond->setStringValue("");
    c_.tfSetName->setStringValue("");
    c_.pwdUseBtn->selectTag(kEncryptPiecesTag); // a new password encrypts, unless chosen otherwise
    updatePasswordPanel();
    c_.encryptPanel->center();
    c_.encryptPanel->makeKeyWindow();
    tk_.application().runModalForWindow(c_.encryptPanel);
    c_.encryptMsg2->setHidden(true);
}

void SplitController::passwordUseChosen() {
    updatePasswordPanel();
}

void SplitController::confirmPassword() {
    if (!passwordPanelIsConfirmed()) return;
    c_.pwd = c_.tfPwdFirst->stringValue();
    c_.pwdUse = chosenPasswordUse();
    c_.setName = c_.tfSetName->stringValue();
    tk_.application().stopModal(toolkit::kModalResponseOK);
    c_.encryptPanel->orderOut();
    // The controller keeps the password; the fields do not.
    c_.tfPwdFirst->setStringValue("");
    c_.tfPwdSecond->setStringValue("");
    c_.pwdStrength->setStringValue("");
}

void SplitController::cancelPassword() {
    tk_.application().stopModal(toolkit::kModalResponseCancel);
    c_.encryptPanel->orderOut();
    c_.tfPwdFirst->setStringValue("");
    c_.tfPwdSecond->setStringValue("");
    c_.pwdStrength->setStringValue("");
    forgetPassword();
}

void SplitController::chooseOutputFolder() {
    auto panel = tk_.openPanel();
    panel->setTitle(kChooseOutputFolder);
    panel->setCanChooseDirectories(true);
    panel->setCanChooseFiles(false);
    panel->setCanCreateDirectories(true);
    panel->setAllowsMultipleSelection(false);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    c_.oPath = panel->path();
    c_.tfOutPath->setStringValue(c_.oPath);
    refreshPresets();
    c_.btnSplit->setEnabled(true);
}

void SplitController::start() {
    // Not while the engine reads a set, or the source is still being measured.
    if (c_.isAddingSet() || measuring_ || c_.fPath.empty() || c_.oPath.empty()) return;
    // A correction still pending applies before the split.
    editingEnded(c_.tfSize);
    editingEnded(c_.tfCount);
    auto run = std::make_shared<SplitRun>();
    Split_pragma& request = run->request;
    if (c_.fSize == 0) {
        c_.showAlert(kCannotSplit, kEmptySource);
        return;
    }
    if (c_.fPath.size() >= sizeof request.srcPath) {
        c_.showAlert(kCannotSplit, kSourcePathTooLong);
        return;
    }
    if (c_.oPath.size() >= sizeof request.outFolder) {
        c_.showAlert(kCannotSplit, kOutputPathTooLong);
        return;
    }
    std::string problem = c_.pwd.empty() ? std::string() : passwordProblem(c_.pwd, c_.pwdUse);
    if (problem.empty()) problem = setNameProblem(c_.setName);
    if (!problem.empty()) {
        c_.showAlert(kCannotSplit, problem);
        return;
    }
    const RecoveryForecast recovery = recoveryForecast();
    if (!recovery.problem.empty()) {
        c_.showAlert(kCannotSplit, recovery.sentence);
        return;
    }
    if (!outputCanTakeTheSet(recovery.bytes)) return;
    if (c_.delSourceFileBtn->state() == 1 &&
        tk_.alert()->runModalQuestion(c_.window, sourceRemovalQuestion(c_.fPath, includeHidden()),
                                      kRemovalInformative, kRemoveButton,
                                      kCancelButton) != toolkit::kModalResponseOK)
        return;
    if (!mayReplaceSetInTheWay(run->replaceSet)) return;
    std::memcpy(request.srcPath, c_.fPath.data(), c_.fPath.size());
    request.totalSize = c_.fSize;
    request.pieceSize = c_.sSize;
    // An encrypting password goes to the encryption only; the request's
    // password is the join's gate, which stores the password's digest.
    if (c_.pwdUse == PasswordUse::Encrypt) {
        run->encryptPassword = c_.pwd;
        run->encryptWorkFactor = c_.encryptWorkFactor;
        if (c_.spliteByBtn->selectedTag() == 2)
            run->pieceCount =
                static_cast<int32_t>(ceilDivide(c_.fSize, std::max<int64_t>(c_.sSize, 1)));
    } else {
        std::memcpy(request.password, c_.pwd.data(), c_.pwd.size());
    }
    run->setName = c_.setName;
    std::memcpy(request.outFolder, c_.oPath.data(), c_.oPath.size());
    c_.log(std::string("path = ") + request.outFolder);

    run->removeSource = c_.delSourceFileBtn->state() == 1;
    run->includeHidden = includeHidden();
    run->recovery = recoveryRequest();
    run_ = run;
    c_.prepareRun(run, c_.oPath);
    // The engine thread gets the run and nothing else of the window's.
    tk_.threads().detachNewThread([run] { MainViewController::OC_splitProject_split(*run); });
    tk_.threads().detachNewThread([this] { c_.updateSpliteProgressIndicator(); });

    c_.runProgressWindow(kSplittingTitle);
}

bool SplitController::mayReplaceSetInTheWay(bool& replace) {
    replace = false;
    // Where the set goes follows its name, which may not be the source's.
    const std::string named =
        stringByAppendingPathComponent(stringByDeletingLastPathComponent(c_.fPath), setNameShown());
    const std::string inTheWay = describeSetInTheWay(named.c_str(), c_.oPath.c_str());
    if (inTheWay.empty()) return true;
    const std::string stem = stemOf(setNameShown());
    const std::string folder = stringByAppendingPathComponent(c_.oPath, stem + "_spt");
    const int answer =
        tk_.alert()->runModalQuestion(c_.window, kReplaceSetQuestion,
                                      folder + " holds " + inTheWay + ". " + kReplaceSetInformative,
                                      kReplaceButton, kCancelButton);
    replace = answer == toolkit::kModalResponseOK;
    return replace;
}

void SplitController::tick() {
    c_.showProgress();
    // Set by the UI thread before this thread started; replaced only after this run ends.
    const SplitRun& run = *run_;
    if (!run.done.finished()) return;
    c_.stopProgressTimer();

    bool succeeded = run.done.result() == 0;
    std::string detail =
        succeeded ? "" : sentenceOf(run.reason()); // the engine's phrase, as a sentence
    EngineFailure kind = run.failureKind();
    bool removed = false; // the source, or some of it, is gone
    if (succeeded && run.removeSource) {
        // The engine removed the source only once its pieces checked whole on disk.
        const RemovalReport& report = run.outcome.removal;
        removed = report.removed > 0;
        if (const std::optional<Failure>& failed = run.outcome.removalFailure) {
            kind = failed->kind;
            if (failed->kind == EngineFailure::SetNotWhole) {
                succeeded = false;
                detail = kSetDoesNotCheck;
            } else {
                detail = report.stopped ? removalStoppedText(report, false)
                                        : failed->reason + "\n" + kUntouchedAfterFailure;
            }
        } else if (!run.outcome.folderSource && removed) {
            detail = "Removed " + run.outcome.source + ".";
        } else {
            detail = removalDoneText(report, run.outcome.source, false);
        }
    }
    if (!succeeded && run.removeSource)
        detail += (detail.empty() ? "" : "\n") + std::string(kUntouchedAfterFailure);
    // "Wrote 2 recovery pieces: the set can lose any 2 of its 18 pieces and still be joined."
    if (succeeded && !run.outcome.recovery.empty())
        detail = sentenceOf(run.outcome.recovery) + (detail.empty() ? "" : "\n") + detail;
    // "18 pieces of 4.00 GB in /media/usb/movie_spt."
    if (succeeded) {
        const SplitOutcome& made = run.outcome;
        detail = (made.pieces == 1
                      ? "1 piece of " + roundedSize(made.setBytes)
                      : groupedCount(made.pieces) + " pieces of " + roundedSize(made.pieceSize)) +
                 " in " + made.pieceFolder + "." + (detail.empty() ? "" : "\n") + detail;
    }
    std::function<void()> beforeCompletion;
    if (run.removeSource && (succeeded || removed)) {
        // A removal is chosen for one run; a source that is gone leaves the table.
        beforeCompletion = [this, removed] {
            c_.delSourceFileBtn->setState(0);
            if (removed) forgetSource(0);
        };
    }
    c_.finishRun(
        succeeded ? kSplitCompletedTitle
                  : MainViewController::failedTitle(kind, kSplitFailedTitle, kSplitCancelledTitle),
        detail, std::move(beforeCompletion), nullptr);
}

toolkit::CellValue SplitController::cell(const std::string& columnId) const {
    using toolkit::CellValue;
    if (c_.fPath.empty() || c_.fPath == "0") return CellValue::none();
    if (columnId == kFileNameColumn) return CellValue::text(lastPathComponent(c_.fPath));
    if (columnId == kLocationColumn)
        return CellValue::text(stringByDeletingLastPathComponent(c_.fPath));
    if (columnId == kSizeColumn) return CellValue::text(roundedSize(c_.fSize));
    return CellValue::none();
}
