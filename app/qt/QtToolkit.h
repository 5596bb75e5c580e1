#pragma once
// The toolkit layer implemented with Qt 6 Widgets. Tests and the screenshot
// tool reach the dialogs through the hooks below instead of real dialogs.

#include "app/toolkit/StdFileManager.h"
#include "app/toolkit/StdProcesses.h"
#include "app/toolkit/Toolkit.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>
#include <vector>

class QEventLoop;
class QWidget;

namespace qtkit {

// What an open panel was asked to do.
struct PanelRequest {
    std::string title;
    bool directories = false;
    bool files = true;
    bool createDirectories = false;
};

class Application : public toolkit::Application {
public:
    // Runs the window as a modal loop (a nested event loop) until stopModal.
    int runModalForWindow(toolkit::Window* window) override;
    void stopModal(int response) override;
    bool isActive() const override;
    // Called (from the event loop, once the loop runs) whenever a window starts
    // a modal loop; tests play the user here.
    std::function<void(toolkit::Window*)> onModal;

private:
    struct Frame {
        QEventLoop* loop = nullptr;
        bool stopped = false;
        int response = toolkit::kModalResponseStop;
    };
    std::vector<Frame*> frames_;
};

class Toolkit : public toolkit::Toolkit {
public:
    Toolkit();
    ~Toolkit() override;
    toolkit::Application& application() override { return app_; }
    toolkit::FileManager& fileManager() override { return files_; }
    toolkit::Workspace& workspace() override { return *workspace_; }
    toolkit::NotificationCenter& notificationCenter() override { return *notifications_; }
    toolkit::SystemLog& systemLog() override { return *log_; }
    toolkit::Threads& threads() override { return *threads_; }
    toolkit::Processes& processes() override { return processes_; }
    std::unique_ptr<toolkit::OpenPanel> openPanel() override;
    std::unique_ptr<toolkit::Alert> alert() override;
    std::unique_ptr<toolkit::FolderWatch> watchFolder(const std::string& folder,
                                                      const std::vector<std::string>& files,
                                                      std::function<void()> changed) override;

    Application& qtApplication() { return app_; }
    // Waits until the threads of the last run have ended.
    void waitForThreads();
    // The window that open panels and alerts belong to.
    void setParentWidget(QWidget* widget) { parent_ = widget; }

    // Hooks: when set, they take the place of the real dialog.
    std::function<std::optional<std::string>(const PanelRequest&)> openPanelHook;
    std::function<void(const std::string& message, const std::string& informative)> alertHook;
    // Answers a question in place of the user: kModalResponseOK or kModalResponseCancel.
    std::function<int(const std::string& message, const std::string& informative)> questionHook;
    // The index of the button chosen (runModalChoice).
    std::function<int(const std::string& message, const std::vector<std::string>& buttons)>
        choiceHook;
    std::function<void(const std::string& folder)> openFolderHook;
    std::function<void(const std::string& title, const std::string& body)> notifyHook;

private:
    Application app_;
    toolkit::StdFileManager files_;
    toolkit::StdProcesses processes_;
    std::unique_ptr<toolkit::Workspace> workspace_;
    std::unique_ptr<toolkit::NotificationCenter> notifications_;
    std::unique_ptr<toolkit::SystemLog> log_;
    std::unique_ptr<toolkit::Threads> threads_;
    QPointer<QWidget> parent_;
};

} // namespace qtkit
