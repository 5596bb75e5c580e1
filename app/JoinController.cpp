#include "app/JoinController.h"

#include "app/MainViewController.h"
#include "app/Texts.h"
#include "core/RemovalSummary.h"
#include "core/SplitArithmetic.h"
#include "core/SplitRules.h"
#include "engine/base/utilities.h"
#include "engine/compat/errors.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/encrypted_set.h"
#include "engine/runs/numbered_parts.h"
#include "engine/runs/removal.h"

#include <algorithm>
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

// What the inspection on the worker thread found, for the UI thread.
struct InspectedSet {
    int32_t result = -1;
    std::vector<SPTCfg_SPTitem2> pieces;
    std::string digest;
    std::string name;
    bool encrypted = false;
    ChecksumVerdict checksums;
    RecoveryListing recovery;
    std::optional<RecoveryReport> assessed;
};

// The quick check found something wrong: a piece missing or unlike its
// fingerprint, checksum files that are not whole, a recovery file missing.
bool quickCheckFails(const std::vector<SPTCfg_SPTitem2>& pieces, ChecksumState checksums,
                     const RecoveryListing& recovery) {
    return checksums != ChecksumState::Good || recovery.incomplete() ||
           std::any_of(pieces.begin(), pieces.end(),
                       [](const SPTCfg_SPTitem2& entry) { return entry.checkState != 0; });
}

// The name a join of a set whose manifest names `baseName` writes, as far as
// it shows: an encrypted set's manifest names the age file "<name>.age".
std::string joinedName(const std::string& baseName, bool encrypted) {
    const std::string suffix = ".age";
    if (!encrypted || baseName.size() <= suffix.size() ||
        baseName.compare(baseName.size() - suffix.size(), suffix.size(), suffix) != 0)
        return baseName;
    return baseName.substr(0, baseName.size() - suffix.size());
}

// What parts without a name of their own ("xaa", "x00") are joined into:
// the name of their folder, or "joined", never the name of one of the parts.
std::string nameForUnnamedParts(const PartsListing& listing) {
    std::string name = lastPathComponent(listing.folder);
    if (name.empty() || name == "/" || name == "." || name == "..") name = "joined";
    if (listing.naming.ordinalOf(name)) name += ".joined";
    return name;
}

bool holds(const std::vector<int32_t>& indexes, int32_t index) {
    return std::find(indexes.begin(), indexes.end(), index) != indexes.end();
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

// What a repair found, rebuilt and kept aside, for its completion window.
std::string repairText(const RepairOutcome& outcome, const std::string& outputFolder) {
    if (outcome.rebuilt.empty()) return "Nothing to repair: " + outcome.report.summary() + ".";
    std::string text = "Found " + outcome.report.summary() + ".\nRebuilt " +
                       joined(outcome.rebuilt) +
                       (outputFolder.empty() ? "" : " in " + outputFolder) + ".";
    if (!outcome.keptAside.empty())
        text += std::string("\nKept the damaged ") +
                (outcome.keptAside.size() == 1 ? "file" : "files") +
                " aside: " + joined(outcome.keptAside) + ".";
    return text;
}

// A piece's size; one that is not there has none.
toolkit::CellValue sizeCell(int64_t bytes) {
    return bytes < 0 ? toolkit::CellValue::text(kUnknownSize, "missing")
                     : toolkit::CellValue::text(roundedSize(bytes));
}

} // namespace

JoinController::JoinController(MainViewController& controller, toolkit::Toolkit& toolkit)
    : c_(controller), tk_(toolkit) {}

void JoinController::chooseSet() {
    auto panel = folderPanel(tk_);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    load(panel->path());
}

