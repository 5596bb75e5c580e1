#include "app/qt/QtMainWindow.h"

#include "app/Texts.h"
#include "ui_MainWindow.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QShortcut>
#include <QVBoxLayout>

#include <tuple>

// The images are compiled into this static library; make sure they are linked in.
static void initResources() {
    Q_INIT_RESOURCE(resources);
}

namespace {

QLabel* label(QWidget* parent, const char* name, const QString& text = {}) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    return l;
}

QLineEdit* field(QWidget* parent, const char* name, bool secret) {
    auto* f = new QLineEdit(parent);
    f->setObjectName(name);
    if (secret) f->setEchoMode(QLineEdit::Password);
    f->setMinimumWidth(260);
    return f;
}

QPushButton* button(QDialogButtonBox* box, const char* name, const QString& text,
                    QDialogButtonBox::ButtonRole role) {
    auto* b = box->addButton(text, role);
    b->setObjectName(name);
    return b;
}

QLabel* message(QWidget* parent, const char* name, const QString& text) {
    QLabel* m = label(parent, name, text);
    m->setStyleSheet("color: #c62828;");
    m->setWordWrap(true);
    m->hide();
    return m;
}

} // namespace

QtMainWindow::QtMainWindow(qtkit::Toolkit& toolkit)
    : tk_(toolkit), controller_(toolkit), joinDrop_(toolkit.fileManager()),
      ui_(std::make_unique<Ui::MainWindow>()) {
    initResources();
    ui_->setupUi(&window_);
    window_.setObjectName("window");
    window_.setWindowIcon(QIcon(":/images/morvane-parcelor.png"));
    tk_.setParentWidget(&window_);
    fitSides();
    buildPanels();
    wireOutlets();
    connectActions();
    controller_.awakeFromNib();
    // Where the user left the window, and how they split last time.
    QSettings settings;
    window_.restoreGeometry(settings.value("window/geometry").toByteArray());
    (settings.value("split/mode", 1).toInt() == 2 ? ui_->byCountRadio : ui_->bySizeRadio)
        ->setChecked(true);
    ui_->includeHiddenBtn->setChecked(settings.value("split/includeHidden", false).toBool());
    if (const int chosen = ui_->recoveryBtn->findText(settings.value("split/recovery").toString());
        chosen >= 0)
        ui_->recoveryBtn->setCurrentIndex(chosen);
    ui_->tfRecoveryCount->setText(settings.value("split/recoveryCount", 3).toString());
    controller_.actRecovery();
    fitScreen();
}

void QtMainWindow::fitSides() {
    // Each side scrolls when the window is smaller than it, so the window
    // fits small screens and large scale factors.
    for (QGroupBox* side : {ui_->splitBox, ui_->joinBox}) {
        auto* scroll = new QScrollArea(ui_->mainView);
        scroll->setObjectName(side->objectName() + "Scroll");
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        delete ui_->sidesLayout->replaceWidget(side, scroll);
        scroll->setWidget(side);
    }
    // Long menu entries take no width of their own; the open menu shows them whole.
    for (QComboBox* menu : {ui_->presetBtn, ui_->recoveryBtn}) {
        menu->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        menu->setMinimumContentsLength(10);
    }
}

void QtMainWindow::fitScreen() {
    // The size remembered, or the layout's, never more than the screen it opens on
    // leaves room for (a title bar and borders included).
    const QScreen* screen = window_.screen();
    if (!screen) return;
    const QRect room = screen->availableGeometry();
    const QSize frame(16, 48);
    window_.resize(window_.size().boundedTo(room.size() - frame));
    if (!room.contains(window_.geometry())) window_.move(room.topLeft());
}

QtMainWindow::~QtMainWindow() {
    tk_.waitForThreads();
    QSettings settings;
    settings.setValue("window/geometry", window_.saveGeometry());
    settings.setValue("split/mode", ui_->byCountRadio->isChecked() ? 2 : 1);
    settings.setValue("split/includeHidden", ui_->includeHiddenBtn->isChecked());
    settings.setValue("split/recovery", ui_->recoveryBtn->currentText());
    settings.setValue("split/recoveryCount", ui_->tfRecoveryCount->text());
}

