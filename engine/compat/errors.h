#pragma once
// The reason of the engine's last failure, kept for the front ends to show.
//
// Every run (split, join, inspection, removal) clears it when it starts and
// keeps the first failure it meets: the step, the path and the system's error
// text, for example "cannot write /media/usb/movie_spt/movie_3.spt: No space
// left on device". Safe to read from any thread.

#include "engine/base/failure.h"

#include <string>
#include <vector>

// Asks the run in progress (split, join, full check) to stop. It stops within
// one copy step (at most a few MiB), removes what it made, and returns -1 with
// the reason "cancelled". Safe to call from any thread and from a signal
// handler. The request stays until engineResetCancel, which a front end calls
// before it starts a run.
void engineRequestCancel();
void engineResetCancel();
bool engineCancelRequested();
// Used by the runs between steps: true (and the reason "cancelled" kept)
// when a stop was asked for.
bool engineStopIfCancelled();

// The engine's diagnostic lines (such as "error opendir <path> \n") go to
// the sink a front end sets: standard output unless it sets another; a null
// sink drops them. Set it before any run starts.
using DiagnosticSink = void (*)(const std::string& line);
void engineSetDiagnosticSink(DiagnosticSink sink);
void engineDiagnostic(const std::string& line);

// The reason of the last run's first failure; "" when it met none.
std::string engineLastError();

EngineFailure engineLastFailure();

// Things a run did on the side that the user should hear of once, such as
// "removed what 2 stopped runs left (85 MB)". Kept across runs until taken.
void engineNote(const std::string& note);
std::vector<std::string> engineTakeNotes();

// Used by the engine's runs.
void engineClearError();
// Keeps `message` unless a reason is already kept for this run.
void engineFail(const std::string& message, EngineFailure kind = EngineFailure::Other);
// engineFail("cannot <step> <path>: <strerror(error)>").
void engineFailErrno(const char* step, const std::string& path, int error);