void JoinController::load(const std::string& path) {
    if (addingSet_) return;
    c_.delSoureFileM->setState(0); // a removal is chosen for one set, never carried over
    checksumFailures_.clear();
    checksumsVerified_ = false;
    recovery_ = {};
    assessed_.reset();
    encrypted_ = false;
    parts_ = false;
    partsSums_.clear();
    partsName_.clear();
    c_.intPath = path;
    c_.outPath = stringByDeletingLastPathComponent(c_.intPath);
    c_.tfMOutputPath->setStringValue(c_.outPath);
    c_.joinList.clear();
    c_.joinView->reloadData();
    c_.joinSummary->setStringValue(kCheckingPieces);
    // Every piece is read on a worker thread; Split, Join and another add wait
    // for it, and a result that comes after the list changed is dropped.
    const uint64_t generation = ++setGeneration_;
    setAdding(true);
    if (tk_.fileManager().attributesOfItemAtPath_fileType(path) == toolkit::FileType::Regular)
        return loadParts(path, generation);
    tk_.threads().detachNewThread([this, path, generation, alive = std::weak_ptr<int>(alive_)] {
        auto found = std::make_shared<InspectedSet>();
        char digest[40] = {};
        char name[1024] = {};
        found->result = inspectPieceSet(path.c_str(), found->pieces, digest, name);
        found->digest = digest;
        found->name = name;
        if (const FileDescriptor folder = openFolderPath(path))
            found->encrypted = isEncryptedSet(folder.get());
        found->checksums = checksumVerdict(path.c_str());
        if (found->result >= 0) found->recovery = listRecoveryPieces(path);
        // Every byte is read against the recovery pieces only when something is wrong.
        if (!found->recovery.stem.empty() &&
            quickCheckFails(found->pieces, found->checksums.state, found->recovery)) {
            RunContext run;
            if (const FileDescriptor folder = openFolderPath(path))
                found->assessed = assessRecovery(folder.get(), path, found->recovery.stem, run);
        }
        c_.onUi([this, generation, found, alive] {
            if (alive.expired() || generation != setGeneration_) return;
            setAdding(false);
            if (found->result < 0) {
                c_.showAlert(kAddJoinFolderFailed, kInputPathNotValid);
                reset();
            } else {
                c_.joinList = std::move(found->pieces);
                c_.pwdM = found->digest;
                encrypted_ = found->encrypted;
                revealedName_.clear();
                c_.outputName = joinedName(found->name, found->encrypted);
                setChecksums_ = found->checksums;
                // Rows in piece order, whatever order the manifest lists them in.
                std::stable_sort(c_.joinList.begin(), c_.joinList.end(),
                                 [](const SPTCfg_SPTitem2& a, const SPTCfg_SPTitem2& b) {
                                     return a.pieceIndex < b.pieceIndex;
                                 });
                recovery_ = std::move(found->recovery);
                if (found->assessed) takeAssessment(*found->assessed);
                setControlsEnabled(true);
            }
            showSummary();
            c_.joinView->reloadData();
        });
    });
}

void JoinController::loadParts(const std::string& path, uint64_t generation) {
    tk_.threads().detachNewThread([this, path, generation, alive = std::weak_ptr<int>(alive_)] {
        auto listed = std::make_shared<std::optional<Result<PartsListing>>>();
        RunContext run;
        listed->emplace(listNumberedParts(path, run));
        c_.onUi([this, generation, listed, alive] {
            if (alive.expired() || generation != setGeneration_) return;
            setAdding(false);
            const Result<PartsListing>& found = **listed;
            if (!found) {
                c_.showAlert(kAddJoinFolderFailed, found.failure().reason + ".");
                reset();
            } else {
                parts_ = true;
                partsSums_ = found->sumsFile;
                const std::string named = found->naming.outputName();
                partsName_ = named.empty() ? nameForUnnamedParts(found.value()) : std::string();
                c_.outputName = named.empty() ? partsName_ : named;
                c_.pwdM.clear();
                setChecksums_ = {};
                setChecksums_.state = !found->sumsProblem.empty() ? ChecksumState::Damaged
                                      : partsSums_.empty()        ? ChecksumState::Absent
                                                                  : ChecksumState::Good;
                setChecksums_.problem = found->sumsProblem;
                int32_t index = 0;
                for (const ListedPart& part : found->parts)
                    c_.joinList.push_back(
                        {index++, static_cast<int16_t>(part.size < 0 ? -1 : 0), "",
                         stringByAppendingPathComponent(found->folder, part.name), part.size});
                setControlsEnabled(true);
            }
            showSummary();
            c_.joinView->reloadData();
        });
    });
}

void JoinController::setAdding(bool busy) {
    addingSet_ = busy;
    c_.mBtnAddFile->setEnabled(!busy);
    if (busy) setControlsEnabled(false);
    c_.btnSplit->setEnabled(!busy && !c_.fPath.empty() && !c_.oPath.empty());
}

