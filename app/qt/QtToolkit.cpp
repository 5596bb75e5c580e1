#include "app/qt/QtToolkit.h"

#include "engine/compat/errors.h"

#include "app/qt/QtWindows.h"
#include "app/toolkit/StdRunLoop.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QUrl>

#include <syslog.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace qtkit {

namespace {

// `text` with an Alt key: its first letter that no other button of the box
// (in `taken`) uses.
QString withMnemonic(const std::string& text, QString& taken) {
    QString shown = QString::fromStdString(text);
    if (shown.contains('&')) return shown;
    for (int i = 0; i < shown.size(); ++i) {
        const QChar key = shown.at(i).toLower();
        if (!key.isLetter() || taken.contains(key)) continue;
        taken += key;
        return shown.insert(i, '&');
    }
    return shown;
}

} // namespace

int Application::runModalForWindow(toolkit::Window* window) {
    auto* shown = dynamic_cast<WindowWidget*>(window);
    if (!shown) return toolkit::kModalResponseCancel;
    QWidget* widget = shown->widget();
    auto* panel = qobject_cast<PanelDialog*>(widget);
    const bool blocking = !panel || panel->blocksApplication;
    widget->setWindowModality(blocking ? Qt::ApplicationModal : Qt::NonModal);
    auto* main = blocking ? nullptr : qobject_cast<QMainWindow*>(widget->parentWidget());
    if (main && main->centralWidget()) main->centralWidget()->setEnabled(false);
    widget->show();
    widget->raise();
    widget->activateWindow();
    if (panel && panel->initialFocus) panel->initialFocus->setFocus(Qt::OtherFocusReason);

    QEventLoop loop;
    Frame frame;
    frame.loop = &loop;
    frames_.push_back(&frame);
    if (onModal) QTimer::singleShot(0, &loop, [this, window] { onModal(window); });
    const int response = frame.stopped ? frame.response : loop.exec();
    frames_.pop_back();
    if (main && main->centralWidget()) main->centralWidget()->setEnabled(true);
    return response;
}

bool Application::isActive() const {
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
}

void Application::stopModal(int response) {
    if (frames_.empty()) return;
    Frame* top = frames_.back();
    if (top->stopped) return;
    top->stopped = true;
    top->response = response;
    top->loop->exit(response);
}

namespace {

class OpenPanel : public toolkit::OpenPanel {
public:
    OpenPanel(Toolkit& owner, QWidget* parent) : owner_(owner), parent_(parent) {}
    void setTitle(const std::string& title) override { request_.title = title; }
    void setCanChooseDirectories(bool can) override { request_.directories = can; }
    void setCanChooseFiles(bool can) override { request_.files = can; }
    void setCanCreateDirectories(bool can) override { request_.createDirectories = can; }
    void setAllowsMultipleSelection(bool) override {} // always one item

    int runModal() override {
        std::optional<std::string> chosen;
        if (owner_.openPanelHook) {
            chosen = owner_.openPanelHook(request_);
        } else {
            const QString title = QString::fromStdString(request_.title);
            // Each dialog opens where it was last used.
            QSettings settings;
            const QString key = "dialogs/" + title;
            // The first time, the home folder: never the working folder the
            // program happened to be started in.
            const QString start = settings.value(key, QDir::homePath()).toString();
            QString path;
            if (request_.directories && !request_.files) {
                QFileDialog::Options options = QFileDialog::ShowDirsOnly;
                if (!request_.createDirectories) options |= QFileDialog::ReadOnly;
                path = QFileDialog::getExistingDirectory(parent_, title, start, options);
                if (!path.isEmpty()) settings.setValue(key, path);
            } else {
                path = QFileDialog::getOpenFileName(parent_, title, start);
                if (!path.isEmpty()) settings.setValue(key, QFileInfo(path).absolutePath());
            }
            if (!path.isEmpty()) chosen = path.toStdString();
        }
        if (!chosen || chosen->empty()) return toolkit::kModalResponseCancel;
        path_ = *chosen;
        return toolkit::kModalResponseOK;
    }
    std::string path() const override { return path_; }

private:
    Toolkit& owner_;
    QWidget* parent_;
    PanelRequest request_;
    std::string path_;
};

class Alert : public toolkit::Alert {
public:
    explicit Alert(Toolkit& owner) : owner_(owner) {}
    void beginSheetModalForWindow(toolkit::Window* window, const std::string& message,
                                  const std::string& /*button*/,
                                  const std::string& informative) override {
        if (owner_.alertHook) {
            owner_.alertHook(message, informative);
            return;
        }
        auto* shown = dynamic_cast<WindowWidget*>(window);
        auto* box = new QMessageBox(QMessageBox::Warning, QApplication::applicationDisplayName(),
                                    QString::fromStdString(message), QMessageBox::Ok,
                                    shown ? shown->widget() : nullptr);
        box->setInformativeText(QString::fromStdString(informative));
        box->button(QMessageBox::Ok)->setText("&OK");
        box->setWindowModality(Qt::WindowModal);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }

