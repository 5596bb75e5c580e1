#pragma once
// A fake of the toolkit layer for tests. Every control records its state;
// modal loops run posted UI work and a test's scripted user, so a test can
// play the user inside any dialog; nothing sleeps, and a loop that waits far
// longer than any run needs gives up and records a hang.

#include "app/toolkit/StdFileManager.h"
#include "app/toolkit/Toolkit.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fake {

inline constexpr std::chrono::seconds kHangBound{60};

// The UI thread's queue of posted work. The test's own thread is the UI thread.
class UiQueue {
public:
    void post(std::function<void()> work);
    // Runs posted work until `done` holds or the hang bound passes; false on a hang.
    bool runUntil(const std::function<bool()>& done);
    // Runs whatever is queued now.
    void drain();

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> work_;
};

template <class Base> class ControlOf : public Base {
public:
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_; }
    void setHidden(bool hidden) override { hidden_ = hidden; }
    bool isHidden() const override { return hidden_; }

private:
    bool enabled_ = true;
    bool hidden_ = false;
};

template <class Base> class TextFieldOf : public ControlOf<Base> {
public:
    void setStringValue(const std::string& text) override { text_ = text; }
    std::string stringValue() const override { return text_; }

private:
    std::string text_;
};

using TextField = TextFieldOf<toolkit::TextField>;
using SecureTextField = TextFieldOf<toolkit::SecureTextField>;

class Button : public ControlOf<toolkit::Button> {
public:
    int state() const override { return state_; }
    void setState(int state) override { state_ = state; }
    void setTitle(const std::string& title) override { title_ = title; }
    std::string title() const override { return title_; }

private:
    int state_ = 0;
    std::string title_;
};

class RadioGroup : public ControlOf<toolkit::RadioGroup> {
public:
    int selectedTag() const override { return tag; }
    void selectTag(int t) override { tag = t; }
    int tag = 1;
};

class PopUpButton : public ControlOf<toolkit::PopUpButton> {
public:
    void selectItemAtIndex(int index) override { index_ = index; }
    int indexOfSelectedItem() const override { return index_; }
    std::string title() const override;
    void setItemTitles(const std::vector<std::string>& titles) override {
        items = titles;
        index_ = 0;
    }
    std::vector<std::string> items{"KB", "MB", "GB"};

private:
    int index_ = 0;
};

class ProgressIndicator : public ControlOf<toolkit::ProgressIndicator> {
public:
    void startAnimation() override { animating = true; }
    void setDoubleValue(double v) override { value = v; }
    bool animating = false;
    double value = 0;
};

class TableView : public ControlOf<toolkit::TableView> {
public:
    void reloadData() override { ++reloads; }
    void setDataSource(toolkit::TableDataSource* source) override { dataSource = source; }
    void registerForDraggedTypes(const std::string& type) override { draggedTypes.push_back(type); }
    int64_t rows() const { return dataSource->numberOfRowsInTableView(this); }
    toolkit::CellValue cell(const std::string& column, int64_t row) const {
        return dataSource->tableView_objectValueForTableColumn_row(this, column, row);
    }
    toolkit::TableDataSource* dataSource = nullptr;
    std::vector<std::string> draggedTypes;
    int reloads = 0;
};

class View : public toolkit::View {
public:
    void setHidden(bool h) override { hidden = h; }
    bool hidden = false;
};

// Lets the fake modal loop show any fake window.
struct Showable {
    virtual ~Showable() = default;
    bool visible = false;
};

template <class Base> class WindowOf : public Base, public Showable {
public:
    void setTitle(const std::string& t) override { title = t; }
    void center() override { ++centered; }
    void makeKeyWindow() override { key = true; }
    void orderOut() override {
        visible = false;
        key = false;
    }
    void performClose() override { ++closeRequests; }
    int closeRequests = 0;
    void setContentView(toolkit::View* view) override { contentView = view; }
    bool isVisible() const override { return visible; }
    std::string title;
    bool key = false;
    int centered = 0;
    toolkit::View* contentView = nullptr;
};
using Window = WindowOf<toolkit::Window>;

class Application : public toolkit::Application {
public:
    explicit Application(UiQueue& queue) : queue_(queue) {}
    int runModalForWindow(toolkit::Window* window) override;
    void stopModal(int response) override;
    bool isActive() const override { return active; }
    bool active = true;

    // Plays the user each time `window` runs modally, inside its loop.
    void whenModal(const toolkit::Window* window, std::function<void()> user);
    std::vector<const toolkit::Window*> modalHistory;
    bool hung = false;

private:
    struct Frame {
        bool stopped = false;
        int response = toolkit::kModalResponseStop;
    };
    UiQueue& queue_;
    std::vector<Frame*> frames_;
    std::map<const toolkit::Window*, std::function<void()>> users_;
};

struct PanelShown {
    std::string title;
    bool directories = false, files = true, createDirectories = false, multiple = false;
};

using FileManager = toolkit::StdFileManager;

