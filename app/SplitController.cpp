#include "app/SplitController.h"

#include "app/DragInfo.h"
#include "app/Texts.h"
#include "core/RemovalSummary.h"
#include "core/SetNames.h"
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

SplitController::SplitController(SideHost& host) : host_(host), tk_(host.toolkit()) {}

void SplitController::connect(const SplitOutlets& outlets) {
    o_ = outlets;
}

void SplitController::awake() {
    o_.pathView->setDataSource(this);
    o_.pathView->registerForDraggedTypes(kFilenamesPboardType);
    o_.recoveryBtn->setItemTitles(recoveryChoiceTitles());
    o_.popBtn->setItemTitles(
        std::vector<std::string>(std::begin(kSizeUnitTitles), std::end(kSizeUnitTitles)));
    disableControls();
    recoveryChosen();
}

void SplitController::log(const std::string& line) {
    tk_.systemLog().log(line);
}

void SplitController::setControlsEnabled(bool enabled) {
    o_.spliteByBtn->setEnabled(enabled);
    // The field the split mode names is the one that can be edited.
    const bool byCount = o_.spliteByBtn->selectedTag() == 2;
    o_.tfSize->setEnabled(enabled && !byCount);
    o_.popBtn->setEnabled(enabled && !byCount);
    o_.tfCount->setEnabled(enabled && byCount);
    o_.delSourceFileBtn->setEnabled(enabled);
    // Only a folder has hidden items to add or leave out.
    o_.includeHiddenBtn->setEnabled(enabled && folderSource_);
    o_.tfOutPath->setEnabled(enabled);
    o_.outPathBtn->setEnabled(enabled);
    o_.encryptBtn->setEnabled(enabled);
    o_.recoveryBtn->setEnabled(enabled);
    o_.tfRecoveryCount->setEnabled(enabled);
    o_.btnSplit->setEnabled(enabled);
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
    o_.encryptBtn->setState(0);
    s_.pwd.clear(); // the box is off, so no password goes with the split
    s_.setName.clear();
}

std::string SplitController::setNameShown() const {
    return s_.setName.empty() ? lastPathComponent(s_.fPath) : s_.setName;
}

bool SplitController::includeHidden() const {
    return o_.includeHiddenBtn->state() == 1;
}

RecoveryRequest SplitController::recoveryRequest() const {
    return recoveryRequestFor(o_.recoveryBtn->title(), o_.tfRecoveryCount->integerValue());
}

RecoveryForecast SplitController::recoveryForecast() const {
    return forecastRecovery(recoveryRequest(), s_.fSize, folderSource_, sourceFiles_, s_.sSize);
}

void SplitController::updateRecoveryNote() {
    o_.recoveryNote->setStringValue(s_.fPath.empty() || measuring_ ? ""
                                                                   : recoveryForecast().sentence);
    updateSharingNote();
}

SharedSplitSpace SplitController::sharingOfSplit() const {
    // A folder's files and an encrypted stream are copied: their bytes are not aligned.
    if (s_.fPath.empty() || folderSource_ || measuring_ ||
        (!s_.pwd.empty() && s_.pwdUse == PasswordUse::Encrypt))
        return {};
    return examineSharing(s_.fPath, s_.oPath, s_.fSize, s_.sSize);
}

void SplitController::updateSharingNote() {
    if (folderSource_) return; // the line holds what a folder's split stores
    o_.splitSummary->setStringValue(sharedSplitText(sharingOfSplit(), s_.sSize));
}

int64_t SplitController::sharedCountSize(int64_t count, int64_t pieceSize) const {
    const SharedSplitSpace shared = sharingOfSplit();
    if (!shared.shares || shared.aligned) return pieceSize;
    const int64_t aligned = alignedPieceSizeForCount(s_.fSize, count, shared.blockSize);
    return aligned > 0 ? aligned : pieceSize;
}

void SplitController::recoveryChosen() {
    o_.tfRecoveryCount->setHidden(o_.recoveryBtn->title() != kCustomRecovery);
    updateRecoveryNote();
}

void SplitController::takeSource(const std::string& path) {
    if (measuring_) return;
    o_.delSourceFileBtn->setState(0); // a removal is chosen for one source, never carried over
    s_.fPath = path;
    s_.oPath = stringByDeletingLastPathComponent(s_.fPath);
    o_.tfOutPath->setStringValue(s_.oPath);
    refreshPresets();
    ++sourceGeneration_; // a measurement still on its way no longer fits
    folderSource_ = isFolder(s_.fPath.c_str()) == 1;
    if (!folderSource_) {
        sourceFiles_ = 1;
        s_.fSize = pathSize(s_.fPath.c_str());
        s_.sSize = s_.fSize;
        o_.splitSummary->setStringValue("");
        sourceMeasured();
        return;
    }
    measureFolder(false);
}

