#pragma once
// The join side of the main window: adding a piece set and its table, the
// output folder, the overwrite and password prompts, the join run and the
// full check of the listed set. It works on the controller's outlets and join
// state; the controller forwards its join actions here.

#include "app/JoinRun.h"
#include "app/RepairRun.h"
#include "app/VerifyRun.h"
#include "app/toolkit/Table.h"
#include "core/RecoveryRules.h"
#include "engine/compat/inspection.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

class MainViewController;
namespace toolkit {
class Toolkit;
} // namespace toolkit

class JoinController {
public:
    JoinController(MainViewController& controller, toolkit::Toolkit& toolkit);

    // Lists the set in `path`, or the numbered parts whose first is the file
    // `path`; they are read on a worker thread.
    void load(const std::string& path);
    bool isAddingSet() const { return addingSet_; }
    void chooseSet();
    void chooseOutputFolder();
    void setControlsEnabled(bool enabled);
    void reset();

    // The questions and prompts, then the join in the progress window.
    void start();
    void answerReplacePrompt(bool replace);
    void passwordTyped();
    void passwordEntered();
    void passwordCancelled();
    void tick(); // progress thread, every tick

    // The full check of every piece against the set's checksums, and of
    // the whole set against its recovery pieces when it has them.
    void startVerify();
    void verifyTick(); // progress thread, every tick

    // Rebuilds what is missing or damaged from the recovery pieces: in
    // place, or into a folder the user chooses when the set's folder cannot
    // be written.
    void startRepair();
    void repairTick(); // progress thread, every tick

    // The join table: the pieces in index order, then the recovery pieces.
    int64_t rowCount() const;
    toolkit::CellValue cell(const std::string& columnId, int64_t row) const;

private:
    void setAdding(bool busy);
    // The numbered parts that the file `path` begins, listed as a set's pieces.
    void loadParts(const std::string& path, uint64_t generation);
    void showSummary();
    // What a reading of the whole set against its recovery pieces found:
    // the pieces it found wrong are marked so.
    void takeAssessment(const RecoveryReport& report);
    // The quick check, or the last reading against the recovery pieces, found
    // something wrong that they may mend.
    bool canRepair() const;
    // Why a recovery piece's row is marked wrong; null when it is not.
    const char* recoveryPieceProblem(const ListedRecoveryPiece& piece) const;
    // Asks for the password of a protected or encrypted set; false when the
    // user cancels. An encrypted set's password comes back in `password`.
    bool askPassword(std::string& password);
    // `replaceAgreed`: the user agreed to replace what lies under the target's name.
    void launch(bool ignoreChecksums, bool replaceAgreed, std::string password);

    MainViewController& c_;
    toolkit::Toolkit& tk_;
    bool addingSet_ = false; // a set is being read on a worker thread
    bool encrypted_ = false; // the listed set is encrypted
    // What the listed encrypted set holds, once a join has decrypted its name.
    std::string revealedName_;
    bool parts_ = false;           // the list holds numbered parts, not a set's pieces
    std::string partsSums_;        // the checksum file that lists the parts; "" when none
    std::string partsName_;        // the joined file's name when the parts carry none (xaa, x00)
    std::string typedPassword_;    // an encrypted set's, from OK until the prompt returns
    uint64_t setGeneration_ = 0;   // which add a result answers
    ChecksumVerdict setChecksums_; // what the listed set's checksum files are worth
    std::set<int32_t> checksumFailures_; // pieces the last Verify found wrong
    bool checksumsVerified_ = false;     // the marks are the last Verify's, every byte read
    RecoveryListing recovery_;           // the listed set's recovery pieces
    // What the last reading against the recovery pieces found; none until one is made.
    std::optional<RecoveryReport> assessed_;
    // The last join and full check started; their engine threads hold them
    // too. Fresh ones before any run, so a tick then finds nothing finished.
    std::shared_ptr<JoinRun> run_ = std::make_shared<JoinRun>();
    std::shared_ptr<VerifyRun> verify_ = std::make_shared<VerifyRun>();
    std::shared_ptr<RepairRun> repair_ = std::make_shared<RepairRun>();
    std::shared_ptr<int> alive_ = std::make_shared<int>(0); // posted work checks it
};
