// The real window, driven through its widgets under the offscreen platform.
// Dialogs are answered through the toolkit layer's hooks, so nothing blocks.

#include "app/qt/QtMainWindow.h"

#include "tests/support/TempDir.h"
#include "tests/support/TestFiles.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

class QtWindow : public testing::Test {
protected:
    void SetUp() override {
        tk.openPanelHook =
            [this](const qtkit::PanelRequest& request) -> std::optional<std::string> {
            panelTitles.push_back(request.title);
            if (panelAnswers.empty()) return std::nullopt;
            std::string answer = panelAnswers.front();
            panelAnswers.erase(panelAnswers.begin());
            return answer;
        };
        tk.alertHook = [this](const std::string& message, const std::string& informative) {
            alerts.push_back(message + " / " + informative);
        };
        tk.questionHook = [this](const std::string& message, const std::string&) {
            questions.push_back(message);
            return toolkit::kModalResponseOK;
        };
        // The user inside each modal window: a script per window, by name.
        tk.qtApplication().onModal = [this](toolkit::Window* window) {
            auto* panel = dynamic_cast<qtkit::PanelWindow*>(window);
            if (!panel) return;
            const std::string name = panel->dialog()->objectName().toStdString();
            modalsSeen.push_back(name);
            if (auto user = users.find(name); user != users.end()) user->second();
        };
        users["completeWindow"] = [this] {
            completion = widget<QLabel>("completeTitle")->text().toStdString();
            QLabel* detail = widget<QLabel>("completeDetail");
            completionDetail = detail->isVisible() ? detail->text().toStdString() : "";
            click("finishBtn");
        };
        QSettings().clear(); // every test starts as the first run of the program
        openWindow();
    }
    void openWindow() {
        win = std::make_unique<QtMainWindow>(tk);
        win->window()->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(win->window()));
    }

    template <class W> W* widget(const char* name) {
        W* found = win->window()->findChild<W*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    // Check boxes and radio buttons take clicks on their box and label only.
    void click(const char* name) {
        QAbstractButton* button = widget<QAbstractButton>(name);
        const bool boxed = qobject_cast<QCheckBox*>(button) || qobject_cast<QRadioButton*>(button);
        const QPoint where = boxed ? QPoint(8, button->height() / 2) : button->rect().center();
        QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, where);
    }
    void typeInto(const char* name, const QString& text) {
        QLineEdit* field = widget<QLineEdit>(name);
        field->setFocus();
        field->selectAll(); // what is typed replaces the old text in one edit
        QTest::keyClicks(field, text);
    }
    // Drops files from the desktop's file manager onto a table.
    bool drop(const char* table, const std::vector<std::string>& paths) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const auto& p : paths)
            urls.push_back(QUrl::fromLocalFile(QString::fromStdString(p)));
        mime.setUrls(urls);
        QWidget* viewport = widget<QAbstractItemView>(table)->viewport();
        const QPoint where = viewport->rect().center();
        QDragEnterEvent enter(where, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(where, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &dropped);
        waitForTheSet();
        return dropped.isAccepted();
    }
    // A piece set is read on a worker thread; the test goes on once it is listed.
    void waitForTheSet() {
        EXPECT_TRUE(QTest::qWaitFor([this] { return !win->controller().isAddingSet(); }, 20000));
    }
    QString cell(const char* table, int row, int column, int role = Qt::DisplayRole) {
        return widget<QAbstractItemView>(table)->model()->index(row, column).data(role).toString();
    }
    int rows(const char* table) { return widget<QAbstractItemView>(table)->model()->rowCount(); }

    void splitTo(const std::string& output) {
        panelAnswers.push_back(output);
        click("outPathBtn");
        completion.clear();
        click("btnSplit"); // returns once the completion window is closed
    }
    void joinInto(const std::string& set, const std::string& output) {
        ASSERT_TRUE(drop("joinView", {set}));
        panelAnswers.push_back(output);
        click("mOutputBtn");
        completion.clear();
        click("mergeBtn");
    }

    qtkit::Toolkit tk;
    std::unique_ptr<QtMainWindow> win;
    std::vector<std::string> panelAnswers, panelTitles, alerts, modalsSeen;
    std::map<std::string, std::function<void()>> users;
    std::string completion;
    std::string completionDetail;
    std::vector<std::string> questions;
    TempDir dir;
};

} // namespace

