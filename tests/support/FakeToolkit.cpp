#include "tests/support/FakeToolkit.h"

#include "app/toolkit/StdRunLoop.h"

#include <algorithm>

namespace fake {

void UiQueue::post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
    posted_.notify_all();
}

bool UiQueue::runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kHangBound;
    while (!done()) {
        std::function<void()> next;
        {
            std::unique_lock lock(mutex_);
            if (!posted_.wait_until(lock, deadline, [&] { return !work_.empty(); })) return false;
            next = std::move(work_.front());
            work_.pop_front();
        }
        next();
    }
    return true;
}

void UiQueue::drain() {
    for (;;) {
        std::function<void()> next;
        {
            std::lock_guard lock(mutex_);
            if (work_.empty()) return;
            next = std::move(work_.front());
            work_.pop_front();
        }
        next();
    }
}

std::string PopUpButton::title() const {
    return index_ >= 0 && index_ < static_cast<int>(items.size())
               ? items[static_cast<std::size_t>(index_)]
               : "";
}

int Application::runModalForWindow(toolkit::Window* window) {
    modalHistory.push_back(window);
    if (auto* shown = dynamic_cast<Showable*>(window)) shown->visible = true;
    Frame frame;
    frames_.push_back(&frame);
    if (auto user = users_.find(window); user != users_.end()) {
        auto play = user->second; // the user may re-script this window
        play();
    }
    if (!queue_.runUntil([&] { return frame.stopped; })) {
        hung = true;
        frame.response = toolkit::kModalResponseCancel;
    }
    frames_.pop_back();
    return frame.response;
}

void Application::stopModal(int response) {
    if (frames_.empty()) return;
    frames_.back()->stopped = true;
    frames_.back()->response = response;
}

void Application::whenModal(const toolkit::Window* window, std::function<void()> user) {
    users_[window] = std::move(user);
}

void Threads::detachNewThread(std::function<void()> body) {
    std::lock_guard lock(mutex_);
    if (!wrappers_.empty()) {
        Wrapper wrapper = std::move(wrappers_.front());
        wrappers_.pop_front();
        body = [wrapper = std::move(wrapper), inner = std::move(body)] { wrapper(inner); };
    }
    threads_.emplace_back(std::move(body));
}

std::unique_ptr<toolkit::RunLoop> Threads::currentRunLoop() {
    return std::make_unique<toolkit::StdRunLoop>();
}

void Threads::joinAll() {
    std::vector<std::thread> running;
    {
        std::lock_guard lock(mutex_);
        running.swap(threads_);
    }
    for (auto& thread : running)
        thread.join();
}

namespace {

class OpenPanel : public toolkit::OpenPanel {
public:
    explicit OpenPanel(Toolkit& owner) : owner_(owner) {}
    void setTitle(const std::string& title) override { shown_.title = title; }
    void setCanChooseDirectories(bool can) override { shown_.directories = can; }
    void setCanChooseFiles(bool can) override { shown_.files = can; }
    void setCanCreateDirectories(bool can) override { shown_.createDirectories = can; }
    void setAllowsMultipleSelection(bool allows) override { shown_.multiple = allows; }
    int runModal() override {
        owner_.panels.push_back(shown_);
        if (owner_.panelAnswers.empty()) return toolkit::kModalResponseCancel;
        auto [response, path] = owner_.panelAnswers.front();
        owner_.panelAnswers.pop_front();
        path_ = path;
        return response;
    }
    std::string path() const override { return path_; }

private:
    Toolkit& owner_;
    PanelShown shown_;
    std::string path_;
};

class Alert : public toolkit::Alert {
public:
    explicit Alert(Toolkit& owner) : owner_(owner) {}
    void beginSheetModalForWindow(toolkit::Window* window, const std::string& message,
                                  const std::string& button,
                                  const std::string& informative) override {
        owner_.alerts.push_back({window, message, button, informative});
    }
    int runModalQuestion(toolkit::Window* window, const std::string& message,
                         const std::string& informative, const std::string& confirm,
                         const std::string& /*cancel*/) override {
        owner_.alerts.push_back({window, message, confirm, informative, true});
        if (owner_.questionAnswers.empty()) return owner_.defaultQuestionAnswer;
        const int answer = owner_.questionAnswers.front();
        owner_.questionAnswers.pop_front();
        return answer;
    }
    int runModalChoice(toolkit::Window* window, const std::string& message,
                       const std::string& informative,
                       const std::vector<std::string>& buttons) override {
        std::string shown;
        for (const std::string& button : buttons)
            shown += (shown.empty() ? "" : "|") + button;
        owner_.alerts.push_back({window, message, shown, informative, true});
        if (owner_.choiceAnswers.empty()) return static_cast<int>(buttons.size()) - 1;
        const int answer = owner_.choiceAnswers.front();
        owner_.choiceAnswers.pop_front();
        return answer;
    }

private:
    Toolkit& owner_;
};

} // namespace

