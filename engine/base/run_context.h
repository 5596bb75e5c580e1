#pragma once
// What one run of the engine (a split, a join, a check, a removal) carries
// with it: the stop request it honours, where it counts its progress, the
// first failure it met and the notes it has for the user. Every run takes
// its context from the caller, so two runs may share a process, each with
// its own; the engine keeps no state of a run anywhere else.
//
// Failures come back as values (Failure, Result<T>): what kind of failure it
// was, for callers that act on it, and the text, path and errno for people.

#include "engine/base/failure.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// "cannot <step> <path>: <the system's text for error>".
std::string errnoReason(const char* step, const std::string& path, int error);

// The kind of a failure the system reported with `error`: NoSpace for a full
// file system or quota, TooLarge for a file or name past the system's limits,
// SystemError for anything else.
EngineFailure kindOfErrno(int error);

struct Failure {
    EngineFailure kind = EngineFailure::Other;
    // For people: the step, the path and the system's error text, as in
    // "cannot write /media/usb/movie_spt/movie_3.spt: No space left on device".
    std::string reason;
    std::string path; // the path at fault, when the failure has one
    int error = 0;    // the system's errno, when the system refused
};

// A value, or the failure that stopped it from being made.
template <class T> class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Failure failure) : state_(std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const Failure& failure() const { return std::get<1>(state_); }

private:
    std::variant<T, Failure> state_;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : failure_(std::move(failure)) {}

    bool ok() const { return !failure_; }
    explicit operator bool() const { return ok(); }
    const Failure& failure() const { return *failure_; }

private:
    std::optional<Failure> failure_;
};

// What a run is doing: moving bytes, or waiting for the file system to write
// them to disk (a flush before the result is put in place or anything is
// removed; it counts no bytes, and can take a while).
// Copying moves the bytes; the other phases, at the end, move none.
enum class RunPhase : int { Copying = 0, WritingToDisk = 1, FinishingChecksums = 2 };

// A run's progress: bytes done of the expected total, and when it started.
// Written by the run's threads, read by any thread.
struct RunProgress {
    std::atomic<int64_t> total{0};
    std::atomic<int64_t> done{0};
    std::atomic<int64_t> startSeconds{0}; // calendar time
    std::atomic<RunPhase> phase{RunPhase::Copying};

    void start();
    void setTotal(int64_t bytes) { total.store(bytes, std::memory_order_relaxed); }
    void add(int64_t bytes) { done.fetch_add(bytes, std::memory_order_relaxed); }
};

class RunContext;

// Runs `body` (which returns R); an exception ends the run as a failure
// ("<what> ran out of memory", "<what> could not go on: ..."), never the
// process.
template <class R, class Body> R runGuarded(RunContext& run, const std::string& what, Body&& body);

class RunContext {
public:
    // `stop` is the flag a stop request sets (a signal handler, a Cancel
    // button); `progress` is where the run counts its bytes. Either may be
    // null: the run then cannot be stopped, or counts nowhere. Both must
    // outlive the run.
    explicit RunContext(const std::atomic<bool>* stop = nullptr, RunProgress* progress = nullptr)
        : stop_(stop), progress_(progress) {}
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;

    // Stop requests. stopIfRequested keeps a Cancelled failure when one came.
    bool stopRequested() const { return stop_ && stop_->load(std::memory_order_relaxed); }
    const std::atomic<bool>* stopFlag() const { return stop_; }
    bool stopIfRequested();

    // Progress; a run starts its counters when it starts.
    void startProgress();
    void setTotalBytes(int64_t bytes);
    void addDoneBytes(int64_t bytes);
    void enterPhase(RunPhase phase);

    // The first failure is kept; later ones are dropped. Safe from any thread.
    //   return run.fail(EngineFailure::NotASet, "the manifest of x is damaged", path);
    // keeps the failure and gives back the one kept, so a run that returns a
    // Result ends in one expression.
    Failure fail(EngineFailure kind, std::string reason, std::string path = {}, int error = 0);
    void fail(std::string reason, EngineFailure kind = EngineFailure::Other);
    void fail(Failure failure);
    // fail("cannot <step> <path>: <strerror(error)>") with the path and errno,
    // of the kind the errno gives (kindOfErrno).
    void failErrno(const char* step, const std::string& path, int error);
    // fail(reason), for a check that refuses: always false.
    bool refuse(std::string reason, EngineFailure kind = EngineFailure::Other);
    bool failed() const;
    EngineFailure failureKind() const;
    // The failure kept, or a generic one when the run failed without saying why.
    Failure failure() const;
    // Clears what an earlier run on this context kept.
    void clearFailure();

    // Things the run did on the side that the user should hear of once, such
    // as "removed what 2 stopped runs left (85 MB)".
    void note(std::string text);
    std::vector<std::string> takeNotes();

    // The failure as a value: `value` when the run met none.
    template <class T> Result<T> result(T value) const {
        if (failed()) return failure();
        return Result<T>(std::move(value));
    }
    Result<void> result() const {
        if (failed()) return failure();
        return {};
    }

private:
    const std::atomic<bool>* stop_;
    RunProgress* progress_;
    mutable std::mutex mutex_;
    std::optional<Failure> failure_;
    std::vector<std::string> notes_;
};

template <class R, class Body> R runGuarded(RunContext& run, const std::string& what, Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        run.fail(what + " ran out of memory");
    } catch (const std::exception& e) {
        run.fail(what + " could not go on: " + e.what());
    }
    return run.failure();
}
