#pragma once
// The main window's controller: every action of the window, forwarded to the
// side it belongs to (SplitController, JoinController), the drops and the
// launch paths, the window's closing, and the run host both sides' runs go
// through. Each side owns its outlets and state and reaches the window only
// through the SideHost this controller is to it; what the controller keeps is
// the main window itself and the one thing the sides share (whether the join
// side is reading a set). It runs on the UI thread.

#include "app/DragInfo.h"
#include "app/JoinController.h"
#include "app/RunHost.h"
#include "app/SideHost.h"
#include "app/SplitController.h"
#include "app/toolkit/Toolkit.h"

#include <string>
#include <vector>

// Every outlet of the main window and its panels (not owned), as the layout
// wires them.
struct WindowOutlets {
    toolkit::Window* window = nullptr;
    toolkit::View* mainView = nullptr;
    toolkit::TextField* tfVersion = nullptr;
    SplitOutlets split;
    JoinOutlets join;
    RunWindows runs;
};

class MainViewController : public FileDropDelegate, private SideHost {
public:
    explicit MainViewController(toolkit::Toolkit& toolkit);
    ~MainViewController() override;
    MainViewController(const MainViewController&) = delete;
    MainViewController& operator=(const MainViewController&) = delete;

    // --- start-up and shutdown
    // Before awakeFromNib.
    void connect(const WindowOutlets& outlets);
    void awakeFromNib();
    // Fills the split side and the join side from the paths the program was
    // started with; paths it cannot use are named in one alert.
    void openLaunchPaths(const std::vector<std::string>& paths);
    bool windowShouldClose();

    // The two sides and the runs, for the layout and for tests.
    SplitController& split() { return split_; }
    JoinController& join() { return join_; }
    RunHost& runs() override { return runs_; }

    // --- split settings
    void enableSpliteUIControl();
    void disableSpliteUIControl();
    void actAddFile();
    void actAddFolder();
    void cal_AI_size();
    void cal_sizeTocount();
    void cal_countTosize();
    void controlTextDidChange(const toolkit::Control* object);
    // The field lost the focus or Enter was pressed: corrections happen here.
    void controlTextDidEndEditing(const toolkit::Control* object);
    void actSpliteBy();
    void actPopBtn();
    void actPreset(); // a piece size chosen from the presets menu
    void actDelFile(long tag);
    void actIncludeHidden(); // the box was ticked or unticked: a folder source is measured again
    void actRecovery();      // a choice of recovery pieces was made
    void clearSplitMsg();
    void defaultSpliteSize();
    void sizeTextFieldChange();
    void countTextFieldChange();

    // --- split run
    void actEncrypt();
    void actPasswordUse(); // encrypting or only gating the join was chosen in the password panel
    void actEncryptOK();
    void actEncryptCancel();
    void actOutPath();
    void actSplit();
    void actCancelRun(); // the progress window's Cancel, Escape and close button
    void actOpenFolder();
    void actFinish();
    void actAgain();

    // --- join list (adding a set returns at once; the pieces are read on a worker thread)
    bool isAddingSet() const { return join_.isAddingSet(); }
    bool isMeasuringSource() const { return split_.isMeasuringSource(); }
    void mActAddFile();
    void mActAddParts(); // the first of other tools' numbered parts
    void acceptFileNameDrag(const std::string& path) override;
    void mActSelectOutput();
    void enableMergeUIControl();
    void disableMergeUIControl();
    void clearMergeMsg();

    // --- full check and repair of the listed set
    void mActVerify();
    void mActBrowse(); // mounts the listed set and opens it; pressed again, unmounts it
    void mActRepair();
    void mActRefresh(); // lists the set again as it lies on disk

    // --- join run
    void mActMergeFile();
    void actOutputPathOK();
    void actOutputPathCancel();
    void actPwdOK();
    void actPwdCancel();

    // --- drops onto the split table
    void acceptFileNameDragintoPathView(const std::string& path) override;
    bool respondsToSelector(const std::string& selector) const override;

private:
    // What the sides ask of the window.
    toolkit::Toolkit& toolkit() override { return tk_; }
    void showAlert(const std::string& message, const std::string& informative) override;
    bool confirm(const std::string& question, const std::string& informative,
                 const std::string& yes, const std::string& no) override;
    int choose(const std::string& question, const std::string& informative,
               const std::vector<std::string>& buttons) override;
    bool readingSet() const override { return join_.isAddingSet(); }
    void readingSetChanged() override;

    void log(const std::string& line);

    toolkit::Toolkit& tk_;
    toolkit::Window* window_ = nullptr;
    toolkit::View* mainView_ = nullptr;
    toolkit::TextField* tfVersion_ = nullptr;
    RunHost runs_{tk_};
    SplitController split_{*this};
    JoinController join_{*this};
};