toolkit::ProcessOutcome Processes::run(const std::string& program,
                                       const std::vector<std::string>& arguments, int secretFd,
                                       const std::string& secret) {
    std::lock_guard<std::mutex> lock(mutex_);
    runs_.push_back({program, arguments, secretFd, secret});
    if (answers_.empty()) return {true, 0, ""};
    toolkit::ProcessOutcome outcome = std::move(answers_.front());
    answers_.pop_front();
    return outcome;
}

std::vector<Processes::Run> Processes::runs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return runs_;
}

void Processes::answer(toolkit::ProcessOutcome outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(std::move(outcome));
}

Toolkit::Toolkit() = default;

std::unique_ptr<toolkit::OpenPanel> Toolkit::openPanel() {
    return std::make_unique<OpenPanel>(*this);
}
std::unique_ptr<toolkit::Alert> Toolkit::alert() {
    return std::make_unique<Alert>(*this);
}

namespace {
struct FolderWatch : toolkit::FolderWatch {
    explicit FolderWatch(std::shared_ptr<Toolkit::Watched> w) : watched(std::move(w)) {}
    ~FolderWatch() override { watched->alive = false; }
    std::shared_ptr<Toolkit::Watched> watched;
};
} // namespace

std::unique_ptr<toolkit::FolderWatch> Toolkit::watchFolder(const std::string& folder,
                                                           const std::vector<std::string>& paths,
                                                           std::function<void()> changed) {
    auto watched = std::make_shared<Watched>(Watched{folder, paths, std::move(changed)});
    watches.push_back(watched);
    return std::make_unique<FolderWatch>(watched);
}

void Toolkit::folderChanged(const std::string& folder) {
    const auto live = watches;
    for (const auto& watched : live)
        if (watched->alive && watched->folder == folder) watched->changed();
}

bool Toolkit::logged(const std::string& line) {
    std::lock_guard lock(logImpl.mutex);
    return std::find(logImpl.lines.begin(), logImpl.lines.end(), line) != logImpl.lines.end();
}

bool Toolkit::postWindowWillClose(const toolkit::Window* window) {
    bool close = true;
    for (auto& entry : notifications.entries) {
        if (entry.window == window) close = entry.handler() && close;
    }
    return close;
}

bool Toolkit::Workspace::openFolder(const std::string& path) {
    owner.openedFolders.push_back(path);
    return true;
}

void Toolkit::Notifications::addWindowWillCloseObserver(const void* observer,
                                                        toolkit::Window* window,
                                                        std::function<bool()> handler) {
    entries.push_back({observer, window, std::move(handler)});
}

void Toolkit::Notifications::removeObserver(const void* observer) {
    std::erase_if(entries, [&](const Entry& e) { return e.observer == observer; });
}

void Toolkit::Log::log(const std::string& line) {
    std::lock_guard lock(mutex);
    lines.push_back(line);
}

} // namespace fake