void JoinController::chooseOutputFolder() {
    auto panel = folderPanel(tk_);
    panel->setCanCreateDirectories(true);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    c_.outPath = panel->path();
    c_.tfMOutputPath->setStringValue(c_.outPath);
}

void JoinController::setControlsEnabled(bool enabled) {
    c_.mergeBtn->setEnabled(enabled);
    c_.mVerifyBtn->setEnabled(enabled);
    c_.tfMOutputPath->setEnabled(enabled);
    c_.mOutputBtn->setEnabled(enabled);
    // Numbered parts are joined, never removed or checked on their own. A gap
    // cannot be joined, unless the set's recovery pieces may fill it.
    c_.delSoureFileM->setEnabled(enabled && !parts_);
    c_.mVerifyBtn->setEnabled(enabled && !parts_);
    const bool gap = std::any_of(c_.joinList.begin(), c_.joinList.end(),
                                 [](const SPTCfg_SPTitem2& entry) { return entry.size < 0; });
    c_.mergeBtn->setEnabled(enabled && !(gap && (parts_ || recovery_.stem.empty())));
    c_.mRepairBtn->setEnabled(enabled && canRepair());
}

void JoinController::takeAssessment(const RecoveryReport& report) {
    assessed_ = report;
    for (SPTCfg_SPTitem2& entry : c_.joinList)
        if (holds(report.badPieces, entry.pieceIndex)) entry.checkState = -1;
}

bool JoinController::canRepair() const {
    if (recovery_.stem.empty()) return false;
    if (assessed_) return assessed_->hasRecovery && !assessed_->intact();
    return quickCheckFails(c_.joinList, setChecksums_.state, recovery_);
}

const char* JoinController::recoveryPieceProblem(const ListedRecoveryPiece& piece) const {
    if (piece.size < 0) return "missing";
    if (!piece.header) return "its header copy is missing";
    if (assessed_ && holds(assessed_->badRecoveryPieces, piece.index))
        return "does not match its recovery header";
    return nullptr;
}

void JoinController::showSummary() {
    if (c_.joinList.empty()) {
        c_.joinSummary->setStringValue("");
        return;
    }
    std::size_t missing = 0, damaged = 0;
    for (const SPTCfg_SPTitem2& entry : c_.joinList) {
        if (entry.size < 0)
            ++missing;
        else if (entry.checkState != 0)
            ++damaged;
    }
    std::string recovery;
    if (!recovery_.pieces.empty()) {
        std::size_t lost = 0, bad = 0;
        for (const ListedRecoveryPiece& piece : recovery_.pieces)
            if (recoveryPieceProblem(piece)) ++(piece.size < 0 ? lost : bad);
        recovery = recoveryStateText(recovery_.pieces.size(), lost, bad,
                                     assessed_ ? &*assessed_ : nullptr);
    }
    const SetProtection protection = encrypted_         ? SetProtection::Encrypted
                                     : !c_.pwdM.empty() ? SetProtection::Password
                                                        : SetProtection::None;
    c_.joinSummary->setStringValue(joinSummaryText(c_.joinList.size(), missing, damaged, protection,
                                                   setChecksums_.state, recovery));
}

void JoinController::reset() {
    ++setGeneration_; // an inspection still on its way no longer fits
    c_.joinList.clear();
    recovery_ = {};
    assessed_.reset();
    parts_ = false;
    partsSums_.clear();
    partsName_.clear();
    c_.intPath.clear();
    c_.outPath.clear();
    c_.tfMOutputPath->setStringValue(c_.outPath);
    c_.joinSummary->setStringValue("");
    setControlsEnabled(false); // no set, nothing to join
}

