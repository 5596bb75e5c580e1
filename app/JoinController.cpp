#include "app/JoinController.h"

#include "app/DragInfo.h"
#include "app/Texts.h"
#include "core/KeptAside.h"
#include "core/RemovalSummary.h"
#include "core/SplitArithmetic.h"
#include "core/SplitRules.h"
#include "engine/base/utilities.h"
#include "engine/compat/errors.h"
#include "engine/compat/inspection.h"
#include "engine/format/manifest.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/inspect.h"
#include "engine/runs/numbered_parts.h"
#include "engine/runs/removal.h"

#include <algorithm>
#include <memory>
#include <utility>

#include <unistd.h>

namespace {

std::unique_ptr<toolkit::OpenPanel> folderPanel(toolkit::Toolkit& tk) {
    auto panel = tk.openPanel();
    panel->setTitle(kChooseOneFolder);
    panel->setCanChooseDirectories(true);
    panel->setCanChooseFiles(false);
    panel->setAllowsMultipleSelection(false);
    return panel;
}

// The quick check found something wrong: a piece missing or unlike its
// fingerprint, checksum files that are not whole, a recovery file missing.
bool quickCheckFails(const std::vector<PieceRow>& pieces, ChecksumState checksums,
                     const RecoveryListing& recovery) {
    return checksums != ChecksumState::Good || recovery.incomplete() ||
           std::any_of(pieces.begin(), pieces.end(),
                       [](const PieceRow& entry) { return !entry.good; });
}

// The inspection's pieces as rows, in piece order whatever order the
// manifest lists them in.
std::vector<PieceRow> rowsOf(const std::vector<InspectedPiece>& pieces) {
    std::vector<PieceRow> rows;
    rows.reserve(pieces.size());
    for (const InspectedPiece& piece : pieces)
        rows.push_back({piece.index, piece.path, piece.size, piece.quickCheckPassed});
    std::stable_sort(rows.begin(), rows.end(),
                     [](const PieceRow& a, const PieceRow& b) { return a.index < b.index; });
    return rows;
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

// The first of other tools' numbered parts in `folder`, when it holds no
// set's manifest; "" otherwise. The first name in order that may begin a
// series and lists as one is taken.
std::string firstPartIn(const std::string& folder) {
    const FileDescriptor fd = openFolderPath(folder);
    if (!fd || entryAt(fd.get(), kManifestFileName) != EntryKind::Missing) return {};
    std::vector<std::string> names = namesIn(fd.get());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!mayBeFirstPart(name) || entryAt(fd.get(), name.c_str()) != EntryKind::Regular)
            continue;
        RunContext run;
        const std::string path = stringByAppendingPathComponent(folder, name);
        if (listNumberedParts(path, run)) return path;
    }
    return {};
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

JoinController::JoinController(SideHost& host) : host_(host), tk_(host.toolkit()) {}

JoinController::~JoinController() {
    stopReading();
    endBrowse(false);
}

void JoinController::connect(const JoinOutlets& outlets) {
    o_ = outlets;
}

void JoinController::awake() {
    o_.joinView->setDataSource(this);
    o_.joinView->registerForDraggedTypes(kFilenamesPboardType);
    showBrowseButton();
    setControlsEnabled(false);
}

void JoinController::log(const std::string& line) {
    tk_.systemLog().log(line);
}

bool JoinController::folderIsWritable(const std::string& folder) {
    return access(folder.c_str(), W_OK | X_OK) == 0;
}

void JoinController::stopReading() {
    ++setGeneration_; // what it finds no longer fits
    if (reading_) reading_->stop.store(true, std::memory_order_relaxed);
    reading_.reset();
}

void JoinController::chooseSet() {
    auto panel = folderPanel(tk_);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    load(panel->path());
}

void JoinController::chooseParts() {
    auto panel = tk_.openPanel();
    panel->setTitle(kChooseFirstPart);
    panel->setCanChooseDirectories(false);
    panel->setCanChooseFiles(true);
    panel->setAllowsMultipleSelection(false);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    load(panel->path());
}

void JoinController::load(const std::string& path) {
    if (addingSet_) return;
    if (path != browsedSet_) stopBrowsing(true); // what is browsed is the listed set
    o_.delSoureFileM->setState(0); // a removal is chosen for one set, never carried over
    checksumFailures_.clear();
    checksumsVerified_ = false;
    recovery_ = {};
    keptAside_.clear();
    assessed_.reset();
    encrypted_ = false;
    parts_ = false;
    partsSums_.clear();
    partsName_.clear();
    typedPartsName_.clear();
    s_.intPath = path;
    s_.outPath = stringByDeletingLastPathComponent(s_.intPath);
    o_.tfMOutputPath->setStringValue(s_.outPath);
    s_.joinList.clear();
    o_.joinView->reloadData();
    o_.joinSummary->setStringValue(kCheckingPieces);
    // Every piece is read on a worker thread; Split, Join and another add wait
    // for it, and a result that comes after the list changed is dropped.
    const uint64_t generation = ++setGeneration_;
    setAdding(true);
    if (tk_.fileManager().attributesOfItemAtPath_fileType(path) == toolkit::FileType::Regular)
        return loadParts(path, generation);
    // A folder of other tools' parts, without a set's manifest, lists its parts.
    if (const std::string first = firstPartIn(path); !first.empty())
        return loadParts(first, generation);
    auto reading = std::make_shared<Reading>();
    reading_ = reading;
    const bool readRecovery = std::exchange(readRecoveryNext_, false);
    tk_.threads().detachNewThread([this, &tk = tk_, path, generation, reading, readRecovery,
                                   alive = std::weak_ptr<int>(alive_)] {
        // A set with recovery headers lists its recovery pieces, and is read
        // against them whole only when something is wrong.
        auto listing = std::make_shared<RecoveryListing>();
        auto kept = std::make_shared<std::vector<std::string>>();
        auto found = std::make_shared<Result<SetInspection>>(
            inspectSet(path, reading->context, [&](const SetInspection& quick) {
                *listing = listRecoveryPieces(path);
                return readRecovery ||
                       quickCheckFails(rowsOf(quick.pieces), quick.checksums.state, *listing);
            }));
        if (*found) *kept = keptAsideFiles(path, stemOf(found->value().baseName));
        tk.threads().performOnUiThread([this, generation, found, listing, kept, alive] {
            if (alive.expired() || generation != setGeneration_) return;
            reading_.reset();
            setAdding(false);
            if (!*found) {
                host_.showAlert(kAddJoinFolderFailed, std::string(kInputPathNotValid) + "\n" +
                                                          sentenceOf(found->failure().reason));
                reset();
            } else {
                SetInspection& set = found->value();
                s_.joinList = rowsOf(set.pieces);
                s_.pwdM = set.passwordDigest;
                encrypted_ = set.encrypted;
                revealedName_.clear();
                s_.outputName = joinedName(set.baseName, set.encrypted);
                setChecksums_ = set.checksums;
                recovery_ = std::move(*listing);
                keptAside_ = std::move(*kept);
                if (set.recovery) takeAssessment(*set.recovery);
                setControlsEnabled(true);
                watchListedFolder(s_.intPath);
            }
            showSummary();
            o_.joinView->reloadData();
        });
    });
}

void JoinController::loadParts(const std::string& path, uint64_t generation) {
    tk_.threads().detachNewThread([this, &tk = tk_, path, generation,
                                   alive = std::weak_ptr<int>(alive_)] {
        auto listed = std::make_shared<std::optional<Result<PartsListing>>>();
        RunContext run;
        listed->emplace(listNumberedParts(path, run));
        tk.threads().performOnUiThread([this, generation, listed, alive] {
            if (alive.expired() || generation != setGeneration_) return;
            setAdding(false);
            const Result<PartsListing>& found = **listed;
            if (!found) {
                host_.showAlert(kAddJoinFolderFailed, found.failure().reason + ".");
                reset();
            } else {
                parts_ = true;
                partsSums_ = found->sumsFile;
                const std::string named = found->naming.outputName();
                partsName_ = named.empty() ? nameForUnnamedParts(found.value()) : std::string();
                s_.outputName = !typedPartsName_.empty() ? typedPartsName_
                                : named.empty()          ? partsName_
                                                         : named;
                s_.pwdM.clear();
                setChecksums_ = {};
                setChecksums_.state = !found->sumsProblem.empty() ? ChecksumState::Damaged
                                      : partsSums_.empty()        ? ChecksumState::Absent
                                                                  : ChecksumState::Good;
                setChecksums_.problem = found->sumsProblem;
                int32_t index = 0;
                for (const ListedPart& part : found->parts)
                    s_.joinList.push_back({index++,
                                           stringByAppendingPathComponent(found->folder, part.name),
                                           part.size, part.size >= 0});
                setControlsEnabled(true);
                watchListedFolder(found->folder);
            }
            showSummary();
            o_.joinView->reloadData();
        });
    });
}

void JoinController::watchListedFolder(const std::string& folder) {
    std::vector<std::string> files;
    for (const PieceRow& entry : s_.joinList)
        if (entry.size >= 0) files.push_back(entry.path);
    for (const ListedRecoveryPiece& piece : recovery_.pieces)
        if (piece.size >= 0)
            files.push_back(stringByAppendingPathComponent(s_.intPath, piece.name));
    watch_ = tk_.watchFolder(folder, files, [this] { folderChanged(); });
}

void JoinController::folderChanged() {
    if (host_.runs().running()) {
        changedDuringRun_ = true; // read again once the run has ended
        return;
    }
    // A burst of changes (a copy, a repair by another program) is read once,
    // when it has settled.
    const uint64_t change = ++changeGeneration_;
    tk_.threads().performOnUiThreadAfter(kSettleMilliseconds,
                                         [this, change, alive = std::weak_ptr<int>(alive_)] {
                                             if (!alive.expired()) settled(change);
                                         });
}

void JoinController::settled(uint64_t change) {
    if (change != changeGeneration_) return; // a later change is settling
    if (addingSet_ || host_.runs().running()) {
        folderChanged(); // again once the reading or the run is over
        return;
    }
    refresh();
}

void JoinController::refresh() {
    if (addingSet_ || s_.intPath.empty() || host_.runs().running()) return;
    changedDuringRun_ = false;
    const std::string output = s_.outPath;
    const int removal = o_.delSoureFileM->state();
    const std::string typed = typedPartsName_; // what the user named the parts' file stays
    load(s_.intPath);
    typedPartsName_ = typed;
    s_.outPath = output;
    o_.tfMOutputPath->setStringValue(output);
    o_.delSoureFileM->setState(removal);
}

void JoinController::setAdding(bool busy) {
    addingSet_ = busy;
    o_.mBtnAddFile->setEnabled(!busy);
    o_.mAddPartsBtn->setEnabled(!busy);
    if (busy) setControlsEnabled(false);
    host_.readingSetChanged();
}

void JoinController::chooseOutputFolder() {
    auto panel = folderPanel(tk_);
    panel->setCanCreateDirectories(true);
    if (panel->runModal() != toolkit::kModalResponseOK) return;
    s_.outPath = panel->path();
    o_.tfMOutputPath->setStringValue(s_.outPath);
}

void JoinController::setControlsEnabled(bool enabled) {
    o_.mergeBtn->setEnabled(enabled);
    o_.mVerifyBtn->setEnabled(enabled);
    o_.tfMOutputPath->setEnabled(enabled);
    o_.tfMOutputName->setEnabled(enabled && parts_);
    o_.mOutputBtn->setEnabled(enabled);
    // Numbered parts are joined, never removed or checked on their own. A gap
    // cannot be joined, unless the set's recovery pieces may fill it.
    o_.delSoureFileM->setEnabled(enabled && !parts_);
    // Parts are verified against the checksum file that lists them.
    o_.mVerifyBtn->setEnabled(enabled && (!parts_ || !partsSums_.empty()));
    const bool gap = std::any_of(s_.joinList.begin(), s_.joinList.end(),
                                 [](const PieceRow& entry) { return entry.size < 0; });
    o_.mergeBtn->setEnabled(enabled && !(gap && (parts_ || recovery_.stem.empty())));
    o_.mRepairBtn->setEnabled(enabled && canRepair());
    o_.mRefreshBtn->setEnabled(!s_.intPath.empty());
    controlsEnabled_ = enabled;
    showBrowseButton();
}

void JoinController::takeAssessment(const RecoveryReport& report) {
    assessed_ = report;
    for (PieceRow& entry : s_.joinList)
        if (holds(report.badPieces, entry.index)) entry.good = false;
}

bool JoinController::canRepair() const {
    if (recovery_.stem.empty()) return false;
    if (assessed_) return assessed_->hasRecovery && !assessed_->intact();
    return quickCheckFails(s_.joinList, setChecksums_.state, recovery_);
}

const char* JoinController::recoveryPieceProblem(const ListedRecoveryPiece& piece) const {
    if (piece.size < 0) return "missing";
    if (!piece.header) return "its header copy is missing";
    if (assessed_ && holds(assessed_->badRecoveryPieces, piece.index))
        return "does not match its recovery header";
    return nullptr;
}

void JoinController::showOutputName() {
    // An encrypted set's name inside is known only once a join has decrypted it.
    o_.tfMOutputName->setStringValue(s_.joinList.empty() ? std::string()
                                     : encrypted_        ? revealedName_
                                                         : s_.outputName);
}

void JoinController::showSummary() {
    showOutputName();
    if (s_.joinList.empty()) {
        o_.joinSummary->setStringValue("");
        return;
    }
    std::size_t missing = 0, damaged = 0;
    for (const PieceRow& entry : s_.joinList) {
        if (entry.size < 0)
            ++missing;
        else if (!entry.good)
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
                                     : !s_.pwdM.empty() ? SetProtection::Password
                                                        : SetProtection::None;
    std::string text = joinSummaryText(s_.joinList.size(), missing, damaged, protection,
                                       setChecksums_.state, recovery);
    if (!keptAside_.empty()) text += "; " + keptAsideText(keptAside_);
    o_.joinSummary->setStringValue(text);
}

void JoinController::reset() {
    stopReading(); // a reading still on its way no longer fits
    stopBrowsing(true);
    s_.joinList.clear();
    recovery_ = {};
    keptAside_.clear();
    assessed_.reset();
    parts_ = false;
    partsSums_.clear();
    partsName_.clear();
    watch_.reset();
    ++changeGeneration_;
    s_.intPath.clear();
    s_.outPath.clear();
    o_.tfMOutputPath->setStringValue(s_.outPath);
    o_.joinSummary->setStringValue("");
    typedPartsName_.clear();
    showOutputName();
    setControlsEnabled(false); // no set, nothing to join
}

void JoinController::start() {
    if (addingSet_ || s_.joinList.empty()) return;
    if (s_.outPath.empty()) return;
    if (parts_ && !typedPartsName_.empty()) {
        // The name typed for the parts' file, in place of the one their names give.
        const std::string& typed = typedPartsName_;
        if (typed.front() == '.' || typed.find('/') != std::string::npos) {
            host_.showAlert(kCannotJoin, kJoinedNameProblem);
            return;
        }
        s_.outputName = typed;
        partsName_ = typed;
    }
    // An encrypted set's name outside is not what it holds: only a name a
    // join revealed is asked about.
    const std::string name = encrypted_ ? revealedName_ : s_.outputName;
    const std::string target = stringByAppendingPathComponent(s_.outPath, name);
    bool replaceAgreed = false;
    if (!name.empty() && tk_.fileManager().fileExistsAtPath(target)) {
        o_.outputPathPrompt->setStringValue(target + " already exists. Replace it?");
        o_.outputPathWindow->center();
        o_.outputPathWindow->makeKeyWindow();
        if (tk_.application().runModalForWindow(o_.outputPathWindow) != toolkit::kModalResponseOK)
            return;
        replaceAgreed = true;
    }
    bool ignoreChecksums = false;
    // Checksum files the recovery pieces can mend are rebuilt by the join itself.
    const bool mended = assessed_ && assessed_->hasRecovery && assessed_->repairable;
    if (setChecksums_.state == ChecksumState::Damaged && !mended) {
        // Damaged checksum files are never passed over silently: the user
        // decides, and Cancel is the default. Pieces are never removed then.
        if (!host_.confirm(kDamagedChecksumsQuestion,
                           setChecksums_.problem + ". " + kDamagedChecksumsRisk, kJoinAnywayButton,
                           kCancelButton))
            return;
        ignoreChecksums = true;
        o_.delSoureFileM->setState(0);
    }
    if (o_.delSoureFileM->state() == 1) {
        if (!host_.confirm("Remove the pieces of " + s_.outputName + " (" +
                               std::to_string(s_.joinList.size()) +
                               (s_.joinList.size() == 1 ? " piece" : " pieces") +
                               ") once the joined files are on disk?",
                           kRemovalInformative, kRemoveButton, kCancelButton))
            return;
        if (setChecksums_.state == ChecksumState::Absent &&
            !host_.confirm(kUnverifiableRemovalQuestion,
                           "Without checksum files that belong to the set, "
                           "only each piece's first kilobyte can be checked (it "
                           "has no checksum files).",
                           kRemoveAnywayButton, kCancelButton))
            return;
    }
    std::string password;
    if (!askPassword(password)) return;
    // A protected set's join has checked the password here already.
    if (!encrypted_) password.clear();
    launch(ignoreChecksums, replaceAgreed, std::move(password));
}

void JoinController::answerReplacePrompt(bool replace) {
    tk_.application().stopModal(replace ? toolkit::kModalResponseOK
                                        : toolkit::kModalResponseCancel);
    o_.outputPathWindow->orderOut();
}

bool JoinController::askPassword(std::string& password) {
    if (!encrypted_ && s_.pwdM.empty()) return true;
    o_.pwdPrompt->setStringValue(encrypted_ ? kEncryptedSetPrompt : kProtectedSetPrompt);
    o_.pwdField->setStringValue("");
    o_.pwdMsg->setHidden(true);
    o_.pwdOKBtn->setEnabled(false);
    o_.pwdWindow->center();
    o_.pwdWindow->makeKeyWindow();
    const bool entered =
        tk_.application().runModalForWindow(o_.pwdWindow) == toolkit::kModalResponseOK;
    password = std::move(typedPassword_);
    typedPassword_.clear();
    return entered;
}

bool JoinController::textChanged(const toolkit::Control* object) {
    if (object == o_.tfMOutputName) {
        if (!parts_) return true;
        typedPartsName_ = o_.tfMOutputName->stringValue();
        // An emptied field brings back the name the parts give.
        if (typedPartsName_.empty()) refresh();
        return true;
    }
    if (object != o_.pwdField) return false;
    passwordTyped();
    return true;
}

void JoinController::passwordTyped() {
    // An encrypted set's password is known to be right only once the join
    // has opened the set with it; a protected set's is checked as it is typed.
    const bool right =
        encrypted_ ? !o_.pwdField->stringValue().empty()
                   : checkPassword(o_.pwdField->stringValue().c_str(), s_.pwdM.c_str()) == 1;
    o_.pwdMsg->setHidden(encrypted_ || right);
    o_.pwdOKBtn->setEnabled(right);
}

void JoinController::passwordEntered() {
    if (encrypted_) {
        if (o_.pwdField->stringValue().empty()) return;
        typedPassword_ = o_.pwdField->stringValue();
        tk_.application().stopModal(toolkit::kModalResponseOK);
        o_.pwdWindow->orderOut();
        o_.pwdOKBtn->setEnabled(false);
        o_.pwdField->setStringValue("");
        return;
    }
    if (checkPassword(o_.pwdField->stringValue().c_str(), s_.pwdM.c_str()) == 1) {
        typedPassword_ = o_.pwdField->stringValue(); // a mount checks it again
        tk_.application().stopModal(toolkit::kModalResponseOK);
        o_.pwdWindow->orderOut();
        o_.pwdMsg->setHidden(true);
        o_.pwdOKBtn->setEnabled(false);
        o_.pwdField->setStringValue("");
    } else {
        o_.pwdMsg->setHidden(false);
        o_.pwdField->setStringValue("");
        o_.pwdOKBtn->setEnabled(false);
    }
}

void JoinController::passwordCancelled() {
    tk_.application().stopModal(toolkit::kModalResponseCancel);
    o_.pwdWindow->orderOut();
    o_.pwdField->setStringValue("");
}

void JoinController::launch(bool ignoreChecksums, bool replaceAgreed, std::string password) {
    // The engine thread gets its own copies: the controller's texts belong to the UI thread.
    auto run = std::make_shared<JoinRun>();
    run->pieceFolder = s_.intPath;
    run->parts = parts_;
    run->partsName = partsName_;
    run->outputFolder = s_.outPath;
    run->options.ignoreChecksums = ignoreChecksums;
    run->encrypted = encrypted_;
    run->options.password = std::move(password);
    // What an encrypted set holds is named only once it is decrypted: it
    // replaces nothing the user was not asked about.
    run->options.replaceExisting = (!encrypted_ && !parts_) || replaceAgreed;
    run->removePieces = o_.delSoureFileM->state() == 1;
    run->pieces = static_cast<int64_t>(s_.joinList.size());
    // Without checksum files the user was asked before the run, and agreed.
    run->quickCheckedRemovalAccepted = setChecksums_.state == ChecksumState::Absent;
    const auto tick = [this, run] {
        const int64_t done = run->progress.done.load(std::memory_order_relaxed);
        const int64_t total = run->progress.total.load(std::memory_order_relaxed);
        // Diagnostic lines, with the window's others in the system log, never on the terminal.
        log("s1 = " + std::to_string(done) + ",s2 = " + std::to_string(total));
        log("pre = " + std::to_string(static_cast<double>(progressPercent(done, total))));
        if (!run->done.finished())
            tk_.threads().performOnUiThread([this] { o_.joinView->reloadData(); });
    };
    host_.runs().start(run,
                       {kJoiningTitle, s_.outPath, tick, [this, run] { return joinEnded(*run); }});
}

RunEnd JoinController::joinEnded(const JoinRun& run) {
    const bool succeeded = run.done.result() == 0;
    // The engine's reason when an encrypted set does not open with the password.
    const bool wrongPassword = run.encrypted && run.failureKind() == EngineFailure::WrongPassword;
    // What an encrypted set holds is named only once it is decrypted: the
    // next Join asks about replacing it, under its real name.
    const bool inTheWay = run.encrypted && run.failureKind() == EngineFailure::TargetExists;
    if (run.encrypted && (succeeded || inTheWay))
        revealedName_ = lastPathComponent(succeeded ? run.outcome.target : run.failure->path);
    std::string detail =
        wrongPassword ? std::string(kWrongPasswordDetail)
        : inTheWay    ? run.reason() + ". Join again to replace it."
        : !succeeded  ? sentenceOf(run.reason())
        : run.parts && !run.outcome.wholeFileSums.empty()
            ? "The joined file matched its checksum in " + run.outcome.wholeFileSums + "."
        : !run.outcome.fullCheck && run.parts ? std::string(kUnlistedPartMark) + "."
        : !run.outcome.fullCheck              ? std::string(kQuickCheckOnlyDetail)
                                              : std::string();
    if (const std::string changes =
            joinChangesText(run.outcome.filesReplaced, run.outcome.filesAdded);
        succeeded && !changes.empty())
        detail = sentenceOf(changes) + (detail.empty() ? "" : "\n" + detail);
    // "Rebuilt movie_3.spt from the recovery pieces (1 piece missing).": the set's folder is as it
    // was.
    if (succeeded && !run.outcome.rebuilt.empty())
        detail = sentenceOf(run.outcome.rebuilt) + (detail.empty() ? "" : "\n" + detail);
    if (succeeded && run.encrypted)
        detail = std::string(kDecryptedDetail) + (detail.empty() ? "" : "\n" + detail);
    // "Joined 18 pieces into /home/me/movie.mkv.": what an encrypted set held is named only now.
    if (succeeded)
        detail = "Joined " + groupedCount(run.pieces) +
                 (run.parts         ? " parts into "
                  : run.pieces == 1 ? " piece into "
                                    : " pieces into ") +
                 run.outcome.target + "." + (detail.empty() ? "" : "\n" + detail);
    if (succeeded)
        if (const std::string shared =
                sharedBlocksDoneText(run.outcome.sharedBytes, run.outcome.writtenBytes);
            !shared.empty())
            detail += "\n" + shared;
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
                    o_.delSoureFileM->setState(0);
                };
            }
        }
    } else if (run.removePieces) {
        detail += (detail.empty() ? "" : "\n") + std::string(kUntouchedAfterFailure);
    }
    return {succeeded ? kJoinCompletedTitle
                      : failedTitle(run.failureKind(), kJoinFailedTitle, kJoinCancelledTitle),
            std::move(detail), std::move(beforeCompletion),
            [this, found = !run.outcome.rebuilt.empty() ||
                           run.failureKind() == EngineFailure::PieceDamaged ||
                           run.failureKind() == EngineFailure::PieceMissing] {
                o_.joinView->reloadData();
                showOutputName(); // an encrypted set's name, once it is known
                // A join that found a piece missing or damaged, or a folder
                // that changed meanwhile: the set is read again, against its
                // recovery pieces too, so Repair offers what they can mend.
                if (found) readRecoveryNext_ = true;
                if (found || changedDuringRun_) refresh();
            }};
}

