#pragma once
// The reason of the engine's last failure, kept for the front ends to show.
//
// Every run (split, join, inspection, removal) clears it when it starts and
// keeps the first failure it meets: the step, the path and the system's error
// text, for example "cannot write /media/usb/movie_spt/movie_3.spt: No space
// left on device". Safe to read from any thread.

#include <string>

// The reason of the last run's first failure; "" when it met none.
std::string engineLastError();

// Used by the engine's runs.
void engineClearError();
// Keeps `message` unless a reason is already kept for this run.
void engineFail(const std::string& message);
// engineFail("cannot <step> <path>: <strerror(error)>").
void engineFailErrno(const char* step, const std::string& path, int error);