void JoinController::start() {
    if (addingSet_ || c_.joinList.empty()) return;
    if (c_.outPath.empty()) return;
    // An encrypted set's name outside is not what it holds: only a name a
    // join revealed is asked about.
    const std::string name = encrypted_ ? revealedName_ : c_.outputName;
    const std::string target = stringByAppendingPathComponent(c_.outPath, name);
    bool replaceAgreed = false;
    if (!name.empty() && tk_.fileManager().fileExistsAtPath(target)) {
        c_.outputPathPrompt->setStringValue(target + " already exists. Replace it?");
        c_.outputPathWindow->center();
        c_.outputPathWindow->makeKeyWindow();
        if (tk_.application().runModalForWindow(c_.outputPathWindow) != toolkit::kModalResponseOK)
            return;
        replaceAgreed = true;
    }
    bool ignoreChecksums = false;
    // Checksum files the recovery pieces can mend are rebuilt by the join itself.
    const bool mended = assessed_ && assessed_->hasRecovery && assessed_->repairable;
    if (setChecksums_.state == ChecksumState::Damaged && !mended) {
        // Damaged checksum files are never passed over silently: the user
        // decides, and Cancel is the default. Pieces are never removed then.
        if (tk_.alert()->runModalQuestion(c_.window, kDamagedChecksumsQuestion,
                                          setChecksums_.problem + ". " + kDamagedChecksumsRisk,
                                          kJoinAnywayButton,
                                          kCancelButton) != toolkit::kModalResponseOK)
            return;
        ignoreChecksums = true;
        c_.delSoureFileM->setState(0);
    }
    if (c_.delSoureFileM->state() == 1) {
        if (tk_.alert()->runModalQuestion(c_.window,
                                          "Remove the pieces of " + c_.outputName + " (" +
                                              std::to_string(c_.joinList.size()) +
                                              (c_.joinList.size() == 1 ? " piece" : " pieces") +
                                              ") once the joined files are on disk?",
                                          kRemovalInformative, kRemoveButton,
                                          kCancelButton) != toolkit::kModalResponseOK)
            return;
        if (setChecksums_.state == ChecksumState::Absent &&
            tk_.alert()->runModalQuestion(c_.window, kUnverifiableRemovalQuestion,
                                          "Without checksum files that belong to the set, "
                                          "only each piece's first kilobyte can be checked (it "
                                          "has no checksum files).",
                                          kRemoveAnywayButton,
                                          kCancelButton) != toolkit::kModalResponseOK)
            return;
    }
    std::string password;
    if (!askPassword(password)) return;
    launch(ignoreChecksums, replaceAgreed, std::move(password));
}

void JoinController::answerReplacePrompt(bool replace) {
    tk_.application().stopModal(replace ? toolkit::kModalResponseOK
                                        : toolkit::kModalResponseCancel);
    c_.outputPathWindow->orderOut();
}

bool JoinController::askPassword(std::string& password) {
    if (!encrypted_ && c_.pwdM.empty()) return true;
    c_.pwdPrompt->setStringValue(encrypted_ ? kEncryptedSetPrompt : kProtectedSetPrompt);
    c_.pwdField->setStringValue("");
    c_.pwdMsg->setHidden(true);
    c_.pwdOKBtn->setEnabled(false);
    c_.pwdWindow->center();
    c_.pwdWindow->makeKeyWindow();
    const bool entered =
        tk_.application().runModalForWindow(c_.pwdWindow) == toolkit::kModalResponseOK;
    password = std::move(typedPassword_);
    typedPassword_.clear();
    return entered;
}

void JoinController::passwordTyped() {
    // An encrypted set's password is known to be right only once the join
    // has opened the set with it; a protected set's is checked as it is typed.
    const bool right =
        encrypted_ ? !c_.pwdField->stringValue().empty()
                   : checkPassword(c_.pwdField->stringValue().c_str(), c_.pwdM.c_str()) == 1;
    c_.pwdMsg->setHidden(encrypted_ || right);
    c_.pwdOKBtn->setEnabled(right);
}

void JoinController::passwordEntered() {
    if (encrypted_) {
        if (c_.pwdField->stringValue().empty()) return;
        typedPassword_ = c_.pwdField->stringValue();
        tk_.application().stopModal(toolkit::kModalResponseOK);
        c_.pwdWindow->orderOut();
        c_.pwdOKBtn->setEnabled(false);
        c_.pwdField->setStringValue("");
        return;
    }
    if (checkPassword(c_.pwdField->stringValue().c_str(), c_.pwdM.c_str()) == 1) {
        tk_.application().stopModal(toolkit::kModalResponseOK);
        c_.pwdWindow->orderOut();
        c_.pwdMsg->setHidden(true);
        c_.pwdOKBtn->setEnabled(false);
        c_.pwdField->setStringValue("");
    } else {
        c_.pwdMsg->setHidden(false);
        c_.pwdField->setStringValue("");
        c_.pwdOKBtn->setEnabled(false);
    }
}