TEST_F(QtWindow, StartsTitledAndDisabledAndClosingEndsTheProgram) {
    EXPECT_EQ(win->window()->windowTitle(), "Morvane Parcelor");
    EXPECT_EQ(widget<QLabel>("tfVersion")->text(), "Version 1.1");
    for (const char* name : {"btnSplit", "encryptBtn", "delSourceFileBtn", "outPathBtn", "mergeBtn",
                             "mOutputBtn", "delSoureFileM"})
        EXPECT_FALSE(widget<QAbstractButton>(name)->isEnabled()) << name;
    for (const char* name : {"tfSize", "tfCount", "tfOutPath", "tfMOutputPath"})
        EXPECT_FALSE(widget<QLineEdit>(name)->isEnabled()) << name;
    EXPECT_TRUE(widget<QAbstractButton>("addFileBtn")->isEnabled());
    EXPECT_EQ(cell("joinView", 0, 0), "");
    EXPECT_EQ(
        widget<QAbstractItemView>("joinView")->model()->headerData(3, Qt::Horizontal).toString(),
        "Check");

    ASSERT_TRUE(win->delegate().applicationShouldTerminateAfterLastWindowClosed());
    QApplication::setQuitOnLastWindowClosed(true);
    QTimer::singleShot(0, win->window(), [this] { win->window()->close(); });
    QTimer guard;
    guard.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(&guard, &QTimer::timeout, [&] {
        timedOut = true;
        QApplication::exit(2);
    });
    guard.start(20000);
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(timedOut);
}

TEST_F(QtWindow, FileDroppedSplitByCountAndJoinedElsewhere) {
    const std::string source = dir / "in/movie.final.mp4";
    writeFile(source, seededBytes(31, 3 * 1024 * 1024 + 18));
    fs::create_directories(dir / "out");
    fs::create_directories(dir / "joined");

    ASSERT_TRUE(drop("pathView", {source}));
    EXPECT_EQ(rows("pathView"), 1);
    EXPECT_EQ(cell("pathView", 0, 0), "movie.final.mp4");
    EXPECT_EQ(widget<QLineEdit>("tfOutPath")->text().toStdString(), dir / "in");
    click("byCountRadio");
    EXPECT_TRUE(widget<QLineEdit>("tfCount")->isEnabled());
    typeInto("tfCount", "5");
    EXPECT_EQ(widget<QLineEdit>("tfSize")->text(), "614");
    splitTo(dir / "out");
    EXPECT_EQ(completion, "Splitting Completed!");
    EXPECT_EQ(panelTitles.back(), "Choose a output folder");
    EXPECT_TRUE(fs::exists(dir / "out/movie_spt/movie_4.spt")); // exactly the 5 asked for
    EXPECT_FALSE(fs::exists(dir / "out/movie_spt/movie_5.spt"));

    joinInto(dir / "out/movie_spt", dir / "joined");
    EXPECT_EQ(completion, "Joining Completed!");
    EXPECT_EQ(rows("joinView"), 5);
    EXPECT_EQ(cell("joinView", 0, 3, Qt::UserRole), "right.png");
    EXPECT_EQ(readFile(dir / "joined/movie.final.mp4"), readFile(source));
}

TEST_F(QtWindow, ProtectedFolderTree) {
    const std::string tree = dir / "photos";
    makeSeededTree(tree, 9, 25, 30000);
    fs::create_directories(dir / "joined");
    panelAnswers.push_back(tree);
    click("addFolderBtn");
    EXPECT_TRUE(QTest::qWaitFor([this] { return !win->controller().isMeasuringSource(); }, 20000));
    users["encryptPanel"] = [this] {
        click("gateRadio"); // only the join asks for it: the pieces are not encrypted
        typeInto("tfPwdFirst", "s3cret");
        typeInto("tfPwdSecond", "s3cre");
        EXPECT_TRUE(widget<QLabel>("encryptMsg2")->isHidden());
        typeInto("tfPwdSecond", "s3crex");
        EXPECT_FALSE(widget<QLabel>("encryptMsg2")->isHidden());
        typeInto("tfPwdSecond", "s3cret");
        EXPECT_TRUE(widget<QAbstractButton>("encryptViewOKBtn")->isEnabled());
        click("encryptViewOKBtn");
    };
    ASSERT_TRUE(widget<QAbstractButton>("encryptBtn")->isEnabled());
    click("encryptBtn");
    EXPECT_TRUE(widget<QAbstractButton>("encryptBtn")->isChecked())
        << testing::PrintToString(modalsSeen);
    EXPECT_EQ(widget<QLineEdit>("tfPwdFirst")->echoMode(), QLineEdit::Password);
    splitTo(dir.path().string());
    EXPECT_EQ(completion, "Splitting Completed!");

    // The prompt takes the keyboard in its field; Escape cancels and starts nothing.
    users["pwdWindow"] = [this] {
        QWidget* prompt = win->panel("pwdWindow");
        EXPECT_EQ(prompt->focusWidget(), widget<QWidget>("pwdField"));
        QTest::keyClick(prompt->focusWidget(), Qt::Key_Escape);
    };
    joinInto(dir / "photos_spt", dir / "joined");
    EXPECT_EQ(completion, "");
    EXPECT_FALSE(fs::exists(dir / "joined/photos"));

    users["pwdWindow"] = [this] {
        EXPECT_FALSE(widget<QAbstractButton>("pwdOKBtn")->isEnabled());
        typeInto("pwdField", "s3cre");
        EXPECT_FALSE(widget<QAbstractButton>("pwdOKBtn")->isEnabled());
        typeInto("pwdField", "s3cret");
        click("pwdOKBtn");
    };
    joinInto(dir / "photos_spt", dir / "joined");
    EXPECT_EQ(completion, "Joining Completed!");
    EXPECT_NE(std::find(modalsSeen.begin(), modalsSeen.end(), "pwdWindow"), modalsSeen.end())
        << testing::PrintToString(modalsSeen);
    EXPECT_EQ(treeContents(dir / "joined/photos"), visibleTreeContents(tree));
}

