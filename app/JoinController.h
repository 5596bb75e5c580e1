#pragma once
// The join side of the main window: adding a piece set and its table, the
// output folder, the overwrite and password prompts, the join run and the
// full check of the listed set. It works on the controller's outlets and join
// state; the controller forwards its join actions here.

#include "app/JoinRun.h"
#include "app/VerifyRun.h"
#include "app/toolkit/Table.h"
#include "engine/inspection.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>

class MainViewController;
namespace toolkit {
class Toolkit;
} // namespace toolkit

class JoinController {
public:
    JoinController(MainViewController& controller, toolkit::Toolkit& toolkit);

    // Lists the set in `path`; its pieces are read on a worker thread.
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

    // The full check of every piece against the set's checksums.
    void startVerify();
    void verifyTick(); // progress thread, every tick

    // A row of the join table.
    toolkit::CellValue cell(const std::string& columnId, int64_t row) const;

private:
    void setAdding(bool busy);
    void showSummary();
    bool askPassword();
    void launch(bool ignoreChecksums);

    MainViewController& c_;
    toolkit::Toolkit& tk_;
    bool addingSet_ = false;             // a set is being read on a worker thread
    uint64_t setGeneration_ = 0;         // which add a result answers
    ChecksumVerdict setChecksums_;       // what the listed set's checksum files are worth
    std::set<int32_t> checksumFailures_; // pieces the last Verify found wrong
    // The last join and full check started; their engine threads hold them
    // too. Fresh ones before any run, so a tick then finds nothing finished.
    std::shared_ptr<JoinRun> run_ = std::make_shared<JoinRun>();
    std::shared_ptr<VerifyRun> verify_ = std::make_shared<VerifyRun>();
    std::shared_ptr<int> alive_ = std::make_shared<int>(0); // posted work checks it
};
