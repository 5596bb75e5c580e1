// Puts the real window through a split and a join on prepared sample data and
// saves what the user sees at each step as PNGs, taken from the X screen
// (`import`, the window manager's frame included): the main window with a
// source, its recovery choice and a set missing a piece its recovery pieces
// can rebuild, the same on a dark palette, the recovery choices open, the
// password panel, the progress window during a split, and the completion
// window. Run by scripts/screenshot.sh under Xvfb with a window manager.

#include "app/qt/QtMainWindow.h"
#include "engine/base/utilities.h"
#include "engine/compat/paths.h"
#include "engine/runs/split.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPalette>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

void writeSample(const fs::path& path, std::size_t bytes, uint32_t seed) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    std::mt19937 random(seed);
    std::vector<char> block(1 << 20);
    for (std::size_t done = 0; done < bytes; done += block.size()) {
        for (char& c : block)
            c = static_cast<char>(random());
        out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), bytes - done)));
    }
}

// What the screen shows of `widget`'s window, its frame included.
void save(QWidget* widget, const QString& file) {
    QApplication::processEvents();
    QWidget* window = widget->window();
    const QRect frame = window->frameGeometry();
    const QString crop = QString("%1x%2+%3+%4")
                             .arg(frame.width())
                             .arg(frame.height())
                             .arg(std::max(frame.x(), 0))
                             .arg(std::max(frame.y(), 0));
    const std::string command =
        "import -window root -crop " + crop.toStdString() + " '" + file.toStdString() + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
    else
        std::printf("wrote %s\n", qPrintable(file));
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true); // never the user's remembered settings
    const QString out = argc > 1 ? argv[1] : "docs/screenshots";
    QDir().mkpath(out);
    const fs::path work = fs::temp_directory_path() / "parcelor-screenshots";
    fs::remove_all(work);

    // A holiday video to split, and a piece set of photos with recovery
    // pieces and one piece gone, which they can rebuild.
    const fs::path video = work / "Videos/holiday-2026.final.mp4";
    writeSample(video, std::size_t{400} << 20, 1);
    writeSample(work / "Archive/photos.2019/beach.jpg", std::size_t{9} << 20, 2);
    writeSample(work / "Archive/photos.2019/sunset.jpg", std::size_t{7} << 20, 3);
    SplitRequest request;
    request.source = (work / "Archive/photos.2019").string();
    request.outFolder = (work / "Archive").string();
    request.totalSize = pathSize(request.source.c_str());
    request.pieceSize = 3 << 20;
    SplitOptions options;
    options.recovery.count = 1;
    RunContext run;
    if (!splitSource(request, options, run)) return 1;
    fs::remove(work / "Archive/photos_spt/photos_2.spt");
    fs::create_directories(work / "Pieces");

    qtkit::Toolkit tk;
    std::vector<std::string> answers{video.string(), (work / "Pieces").string()};
    tk.openPanelHook = [&](const qtkit::PanelRequest&) -> std::optional<std::string> {
        if (answers.empty()) return std::nullopt;
        std::string next = answers.front();
        answers.erase(answers.begin());
        return next;
    };
    tk.openFolderHook = [](const std::string&) {};
    QtMainWindow win(tk);
    QMainWindow* main = win.window();
    main->show();
    auto button = [&](const char* name) { return main->findChild<QAbstractButton*>(name); };

    bool progressSaved = false;
    tk.qtApplication().onModal = [&](toolkit::Window* window) {
        auto* panel = dynamic_cast<qtkit::PanelWindow*>(window);
        if (!panel) return;
        QWidget* dialog = panel->dialog();
        if (dialog->objectName() == "progressWindow") {
            auto* poll = new QTimer(dialog);
            QObject::connect(poll, &QTimer::timeout, [&, dialog, poll] {
                auto* label = dialog->findChild<QLabel*>("percentLabel");
                const int percent = label->text().chopped(1).toInt();
                if (!progressSaved && percent >= 25 && percent < 95) {
                    save(dialog, out + "/progress.png");
                    progressSaved = true;
                    poll->stop();
                }
            });
            poll->start(20);
        } else if (dialog->objectName() == "encryptPanel") {
            QTimer::singleShot(300, dialog, [&, dialog] {
                for (const char* field : {"tfPwdFirst", "tfPwdSecond"}) {
                    auto* edit = dialog->findChild<QLineEdit*>(field);
                    edit->setFocus();
                    QTest::keyClicks(edit, "correct horse battery");
                }
                QTest::keyClicks(dialog->findChild<QLineEdit*>("tfSetName"), "holiday");
                QTimer::singleShot(200, dialog, [&, dialog] {
                    save(dialog, out + "/password.png");
                    dialog->findChild<QAbstractButton*>("encryptViewCancelBtn")->click();
                });
            });
        } else if (dialog->objectName() == "completeWindow") {
            QTimer::singleShot(300, dialog, [&, dialog] {
                save(dialog, out + "/complete.png");
                button("finishBtn")->click();
            });
        }
    };

    QTimer::singleShot(500, main, [&] {
        button("addFileBtn")->click();
        // The piece set arrives by drop, as from the file manager.
        QMimeData mime;
        mime.setUrls(
            {QUrl::fromLocalFile(QString::fromStdString((work / "Archive/photos_spt").string()))});
        auto* joinView = main->findChild<QWidget*>("joinView");
        QWidget* viewport = joinView->findChild<QWidget*>("qt_scrollarea_viewport");
        QDragEnterEvent enter(viewport->rect().center(), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        QDropEvent drop(viewport->rect().center(), Qt::CopyAction, &mime, Qt::LeftButton,
                        Qt::NoModifier);
        QApplication::sendEvent(viewport, &drop);
        // Two recovery pieces for the split, and the sentence under the choice.
        auto* recovery = main->findChild<QComboBox*>("recoveryBtn");
        const int two = recovery->findText("2");
        recovery->setCurrentIndex(two);
        emit recovery->activated(two);
        QTimer::singleShot(1500, main, [&, recovery] {
            save(main, out + "/main-window.png");
            // The same window on a dark palette: the marks keep their outline.
            const QPalette light = main->palette();
            QPalette dark = light;
            dark.setColor(QPalette::Window, QColor(43, 43, 43));
            dark.setColor(QPalette::WindowText, Qt::white);
            dark.setColor(QPalette::Base, QColor(30, 30, 30));
            dark.setColor(QPalette::AlternateBase, QColor(53, 53, 53));
            dark.setColor(QPalette::Text, Qt::white);
            dark.setColor(QPalette::Button, QColor(53, 53, 53));
            dark.setColor(QPalette::ButtonText, Qt::white);
            dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
            for (const auto role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
                dark.setColor(QPalette::Disabled, role, QColor(120, 120, 120));
            dark.setColor(QPalette::Disabled, QPalette::Base, QColor(43, 43, 43));
            main->setPalette(dark);
            QApplication::processEvents();
            save(main, out + "/main-window-dark.png");
            main->setPalette(light);
            QApplication::processEvents();
            recovery->showPopup();
            QTimer::singleShot(400, main, [&, recovery] {
                save(main, out + "/recovery-choice.png");
                recovery->hidePopup();
                button("encryptBtn")->click(); // returns once the panel is cancelled
                button("outPathBtn")->click();
                button("btnSplit")->click(); // returns after the completion window
                fs::remove_all(work);
                QApplication::quit();
            });
        });
    });
    return QApplication::exec();
}