TEST_F(QtWindow, ANewPasswordEncryptsAndTheJoinAsksForItInItsField) {
    const std::string tree = dir / "letters";
    makeSeededTree(tree, 10, 6, 5000);
    fs::create_directories(dir / "joined");
    win->controller().split().encryptWorkFactor = 10;
    panelAnswers.push_back(tree);
    click("addFolderBtn");
    EXPECT_TRUE(QTest::qWaitFor([this] { return !win->controller().isMeasuringSource(); }, 20000));
    const QString password = "a passphrase long enough";
    users["encryptPanel"] = [this, password] {
        EXPECT_TRUE(widget<QRadioButton>("encryptRadio")->isChecked());
        typeInto("tfPwdFirst", password);
        typeInto("tfPwdSecond", password);
        EXPECT_EQ(widget<QLabel>("pwdStrength")->text(), "Strong password.");
        click("encryptViewOKBtn");
    };
    click("encryptBtn");
    splitTo(dir.path().string());
    ASSERT_EQ(completion, "Splitting Completed!");

    users["pwdWindow"] = [this, password] {
        QWidget* field = win->panel("pwdWindow")->focusWidget();
        EXPECT_EQ(field, widget<QWidget>("pwdField"));
        EXPECT_EQ(widget<QLabel>("pwdPrompt")->text(),
                  "This piece set is encrypted. Type its password:");
        QTest::keyClicks(field, password);
        QTest::keyClick(field, Qt::Key_Return);
    };
    joinInto(dir / "letters_spt", dir / "joined");
    EXPECT_NE(widget<QLabel>("joinSummary")->text().indexOf("; encrypted (age);"), -1);
    EXPECT_EQ(completion, "Joining Completed!");
    EXPECT_EQ(completionDetail.rfind("Joined ", 0), 0u);
    EXPECT_NE(completionDetail.find(" pieces into " + (dir / "joined/letters") + "."),
              std::string::npos);
    EXPECT_EQ(treeContents(dir / "joined/letters"), visibleTreeContents(tree));
}

TEST_F(QtWindow, DeletedPieceShowsWrongAndTheJoinFailsWithoutRemovingAnything) {
    const std::string source = dir / "data.bin";
    writeFile(source, seededBytes(41, 200000));
    fs::create_directories(dir / "joined");
    ASSERT_TRUE(drop("pathView", {source}));
    splitTo(dir.path().string());
    ASSERT_EQ(completion, "Splitting Completed!");
    fs::remove(dir / "data_spt/data_1.spt");

    ASSERT_TRUE(drop("joinView", {dir / "data_spt"}));
    EXPECT_EQ(cell("joinView", 0, 3, Qt::UserRole), "right.png");
    EXPECT_EQ(cell("joinView", 1, 3, Qt::UserRole), "wrong.png");
    EXPECT_EQ(cell("joinView", 1, 2), "\u2014"); // missing
    const QVariant mark =
        widget<QAbstractItemView>("joinView")->model()->index(1, 3).data(Qt::DecorationRole);
    EXPECT_FALSE(mark.value<QIcon>().isNull()) << "the image is not in the program's resources";
    EXPECT_FALSE(widget<QWidget>("mergeBtn")->isEnabled()); // nothing can rebuild the missing piece

    // A piece of the right length with other bytes: the join runs, and fails.
    writeFile(dir / "data_spt/data_1.spt", seededBytes(42, 20000));
    ASSERT_TRUE(drop("joinView", {dir / "data_spt"}));
    widget<QCheckBox>("delSoureFileM")->setChecked(true);
    panelAnswers.push_back(dir / "joined");
    click("mOutputBtn");
    click("mergeBtn");
    EXPECT_EQ(completion, "Joining Failed!");
    EXPECT_EQ(completionDetail, "Piece " + (dir / "data_spt/data_1.spt") +
                                    " does not match its fingerprint.\n"
                                    "Nothing was removed, because the run did not complete.");
    EXPECT_TRUE(alerts.empty());
    EXPECT_TRUE(fs::exists(dir / "data_spt/data_0.spt"));
    EXPECT_TRUE(fs::exists(dir / "data_spt/spt_config.morvspt"));
    EXPECT_TRUE(widget<QCheckBox>("delSoureFileM")->isChecked());
}