void JoinController::startVerify() {
    if (addingSet_ || s_.joinList.empty()) return;
    if (parts_ && partsSums_.empty()) return; // nothing to check them against
    auto run = std::make_shared<VerifyRun>();
    run->pieceFolder = s_.intPath;
    if (parts_) run->firstPart = s_.joinList.front().path;
    host_.runs().start(
        run, {kVerifyingTitle, s_.outPath, nullptr, [this, run] { return verifyEnded(*run); }});
}

RunEnd JoinController::verifyEnded(const VerifyRun& run) {
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
        // "1 of 12 pieces is missing: movie_3.spt. 1 of 12 does not match its checksum: ..."
        const std::string noun = parts_ ? " parts" : " pieces";
        std::string missing, unlike;
        std::size_t missingCount = 0, unlikeCount = 0;
        for (const PieceCheck& check : checks) {
            if (check.good) continue;
            std::string& names = check.missing ? missing : unlike;
            ++(check.missing ? missingCount : unlikeCount);
            names += (names.empty() ? "" : ", ") + lastPathComponent(check.path);
        }
        const std::string of = " of " + std::to_string(checks.size());
        if (missingCount + unlikeCount > 0) title = kVerifyFailedTitle;
        if (missingCount + unlikeCount == 0)
            detail = "All " + std::to_string(checks.size()) + noun + " match their checksums" +
                     (parts_ ? " in " + partsSums_ : std::string()) + ".";
        if (missingCount > 0)
            detail = std::to_string(missingCount) + of + noun +
                     (missingCount == 1 ? " is missing: " : " are missing: ") + missing + ".";
        if (unlikeCount > 0)
            detail += (detail.empty() ? "" : " ") + std::to_string(unlikeCount) + of +
                      (missingCount > 0 ? "" : noun) +
                      (unlikeCount == 1 ? " does not match its checksum: "
                                        : " do not match their checksums: ") +
                      unlike + ".";
        if (run.done.result() != 0 && checks.empty()) detail = run.reason();
    }
    if (const std::optional<RecoveryReport>& recovery = run.recovery;
        recovery && (recovery->hasRecovery || !recovery->headerProblem.empty())) {
        detail += (detail.empty() ? "" : "\n") + ("Recovery pieces: " + recovery->summary() + ".");
        if (recovery->hasRecovery && !recovery->intact() && recovery->repairable)
            detail += std::string(" ") + kRepairAdvice;
    }
    return {title, std::move(detail),
            [this, belong, checks = std::move(checks), recovery = run.recovery] {
                if (belong && !checks.empty()) { // otherwise the quick marks stay
                    checksumFailures_.clear();
                    checksumsVerified_ = true;
                    for (PieceRow& entry : s_.joinList) {
                        for (const PieceCheck& check : checks) {
                            if (check.pieceIndex != entry.index) continue;
                            entry.good = check.good;
                            if (check.missing) entry.size = -1; // gone since it was listed
                            if (!check.good) checksumFailures_.insert(check.pieceIndex);
                        }
                    }
                }
                if (recovery) takeAssessment(*recovery);
                showSummary();
                setControlsEnabled(true);
            },
            [this] {
                o_.joinView->reloadData();
                // Verify read every byte: its marks stand, unless the folder
                // changed while it read.
                if (changedDuringRun_) refresh();
            }};
}

