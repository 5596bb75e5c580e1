#include "app/RunHost.h"

#include "app/Texts.h"
#include "core/SplitArithmetic.h"

#include <cstdio>

void RunHost::connect(toolkit::Window* window, const RunWindows& windows) {
    window_ = window;
    w_ = windows;
}

void RunHost::prepare(std::shared_ptr<EngineRun> run, RunDisplay display) {
    run_ = std::move(run);
    display_ = std::move(display);
    outputFolder_ = display_.outputFolder;
    running_ = true;
    closeAfterRun_ = false;
    started_ = std::chrono::steady_clock::now();
}

void RunHost::start(std::shared_ptr<EngineRun> run, RunDisplay display) {
    prepare(run, std::move(display));
    // The engine thread gets the run and nothing else of the window's.
    tk_.threads().detachNewThread([run] { run->execute(); });
    tk_.threads().detachNewThread([this] { runTimer(); });
    runProgressWindow(display_.title);
}

void RunHost::runTimer() {
    std::unique_ptr<toolkit::RunLoop> loop = tk_.threads().currentRunLoop();
    {
        std::lock_guard lock(timerMutex_);
        if (!timer_) timer_ = loop->scheduledTimer(kProgressInterval, [this] { tick(); });
    }
    loop->run();
    tk_.systemLog().log("start the timer progress");
}

void RunHost::stopTimer() {
    std::lock_guard lock(timerMutex_);
    if (timer_) timer_->invalidate();
    timer_.reset();
}

void RunHost::tick() {
    // Set by the UI thread before this thread started; replaced only after this run ends.
    if (!run_) return;
    if (display_.onTick) display_.onTick();
    showProgress(*run_);
    if (!run_->done.finished()) return;
    stopTimer();
    tk_.threads().performOnUiThread([this] { complete(); });
}

void RunHost::showProgress(const EngineRun& run) {
    const int64_t done = run.progress.done.load(std::memory_order_relaxed);
    const int64_t total = run.progress.total.load(std::memory_order_relaxed);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    // The last steps move no bytes (the flush, the checksums' tail): each is
    // a step of its own, not a frozen 100%.
    const RunPhase phase = run.progress.phase.load(std::memory_order_relaxed);
    const bool finishing = phase != RunPhase::Copying;
    const int64_t percent = finishing ? 100 : progressPercent(done, total);
    const std::string detail = finishing ? phaseText(phase) : progressText(done, total, seconds);
    tk_.threads().performOnUiThread([this, percent, detail] {
        w_.progressDetail->setStringValue(detail);
        w_.progress->setDoubleValue(static_cast<double>(percent));
        char text[32];
        std::snprintf(text, sizeof text, "%d%%", static_cast<int>(percent));
        w_.percentLabel->setStringValue(text);
    });
}

void RunHost::runProgressWindow(const char* title) {
    w_.proTitle->setStringValue(title);
    w_.progress->setDoubleValue(0);
    w_.percentLabel->setStringValue("0%");
    w_.progressDetail->setStringValue("");
    w_.progressCancelBtn->setEnabled(true);
    w_.progressWindow->center();
    w_.progressWindow->makeKeyWindow();
    w_.progress->startAnimation();
    w_.progress->setHidden(false);
    tk_.application().runModalForWindow(w_.progressWindow);
}

void RunHost::complete() {
    const RunEnd end = display_.onEnd ? display_.onEnd() : RunEnd{};
    w_.progress->setDoubleValue(100);
    w_.percentLabel->setStringValue("100%");
    if (end.beforeCompletion) end.beforeCompletion();
    tk_.application().stopModal();
    running_ = false;
    if (closeAfterRun_) {
        // The user asked to close during the run: it has stopped, so the window goes.
        w_.progressWindow->orderOut();
        window_->performClose();
        return;
    }
    // A user who went elsewhere during a long run hears that it ended.
    if (!tk_.application().isActive()) tk_.workspace().notify(window_, end.title, end.detail);
    w_.completeTitle->setStringValue(end.title);
    w_.completeWindow->setTitle(end.title); // a failure is not titled as a success
    // A cancelled run needs no reason, but what it left behind; what the
    // engine did on the side (leftovers of stopped runs removed) is said once.
    std::string shown = run_->context.failureKind() == EngineFailure::Cancelled
                            ? std::string(kCancelledDetail)
                            : end.detail;
    for (const std::string& note : run_->context.takeNotes())
        shown.append(shown.empty() ? "" : "\n").append(sentenceOf(note));
    w_.completeDetail->setStringValue(shown);
    w_.completeDetail->setHidden(shown.empty());
    w_.progressWindow->orderOut();
    w_.completeWindow->center();
    w_.completeWindow->makeKeyWindow();
    tk_.application().runModalForWindow(w_.completeWindow);
    if (end.afterCompletion) end.afterCompletion();
}

void RunHost::cancel() {
    if (run_) run_->stop.store(true, std::memory_order_relaxed);
    w_.progressCancelBtn->setEnabled(false);
    w_.proTitle->setStringValue(kCancellingTitle);
}

void RunHost::cancelAndClose() {
    closeAfterRun_ = true;
    cancel();
}

void RunHost::focusProgress() {
    w_.progressWindow->makeKeyWindow();
}

void RunHost::closeCompletion() {
    tk_.application().stopModal();
    w_.completeWindow->orderOut();
}