TEST_F(QtWindow, AFolderDroppedOnTheSplitTableAndAFileOnTheJoinTableAreRefused) {
    writeFile(dir / "file.bin", "x");
    EXPECT_TRUE(drop("pathView", {dir.path().string()}));
    EXPECT_EQ(rows("pathView"), 0);
    EXPECT_FALSE(drop("joinView", {dir / "file.bin"}));
    EXPECT_EQ(rows("joinView"), 0);
    ASSERT_TRUE(drop("joinView", {dir.path().string()})); // not a piece set
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].rfind("Add join folder faild! / input path is not valid!\n", 0), 0u)
        << alerts[0];
}

TEST_F(QtWindow, IncludeHiddenItemsMeasuresTheFolderAgainAndIsRemembered) {
    const std::string tree = dir / "project";
    writeFile(tree + "/main.cpp", "int main() {}");
    writeFile(tree + "/.env", "secret");
    auto measured = [this] {
        EXPECT_TRUE(
            QTest::qWaitFor([this] { return !win->controller().isMeasuringSource(); }, 20000));
        return widget<QLabel>("splitSummary")->text().toStdString();
    };
    EXPECT_FALSE(widget<QAbstractButton>("includeHiddenBtn")->isChecked());
    panelAnswers.push_back(tree);
    click("addFolderBtn");
    EXPECT_EQ(
        measured(),
        "Stores 1 file (13 bytes). Not stored: .env; tick Include hidden items to keep them.");
    click("includeHiddenBtn");
    EXPECT_EQ(measured(), "Stores 2 files (19 bytes).");

    win.reset(); // the program ends, and starts again
    openWindow();
    EXPECT_TRUE(widget<QAbstractButton>("includeHiddenBtn")->isChecked());
}

TEST_F(QtWindow, StartedWithAFileAndAPieceFolderFillsBothSides) {
    writeFile(dir / "in/movie.mp4", seededBytes(42, 50000));
    writeFile(dir / "set.bin", seededBytes(43, 50000));
    ASSERT_TRUE(drop("pathView", {dir / "set.bin"}));
    splitTo(dir.path().string());
    ASSERT_EQ(completion, "Splitting Completed!");

    win->controller().openLaunchPaths(
        {dir / "in/movie.mp4", dir / "set_spt/spt_config.morvspt", dir / "missing"});
    waitForTheSet();
    EXPECT_EQ(cell("pathView", 0, 0), "movie.mp4");
    EXPECT_GT(rows("joinView"), 0);
    EXPECT_EQ(widget<QLineEdit>("tfMOutputPath")->text().toStdString(), dir.path().string());
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], "Cannot open " + (dir / "missing") + ": No such file or directory / ");
}

TEST_F(QtWindow, TabLeavesTheTables) {
    for (const char* table : {"pathView", "joinView"}) {
        QWidget* view = widget<QWidget>(table);
        view->setFocus();
        QTest::keyClick(view, Qt::Key_Tab);
        EXPECT_NE(QApplication::focusWidget(), view) << table;
    }
}

TEST_F(QtWindow, CancelInTheProgressWindowStopsTheSplit) {
    const std::string source = dir / "big.bin";
    {
        std::ofstream big(source, std::ios::binary);
        big.seekp((std::streamoff{256} << 20) - 1);
        big.put('\0');
    }
    ASSERT_TRUE(drop("pathView", {source}));
    users["progressWindow"] = [this] { click("progressCancelBtn"); };
    splitTo(dir.path().string());
    EXPECT_EQ(completion, "Splitting Cancelled");
    EXPECT_FALSE(fs::exists(dir / "big_spt"));
}

