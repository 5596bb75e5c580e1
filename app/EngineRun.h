#pragma once
// What every run the window starts on an engine thread carries: its own stop
// request (the progress window's Cancel), the progress it counts, the context
// the engine runs in, and why it failed. The engine thread writes `failure`
// before it publishes its result through `done`.

#include "app/RunCompletion.h"
#include "engine/base/run_context.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>

// Overwrites a password a run was given, once the run no longer needs it.
inline void forgetSecret(std::string& secret) {
    std::fill(secret.begin(), secret.end(), '\0');
    secret.clear();
}

class EngineRun {
public:
    EngineRun() = default;
    EngineRun(const EngineRun&) = delete;
    EngineRun& operator=(const EngineRun&) = delete;
    virtual ~EngineRun() = default;

    // Does the run on the calling thread (the engine thread) and publishes
    // its result through `done`.
    virtual void execute() = 0;

    std::atomic<bool> stop{false};
    RunProgress progress;
    RunContext context{&stop, &progress};
    std::optional<Failure> failure; // written before `done`
    RunCompletion done;

    EngineFailure failureKind() const { return failure ? failure->kind : EngineFailure::None; }
    std::string reason() const { return failure ? failure->reason : std::string(); }
    // Publishes the end of the run: the failure first, then the result.
    template <class T> void finish(const Result<T>& result) {
        if (!result) failure = result.failure();
        done.publish(result ? 0 : -1);
    }
};
