#include "engine/compat/errors.h"

#include "engine/compat/published.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

std::mutex gMutex;
std::string gLastError;
EngineFailure gLastFailure = EngineFailure::None;
std::vector<std::string> gNotes;
std::atomic<bool> gCancel{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

} // namespace

namespace {

void toStandardOutput(const std::string& line) {
    std::fputs(line.c_str(), stdout);
}

std::atomic<DiagnosticSink> gSink{toStandardOutput};

} // namespace

void engineSetDiagnosticSink(DiagnosticSink sink) {
    gSink.store(sink, std::memory_order_relaxed);
}

void engineDiagnostic(const std::string& line) {
    if (DiagnosticSink sink = gSink.load(std::memory_order_relaxed)) sink(line);
}

void engineRequestCancel() {
    gCancel.store(true, std::memory_order_relaxed);
}

void engineResetCancel() {
    gCancel.store(false, std::memory_order_relaxed);
}

const std::atomic<bool>& publishedStopFlag() {
    return gCancel;
}

void publishRun(RunContext& run) {
    if (run.failed()) {
        const Failure failure = run.failure();
        engineFail(failure.reason, failure.kind);
    }
    for (std::string& note : run.takeNotes())
        engineNote(std::move(note));
}

bool engineCancelRequested() {
    return gCancel.load(std::memory_order_relaxed);
}

bool engineStopIfCancelled() {
    if (!engineCancelRequested()) return false;
    engineFail("cancelled", EngineFailure::Cancelled);
    return true;
}

std::string engineLastError() {
    std::lock_guard lock(gMutex);
    return gLastError;
}

void engineClearError() {
    std::lock_guard lock(gMutex);
    gLastError.clear();
    gLastFailure = EngineFailure::None;
}

void engineFail(const std::string& message, EngineFailure kind) {
    std::lock_guard lock(gMutex);
    if (!gLastError.empty()) return;
    gLastError = message;
    gLastFailure = kind;
}

EngineFailure engineLastFailure() {
    std::lock_guard lock(gMutex);
    return gLastFailure;
}

void engineNote(const std::string& note) {
    std::lock_guard lock(gMutex);
    gNotes.push_back(note);
}

std::vector<std::string> engineTakeNotes() {
    std::lock_guard lock(gMutex);
    return std::exchange(gNotes, {});
}

void engineFailErrno(const char* step, const std::string& path, int error) {
    engineFail(errnoReason(step, path, error));
}
