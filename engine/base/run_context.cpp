#include "engine/base/run_context.h"

#include <cstring>
#include <ctime>

void RunProgress::start() {
    done.store(0, std::memory_order_relaxed);
    phase.store(RunPhase::Copying, std::memory_order_relaxed);
    startSeconds.store(static_cast<int64_t>(std::time(nullptr)), std::memory_order_relaxed);
}

bool RunContext::stopIfRequested() {
    if (!stopRequested()) return false;
    fail("cancelled", EngineFailure::Cancelled);
    return true;
}

void RunContext::startProgress() {
    if (progress_) progress_->start();
}

void RunContext::setTotalBytes(int64_t bytes) {
    if (progress_) progress_->setTotal(bytes);
}

void RunContext::addDoneBytes(int64_t bytes) {
    if (progress_) progress_->add(bytes);
}

void RunContext::enterPhase(RunPhase phase) {
    if (progress_) progress_->phase.store(phase, std::memory_order_relaxed);
}

void RunContext::fail(std::string reason, EngineFailure kind) {
    fail(Failure{kind, std::move(reason), {}, 0});
}

void RunContext::fail(Failure failure) {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::move(failure);
}

std::string errnoReason(const char* step, const std::string& path, int error) {
    char text[256] = {};
    const char* reason = strerror_r(error, text, sizeof text);
    return std::string("cannot ") + step + " " + path + ": " + reason;
}

void RunContext::failErrno(const char* step, const std::string& path, int error) {
    fail(Failure{EngineFailure::Other, errnoReason(step, path, error), path, error});
}

bool RunContext::refuse(std::string reason, EngineFailure kind) {
    fail(std::move(reason), kind);
    return false;
}

bool RunContext::failed() const {
    std::lock_guard lock(mutex_);
    return failure_.has_value();
}

EngineFailure RunContext::failureKind() const {
    std::lock_guard lock(mutex_);
    return failure_ ? failure_->kind : EngineFailure::None;
}

Failure RunContext::failure() const {
    std::lock_guard lock(mutex_);
    if (failure_) return *failure_;
    return Failure{EngineFailure::Other, "the run failed", {}, 0};
}

void RunContext::clearFailure() {
    std::lock_guard lock(mutex_);
    failure_.reset();
}

void RunContext::note(std::string text) {
    std::lock_guard lock(mutex_);
    notes_.push_back(std::move(text));
}

std::vector<std::string> RunContext::takeNotes() {
    std::lock_guard lock(mutex_);
    return std::exchange(notes_, {});
}