void SplitController::includeHiddenToggled() {
    // A file source has no hidden items to add or leave out.
    if (s_.fPath.empty() || isFolder(s_.fPath.c_str()) != 1) return;
    o_.presetBtn->selectItemAtIndex(0); // the cut proposed for the new size is no preset
    o_.sizeNote->setStringValue("");
    measureFolder(true);
}

void SplitController::measureFolder(bool again) {
    // A folder is measured on a worker thread: a large tree takes a while.
    // Only the latest measurement lands; one still on its way is dropped.
    const uint64_t generation = ++sourceGeneration_;
    measuring_ = true;
    again ? setControlsEnabled(false) : disableControls();
    o_.splitSummary->setStringValue(kMeasuringSource);
    updateRecoveryNote();
    o_.pathView->reloadData();
    tk_.threads().detachNewThread([this, path = s_.fPath, hidden = includeHidden(), generation,
                                   again, alive = std::weak_ptr<int>(alive_)] {
        const FolderSourceSummary measured =
            summarizeFolderSource(path, hidden, kIncludeHiddenAdvice);
        const int64_t size = measured.bytes;
        const int64_t files = measured.files;
        auto summary = std::make_shared<std::string>(measured.text);
        tk_.threads().performOnUiThread([this, generation, again, alive, size, files, summary] {
            if (alive.expired() || generation != sourceGeneration_) return;
            measuring_ = false;
            s_.fSize = size;
            sourceFiles_ = files;
            s_.sSize = size;
            o_.splitSummary->setStringValue(*summary);
            sourceMeasured(again);
        });
    });
}

void SplitController::sourceMeasured(bool again) {
    // A source measured again keeps its password; a new one starts without.
    again ? setControlsEnabled(true) : enableControls();
    proposeCut();
    o_.pathView->reloadData();
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
    log(format("fsize/9 = %lld", s_.fSize / 9));
    const ProposedSize proposal = proposePieceSize(s_.fSize);
    o_.tfSize->setStringValue(format("%lld", proposal.value));
    if (proposal.divisions <= 1) {
        o_.popBtn->selectItemAtIndex(0);
    } else if (proposal.divisions <= 3 || o_.popBtn->indexOfSelectedItem() == kBytesUnitIndex) {
        o_.popBtn->selectItemAtIndex(std::min(proposal.divisions, 3) - 1);
    }
    sizeToCount();
}

void SplitController::refreshPresets() {
    std::vector<std::string> titles;
    for (const SizePreset& preset : sizePresets(examineOutput(s_.oPath).kind == "FAT"))
        titles.push_back(preset.title);
    o_.presetBtn->setItemTitles(titles);
    o_.sizeNote->setStringValue("");
}

void SplitController::presetChosen() {
    const std::string chosen = o_.presetBtn->title();
    for (const SizePreset& preset : sizePresets(false)) {
        if (chosen != preset.title || preset.bytes == 0) continue;
        // A preset is a piece size: the split goes by size, and the field
        // shows exactly the bytes that go to the split.
        o_.spliteByBtn->selectTag(1);
        modeChosen();
        s_.sSize = preset.bytes;
        if (s_.fSize > 0 && s_.fSize <= preset.bytes) {
            // One piece holds the source: the field keeps a unit the user
            // types in (never bytes), and the note says no split is needed.
            const SizeInUnits shown = sizeInLargestUnit(preset.bytes);
            o_.tfSize->setIntegerValue(shown.value);
            o_.popBtn->selectItemAtIndex(shown.unitIndex);
            o_.tfCount->setIntegerValue(1);
            o_.sizeNote->setStringValue("One piece of up to " + sizeWithBytes(preset.bytes) +
                                        " holds all " + roundedSize(s_.fSize) +
                                        " of the source: no split is needed.");
            continue;
        }
        const SizeInUnits shown = sizeInExactUnit(s_.sSize);
        o_.tfSize->setIntegerValue(shown.value);
        o_.popBtn->selectItemAtIndex(shown.unitIndex);
        o_.tfCount->setIntegerValue(std::max<int64_t>(1, ceilDivide(s_.fSize, s_.sSize)));
        o_.sizeNote->setStringValue("Pieces of " + sizeWithBytes(s_.sSize) + ".");
    }
    updateRecoveryNote();
}