    int runModalQuestion(toolkit::Window* window, const std::string& message,
                         const std::string& informative, const std::string& confirm,
                         const std::string& cancel) override {
        if (owner_.questionHook) return owner_.questionHook(message, informative);
        const bool confirmed =
            ask(window, message, informative, {confirm, cancel}, QMessageBox::DestructiveRole) == 0;
        return confirmed ? toolkit::kModalResponseOK : toolkit::kModalResponseCancel;
    }

    int runModalChoice(toolkit::Window* window, const std::string& message,
                       const std::string& informative,
                       const std::vector<std::string>& buttons) override {
        if (owner_.choiceHook) return owner_.choiceHook(message, buttons);
        return ask(window, message, informative, buttons, QMessageBox::AcceptRole);
    }

private:
    // A question over `window` with `buttons`, the last of them the one that
    // cancels (the default and Escape), the others of `role`: the index of
    // the one pressed.
    int ask(toolkit::Window* window, const std::string& message, const std::string& informative,
            const std::vector<std::string>& buttons, QMessageBox::ButtonRole role) {
        const int cancel = static_cast<int>(buttons.size()) - 1;
        auto* shown = dynamic_cast<WindowWidget*>(window);
        QMessageBox box(QMessageBox::Question, QApplication::applicationDisplayName(),
                        QString::fromStdString(message), QMessageBox::NoButton,
                        shown ? shown->widget() : nullptr);
        box.setInformativeText(QString::fromStdString(informative));
        QString taken;
        std::vector<QPushButton*> added;
        for (int i = 0; i <= cancel; ++i)
            added.push_back(box.addButton(withMnemonic(buttons[static_cast<std::size_t>(i)], taken),
                                          i == cancel ? QMessageBox::RejectRole : role));
        if (cancel >= 0) {
            box.setDefaultButton(added.back());
            box.setEscapeButton(added.back());
        }
        box.exec();
        for (int i = 0; i <= cancel; ++i)
            if (box.clickedButton() == added[static_cast<std::size_t>(i)]) return i;
        return cancel;
    }

    Toolkit& owner_;
};

class Workspace : public toolkit::Workspace {
public:
    explicit Workspace(Toolkit& owner) : owner_(owner) {}
    bool openFolder(const std::string& path) override {
        if (owner_.openFolderHook) {
            owner_.openFolderHook(path);
            return true;
        }
        return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
    }

    void notify(toolkit::Window* window, const std::string& title,
                const std::string& body) override {
        if (owner_.notifyHook) {
            owner_.notifyHook(title, body);
            return;
        }
        if (auto* shown = dynamic_cast<WindowWidget*>(window)) QApplication::alert(shown->widget());
        // The freedesktop notification service, where the session has one.
        QDBusConnection session = QDBusConnection::sessionBus();
        if (!session.isConnected()) return;
        QDBusInterface service("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                               "org.freedesktop.Notifications", session);
        if (!service.isValid()) return;
        service.asyncCall("Notify", QApplication::applicationDisplayName(), 0u,
                          QStringLiteral("morvane-parcelor"), QString::fromStdString(title),
                          QString::fromStdString(body), QStringList(), QVariantMap(), -1);
    }

private:
    Toolkit& owner_;
};

// Watches windows for their Close event.
class CloseWatcher : public QObject {
public:
    struct Entry {
        const void* observer;
        QObject* window;
        std::function<bool()> handler;
    };
    std::vector<Entry> entries;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close) {
            bool close = true;
            const auto snapshot = entries;
            for (const auto& entry : snapshot)
                if (entry.window == watched) close = entry.handler() && close;
            if (!close) {
                event->ignore();
                return true;
            }
        }
        return false;
    }
};

