// The application's entry point: the window, and the event loop until it closes.

#include "app/Texts.h"
#include "app/qt/QtMainWindow.h"

#include <QApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char* argv[]) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const bool headless =
        platform && (std::string(platform) == "offscreen" || std::string(platform) == "minimal");
    if (!headless && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "morvane-parcelor: no display found. Run it on a desktop, or without "
                             "one: xvfb-run -a morvane-parcelor\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Morvane");
    QApplication::setApplicationName("Parcelor");
    QApplication::setApplicationDisplayName(kAppTitle);
    QApplication::setDesktopFileName("morvane-parcelor");

    qtkit::Toolkit toolkit;
    QtMainWindow window(toolkit);
    window.delegate().applicationDidFinishLaunching();
    QApplication::setQuitOnLastWindowClosed(
        window.delegate().applicationShouldTerminateAfterLastWindowClosed());
    window.window()->show();
    // morvane-parcelor [PATH...]: what the file manager's "Open with" passes.
    std::vector<std::string> paths;
    const QStringList arguments = QApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i)
        paths.push_back(arguments[i].toStdString());
    if (!paths.empty()) window.controller().openLaunchPaths(paths);
    return QApplication::exec();
}
