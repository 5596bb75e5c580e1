#pragma once
// The split side of the main window: choosing the source, keeping the piece
// size and count in step, the password panel, the output folder, and the
// split run. It works on the controller's outlets and split state; the
// controller forwards its split actions here.

#include "app/SplitRun.h"
#include "app/toolkit/Table.h"
#include "core/RecoveryRules.h"
#include "core/SplitRules.h"

#include <cstdint>
#include <memory>
#include <string>

class MainViewController;
namespace toolkit {
class Control;
class Toolkit;
} // namespace toolkit

class SplitController {
public:
    SplitController(MainViewController& controller, toolkit::Toolkit& toolkit);

    void enableControls();
    void disableControls();
    // Takes `path` as the source; a folder is measured on a worker thread.
    void takeSource(const std::string& path);
    bool isMeasuringSource() const { return measuring_; }
    void chooseFile();
    void chooseFolder();
    void forgetSource(long tag);
    // Include hidden items was ticked or unticked: a folder source is measured
    // again, and keeps its password and its removal choice.
    void includeHiddenToggled();
    // A choice of recovery pieces was made: the Custom count shows with its
    // choice, and the sentence under them follows.
    void recoveryChosen();
    void reset();

    // Size and count.
    void proposeCut();
    void defaultCut();
    void sizeToCount();
    void countToSize();
    void textChanged(const toolkit::Control* object);
    void editingEnded(const toolkit::Control* object);
    void modeChosen();
    void unitChosen();
    void presetChosen();

    // The password panel: the password, what it does, and the set's name.
    void encryptToggled();
    void passwordUseChosen();
    void confirmPassword();
    void cancelPassword();

    void chooseOutputFolder();
    // The checks, the questions, then the run in the progress window.
    void start();
    void tick(); // progress thread, every tick

    // The split table's one row.
    toolkit::CellValue cell(const std::string& columnId) const;

private:
    bool includeHidden() const;
    RecoveryRequest recoveryRequest() const;
    // What the chosen recovery pieces would make of the source, with the cut as it stands.
    RecoveryForecast recoveryForecast() const;
    // The sentence under the recovery choice, for the source and cut as they stand.
    void updateRecoveryNote();
    // Enables or disables the split side's controls and nothing else.
    void setControlsEnabled(bool enabled);
    // Measures the folder source on a worker thread with the split side
    // disabled; `again` keeps what was chosen for it (password, removal).
    void measureFolder(bool again);
    // The source's size is known: the split side comes alive with a proposed
    // cut; `again` as for measureFolder.
    void sourceMeasured(bool again = false);
    // The presets for the output folder's file system, "Custom" selected.
    void refreshPresets();
    // The checks before a split: the file system's file size limit and names,
    // and the free space for the set and its recovery pieces. False when the
    // split must not start.
    bool outputCanTakeTheSet(int64_t recoveryBytes);
    // Asks before a split replaces a set already in its piece folder; false
    // when the user declines. Sets `replace` to the answer.
    bool mayReplaceSetInTheWay(bool& replace);
    // What the password panel's choice makes of the password.
    PasswordUse chosenPasswordUse() const;
    bool passwordPanelIsConfirmed() const;
    void updatePasswordPanel();
    // No password, no set name: the box is off.
    void forgetPassword();
    // The name the set will show: the set name, or the source's.
    std::string setNameShown() const;

    MainViewController& c_;
    toolkit::Toolkit& tk_;
    bool measuring_ = false;        // a folder source is being measured on a worker thread
    bool folderSource_ = false;     // the source is a folder
    int64_t sourceFiles_ = 1;       // the files the source holds, as measured
    uint64_t sourceGeneration_ = 0; // which source a measurement answers
    bool sizePending_ = false;      // typed into, not yet corrected
    bool countPending_ = false;
    // The last split started; the engine thread holds it too. A fresh one
    // before any split, so a tick then finds nothing finished.
    std::shared_ptr<SplitRun> run_ = std::make_shared<SplitRun>();
    std::shared_ptr<int> alive_ = std::make_shared<int>(0); // posted work checks it
};