bool SplitController::outputCanTakeTheSet(int64_t recoveryBytes) {
    const OutputSpace space = examineOutput(s_.oPath);
    const std::string stem = stemOf(setNameShown());
    std::string refusal = pieceSizeProblem(space, s_.oPath, s_.sSize);
    if (refusal.empty() && space.kind == "FAT") refusal = fatNameProblem(stem);
    if (!refusal.empty()) {
        host_.showAlert(kCannotSplit, refusal);
        return false;
    }
    const SharedSplitSpace shared = sharingOfSplit();
    const std::string tight = freeSpaceProblem(
        space, s_.oPath, (shared.shares ? shared.needBytes : s_.fSize) + recoveryBytes);
    return tight.empty() ||
           host_.confirm(kNotEnoughSpaceQuestion, tight, kSplitAnywayButton, kCancelButton);
}

void SplitController::sizeToCount() {
    if (o_.tfSize->stringValue().empty()) o_.tfSize->setStringValue("1");
    int64_t n = o_.tfSize->integerValue();
    if (n <= 0) {
        o_.tfSize->setIntValue(1);
        n = 1;
    }
    int64_t unit = unitBytes(o_.popBtn->title());
    if (unit == 0) {
        o_.popBtn->selectItemAtIndex(0);
        unit = kKilobyte;
    }
    if (n > largestSizeInUnits(unit)) {
        n = largestSizeInUnits(unit);
        o_.tfSize->setIntegerValue(n);
    }
    if (n * unit < kKilobyte) { // no pieces below 1 KB, as in the count mode
        n = ceilDivide(kKilobyte, unit);
        o_.tfSize->setIntegerValue(n);
    }
    const int64_t pieceSize = n * unit;
    o_.tfCount->setIntegerValue(ceilDivide(s_.fSize, pieceSize));
    s_.sSize = pieceSize;
    updateRecoveryNote();
}

void SplitController::countToSize() {
    if (o_.tfCount->stringValue().empty()) {
        o_.tfCount->setStringValue("1");
        log("allCount  setStringValue = 1");
    }
    const int64_t count = usableCount(o_.tfCount->integerValue(), s_.fSize);
    o_.tfCount->setIntegerValue(count);
    if (s_.fSize <= 0) {
        // Nothing to divide: one piece of the smallest shown size.
        s_.sSize = kKilobyte;
        o_.tfSize->setIntegerValue(1);
        o_.popBtn->selectItemAtIndex(0);
        updateRecoveryNote();
        return;
    }
    // Rounded up, so the split makes the pieces asked for whenever it can.
    s_.sSize = planForCount(s_.fSize, count).pieceSize;
    s_.sSize = sharedCountSize(count, s_.sSize);
    const SizeInUnits shown = sizeInLargestUnit(s_.sSize);
    o_.tfSize->setIntegerValue(shown.value);
    o_.popBtn->selectItemAtIndex(shown.unitIndex);
    if (s_.sSize >= kKilobyte) log(format("tt1 = %lld", shown.value));
    updateRecoveryNote();
}

void SplitController::textChanged(const toolkit::Control* object) {
    // While typing nothing is corrected: the other field follows a usable value.
    // A size or count typed by hand is no preset any more.
    if (object == o_.tfSize || object == o_.tfCount) o_.presetBtn->selectItemAtIndex(0);
    if (object == o_.tfSize) {
        sizePending_ = true;
        o_.sizeNote->setStringValue("");
        const std::string text = o_.tfSize->stringValue();
        const int64_t unit = unitBytes(o_.popBtn->title());
        const int64_t n = o_.tfSize->integerValue();
        if (isDigitsOnly(text) && unit > 0 && n <= largestSizeInUnits(unit) &&
            n * unit >= kKilobyte) {
            s_.sSize = n * unit;
            o_.tfCount->setIntegerValue(ceilDivide(s_.fSize, s_.sSize));
            updateRecoveryNote();
        }
    } else if (object == o_.tfCount) {
        countPending_ = true;
        o_.sizeNote->setStringValue("");
        const int64_t count = o_.tfCount->integerValue();
        if (isDigitsOnly(o_.tfCount->stringValue()) && s_.fSize > 0 && count > 0 &&
            usableCount(count, s_.fSize) == count) {
            s_.sSize = sharedCountSize(count, planForCount(s_.fSize, count).pieceSize);
            const SizeInUnits shown = sizeInLargestUnit(s_.sSize);
            o_.tfSize->setIntegerValue(shown.value);
            o_.popBtn->selectItemAtIndex(shown.unitIndex);
            updateRecoveryNote();
        }
    } else if (object == o_.tfPwdFirst || object == o_.tfPwdSecond || object == o_.tfSetName) {
        updatePasswordPanel();
    } else if (object == o_.tfRecoveryCount) {
        updateRecoveryNote();
    }
}