qtkit::PanelDialog* QtMainWindow::panel(const char* name) const {
    for (auto* p : panels_)
        if (p->objectName() == name) return p;
    return nullptr;
}

qtkit::PanelDialog* QtMainWindow::makePanel(const char* name, const char* title) {
    auto* dialog = new qtkit::PanelDialog(&window_);
    dialog->setObjectName(name);
    dialog->setWindowTitle(title);
    panels_.push_back(dialog);
    return dialog;
}

void QtMainWindow::buildPanels() {
    // Password panel of the split: what the password does, the password
    // twice, how hard it is to guess, and the set's name.
    auto* encrypt = makePanel("encryptPanel", "Password");
    auto* uses = new QWidget(encrypt);
    uses->setObjectName("pwdUseBtn");
    auto* usesLayout = new QVBoxLayout(uses);
    usesLayout->setContentsMargins(0, 0, 0, 0);
    auto* usesGroup = new QButtonGroup(uses);
    usesGroup->setObjectName("pwdUseGroup");
    for (const auto& [name, text, tag] :
         {std::tuple{"encryptRadio", kEncryptPiecesChoice, kEncryptPiecesTag},
          std::tuple{"gateRadio", kGateJoinChoice, kGateJoinTag}}) {
        auto* choice = new QRadioButton(text, uses);
        choice->setObjectName(name);
        usesGroup->addButton(choice, tag);
        usesLayout->addWidget(choice);
    }
    auto* encryptForm = new QFormLayout;
    QLineEdit* first = field(encrypt, "tfPwdFirst", true);
    encryptForm->addRow("&Password:", first);
    encrypt->initialFocus = first; // every opening starts in the first field
    QLineEdit* second = field(encrypt, "tfPwdSecond", true);
    encryptForm->addRow("&Again:", second);
    // The controller says when a password is too long for the choice; this
    // only bounds what a field takes.
    for (QLineEdit* secret : {first, second})
        secret->setMaxLength(static_cast<int>(kMaxEncryptionPasswordBytes));
    QLabel* strength = label(encrypt, "pwdStrength");
    strength->setWordWrap(true);
    encryptForm->addRow("", strength);
    QLineEdit* setName = field(encrypt, "tfSetName", false);
    setName->setPlaceholderText("the source's name");
    setName->setMaxLength(static_cast<int>(kMaxSetNameBytes));
    setName->setAccessibleName("Set name");
    encryptForm->addRow("Set &name:", setName);
    QLabel* visible = label(encrypt, "setNameNote", kSetNameNote);
    visible->setWordWrap(true);
    encryptForm->addRow("", visible);
    auto* encryptButtons = new QDialogButtonBox(encrypt);
    button(encryptButtons, "encryptViewCancelBtn", "&Cancel", QDialogButtonBox::RejectRole);
    button(encryptButtons, "encryptViewOKBtn", "&OK", QDialogButtonBox::AcceptRole)
        ->setDefault(true);
    auto* encryptLayout = new QVBoxLayout(encrypt);
    encryptLayout->addWidget(uses);
    encryptLayout->addLayout(encryptForm);
    encryptLayout->addWidget(message(encrypt, "encryptMsg2", kPasswordMismatch));
    encryptLayout->addWidget(encryptButtons);

    // Progress of a split, a join or a full check: Cancel, Escape and its close button stop it.
    auto* progress = makePanel("progressWindow", "Working");
    progress->blocksApplication = false; // the main window can still be closed, which cancels
    progress->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowCloseButtonHint);
    auto* bar = new QProgressBar(progress);
    bar->setObjectName("progress");
    bar->setRange(0, 100);
    bar->setTextVisible(false);
    bar->setMinimumWidth(360);
    auto* progressLayout = new QVBoxLayout(progress);
    progressLayout->addWidget(label(progress, "proTitle"));
    progressLayout->addWidget(bar);
    QLabel* percent = label(progress, "percentLabel", "0%");
    percent->setAlignment(Qt::AlignRight);
    progressLayout->addWidget(percent);
    progressLayout->addWidget(label(progress, "progressDetail"));
    auto* progressButtons = new QDialogButtonBox(progress);
    button(progressButtons, "progressCancelBtn", "&Cancel", QDialogButtonBox::RejectRole);
    progressLayout->addWidget(progressButtons);

    // Completion of a run.
    auto* complete = makePanel("completeWindow", "Done");
    auto* completeButtons = new QDialogButtonBox(complete);
    button(completeButtons, "openFolderBtn", "&Open Folder", QDialogButtonBox::ActionRole);
    button(completeButtons, "finishBtn", "&Done", QDialogButtonBox::AcceptRole)->setDefault(true);
    auto* completeLayout = new QVBoxLayout(complete);
    QLabel* completeTitle = label(complete, "completeTitle");
    QFont bigger = completeTitle->font();
    bigger.setPointSizeF(bigger.pointSizeF() * 1.3);
    bigger.setBold(true);
    completeTitle->setFont(bigger);
    completeTitle->setMinimumWidth(320);
    completeLayout->addWidget(completeTitle);
    QLabel* completeDetail = label(complete, "completeDetail");
    completeDetail->setWordWrap(true);
    completeDetail->setTextInteractionFlags(Qt::TextSelectableByMouse);
    completeLayout->addWidget(completeDetail);
    completeLayout->addWidget(completeButtons);

    // Password of a protected set, before a join.
    auto* pwd = makePanel("pwdWindow", "Password");
    auto* pwdButtons = new QDialogButtonBox(pwd);
    button(pwdButtons, "pwdCancelBtn", "&Cancel", QDialogButtonBox::RejectRole);
    QPushButton* pwdOK = button(pwdButtons, "pwdOKBtn", "&OK", QDialogButtonBox::AcceptRole);
    pwdOK->setDefault(true);
    pwdOK->setEnabled(false);
    auto* pwdLayout = new QVBoxLayout(pwd);
    pwdLayout->addWidget(label(pwd, "pwdPrompt", kProtectedSetPrompt));
    QLineEdit* pwdField = field(pwd, "pwdField", true);
    pwdLayout->addWidget(pwdField);
    pwd->initialFocus = pwdField; // typing goes to the field, Enter confirms once OK is on
    pwdLayout->addWidget(message(pwd, "pwdMsg", kWrongPassword));
    pwdLayout->addWidget(pwdButtons);

    // The join's output already exists.
    auto* exists = makePanel("outputPathWindow", "Replace?");
    auto* existsButtons = new QDialogButtonBox(exists);
    QPushButton* keep =
        button(existsButtons, "outputPathCancelBtn", "&Cancel", QDialogButtonBox::RejectRole);
    button(existsButtons, "outputPathOKBtn", "&Replace", QDialogButtonBox::DestructiveRole);
    keep->setDefault(true);
    exists->initialFocus = keep;
    auto* existsLayout = new QVBoxLayout(exists);
    QLabel* prompt = label(exists, "outputPathPrompt");
    prompt->setWordWrap(true);
    existsLayout->addWidget(prompt);
    existsLayout->addWidget(existsButtons);
}