void JoinController::passwordCancelled() {
    tk_.application().stopModal(toolkit::kModalResponseCancel);
    c_.pwdWindow->orderOut();
    c_.pwdField->setStringValue("");
}

void JoinController::launch(bool ignoreChecksums, bool replaceAgreed, std::string password) {
    // The engine thread gets its own copies: the controller's texts belong to the UI thread.
    auto run = std::make_shared<JoinRun>();
    run->pieceFolder = c_.intPath;
    run->parts = parts_;
    run->partsName = partsName_;
    run->outputFolder = c_.outPath;
    run->options.ignoreChecksums = ignoreChecksums;
    run->encrypted = encrypted_;
    run->options.password = std::move(password);
    // What an encrypted set holds is named only once it is decrypted: it
    // replaces nothing the user was not asked about.
    run->options.replaceExisting = (!encrypted_ && !parts_) || replaceAgreed;
    run->removePieces = c_.delSoureFileM->state() == 1;
    run->pieces = static_cast<int64_t>(c_.joinList.size());
    // Without checksum files the user was asked before the run, and agreed.
    run->quickCheckedRemovalAccepted = setChecksums_.state == ChecksumState::Absent;
    run_ = run;
    c_.prepareRun(run, c_.outPath);
    tk_.threads().detachNewThread([run] { MainViewController::OC_splitProject_merge(*run); });
    tk_.threads().detachNewThread([this] { c_.updateMergeProgressIndicator(); });

    c_.runProgressWindow(kJoiningTitle);
}

void JoinController::tick() {
    // Set by the UI thread before this thread started; replaced only after this run ends.
    const JoinRun& run = *run_;
    const int64_t done = run.progress.done.load(std::memory_order_relaxed);
    const int64_t total = run.progress.total.load(std::memory_order_relaxed);
    // Diagnostic lines, with the window's others in the system log, never on the terminal.
    c_.log("s1 = " + std::to_string(done) + ",s2 = " + std::to_string(total));
    c_.log("pre = " + std::to_string(static_cast<double>(progressPercent(done, total))));
    c_.showProgress();
    if (!run.done.finished()) {
        c_.onUi([this] { c_.joinView->reloadData(); });
        return;
    }
    c_.stopProgressTimer();
    const bool succeeded = run.done.result() == 0;
    // The engine's reason when an encrypted set does not open with the password.
    const bool wrongPassword = run.encrypted && run.failureKind() == EngineFailure::WrongPassword;
    // What an encrypted set holds is named only once it is decrypted: the
    // next Join asks about replacing it, under its real name.
    const bool inTheWay = run.encrypted && run.failureKind() == EngineFailure::TargetExists;
    if (run.encrypted && (succeeded || inTheWay))
        revealedName_ = lastPathComponent(succeeded ? run.outcome.target : run.failure->path);
    std::string detail = wrongPassword ? std::string(kWrongPasswordDetail)
                         : inTheWay    ? run.reason() + ". Join again to replace it."
                         : !succeeded  ? sentenceOf(run.reason())
                         : !run.outcome.fullCheck && run.parts
                             ? std::string(kUnlistedPartMark) + "."
                         : !run.outcome.fullCheck ? std::string(kQuickCheckOnlyDetail)
                                                  : std::string();
    if (const std::string changes =
            joinChangesText(run.outcome.filesReplaced, run.outcome.filesAdded);
        succeeded && !changes.empty())
        detail = sentenceOf(changes) + (detail.empty() ? "" : "\n" + detail);
    // "Rebuilt 1 missing piece from the recovery pieces.": the set's folder is as it was.
    if (succeeded && !run.outcome.rebuilt.empty())
        detail = sentenceOf(run.outcome.rebuilt) + (detail.empty() ? "" : "\n" + detail);
    // "Joined 18 pieces into /home/me/movie.mkv.": what an encrypted set held is named only now.
    if (succeeded)
        detail = "Joined " + groupedCount(run.pieces) +
                 (run.parts         ? " parts into "
                  : run.pieces == 1 ? " piece into "
                                    : " pieces into ") +
                 run.outcome.target + "." + (detail.empty() ? "" : "\n" + detail);
    std::function<void()> beforeCompletion;
    if (run.removePieces && succeeded) {
        // The engine removed the pieces the join read, those still unchanged.
        const RemovalReport& report = run.outcome.removal;
        if (const std::optional<Failure>& failed = run.outcome.removalFailure) {
            detail = report.stopped ? removalStoppedText(report, true)
                                    : failed->reason + "\n" + kUntouchedAfterFailure;
        } else {
            const std::string summary = removalDoneText(report, run.pieceFolder, true);
            detail += (detail.empty() || summary.empty() ? "" : "\n") + summary;
            // The list is emptied only when the set is really gone.
            if (report.changed.empty() && report.failed.empty()) {
                beforeCompletion = [this] {
                    reset();
                    c_.delSoureFileM->setState(0);
                };
            }
        }
    } else if (run.removePieces) {
        detail += (detail.empty() ? "" : "\n") + std::string(kUntouchedAfterFailure);
    }
    c_.finishRun(succeeded ? kJoinCompletedTitle
                           : MainViewController::failedTitle(run.failureKind(), kJoinFailedTitle,
                                                             kJoinCancelledTitle),
                 detail, std::move(beforeCompletion), [this] { c_.joinView->reloadData(); });
}

