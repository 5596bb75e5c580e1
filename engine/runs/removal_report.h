#pragma once
// What a removal after a run removed, and what it left, and why.

#include <cstdint>
#include <string>
#include <vector>

struct RemovalReport {
    int64_t removed = 0; // files removed
    // Entries left in place that the set does not hold (hidden items, folders
    // that were empty from the start, special files, links, anything added
    // since), relative to the source folder or the piece folder. A folder the
    // set holds nothing of is named once, not with its content.
    std::vector<std::string> notHeld;
    // Files the set holds that were kept because they changed since the run
    // read them (or could not be examined).
    std::vector<std::string> changed;
    // Unchanged files the system would not let go: "name (its reason)".
    std::vector<std::string> failed;
    // A stop was asked for: the removal ended between two files, and this
    // many files it was to remove were left as they were.
    bool stopped = false;
    int64_t notReached = 0;
};
