#pragma once
// What the command line says while a run goes on: a line on the terminal,
// redrawn in place at most ten times a second, or one JSON object per line on
// standard output, or nothing.

#include "engine/base/run_context.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class Progress {
public:
    // `terminal`: standard error is a terminal and -q was not given.
    Progress(bool terminal, bool json) : terminal_(terminal), json_(json) {}

    // A JSON field: a name and its value, already a JSON text.
    using Field = std::pair<std::string, std::string>;
    static std::string quoted(const std::string& text);

    void start(const std::string& command, const std::vector<Field>& fields);
    // Called about ten times a second while the run goes on.
    void tick(int64_t done, int64_t total, RunPhase phase = RunPhase::Copying);
    // Takes the progress line off the terminal once the run has ended.
    void clear();

private:
    bool terminal_;
    bool json_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};
