#pragma once
// The process-wide state the published entry points keep for their callers:
// the stop request (engineRequestCancel), the three progress counters and the
// last failure and notes (errors.h). Runs themselves keep none of it; a
// published entry point gives its run a context tied to this state, and hands
// the run's failure and notes over when it ends.

#include "engine/base/run_context.h"
#include "engine/compat/errors.h"

#include <atomic>

const std::atomic<bool>& publishedStopFlag();
RunProgress& publishedProgress();

// Keeps the run's failure as the last error and its notes as the notes.
void publishRun(RunContext& run);

// A run of a published entry point: clears the last error when it starts,
// and publishes the run's failure and notes when it ends.
class PublishedRun {
public:
    PublishedRun() : context_(&publishedStopFlag(), &publishedProgress()) { engineClearError(); }
    ~PublishedRun() { publishRun(context_); }
    PublishedRun(const PublishedRun&) = delete;
    PublishedRun& operator=(const PublishedRun&) = delete;
    RunContext& context() { return context_; }

private:
    RunContext context_;
};