void JoinController::startRepair() {
    if (addingSet_ || recovery_.stem.empty()) return;
    // In place the damaged files are kept aside; where that cannot be, the
    // rebuilt files go into a folder of the user's choosing.
    std::string output;
    if (!canWriteFolder(s_.intPath)) {
        auto panel = folderPanel(tk_);
        panel->setTitle(kChooseRepairFolder);
        panel->setCanCreateDirectories(true);
        if (panel->runModal() != toolkit::kModalResponseOK) return;
        output = panel->path();
    }
    auto run = std::make_shared<RepairRun>();
    run->pieceFolder = s_.intPath;
    run->outputFolder = output;
    host_.runs().start(run, {kRepairingTitle, output.empty() ? s_.intPath : output, nullptr,
                             [this, run] { return repairEnded(*run); }});
}

RunEnd JoinController::repairEnded(const RepairRun& run) {
    const bool succeeded = run.done.result() == 0;
    // A set mended in place is listed again, as it now is; the join keeps its output folder.
    const bool relist = succeeded && run.outputFolder.empty() && !run.outcome.rebuilt.empty();
    return {succeeded ? kRepairCompletedTitle
                      : failedTitle(run.failureKind(), kRepairFailedTitle, kRepairCancelledTitle),
            succeeded ? repairText(run.outcome, run.outputFolder) : run.reason(), nullptr,
            [this, relist] {
                if (relist || changedDuringRun_) refresh();
            }};
}

