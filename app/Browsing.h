#pragma once
// A set shown in the desktop's file browser without joining it: a private
// folder made under $XDG_RUNTIME_DIR, the installed `parcelor mount` started
// on it (a password handed through a pipe, never an argument), and at the
// end `parcelor unmount` and the folder removed, if it is still the empty
// folder made. The calls that start programs block: mountSet runs on a
// worker thread.

#include "app/toolkit/System.h"

#include <cstdint>
#include <optional>
#include <string>

// The folder a set is mounted on, as it was made.
struct BrowseFolder {
    std::string path;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t mtimeSeconds = 0;
    int64_t mtimeNanoseconds = 0;
};

// The descriptor the mount reads the password from.
inline constexpr int kBrowsePasswordFd = 3;

// A new private folder (0700) under $XDG_RUNTIME_DIR; nothing, with the
// reason in `error`, when there is no such place or it cannot be made.
std::optional<BrowseFolder> makeBrowseFolder(std::string& error);

// Mounts the set `set` (a piece folder, or the first of numbered parts) on
// `folder`; its exit status 0 means the mount is up. `password` is the set's,
// "" for none.
toolkit::ProcessOutcome mountSet(toolkit::Processes& processes, const BrowseFolder& folder,
                                 const std::string& set, const std::string& password);

// Unmounts `folder` (when `mounted`) and removes it if it is still the empty
// folder made. False, with the reason in `error`, when the mount is still up.
bool endBrowsing(toolkit::Processes& processes, const BrowseFolder& folder, bool mounted,
                 std::string& error);