void SplitController::editingEnded(const toolkit::Control* object) {
    if (object == o_.tfPwdSecond || object == o_.tfPwdFirst) {
        // While typing, a confirmation that is the start of the password is
        // no mismatch yet; once the user leaves it (Enter, Tab), it is one,
        // and the message says why OK stays off.
        const std::string second = o_.tfPwdSecond->stringValue();
        if (!second.empty() && second != o_.tfPwdFirst->stringValue() &&
            o_.encryptMsg2->isHidden()) {
            o_.encryptMsg2->setStringValue(kPasswordMismatch);
            o_.encryptMsg2->setHidden(false);
        }
        return;
    }
    toolkit::TextField* field = object == o_.tfSize    ? o_.tfSize
                                : object == o_.tfCount ? o_.tfCount
                                                       : nullptr;
    if (!field) return;
    bool& pending = field == o_.tfSize ? sizePending_ : countPending_;
    if (!pending) return;
    pending = false;
    const std::string typed = field->stringValue();
    field == o_.tfSize ? sizeToCount() : countToSize();
    if (field->stringValue() != typed) {
        o_.sizeNote->setStringValue(field == o_.tfSize
                                        ? "The piece size was corrected to " +
                                              field->stringValue() + " " + o_.popBtn->title() + "."
                                        : "The number of pieces was corrected to " +
                                              field->stringValue() + ".");
    }
}

PasswordUse SplitController::chosenPasswordUse() const {
    return o_.pwdUseBtn->selectedTag() == kGateJoinTag ? PasswordUse::GateJoin
                                                       : PasswordUse::Encrypt;
}

bool SplitController::passwordPanelIsConfirmed() const {
    const std::string first = o_.tfPwdFirst->stringValue();
    return passwordProblem(first, chosenPasswordUse()).empty() &&
           first == o_.tfPwdSecond->stringValue() &&
           setNameProblem(o_.tfSetName->stringValue()).empty();
}

void SplitController::updatePasswordPanel() {
    const PasswordUse use = chosenPasswordUse();
    const std::string first = o_.tfPwdFirst->stringValue();
    const std::string second = o_.tfPwdSecond->stringValue();
    // The second field mismatches once it is no longer the start of the first.
    const bool mismatch =
        second.size() > first.size() || first.compare(0, second.size(), second) != 0;
    // The limit follows the choice: a password typed for encryption may be
    // too long for the join's gate.
    const std::string message = first.size() > maxPasswordBytes(use) ? passwordProblem(first, use)
                                : mismatch ? std::string(kPasswordMismatch)
                                           : setNameProblem(o_.tfSetName->stringValue());
    o_.encryptMsg2->setStringValue(message);
    o_.encryptMsg2->setHidden(message.empty());
    o_.pwdStrength->setStringValue(passwordStrengthText(first));
    // Only two equal, usable passwords can be confirmed, so Enter cannot store a typo.
    o_.encryptViewOKBtn->setEnabled(passwordPanelIsConfirmed());
}

void SplitController::modeChosen() {
    const int tag = o_.spliteByBtn->selectedTag();
    log(format("row = %lld", tag));
    if (tag == 2) {
        o_.tfSize->setEnabled(false);
        o_.popBtn->setEnabled(false);
        o_.tfCount->setEnabled(true);
    } else if (tag == 1) {
        o_.tfSize->setEnabled(true);
        o_.popBtn->setEnabled(true);
        o_.tfCount->setEnabled(false);
    }
}

void SplitController::unitChosen() {
    sizeToCount();
    o_.presetBtn->selectItemAtIndex(0); // a unit chosen by hand: no preset any more
    o_.sizeNote->setStringValue("");
}

void SplitController::forgetSource(long tag) {
    log(format("tag = %lld", tag));
    ++sourceGeneration_; // a measurement still on its way no longer fits
    measuring_ = false;
    s_.fPath.clear();
    s_.fSize = 0;
    o_.splitSummary->setStringValue("");
    updateRecoveryNote();
    disableControls(); // nothing left to split
    o_.pathView->reloadData();
}