int64_t JoinController::rowCount() const {
    return static_cast<int64_t>(s_.joinList.size() + recovery_.pieces.size());
}

int64_t JoinController::numberOfRowsInTableView(const toolkit::TableView*) {
    return rowCount();
}

toolkit::CellValue
JoinController::tableView_objectValueForTableColumn_row(const toolkit::TableView*,
                                                        const std::string& columnId, int64_t row) {
    using toolkit::CellValue;
    if (row < 0 || row >= rowCount()) return CellValue::none();
    if (row >= static_cast<int64_t>(s_.joinList.size())) {
        const ListedRecoveryPiece& piece =
            recovery_.pieces[static_cast<std::size_t>(row) - s_.joinList.size()];
        if (columnId == kFileNameColumn) return CellValue::text(piece.name);
        if (columnId == kLocationColumn)
            return CellValue::text(stringByDeletingLastPathComponent(
                stringByAppendingPathComponent(s_.intPath, piece.name)));
        if (columnId == kSizeColumn) return sizeCell(piece.size);
        if (columnId != kCheckStateColumn) return CellValue::none();
        const char* why = recoveryPieceProblem(piece);
        return why ? CellValue::image(kWrongImage, why) : CellValue::image(kRightImage);
    }
    const PieceRow& entry = s_.joinList[static_cast<std::size_t>(row)];
    if (columnId == kFileNameColumn) return CellValue::text(lastPathComponent(entry.path));
    if (columnId == kLocationColumn)
        return CellValue::text(stringByDeletingLastPathComponent(entry.path));
    if (columnId == kSizeColumn) return sizeCell(entry.size);
    if (columnId == kCheckStateColumn) {
        if (entry.good && parts_ && checksumsVerified_)
            return CellValue::image(kRightImage, kVerifiedMark);
        if (entry.good && parts_)
            return partsSums_.empty()
                       ? CellValue::image(kUncheckedImage, kUnlistedPartMark)
                       : CellValue::image(kRightImage, "Listed in " + partsSums_ + kListedPartMark);
        if (entry.good)
            return CellValue::image(kRightImage,
                                    checksumsVerified_ ? kVerifiedMark : kQuickCheckMark);
        // Why the mark is wrong: the full check's verdict once Verify has run.
        const char* why = entry.size < 0 ? "missing"
                          : checksumFailures_.count(entry.index) != 0
                              ? "does not match its checksum"
                          : assessed_ && holds(assessed_->badPieces, entry.index)
                              ? "does not match its recovery header"
                              : "does not match its fingerprint";
        return CellValue::image(kWrongImage, why);
    }
    return CellValue::none();
}

