#include "tests/support/FakeMainWindow.h"

namespace fake {

void MainWindow::wire(MainViewController& c) {
    c.window = &window;
    c.mainView = &mainView;
    c.tfVersion = &tfVersion;
    c.pathView = &pathView;
    c.spliteByBtn = &spliteByBtn;
    c.tfSize = &tfSize;
    c.popBtn = &popBtn;
    c.presetBtn = &presetBtn;
    c.sizeNote = &sizeNote;
    c.tfCount = &tfCount;
    c.delSourceFileBtn = &delSourceFileBtn;
    c.includeHiddenBtn = &includeHiddenBtn;
    c.recoveryBtn = &recoveryBtn;
    c.tfRecoveryCount = &tfRecoveryCount;
    c.recoveryNote = &recoveryNote;
    c.btnSplit = &btnSplit;
    c.tfOutPath = &tfOutPath;
    c.outPathBtn = &outPathBtn;
    c.addFolderBtn = &addFolderBtn;
    c.encryptBtn = &encryptBtn;
    c.encryptPanel = &encryptPanel;
    c.pwdUseBtn = &pwdUseBtn;
    c.tfPwdFirst = &tfPwdFirst;
    c.pwdStrength = &pwdStrength;
    c.tfSetName = &tfSetName;
    c.tfPwdSecond = &tfPwdSecond;
    c.encryptMsg2 = &encryptMsg2;
    c.encryptViewOKBtn = &encryptViewOKBtn;
    c.encryptViewCancelBtn = &encryptViewCancelBtn;
    c.progressWindow = &progressWindow;
    c.proTitle = &proTitle;
    c.percentLabel = &percentLabel;
    c.progressDetail = &progressDetail;
    c.progressCancelBtn = &progressCancelBtn;
    c.progress = &progress;
    c.completeWindow = &completeWindow;
    c.completeTitle = &completeTitle;
    c.completeDetail = &completeDetail;
    c.mBtnAddFile = &mBtnAddFile;
    c.mVerifyBtn = &mVerifyBtn;
    c.mRepairBtn = &mRepairBtn;
    c.joinSummary = &joinSummary;
    c.splitSummary = &splitSummary;
    c.joinView = &joinView;
    c.delSoureFileM = &delSoureFileM;
    c.tfMOutputPath = &tfMOutputPath;
    c.mOutputBtn = &mOutputBtn;
    c.mergeBtn = &mergeBtn;
    c.pwdWindow = &pwdWindow;
    c.pwdPrompt = &pwdPrompt;
    c.pwdField = &pwdField;
    c.pwdMsg = &pwdMsg;
    c.pwdOKBtn = &pwdOKBtn;
    c.outputPathWindow = &outputPathWindow;
    c.outputPathPrompt = &outputPathPrompt;
}

} // namespace fake