void SplitController::reset() {
    s_.fPath.clear();
    s_.oPath.clear();
    s_.sSize = 0;
    s_.fSize = 0;
    o_.tfSize->setStringValue("");
    o_.tfCount->setStringValue("");
    o_.tfOutPath->setStringValue("");
    updateRecoveryNote();
    o_.btnSplit->setEnabled(false);
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
        if (s_.fSize >= tier.below && tier.below != INT64_MAX) continue;
        s_.sSize = tier.pieceSize == 0 ? s_.fSize : tier.pieceSize;
        o_.tfSize->setIntValue(tier.shown);
        o_.popBtn->selectItemAtIndex(tier.unitIndex);
        o_.tfCount->setIntValue(
            tier.pieceSize == 0 ? 1 : static_cast<int32_t>(ceilDivide(s_.fSize, tier.pieceSize)));
        return;
    }
}

void SplitController::encryptToggled() {
    if (o_.encryptBtn->state() == 0) {
        forgetPassword(); // unticking the box means no password
        return;
    }
    o_.tfPwdFirst->setStringValue("");
    o_.tfPwdSecond->setStringValue("");
    o_.tfSetName->setStringValue("");
    o_.pwdUseBtn->selectTag(kEncryptPiecesTag); // a new password encrypts, unless chosen otherwise
    updatePasswordPanel();
    o_.encryptPanel->center();
    o_.encryptPanel->makeKeyWindow();
    tk_.application().runModalForWindow(o_.encryptPanel);
    o_.encryptMsg2->setHidden(true);
}

void SplitController::passwordUseChosen() {
    updatePasswordPanel();
}

void SplitController::confirmPassword() {
    if (!passwordPanelIsConfirmed()) return;
    s_.pwd = o_.tfPwdFirst->stringValue();
    s_.pwdUse = chosenPasswordUse();
    s_.setName = o_.tfSetName->stringValue();
    tk_.application().stopModal(toolkit::kModalResponseOK);
    o_.encryptPanel->orderOut();
    // The controller keeps the password; the fields do not.
    o_.tfPwdFirst->setStringValue("");
    o_.tfPwdSecond->setStringValue("");
    o_.pwdStrength->setStringValue("");
}

void SplitController::cancelPassword() {
    tk_.application().stopModal(toolkit::kModalResponseCancel);
    o_.encryptPanel->orderOut();
    o_.tfPwdFirst->setStringValue("");
    o_.tfPwdSecond->setStringValue("");
    o_.pwdStrength->setStringValue("");
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
    s_.oPath = panel->path();
    o_.tfOutPath->setStringValue(s_.oPath);
    refreshPresets();
    o_.btnSplit->setEnabled(true);
}

void SplitController::start() {
    // Not while the engine reads a set, or the source is still being measured.
    if (host_.readingSet() || measuring_ || s_.fPath.empty() || s_.oPath.empty()) return;
    // A correction still pending applies before the split.
    editingEnded(o_.tfSize);
    editingEnded(o_.tfCount);
    auto run = std::make_shared<SplitRun>();
    Split_pragma& request = run->request;
    if (s_.fSize == 0) {
        host_.showAlert(kCannotSplit, kEmptySource);
        return;
    }
    if (s_.fPath.size() >= sizeof request.srcPath) {
        host_.showAlert(kCannotSplit, kSourcePathTooLong);
        return;
    }
    if (s_.oPath.size() >= sizeof request.outFolder) {
        host_.showAlert(kCannotSplit, kOutputPathTooLong);
        return;
    }
    std::string problem = s_.pwd.empty() ? std::string() : passwordProblem(s_.pwd, s_.pwdUse);
    if (problem.empty()) problem = setNameProblem(s_.setName);
    if (!problem.empty()) {
        host_.showAlert(kCannotSplit, problem);
        return;
    }
    const RecoveryForecast recovery = recoveryForecast();
    if (!recovery.problem.empty()) {
        host_.showAlert(kCannotSplit, recovery.sentence);
        return;
    }
    if (!outputCanTakeTheSet(recovery.bytes)) return;
    if (o_.delSourceFileBtn->state() == 1 &&
        !host_.confirm(sourceRemovalQuestion(s_.fPath, includeHidden()), kRemovalInformative,
                       kRemoveButton, kCancelButton))
        return;
    if (!mayReplaceSetInTheWay(run->replaceSet)) return;
    std::memcpy(request.srcPath, s_.fPath.data(), s_.fPath.size());
    request.totalSize = s_.fSize;
    request.pieceSize = s_.sSize;
    // An encrypting password goes to the encryption only; the request's
    // password is the join's gate, which stores the password's digest.
    if (s_.pwdUse == PasswordUse::Encrypt) {
        run->encryptPassword = s_.pwd;
        run->encryptWorkFactor = encryptWorkFactor;
        if (o_.spliteByBtn->selectedTag() == 2)
            run->pieceCount =
                static_cast<int32_t>(ceilDivide(s_.fSize, std::max<int64_t>(s_.sSize, 1)));
    } else {
        std::memcpy(request.password, s_.pwd.data(), s_.pwd.size());
    }
    run->setName = s_.setName;
    std::memcpy(request.outFolder, s_.oPath.data(), s_.oPath.size());
    log(std::string("path = ") + request.outFolder);

    run->removeSource = o_.delSourceFileBtn->state() == 1;
    run->includeHidden = includeHidden();
    run->recovery = recoveryRequest();
    host_.runs().start(run,
                       {kSplittingTitle, s_.oPath, nullptr, [this, run] { return ended(*run); }});
}

