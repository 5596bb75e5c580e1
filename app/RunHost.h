#pragma once
// Starts and watches every run of the window, a split, a join, a full check
// or a repair, all the same way: the run on an engine thread of its own, a
// timer on a progress thread that shows the run's progress every tick, the
// progress window in its modal loop (its Cancel, Escape and close button stop
// the run), and, once the run has ended, the completion window with what the
// run's kind says of it. A run kind gives the run (EngineRun::execute is what
// the engine thread does) and how it is shown (RunDisplay).

#include "app/EngineRun.h"
#include "app/FSWindow.h"
#include "app/toolkit/Toolkit.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// The progress and completion windows' outlets (not owned).
struct RunWindows {
    FSWindow* progressWindow = nullptr;
    toolkit::TextField* proTitle = nullptr;
    toolkit::TextField* percentLabel = nullptr;
    toolkit::ProgressIndicator* progress = nullptr;
    toolkit::TextField* progressDetail = nullptr; // bytes done of total, rate, time left
    toolkit::Button* progressCancelBtn = nullptr;
    FSWindow* completeWindow = nullptr;
    toolkit::TextField* completeTitle = nullptr;
    toolkit::TextField* completeDetail = nullptr; // why a run failed, what a removal kept
};

// What the completion window says of a run that has ended, and what the
// run's side does around it (on the UI thread): before the window shows,
// and once it is closed.
struct RunEnd {
    const char* title = "";
    std::string detail;
    std::function<void()> beforeCompletion;
    std::function<void()> afterCompletion;
};

// How a run shows in the windows.
struct RunDisplay {
    const char* title = "";   // the progress window's: "Splitting..."
    std::string outputFolder; // what the completion window's Open Folder shows
    // Progress thread, every tick, before the end is looked for; may be empty.
    std::function<void()> onTick;
    // UI thread, once the run has ended.
    std::function<RunEnd()> onEnd;
};

// The completion title of a run that failed with `kind`: cancelled, or failed.
inline const char* failedTitle(EngineFailure kind, const char* failed, const char* cancelled) {
    return kind == EngineFailure::Cancelled ? cancelled : failed;
}

class RunHost {
public:
    explicit RunHost(toolkit::Toolkit& toolkit) : tk_(toolkit) {}
    RunHost(const RunHost&) = delete;
    RunHost& operator=(const RunHost&) = delete;

    // `window` is the main window: it is told when a run ends unseen, and
    // closed when the user asked to during the run.
    void connect(toolkit::Window* window, const RunWindows& windows);

    // Starts `run` on an engine thread and the progress timer on another,
    // and stays in the progress window's modal loop until the run has ended
    // (and in the completion window's until the user closes it).
    void start(std::shared_ptr<EngineRun> run, RunDisplay display);
    // Makes `run` the one the progress window shows and its Cancel stops,
    // and starts its clock, without starting it: what start does first.
    void prepare(std::shared_ptr<EngineRun> run, RunDisplay display);
    // One tick of the progress timer (progress thread): the progress shown,
    // and once the run has ended, the completion handed to the UI thread.
    void tick();

    // The progress window's Cancel, Escape and close button.
    void cancel();
    // The user closes the main window during the run: it is cancelled, and
    // the window closes once it has stopped.
    void cancelAndClose();
    // A run has started and not ended.
    bool running() const { return running_; }
    bool closingAfterRun() const { return closeAfterRun_; }
    // Gives the progress window the keyboard again.
    void focusProgress();
    // The completion window's Done.
    void closeCompletion();
    // The folder the last run wrote into, or read ("" before any).
    const std::string& outputFolder() const { return outputFolder_; }

private:
    void runTimer(); // progress thread, until the run has ended
    void stopTimer();
    void showProgress(const EngineRun& run);
    void runProgressWindow(const char* title);
    void complete(); // UI thread, once the run has ended

    toolkit::Toolkit& tk_;
    toolkit::Window* window_ = nullptr;
    RunWindows w_;
    std::mutex timerMutex_; // guards timer_ between progress threads
    std::shared_ptr<toolkit::Timer> timer_;
    bool running_ = false;       // UI thread
    bool closeAfterRun_ = false; // the user closed the window during the run
    std::string outputFolder_;
    std::chrono::steady_clock::time_point started_; // for the rate and the time left
    // The run in progress, or the last one, and how it shows: set on the UI
    // thread before its threads start, replaced only once it has ended.
    std::shared_ptr<EngineRun> run_;
    RunDisplay display_;
};