TEST_F(QtWindow, TheRecoveryChoiceIsRememberedAndRepairMendsTheListedSet) {
    writeFile(dir / "data.bin", seededBytes(44, 50000));
    ASSERT_TRUE(drop("pathView", {dir / "data.bin"}));
    auto* choice = widget<QComboBox>("recoveryBtn");
    EXPECT_TRUE(widget<QLineEdit>("tfRecoveryCount")->isHidden());
    choice->setFocus();
    QTest::keyClick(choice, Qt::Key_End); // Custom
    EXPECT_FALSE(widget<QLineEdit>("tfRecoveryCount")->isHidden());
    typeInto("tfRecoveryCount", "2");
    EXPECT_EQ(widget<QLabel>("recoveryNote")->text().toStdString(),
              "The set can lose any 2 of its 12 pieces and still be joined (+2 pieces, 10.0 KB).");
    splitTo(dir.path().string());
    ASSERT_EQ(completion, "Splitting Completed!");

    fs::remove(dir / "data_spt/data_4.spt");
    ASSERT_TRUE(drop("joinView", {dir / "data_spt"}));
    EXPECT_EQ(rows("joinView"), 12);
    ASSERT_TRUE(widget<QPushButton>("mRepairBtn")->isEnabled());
    click("mRepairBtn");
    EXPECT_EQ(completion, "Repair Completed!");
    EXPECT_TRUE(fs::exists(dir / "data_spt/data_4.spt"));

    win.reset(); // the program ends, and starts again
    openWindow();
    EXPECT_EQ(widget<QComboBox>("recoveryBtn")->currentText(), "Custom");
    EXPECT_EQ(widget<QLineEdit>("tfRecoveryCount")->text(), "2");
    EXPECT_FALSE(widget<QLineEdit>("tfRecoveryCount")->isHidden());
}

// Registered a second time at QT_SCALE_FACTOR=2 on a 1600×1000 screen.
TEST_F(QtWindow, FitsTheScreenItOpensOn) {
    QWidget* window = win->window();
    const QRect room = window->screen()->availableGeometry();
    EXPECT_TRUE(room.contains(window->frameGeometry()))
        << room.width() << "x" << room.height() << " holds no " << window->frameGeometry().width()
        << "x" << window->frameGeometry().height();
    EXPECT_LE(window->minimumSizeHint().width(), room.width());
    EXPECT_LE(window->minimumSizeHint().height(), room.height());
}

// Browse through the real window and the installed command: the set mounted
// in a private folder of the runtime folder, the folder opened showing the
// set's file, and Stop Browsing unmounting it and removing the folder.
// Skips where FUSE mounts are not allowed.
TEST_F(QtWindow, BrowseMountsTheSetThroughTheCommandAndUnmountsIt) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse here";
    struct Environment { // the command on PATH, and a runtime folder of the test's own
        std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
        explicit Environment(const std::string& runtime) {
            setenv("PATH", (std::string(PARCELOR_CLI_DIR) + ":" + path).c_str(), 1);
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        }
        ~Environment() {
            setenv("PATH", path.c_str(), 1);
            unsetenv("XDG_RUNTIME_DIR");
        }
    } environment(dir / "run");
    fs::create_directory(dir / "run");
    fs::permissions(dir / "run", fs::perms::owner_all);
    std::string opened;
    tk.openFolderHook = [&](const std::string& folder) { opened = folder; };
    const std::string bytes = seededBytes(43, 30000);
    writeFile(dir / "notes.txt", bytes);
    ASSERT_TRUE(drop("pathView", {dir / "notes.txt"}));
    splitTo(dir.path().string());
    ASSERT_TRUE(drop("joinView", {dir / "notes_spt"}));
    ASSERT_EQ(widget<QPushButton>("mBrowseBtn")->text(), "Bro&wse…");
    click("mBrowseBtn");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !win->controller().join().isStartingBrowse(); }, 20000));
    if (opened.empty() && !alerts.empty() &&
        alerts.back().find("cannot mount") != std::string::npos)
        GTEST_SKIP() << "mounting is not allowed here: " << alerts.back();
    ASSERT_FALSE(opened.empty()) << (alerts.empty() ? "" : alerts.back());
    EXPECT_EQ(fs::path(opened).parent_path(), dir / "run");
    EXPECT_EQ(readFile(opened + "/notes.txt"), bytes);
    EXPECT_EQ(widget<QPushButton>("mBrowseBtn")->text(), "Stop Bro&wsing");
    click("mBrowseBtn");
    EXPECT_FALSE(fs::exists(opened));
    EXPECT_EQ(widget<QPushButton>("mBrowseBtn")->text(), "Bro&wse…");
}