bool SplitController::mayReplaceSetInTheWay(bool& replace) {
    replace = false;
    // Where the set goes follows its name, which may not be the source's.
    const std::string named =
        stringByAppendingPathComponent(stringByDeletingLastPathComponent(s_.fPath), setNameShown());
    const std::string inTheWay = describeSetInTheWay(named.c_str(), s_.oPath.c_str());
    if (inTheWay.empty()) return true;
    const std::string stem = stemOf(setNameShown());
    const std::string folder = stringByAppendingPathComponent(s_.oPath, stem + "_spt");
    // Another source's set (backup.img's where backup.iso goes) may rather
    // stay: the new set can take a name of its own instead.
    const std::string ownName = anotherSourcesSetInTheWay(setNameShown(), s_.oPath)
                                    ? freeSetName(setNameShown(), s_.oPath)
                                    : std::string();
    if (!ownName.empty()) {
        const int chosen = host_.choose(
            kOtherSourcesSetQuestion,
            folder + " holds " + inTheWay + ". Under another name this set becomes " + ownName +
                " in " + stemOf(ownName) + "_spt, and that one stays. " + kReplaceSetInformative,
            {kUseAnotherNameButton, kReplaceButton, kCancelButton});
        if (chosen == 0) {
            s_.setName = ownName;
            o_.tfSetName->setStringValue(ownName);
            return true;
        }
        replace = chosen == 1;
        return replace;
    }
    replace = host_.confirm(kReplaceSetQuestion,
                            folder + " holds " + inTheWay + ". " + kReplaceSetInformative,
                            kReplaceButton, kCancelButton);
    return replace;
}

RunEnd SplitController::ended(const SplitRun& run) {
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
        if (const std::string shared = sharedBlocksDoneText(made.sharedBytes, made.writtenBytes);
            !shared.empty())
            detail += "\n" + shared;
    }
    std::function<void()> beforeCompletion;
    if (run.removeSource && (succeeded || removed)) {
        // A removal is chosen for one run; a source that is gone leaves the table.
        beforeCompletion = [this, removed] {
            o_.delSourceFileBtn->setState(0);
            if (removed) forgetSource(0);
        };
    }
    return {succeeded ? kSplitCompletedTitle
                      : failedTitle(kind, kSplitFailedTitle, kSplitCancelledTitle),
            std::move(detail), std::move(beforeCompletion), nullptr};
}

void SplitController::setReadingChanged(bool reading) {
    o_.btnSplit->setEnabled(!reading && !s_.fPath.empty() && !s_.oPath.empty());
}

int64_t SplitController::numberOfRowsInTableView(const toolkit::TableView*) {
    return s_.fPath.empty() ? 0 : 1;
}

toolkit::CellValue
SplitController::tableView_objectValueForTableColumn_row(const toolkit::TableView*,
                                                         const std::string& columnId, int64_t) {
    using toolkit::CellValue;
    if (s_.fPath.empty() || s_.fPath == "0") return CellValue::none();
    if (columnId == kFileNameColumn) return CellValue::text(lastPathComponent(s_.fPath));
    if (columnId == kLocationColumn)
        return CellValue::text(stringByDeletingLastPathComponent(s_.fPath));
    if (columnId == kSizeColumn) return CellValue::text(roundedSize(s_.fSize));
    return CellValue::none();
}