void JoinController::showBrowseButton() {
    o_.mBrowseBtn->setTitle(browsed_ ? kStopBrowsingTitle : kBrowseTitle);
    // A browse can be ended whatever else goes on; one starting is waited for.
    o_.mBrowseBtn->setEnabled(!browseStart_ &&
                              (browsed_ || (controlsEnabled_ && !s_.joinList.empty())));
}

void JoinController::browse() {
    if (browseStart_) return;
    if (browsed_) {
        stopBrowsing(true);
        return;
    }
    if (addingSet_ || s_.joinList.empty()) return;
    std::string password;
    if (!askPassword(password)) return;
    std::string error;
    std::optional<BrowseFolder> folder = makeBrowseFolder(error);
    if (!folder) {
        host_.showAlert(kCannotBrowse, error);
        return;
    }
    auto start = std::make_shared<BrowseStart>();
    start->folder = *folder;
    browseStart_ = start;
    browsedSet_ = s_.intPath;
    showBrowseButton();
    toolkit::Processes& processes = tk_.processes();
    toolkit::Threads& threads = tk_.threads();
    const std::weak_ptr<int> alive = alive_;
    threads.detachNewThread([this, start, alive, &processes, &threads, set = s_.intPath,
                             password = std::move(password)]() mutable {
        toolkit::ProcessOutcome outcome = mountSet(processes, start->folder, set, password);
        std::fill(password.begin(), password.end(), '\0');
        {
            std::lock_guard<std::mutex> lock(start->mutex);
            if (!start->abandoned) {
                start->outcome = std::move(outcome);
                threads.performOnUiThread([this, start, alive] {
                    if (alive.lock()) browseStarted(start);
                });
                return;
            }
        }
        // The window let go of it meanwhile: nothing is left mounted.
        std::string ignored;
        endBrowsing(processes, start->folder, outcome.started && outcome.exitStatus == 0, ignored);
    });
}