class NotificationCenter : public toolkit::NotificationCenter {
public:
    void addWindowWillCloseObserver(const void* observer, toolkit::Window* window,
                                    std::function<bool()> handler) override {
        auto* shown = dynamic_cast<WindowWidget*>(window);
        if (!shown) return;
        shown->widget()->installEventFilter(&watcher_);
        watcher_.entries.push_back({observer, shown->widget(), std::move(handler)});
    }
    void removeObserver(const void* observer) override {
        std::erase_if(watcher_.entries, [&](const auto& e) { return e.observer == observer; });
    }

private:
    CloseWatcher watcher_;
};

class SystemLog : public toolkit::SystemLog {
public:
    SystemLog() {
        openlog("morvane-parcelor", LOG_PID, LOG_USER);
        // The engine's diagnostic lines ("error opendir ...") join the window's.
        engineSetDiagnosticSink([](const std::string& line) {
            const std::size_t end = line.find_last_not_of(" \n");
            syslog(LOG_INFO, "%s", line.substr(0, end == std::string::npos ? 0 : end + 1).c_str());
        });
    }
    ~SystemLog() override {
        engineSetDiagnosticSink(nullptr);
        closelog();
    }
    void log(const std::string& line) override { syslog(LOG_INFO, "%s", line.c_str()); }
};

class Threads : public toolkit::Threads {
public:
    // A run's threads end soon after it; waiting for them here keeps them from
    // outliving the window they report to.
    ~Threads() override { waitForAll(); }
    void waitForAll() {
        std::unique_lock lock(mutex_);
        ended_.wait_for(lock, std::chrono::seconds(30), [this] { return running_ == 0; });
    }
    void detachNewThread(std::function<void()> body) override {
        {
            std::lock_guard lock(mutex_);
            ++running_;
        }
        std::thread([this, body = std::move(body)] {
            body();
            std::lock_guard lock(mutex_);
            --running_;
            ended_.notify_all();
        }).detach();
    }
    std::unique_ptr<toolkit::RunLoop> currentRunLoop() override {
        return std::make_unique<toolkit::StdRunLoop>();
    }
    void performOnUiThread(std::function<void()> work) override {
        QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection);
    }
    void performOnUiThreadAfter(int milliseconds, std::function<void()> work) override {
        QTimer::singleShot(milliseconds, qApp, std::move(work));
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    int running_ = 0;
};

} // namespace

Toolkit::Toolkit()
    : workspace_(std::make_unique<Workspace>(*this)),
      notifications_(std::make_unique<NotificationCenter>()), log_(std::make_unique<SystemLog>()),
      threads_(std::make_unique<Threads>()) {}

Toolkit::~Toolkit() = default;

void Toolkit::waitForThreads() {
    static_cast<Threads&>(*threads_).waitForAll();
}

std::unique_ptr<toolkit::OpenPanel> Toolkit::openPanel() {
    return std::make_unique<OpenPanel>(*this, parent_.data());
}

std::unique_ptr<toolkit::Alert> Toolkit::alert() {
    return std::make_unique<Alert>(*this);
}

namespace {

// At most this many of a set's files are watched one by one (each takes an
// inotify watch); the folder itself always is.
constexpr std::size_t kMostWatchedFiles = 1024;

class FolderWatch : public toolkit::FolderWatch {
public:
    FolderWatch(const std::string& folder, const std::vector<std::string>& files,
                std::function<void()> changed) {
        watcher_.addPath(QString::fromStdString(folder));
        for (std::size_t i = 0; i < files.size() && i < kMostWatchedFiles; ++i)
            watcher_.addPath(QString::fromStdString(files[i]));
        QObject::connect(&watcher_, &QFileSystemWatcher::directoryChanged, &watcher_,
                         [changed](const QString&) { changed(); });
        QObject::connect(&watcher_, &QFileSystemWatcher::fileChanged, &watcher_,
                         [this, changed](const QString& path) {
                             // A file replaced by a rename drops out of the watch: watch it again.
                             if (!watcher_.files().contains(path) && QFileInfo::exists(path))
                                 watcher_.addPath(path);
                             changed();
                         });
    }

private:
    QFileSystemWatcher watcher_;
};

} // namespace

std::unique_ptr<toolkit::FolderWatch> Toolkit::watchFolder(const std::string& folder,
                                                           const std::vector<std::string>& files,
                                                           std::function<void()> changed) {
    return std::make_unique<FolderWatch>(folder, files, std::move(changed));
}

} // namespace qtkit
