#include "tests/support/FakeMainWindow.h"

namespace fake {

void MainWindow::wire(MainViewController& c) {
    WindowOutlets o;
    o.window = &window;
    o.mainView = &mainView;
    o.tfVersion = &tfVersion;
    o.split.pathView = &pathView;
    o.split.spliteByBtn = &spliteByBtn;
    o.split.tfSize = &tfSize;
    o.split.popBtn = &popBtn;
    o.split.presetBtn = &presetBtn;
    o.split.sizeNote = &sizeNote;
    o.split.tfCount = &tfCount;
    o.split.delSourceFileBtn = &delSourceFileBtn;
    o.split.includeHiddenBtn = &includeHiddenBtn;
    o.split.recoveryBtn = &recoveryBtn;
    o.split.tfRecoveryCount = &tfRecoveryCount;
    o.split.recoveryNote = &recoveryNote;
    o.split.btnSplit = &btnSplit;
    o.split.tfOutPath = &tfOutPath;
    o.split.outPathBtn = &outPathBtn;
    o.split.addFolderBtn = &addFolderBtn;
    o.split.encryptBtn = &encryptBtn;
    o.split.encryptPanel = &encryptPanel;
    o.split.pwdUseBtn = &pwdUseBtn;
    o.split.tfPwdFirst = &tfPwdFirst;
    o.split.pwdStrength = &pwdStrength;
    o.split.tfSetName = &tfSetName;
    o.split.tfPwdSecond = &tfPwdSecond;
    o.split.encryptMsg2 = &encryptMsg2;
    o.split.encryptViewOKBtn = &encryptViewOKBtn;
    o.split.encryptViewCancelBtn = &encryptViewCancelBtn;
    o.runs.progressWindow = &progressWindow;
    o.runs.proTitle = &proTitle;
    o.runs.percentLabel = &percentLabel;
    o.runs.progressDetail = &progressDetail;
    o.runs.progressCancelBtn = &progressCancelBtn;
    o.runs.progress = &progress;
    o.runs.completeWindow = &completeWindow;
    o.runs.completeTitle = &completeTitle;
    o.runs.completeDetail = &completeDetail;
    o.join.mBtnAddFile = &mBtnAddFile;
    o.join.mAddPartsBtn = &mAddPartsBtn;
    o.join.mVerifyBtn = &mVerifyBtn;
    o.join.mBrowseBtn = &mBrowseBtn;
    o.join.mRepairBtn = &mRepairBtn;
    o.join.mRefreshBtn = &mRefreshBtn;
    o.join.joinSummary = &joinSummary;
    o.split.splitSummary = &splitSummary;
    o.join.joinView = &joinView;
    o.join.delSoureFileM = &delSoureFileM;
    o.join.tfMOutputPath = &tfMOutputPath;
    o.join.tfMOutputName = &tfMOutputName;
    o.join.mOutputBtn = &mOutputBtn;
    o.join.mergeBtn = &mergeBtn;
    o.join.pwdWindow = &pwdWindow;
    o.join.pwdPrompt = &pwdPrompt;
    o.join.pwdField = &pwdField;
    o.join.pwdMsg = &pwdMsg;
    o.join.pwdOKBtn = &pwdOKBtn;
    o.join.outputPathWindow = &outputPathWindow;
    o.join.outputPathPrompt = &outputPathPrompt;
    c.connect(o);
}

} // namespace fake