void QtMainWindow::wireOutlets() {
    using namespace qtkit;
    WindowOutlets& o = outlets_;
    // Every widget, the panels' included, is a child of the main window.
    auto lineEdit = [&](const char* name) {
        return adapt<LineEditField>(window_.findChild<QLineEdit*>(name));
    };
    auto text = [&](const char* name) {
        return adapt<LabelField>(window_.findChild<QLabel*>(name));
    };
    auto push = [&](const char* name) {
        return adapt<Button>(window_.findChild<QAbstractButton*>(name));
    };
    auto panelWindow = [&](const char* name) { return adapt<PanelWindow>(panel(name)); };

    o.window = adapt<MainWindow>(&window_);
    o.mainView = adapt<View>(ui_->mainView);
    o.tfVersion = text("tfVersion");
    auto* pathTable =
        adapt<TableView>(ui_->pathView, QStringList{kFileNameColumn, kLocationColumn, kSizeColumn},
                         QStringList{"Name", "Folder", "Size"});
    o.split.pathView = pathTable;
    auto* group = new QButtonGroup(ui_->spliteByBtn);
    group->addButton(ui_->bySizeRadio, 1);
    group->addButton(ui_->byCountRadio, 2);
    o.split.spliteByBtn = adapt<RadioGroup>(ui_->spliteByBtn, group);
    o.split.tfSize = lineEdit("tfSize");
    o.split.popBtn = adapt<PopUpButton>(ui_->popBtn);
    o.split.presetBtn = adapt<PopUpButton>(ui_->presetBtn);
    o.split.sizeNote = text("sizeNote");
    o.split.tfCount = lineEdit("tfCount");
    o.split.delSourceFileBtn = push("delSourceFileBtn");
    o.split.includeHiddenBtn = push("includeHiddenBtn");
    o.split.recoveryBtn = adapt<PopUpButton>(ui_->recoveryBtn);
    o.split.tfRecoveryCount = lineEdit("tfRecoveryCount");
    o.split.recoveryNote = text("recoveryNote");
    o.split.btnSplit = push("btnSplit");
    o.split.tfOutPath = lineEdit("tfOutPath");
    o.split.outPathBtn = push("outPathBtn");
    o.split.addFolderBtn = push("addFolderBtn");
    o.split.encryptBtn = push("encryptBtn");
    o.split.encryptPanel = panelWindow("encryptPanel");
    o.split.pwdUseBtn = adapt<RadioGroup>(window_.findChild<QWidget*>("pwdUseBtn"),
                                          window_.findChild<QButtonGroup*>("pwdUseGroup"));
    o.split.tfPwdFirst = lineEdit("tfPwdFirst");
    o.split.tfPwdSecond = lineEdit("tfPwdSecond");
    o.split.pwdStrength = text("pwdStrength");
    o.split.tfSetName = lineEdit("tfSetName");
    o.split.encryptMsg2 = text("encryptMsg2");
    o.split.encryptViewOKBtn = push("encryptViewOKBtn");
    o.split.encryptViewCancelBtn = push("encryptViewCancelBtn");
    o.runs.progressWindow = panelWindow("progressWindow");
    o.runs.proTitle = text("proTitle");
    o.runs.percentLabel = text("percentLabel");
    o.runs.progressDetail = text("progressDetail");
    o.runs.progressCancelBtn = push("progressCancelBtn");
    o.runs.progress = adapt<ProgressIndicator>(window_.findChild<QProgressBar*>("progress"));
    o.runs.completeWindow = panelWindow("completeWindow");
    o.runs.completeTitle = text("completeTitle");
    o.runs.completeDetail = text("completeDetail");
    o.join.mBtnAddFile = push("mBtnAddFile");
    o.join.mAddPartsBtn = push("mAddPartsBtn");
    o.join.joinSummary = text("joinSummary");
    o.split.splitSummary = text("splitSummary");
    o.join.mVerifyBtn = push("mVerifyBtn");
    o.join.mBrowseBtn = push("mBrowseBtn");
    o.join.mRepairBtn = push("mRepairBtn");
    o.join.mRefreshBtn = push("mRefreshBtn");
    auto* joinTable = adapt<TableView>(
        ui_->joinView,
        QStringList{kFileNameColumn, kLocationColumn, kSizeColumn, kCheckStateColumn},
        QStringList{"Name", "Folder", "Size", "Check"});
    o.join.joinView = joinTable;
    o.join.delSoureFileM = push("delSoureFileM");
    o.join.tfMOutputPath = lineEdit("tfMOutputPath");
    o.join.tfMOutputName = lineEdit("tfMOutputName");
    o.join.mOutputBtn = push("mOutputBtn");
    o.join.mergeBtn = push("mergeBtn");
    o.join.pwdWindow = panelWindow("pwdWindow");
    o.join.pwdPrompt = text("pwdPrompt");
    o.join.pwdField = lineEdit("pwdField");
    o.join.pwdMsg = text("pwdMsg");
    o.join.pwdOKBtn = push("pwdOKBtn");
    o.join.outputPathWindow = panelWindow("outputPathWindow");
    o.join.outputPathPrompt = text("outputPathPrompt");

    // Name and size as wide as they need, the folder takes the rest, the mark a fixed slot.
    for (DropTableView* view : {ui_->pathView, ui_->joinView}) {
        view->setTabKeyNavigation(false); // Tab moves on to the next control
        QHeaderView* header = view->horizontalHeader();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
        header->setSectionResizeMode(1, QHeaderView::Stretch);
        header->setSectionResizeMode(2, QHeaderView::ResizeToContents);
        view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    }
    ui_->joinView->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Fixed);
    ui_->joinView->setColumnWidth(3, 56);
    ui_->joinView->setIconSize(QSize(20, 20));
    ui_->pathView->setAccessibleName("Source to split");
    ui_->joinView->setAccessibleName("Pieces of the set to join");
    ui_->tfSize->setAccessibleName("Piece size");
    ui_->tfCount->setAccessibleName("Number of pieces");
    ui_->tfRecoveryCount->setAccessibleName("Number of recovery pieces");
    ui_->tfOutPath->setAccessibleName("Split output folder");
    ui_->tfMOutputPath->setAccessibleName("Join output folder");
    // The output folders are chosen with Choose…; the fields only show them.
    for (QLineEdit* shown : {ui_->tfOutPath, ui_->tfMOutputPath}) {
        shown->setReadOnly(true);
        shown->setFrame(false);
    }

    controller_.connect(o);

    pathDrop_.setDelegate(&controller_);
    joinDrop_.setDelegate(&controller_);
    ui_->pathView->dragHandler = [this](const DragInfo& d) { return pathDrop_.draggingEntered(d); };
    ui_->pathView->dropHandler = [this](const DragInfo& d) {
        return pathDrop_.performDragOperation(d);
    };
    ui_->joinView->dragHandler = [this](const DragInfo& d) { return joinDrop_.draggingEntered(d); };
    ui_->joinView->dropHandler = [this](const DragInfo& d) {
        return joinDrop_.performDragOperation(d);
    };
}

