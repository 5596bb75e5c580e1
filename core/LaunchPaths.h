#pragma once
// What the window does with the paths it is started with
// (`morvane-parcelor [PATH...]`, and "Open with" from a file manager).

#include <string>
#include <vector>

struct LaunchPlan {
    std::string splitSource;           // the last file, or folder without a set
    std::string pieceSet;              // the last set: a manifest's folder
    std::vector<std::string> refusals; // "Cannot open PATH: reason"
};

// A file goes to the split side; a manifest, or a folder holding one, to the
// join side; any other folder to the split side. The last of each kind wins.
// A relative path is taken against `workingFolder` (the process's own when
// empty), so what the plan names is always absolute.
LaunchPlan planLaunchPaths(const std::vector<std::string>& paths,
                           const std::string& workingFolder = {});

// `path` against `workingFolder` when it is relative, with "." components and
// a trailing slash dropped; ".." is kept, since a link may stand before it.
std::string absoluteLaunchPath(const std::string& path, const std::string& workingFolder);
