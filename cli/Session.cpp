#include "cli/Session.h"

#include "core/RemovalSummary.h"
#include "core/SizeLabels.h"
#include "core/SplitArithmetic.h"
#include "engine/base/utilities.h"
#include "engine/compat/errors.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <thread>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Set from a signal handler, which may run on any of the run's threads: the
// one state of a process that a handler can reach.
std::atomic<int> gSignal{0};
std::atomic<bool> gStop{false};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void onSignal(int signal) {
    gSignal.store(signal, std::memory_order_relaxed);
    gStop.store(true, std::memory_order_relaxed);
}

// `text` with its control characters escaped, so that a message is one line.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : bytesOf(text)) {
        if (c >= 0x20 && c != 0x7f) {
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\%03o", c);
            out += escaped;
        }
    }
    return out;
}

void say(const std::string& message) {
    std::fprintf(stderr, "parcelor: %s\n", printable(message).c_str());
}

} // namespace

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

int stopSignal() {
    return gSignal.load(std::memory_order_relaxed);
}

std::string quotedName(const std::string& name) {
    bool plain = !name.empty();
    for (unsigned char c : bytesOf(name)) {
        plain =
            plain &&
            ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
             std::string_view("_./:,+@%=-").find(static_cast<char>(c)) != std::string_view::npos);
    }
    if (plain) return name;
    std::string out = "'";
    for (unsigned char c : bytesOf(name)) {
        if (c == '\'') {
            out += "'\\''";
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[16];
            if (c == '\n')
                std::snprintf(escaped, sizeof escaped, "'$'\\n''");
            else if (c == '\t')
                std::snprintf(escaped, sizeof escaped, "'$'\\t''");
            else
                std::snprintf(escaped, sizeof escaped, "'$'\\%03o''", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

int Session::fail(const std::string& message, const char* kind, int status) {
    say(message);
    if (reason_.empty()) {
        reason_ = message;
        kind_ = kind;
    }
    return status;
}

void Session::note(const std::string& message) const {
    if (!options_.quiet && !options_.json) say(message);
}

Session::Session(const CliOptions& options) : options_(options), run_(&gStop, &counted_) {}

void Session::engineNotes() {
    for (const std::string& text : run_.takeNotes())
        note(text);
}

int Session::cancelled(const char* what) {
    say(std::string(what) + " cancelled");
    reason_ = "cancelled";
    kind_ = "cancelled";
    return 128 + stopSignal();
}

int Session::stoppedAfter(const char* what) {
    say(std::string("the ") + what + " was complete when the stop came");
    reason_ = "stopped after the " + std::string(what) + " was complete";
    kind_ = "cancelled";
    return 128 + stopSignal();
}

int Session::runFailed(const char* what, const Failure& failure) {
    if (stopSignal() != 0) return cancelled(what);
    const std::string& reason = failure.reason;
    const char* kind = "failed";
    switch (failure.kind) {
    case EngineFailure::ChecksumsDamaged:
        kind = "checksums-damaged";
        break;
    case EngineFailure::NoChecksums:
        kind = "no-checksums";
        break;
    case EngineFailure::Cancelled:
        kind = "cancelled";
        break;
    case EngineFailure::WrongPassword:
        kind = "wrong-password";
        break;
    default:
        break;
    }
    return fail(std::string(what) + " failed: " + (reason.empty() ? "unknown reason" : reason),
                kind);
}

int Session::reportRemoval(const RemovalReport& report, const std::optional<Failure>& failure,
                           bool pieces) {
    engineNotes();
    const std::string summary = removalSummary(report, pieces);
    if (report.stopped) {
        // A stop between two files: say what went and what stayed.
        say(removalStoppedText(report, pieces));
        reason_ = "the removal was stopped";
        kind_ = "cancelled";
        return stopSignal() != 0 ? 128 + stopSignal() : 1;
    }
    if (failure) return fail("nothing was removed: " + failure->reason);
    if (stopSignal() != 0) {
        if (!summary.empty()) note(summary);
        return stoppedAfter("removal");
    }
    if (!report.failed.empty()) return fail(summary); // a removal that failed is a failure
    if (!summary.empty()) note(summary);
    return 0;
}

void Session::addDoneField(const std::string& name, const std::string& value) {
    fields_.emplace_back(name, value);
}

void Session::reportSharing(int64_t shared, int64_t written) {
    addDoneField("shared", std::to_string(shared));
    addDoneField("written", std::to_string(written));
    if (shared > 0)
        note(withBinaryUnits("shared " + roundedSize(shared) +
                             " of blocks with what it read, wrote " + roundedSize(written)));
}

Progress Session::makeProgress() const {
    return Progress(!options_.quiet && !options_.json && isatty(STDERR_FILENO) == 1, options_.json);
}

void Session::runWithProgress(Progress& progress, const std::function<void()>& work,
                              bool totalKnownAhead) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    // A second run of one command counts afresh: its first event shows its own total.
    counted_.total.store(0, std::memory_order_relaxed);
    counted_.done.store(0, std::memory_order_relaxed);
    std::thread engine([&] {
        work();
        std::lock_guard lock(mutex);
        done = true;
        finished.notify_all();
    });
    bool shown = false; // the first event is shown once the total is known
    const auto tick = [&] {
        // Before the run has counted its total there is nothing true to show.
        if (totalKnownAhead && counted_.total.load(std::memory_order_relaxed) == 0) return;
        shown = true;
        progress.tick(counted_.done.load(std::memory_order_relaxed),
                      counted_.total.load(std::memory_order_relaxed),
                      counted_.phase.load(std::memory_order_relaxed));
    };
    tick();
    {
        std::unique_lock lock(mutex);
        // Until the first event, the total is looked for often: it comes
        // within moments of the start.
        while (!finished.wait_for(lock, std::chrono::milliseconds(shown ? 100 : 5),
                                  [&] { return done; })) {
            lock.unlock();
            // A stop lands on this thread; the engine's may be blocked in a
            // call that only a signal of its own ends (a write to a pipe
            // nobody reads), and hears of the stop once it returns.
            if (const int signal = stopSignal(); signal != 0)
                pthread_kill(engine.native_handle(), signal);
            tick();
            lock.lock();
        }
    }
    // A run over before its first event still shows one.
    if (!shown) tick();
    engine.join();
    progress.clear();
}

int Session::finish(int status) {
    if (!options_.json) return status;
    const std::string kind = status == 0 ? "ok" : kind_.empty() ? "failed" : kind_;
    std::string line = "{\"event\":\"done\",\"version\":1,\"exit\":" + std::to_string(status) +
                       ",\"kind\":" + Progress::quoted(kind) +
                       ",\"reason\":" + Progress::quoted(status == 0 ? "" : reason_);
    for (const auto& [name, value] : fields_)
        line += ",\"" + name + "\":" + value;
    std::printf("%s}\n", line.c_str());
    return status;
}

std::string operandPath(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.find('/') == std::string::npos) path = "./" + path;
    return path;
}

bool isFolderPath(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