void QtMainWindow::connectActions() {
    MainViewController* c = &controller_;
    auto clicked = [this](const char* name, auto action) {
        auto* b = window_.findChild<QAbstractButton*>(name);
        QObject::connect(b, &QAbstractButton::clicked, &window_, action);
    };
    auto edited = [this, c](const char* name, const toolkit::Control* outlet) {
        auto* f = window_.findChild<QLineEdit*>(name);
        QObject::connect(f, &QLineEdit::textEdited, &window_,
                         [c, outlet] { c->controlTextDidChange(outlet); });
        QObject::connect(f, &QLineEdit::editingFinished, &window_,
                         [c, outlet] { c->controlTextDidEndEditing(outlet); });
    };
    // The size and the counts take digits only.
    for (QLineEdit* number : {ui_->tfSize, ui_->tfCount})
        number->setValidator(
            new QRegularExpressionValidator(QRegularExpression("[0-9]{0,18}"), number));
    ui_->tfRecoveryCount->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9]{0,3}"), ui_->tfRecoveryCount));

    ui_->btnSplit->setDefault(false);
    clicked("addFileBtn", [c] { c->actAddFile(); });
    clicked("addFolderBtn", [c] { c->actAddFolder(); });
    clicked("delFileBtn", [c] { c->actDelFile(0); });
    clicked("includeHiddenBtn", [c] { c->actIncludeHidden(); });
    QObject::connect(ui_->recoveryBtn, &QComboBox::activated, &window_, [c] { c->actRecovery(); });
    clicked("bySizeRadio", [c] { c->actSpliteBy(); });
    clicked("byCountRadio", [c] { c->actSpliteBy(); });
    QObject::connect(ui_->popBtn, &QComboBox::activated, &window_, [c] { c->actPopBtn(); });
    QObject::connect(ui_->presetBtn, &QComboBox::activated, &window_, [c] { c->actPreset(); });
    clicked("encryptBtn", [c] { c->actEncrypt(); });
    QObject::connect(window_.findChild<QButtonGroup*>("pwdUseGroup"), &QButtonGroup::idToggled,
                     &window_, [c](int, bool checked) {
                         if (checked) c->actPasswordUse();
                     });
    clicked("outPathBtn", [c] { c->actOutPath(); });
    clicked("btnSplit", [c] { c->actSplit(); });
    clicked("encryptViewOKBtn", [c] { c->actEncryptOK(); });
    clicked("encryptViewCancelBtn", [c] { c->actEncryptCancel(); });
    clicked("openFolderBtn", [c] { c->actOpenFolder(); });
    clicked("finishBtn", [c] { c->actFinish(); });
    clicked("mBtnAddFile", [c] { c->mActAddFile(); });
    clicked("mAddPartsBtn", [c] { c->mActAddParts(); });
    clicked("mVerifyBtn", [c] { c->mActVerify(); });
    clicked("mBrowseBtn", [c] { c->mActBrowse(); });
    clicked("mRepairBtn", [c] { c->mActRepair(); });
    clicked("mRefreshBtn", [c] { c->mActRefresh(); });
    // F5 lists the set again; Ctrl+Q closes the window as its close button does.
    auto* refresh = new QShortcut(QKeySequence::Refresh, &window_);
    QObject::connect(refresh, &QShortcut::activated, &window_, [c] { c->mActRefresh(); });
    auto* quit = new QShortcut(QKeySequence::Quit, &window_);
    QObject::connect(quit, &QShortcut::activated, &window_, [this] { window_.close(); });
    clicked("mOutputBtn", [c] { c->mActSelectOutput(); });
    clicked("mergeBtn", [c] { c->mActMergeFile(); });
    clicked("pwdOKBtn", [c] { c->actPwdOK(); });
    clicked("pwdCancelBtn", [c] { c->actPwdCancel(); });
    clicked("outputPathOKBtn", [c] { c->actOutputPathOK(); });
    clicked("outputPathCancelBtn", [c] { c->actOutputPathCancel(); });

    edited("tfSize", outlets_.split.tfSize);
    edited("tfCount", outlets_.split.tfCount);
    edited("tfRecoveryCount", outlets_.split.tfRecoveryCount);
    edited("tfPwdFirst", outlets_.split.tfPwdFirst);
    edited("tfPwdSecond", outlets_.split.tfPwdSecond);
    edited("tfSetName", outlets_.split.tfSetName);
    edited("pwdField", outlets_.join.pwdField);
    edited("tfMOutputName", outlets_.join.tfMOutputName);

    panel("encryptPanel")->onCancel = [c] { c->actEncryptCancel(); };
    panel("completeWindow")->onCancel = [c] { c->actFinish(); };
    // Escape and the close button stop a run as its Cancel button does.
    panel("progressWindow")->onCancel = [c] { c->actCancelRun(); };
    clicked("progressCancelBtn", [c] { c->actCancelRun(); });
    panel("pwdWindow")->onCancel = [c] { c->actPwdCancel(); };
    panel("outputPathWindow")->onCancel = [c] { c->actOutputPathCancel(); };
}
