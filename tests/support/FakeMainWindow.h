#pragma once
// Every control and window of the main window and its panels, as fakes, wired
// to a controller's outlets the way the window layout wires the real ones.

#include "app/FSWindow.h"
#include "app/MainViewController.h"
#include "tests/support/FakeToolkit.h"

namespace fake {

using PanelWindow = WindowOf<FSWindow>;

struct MainWindow {
    Window window;
    View mainView;
    TextField tfVersion;
    TableView pathView;
    RadioGroup spliteByBtn;
    TextField tfSize;
    PopUpButton popBtn, presetBtn;
    TextField sizeNote;
    TextField tfCount;
    Button delSourceFileBtn, includeHiddenBtn, btnSplit;
    PopUpButton recoveryBtn;
    TextField tfRecoveryCount, recoveryNote;
    TextField tfOutPath;
    Button outPathBtn, addFolderBtn, encryptBtn;
    PanelWindow encryptPanel;
    RadioGroup pwdUseBtn;
    SecureTextField tfPwdFirst, tfPwdSecond;
    TextField pwdStrength, tfSetName;
    TextField encryptMsg2;
    Button encryptViewOKBtn, encryptViewCancelBtn;
    PanelWindow progressWindow;
    TextField proTitle, percentLabel, progressDetail;
    Button progressCancelBtn;
    ProgressIndicator progress;
    PanelWindow completeWindow;
    TextField completeTitle, completeDetail;
    Button mBtnAddFile, mAddPartsBtn, mVerifyBtn, mBrowseBtn, mRepairBtn, mRefreshBtn;
    TextField joinSummary, splitSummary;
    TableView joinView;
    Button delSoureFileM;
    TextField tfMOutputPath;
    TextField tfMOutputName;
    Button mOutputBtn, mergeBtn;
    PanelWindow pwdWindow;
    TextField pwdPrompt, pwdField, pwdMsg;
    Button pwdOKBtn;
    PanelWindow outputPathWindow;
    TextField outputPathPrompt;

    void wire(MainViewController& c);
};

} // namespace fake