void JoinController::browseStarted(const std::shared_ptr<BrowseStart>& start) {
    if (browseStart_ != start) return; // ended by stopBrowsing meanwhile
    browseStart_.reset();
    const toolkit::ProcessOutcome outcome = *start->outcome;
    if (!outcome.started || outcome.exitStatus != 0) {
        std::string ignored;
        endBrowsing(tk_.processes(), start->folder, false, ignored);
        browsedSet_.clear();
        showBrowseButton();
        host_.showAlert(kCannotBrowse, outcome.errorText);
        return;
    }
    browsed_ = start->folder;
    showBrowseButton();
    if (!tk_.workspace().openFolder(browsed_->path))
        host_.showAlert(kNoFileManager, browsed_->path);
}

bool JoinController::stopBrowsing(bool tell) {
    const bool ended = endBrowse(tell);
    showBrowseButton();
    return ended;
}

bool JoinController::endBrowse(bool tell) {
    if (browseStart_) {
        const std::shared_ptr<BrowseStart> start = std::move(browseStart_);
        browseStart_.reset();
        std::lock_guard<std::mutex> lock(start->mutex);
        start->abandoned = true;
        if (start->outcome) { // ended, its news not yet heard: ended here
            std::string ignored;
            endBrowsing(tk_.processes(), start->folder,
                        start->outcome->started && start->outcome->exitStatus == 0, ignored);
        }
    }
    if (browsed_) {
        std::string error;
        if (!endBrowsing(tk_.processes(), *browsed_, true, error)) {
            if (tell) host_.showAlert(kCannotEndBrowsing, error);
            return false;
        }
        browsed_.reset();
    }
    browsedSet_.clear();
    return true;
}