void JoinController::startVerify() {
    if (addingSet_ || c_.joinList.empty()) return;
    auto run = std::make_shared<VerifyRun>();
    run->pieceFolder = c_.intPath;
    verify_ = run;
    c_.prepareRun(run, c_.outPath);
    tk_.threads().detachNewThread([run] { MainViewController::OC_verifyPieceSet(*run); });
    tk_.threads().detachNewThread([this] { c_.runProgressTimer([this] { verifyTick(); }); });
    c_.runProgressWindow(kVerifyingTitle);
}

void JoinController::verifyTick() {
    c_.showProgress();
    // Set by the UI thread before this thread started; replaced only after this run ends.
    const VerifyRun& run = *verify_;
    if (!run.done.finished()) return;
    c_.stopProgressTimer();
    const bool belong = run.checksums == ChecksumState::Good;
    std::vector<PieceCheck> checks = run.checks;
    const char* title = kVerifyCompletedTitle;
    std::string detail;
    if (run.failureKind() == EngineFailure::Cancelled) {
        title = kVerifyCancelledTitle;
        detail = "The marks stay as they were.";
        checks.clear();
    } else if (run.checksums == ChecksumState::Damaged) {
        title = kVerifyFailedTitle;
        detail = run.reason() + ".";
    } else if (!belong) {
        title = kVerifyImpossibleTitle;
        detail = std::string(kNoChecksumsDetail) + ": " + run.reason() + ".";
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
        if (run.done.result() != 0 && checks.empty()) detail = run.reason();
    }
    if (const std::optional<RecoveryReport>& recovery = run.recovery;
        recovery && (recovery->hasRecovery || !recovery->headerProblem.empty())) {
        detail += (detail.empty() ? "" : "\n") + ("Recovery pieces: " + recovery->summary() + ".");
        if (recovery->hasRecovery && !recovery->intact() && recovery->repairable)
            detail += std::string(" ") + kRepairAdvice;
    }
    c_.finishRun(
        title, detail,
        [this, belong, checks = std::move(checks), recovery = run.recovery] {
            if (belong && !checks.empty()) { // otherwise the quick marks stay
                checksumFailures_.clear();
                checksumsVerified_ = true;
                for (SPTCfg_SPTitem2& entry : c_.joinList) {
                    for (const PieceCheck& check : checks) {
                        if (check.pieceIndex != entry.pieceIndex) continue;
                        entry.checkState = check.good ? 0 : -1;
                        if (!check.good) checksumFailures_.insert(check.pieceIndex);
                    }
                }
            }
            if (recovery) takeAssessment(*recovery);
            showSummary();
            setControlsEnabled(true);
        },
        [this] { c_.joinView->reloadData(); });
}

