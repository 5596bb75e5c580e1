#pragma once
// One run of `parcelor`: its options, how it speaks and how it ends.
//
// Messages go to standard error, each starting with "parcelor: ", with names
// quoted as a shell would need them and control characters escaped, so that
// no name can forge a line. With --json, standard output carries one JSON
// object per line (docs/json.md), and every run, refused or not, ends with
// exactly one "done" line giving its exit status, the kind of its end and
// the reason.

#include "cli/CommandLine.h"
#include "cli/Progress.h"
#include "engine/base/run_context.h"
#include "engine/runs/removal_report.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Installs the handlers by which SIGINT, SIGTERM and SIGHUP stop the run.
void installSignalHandlers();
// The signal that asked for a stop, or 0.
int stopSignal();

// `name` as a shell would read it back: bare when it holds only safe
// characters, else in single quotes, with control characters as $'\n'.
std::string quotedName(const std::string& name);

class Session {
public:
    explicit Session(const CliOptions& options);
    const CliOptions& options() const { return options_; }
    // The context every engine run of this session takes: stopped by the
    // signals above, counting into the progress shown.
    RunContext& run() { return run_; }

    // Says `message` and keeps it, with `kind`, for the done line; returns
    // `status`.
    int fail(const std::string& message, const char* kind = "failed", int status = 1);
    // Says `message` unless -q or --json.
    void note(const std::string& message) const;
    // Says what the engine did on the side (a sweep of what stopped runs left,
    // an interrupted replacement finished), once.
    void engineNotes();
    // A stop before or during `what`: 128 + the signal.
    int cancelled(const char* what);
    // A stop that came once `what` could no longer stop: its result is in
    // place; the status still says it was stopped.
    int stoppedAfter(const char* what);
    // A run the engine ended with `failure`: a stop, or a failure with its reason.
    int runFailed(const char* what, const Failure& failure);
    // Says what a removal after the run did and kept (`failure` when it
    // failed); its exit status.
    int reportRemoval(const RemovalReport& report, const std::optional<Failure>& failure,
                      bool pieces);
    // A field of the done line (`value` is JSON text).
    void addDoneField(const std::string& name, const std::string& value);
    // The bytes a run shared with what it read and the bytes it wrote: the
    // done line's `shared` and `written`, and a note when some were shared.
    void reportSharing(int64_t shared, int64_t written);

    Progress makeProgress() const;
    // Runs `work` on an engine thread while `progress` is shown about ten
    // times a second, from what run() counts. The first event waits until
    // the run has counted its total, unless its total shows only at its end
    // (`totalKnownAhead` false: a stream).
    void runWithProgress(Progress& progress, const std::function<void()>& work,
                         bool totalKnownAhead = true);

    // Ends the run with `status`: the done line with --json; returns `status`.
    int finish(int status);

private:
    const CliOptions& options_;
    RunProgress counted_;
    RunContext run_;
    std::string kind_;
    std::string reason_;
    std::vector<Progress::Field> fields_;
};

// The path as the engine takes it: no trailing slashes, and a bare name as
// "./name", so that the engine, which takes the name after the last '/',
// sees it.
std::string operandPath(std::string path);
bool isFolderPath(const std::string& path);