class Threads : public toolkit::Threads {
public:
    explicit Threads(UiQueue& queue) : queue_(queue) {}
    ~Threads() override { joinAll(); }
    void detachNewThread(std::function<void()> body) override;
    std::unique_ptr<toolkit::RunLoop> currentRunLoop() override;
    void performOnUiThread(std::function<void()> work) override { queue_.post(std::move(work)); }
    // Delayed work waits in `later` until a test lets the time pass.
    void performOnUiThreadAfter(int milliseconds, std::function<void()> work) override {
        later.emplace_back(milliseconds, std::move(work));
    }
    // The delayed work posted so far runs, as if its time had passed.
    void letTimePass() {
        auto due = std::move(later);
        later.clear();
        for (auto& [ms, work] : due)
            work();
    }
    std::vector<std::pair<int, std::function<void()>>> later;
    // The next thread started runs its body through `wrapper`, so a test can
    // act before or after it.
    using Wrapper = std::function<void(const std::function<void()>& body)>;
    void wrapNextThread(Wrapper wrapper) { wrappers_.push_back(std::move(wrapper)); }
    // The next thread started waits for `go` before it runs its body.
    void holdNextThreadUntil(std::shared_future<void> go) {
        wrapNextThread([go](const std::function<void()>& body) {
            go.wait();
            body();
        });
    }
    // Waits for every thread started so far.
    void joinAll();

private:
    UiQueue& queue_;
    std::mutex mutex_;
    std::vector<std::thread> threads_;
    std::deque<Wrapper> wrappers_;
};

// The programs started: each run is recorded, and answered with the next
// scripted outcome (with none left, an exit status 0).
class Processes : public toolkit::Processes {
public:
    struct Run {
        std::string program;
        std::vector<std::string> arguments;
        int secretFd = -1;
        std::string secret;
    };
    std::string findProgram(const std::string& name) override { return "/opt/fake/bin/" + name; }
    toolkit::ProcessOutcome run(const std::string& program,
                                const std::vector<std::string>& arguments, int secretFd,
                                const std::string& secret) override;
    std::vector<Run> runs() const;
    void answer(toolkit::ProcessOutcome outcome);

private:
    mutable std::mutex mutex_;
    std::vector<Run> runs_;
    std::deque<toolkit::ProcessOutcome> answers_;
};

struct AlertShown {
    const toolkit::Window* window;
    std::string message, button, informative;
    bool question = false;
};

class Toolkit : public toolkit::Toolkit {
public:
    Toolkit();
    toolkit::Application& application() override { return app; }
    toolkit::FileManager& fileManager() override { return files; }
    toolkit::Workspace& workspace() override { return workspaceImpl; }
    toolkit::NotificationCenter& notificationCenter() override { return notifications; }
    toolkit::SystemLog& systemLog() override { return logImpl; }
    toolkit::Threads& threads() override { return threadsImpl; }
    toolkit::Processes& processes() override { return processesImpl; }
    std::unique_ptr<toolkit::OpenPanel> openPanel() override;
    std::unique_ptr<toolkit::Alert> alert() override;
    // The watches kept: a test plays a change by calling `changed`.
    struct Watched {
        std::string folder;
        std::vector<std::string> files;
        std::function<void()> changed;
        bool alive = true;
    };
    std::unique_ptr<toolkit::FolderWatch> watchFolder(const std::string& folder,
                                                      const std::vector<std::string>& paths,
                                                      std::function<void()> changed) override;
    // The folder changed: the live watches of it hear it.
    void folderChanged(const std::string& folder);
    std::vector<std::shared_ptr<Watched>> watches;

    // The user's answers to the next open panels: OK with a path, or cancel.
    void answerPanel(const std::string& path) {
        panelAnswers.emplace_back(toolkit::kModalResponseOK, path);
    }
    void cancelPanel() { panelAnswers.emplace_back(toolkit::kModalResponseCancel, ""); }
    // The user's answers to the next questions; with none left, the default.
    std::deque<int> questionAnswers;
    int defaultQuestionAnswer = toolkit::kModalResponseCancel;
    // The buttons chosen in the next choices (their index); with none left, the last.
    std::deque<int> choiceAnswers;
    bool logged(const std::string& line);
    // The user closes `window`; false when something kept it open.
    bool postWindowWillClose(const toolkit::Window* window);

    UiQueue ui;
    Application app{ui};
    FileManager files;
    Threads threadsImpl{ui};
    Processes processesImpl;
    std::deque<std::pair<int, std::string>> panelAnswers;
    std::vector<PanelShown> panels;
    std::vector<AlertShown> alerts;
    std::vector<std::string> openedFolders;
    std::vector<std::string> desktopNotifications; // "title: body" of each desktop notification

    struct Workspace : toolkit::Workspace {
        explicit Workspace(Toolkit& o) : owner(o) {}
        bool openFolder(const std::string& path) override;
        void notify(toolkit::Window*, const std::string& title, const std::string& body) override {
            owner.desktopNotifications.push_back(title + ": " + body);
        }
        Toolkit& owner;
    } workspaceImpl{*this};
    struct Notifications : toolkit::NotificationCenter {
        void addWindowWillCloseObserver(const void* observer, toolkit::Window* window,
                                        std::function<bool()> handler) override;
        void removeObserver(const void* observer) override;
        struct Entry {
            const void* observer;
            const toolkit::Window* window;
            std::function<bool()> handler;
        };
        std::vector<Entry> entries;
    } notifications;
    struct Log : toolkit::SystemLog {
        void log(const std::string& line) override;
        std::mutex mutex;
        std::vector<std::string> lines;
    } logImpl;
};

} // namespace fake