void JoinController::startRepair() {
    if (addingSet_ || recovery_.stem.empty()) return;
    // In place the damaged files are kept aside; where that cannot be, the
    // rebuilt files go into a folder of the user's choosing.
    std::string output;
    if (!c_.canWriteFolder(c_.intPath)) {
        auto panel = folderPanel(tk_);
        panel->setTitle(kChooseRepairFolder);
        panel->setCanCreateDirectories(true);
        if (panel->runModal() != toolkit::kModalResponseOK) return;
        output = panel->path();
    }
    auto run = std::make_shared<RepairRun>();
    run->pieceFolder = c_.intPath;
    run->outputFolder = output;
    repair_ = run;
    c_.prepareRun(run, output.empty() ? c_.intPath : output);
    tk_.threads().detachNewThread([run] { run->execute(); });
    tk_.threads().detachNewThread([this] { c_.runProgressTimer([this] { repairTick(); }); });
    c_.runProgressWindow(kRepairingTitle);
}

void JoinController::repairTick() {
    c_.showProgress();
    // Set by the UI thread before this thread started; replaced only after this run ends.
    const RepairRun& run = *repair_;
    if (!run.done.finished()) return;
    c_.stopProgressTimer();
    const bool succeeded = run.done.result() == 0;
    // A set mended in place is listed again, as it now is; the join keeps its output folder.
    const bool relist = succeeded && run.outputFolder.empty() && !run.outcome.rebuilt.empty();
    c_.finishRun(succeeded ? kRepairCompletedTitle
                           : MainViewController::failedTitle(run.failureKind(), kRepairFailedTitle,
                                                             kRepairCancelledTitle),
                 succeeded ? repairText(run.outcome, run.outputFolder) : run.reason(), nullptr,
                 [this, relist] {
                     if (!relist) return;
                     const std::string output = c_.outPath;
                     load(c_.intPath);
                     c_.outPath = output;
                     c_.tfMOutputPath->setStringValue(output);
                 });
}

int64_t JoinController::rowCount() const {
    return static_cast<int64_t>(c_.joinList.size() + recovery_.pieces.size());
}

toolkit::CellValue JoinController::cell(const std::string& columnId, int64_t row) const {
    using toolkit::CellValue;
    if (row < 0 || row >= rowCount()) return CellValue::none();
    if (row >= static_cast<int64_t>(c_.joinList.size())) {
        const ListedRecoveryPiece& piece =
            recovery_.pieces[static_cast<std::size_t>(row) - c_.joinList.size()];
        if (columnId == kFileNameColumn) return CellValue::text(piece.name);
        if (columnId == kLocationColumn)
            return CellValue::text(stringByDeletingLastPathComponent(
                stringByAppendingPathComponent(c_.intPath, piece.name)));
        if (columnId == kSizeColumn) return sizeCell(piece.size);
        if (columnId != kCheckStateColumn) return CellValue::none();
        const char* why = recoveryPieceProblem(piece);
        return why ? CellValue::image(kWrongImage, why) : CellValue::image(kRightImage);
    }
    const SPTCfg_SPTitem2& entry = c_.joinList[static_cast<std::size_t>(row)];
    if (columnId == kFileNameColumn) return CellValue::text(lastPathComponent(entry.path));
    if (columnId == kLocationColumn)
        return CellValue::text(stringByDeletingLastPathComponent(entry.path));
    if (columnId == kSizeColumn) return sizeCell(entry.size);
    if (columnId == kCheckStateColumn) {
        if (entry.checkState == 0 && parts_)
            return CellValue::image(kRightImage, partsSums_.empty()
                                                     ? std::string(kUnlistedPartMark)
                                                     : "Listed in " + partsSums_ + kListedPartMark);
        if (entry.checkState == 0)
            return CellValue::image(kRightImage,
                                    checksumsVerified_ ? kVerifiedMark : kQuickCheckMark);
        // Why the mark is wrong: the full check's verdict once Verify has run.
        const char* why = entry.size < 0 ? "missing"
                          : checksumFailures_.count(entry.pieceIndex) != 0
                              ? "does not match its checksum"
                          : assessed_ && holds(assessed_->badPieces, entry.pieceIndex)
                              ? "does not match its recovery header"
                              : "does not match its fingerprint";
        return CellValue::image(kWrongImage, why);
    }
    return CellValue::none();
}
