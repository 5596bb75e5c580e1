#pragma once
// A SetView served read-only through the kernel's FUSE (libfuse3's low-level
// API): lookups, attributes, folders, reads and links from the view; every
// write refused (EROFS). Nothing changes while mounted, so the kernel keeps
// entries, attributes and pages for long.

#include "mount/set_view.h"

#include <cerrno>
#include <functional>
#include <string>

struct ServeOptions {
    bool foreground = false; // else a daemon, once the mount is up
    // Said once the mount is up, before a daemon leaves the terminal.
    std::function<void()> mounted;
    // Called in the process that serves (a daemon's, after its fork) before
    // the first request is answered.
    std::function<void()> serving;
    // A stop the caller heard before its handlers gave way to the mount's:
    // then nothing is mounted.
    std::function<bool()> stopRequested;
};

// Mounts `view` at `mountpoint` and serves it until it is unmounted or a
// stop request (SIGINT, SIGTERM, SIGHUP) comes, then unmounts. False, with
// the reason in `error`, when the mount could not be made (or was stopped
// before it was up: the view's stopWasRequested() says so); a daemon's parent
// returns from here only in that case (it exits 0 once the mount is up).
bool serveView(SetView& view, const std::string& mountpoint, const ServeOptions& options,
               std::string& error);

// A mount point whose FUSE daemon is gone answers ENOTCONN to whatever the
// kernel must ask it (ECONNABORTED to what was asked as it died); the file
// system's figures are never kept, so statvfs asks.
inline bool isStaleMountError(int error) {
    return error == ENOTCONN || error == ECONNABORTED;
}
bool isStaleMount(const std::string& mountpoint);

// Unmounts a mount of this program at `mountpoint` (as `fusermount3 -u`
// does). False, with the reason in `error`, when it could not be.
bool unmountView(const std::string& mountpoint, std::string& error);
