#pragma once
// What a running mount has found, kept where `parcelor mount --status` reads
// it: one file a mount point in this user's private state folder
// ($XDG_RUNTIME_DIR/parcelor, else /run/user/UID when it is there and this
// user's), the folder 0700 and each file 0600, put in place whole. The file
// is named by the SHA-256 of the mount point's whole path and begins with
// that path; the mount removes it when it ends, `parcelor unmount` when its
// daemon was killed.
//
// Only state this user made steers anything: a runtime folder, state folder
// or file of another owner, open to others, or that is (or lies behind) a
// symbolic link is refused with a message and never read or written.

#include "mount/set_view.h"

#include <functional>
#include <mutex>
#include <string>

#include <sys/types.h>

// The whole path of `mountpoint`, every link resolved, also when the mount
// point itself is a stale mount (its folder resolved, then its name); "" when
// it cannot be resolved.
std::string mountPointPath(const std::string& mountpoint);

// Line `text` with every control byte written \ooo: no name forges a line.
std::string escapedLine(const std::string& text);

// The state file of one mount, written by its process.
class MountState {
public:
    // Ready to keep the state of the mount of `set` at the whole path
    // `mountpoint`; false, with the reason in `error`, when there is no
    // private place for it (the mount goes on without).
    bool prepare(const std::string& mountpoint, const std::string& set, std::string& error);
    // Writes what `view` has found now (from any thread).
    void write(const SetView& view);
    // Removes the file, if it is still the one this process wrote.
    void remove();

private:
    std::mutex mutex_;
    std::string name_;   // the file in it
    std::string header_; // its first lines: the mount point and the set
    bool written_ = false;
};

// What the mount at `mountpoint` has found, as its state file says it;
// false, with the reason in `error`, when no trusted state is there.
bool readMountState(const std::string& mountpoint, std::string& text, std::string& error);

// The process serving the mount at `mountpoint`, as its trusted state says;
// 0 when none is known.
pid_t mountProcess(const std::string& mountpoint);

enum class MountEnd { Ended, StillEnding, Stopped };

// Waits, at most `limitMs` or until `stopped` says so, for `process`, which
// served the mount at `mountpoint`, to end. It takes its state away as the
// last thing it does, after it let go of the set; a process gone without
// doing so (killed) has its state cleared here.
MountEnd awaitMountEnd(const std::string& mountpoint, pid_t process, int limitMs,
                       const std::function<bool()>& stopped);

// Removes the state left by a mount at `mountpoint` whose process is gone.
// Nothing that is not this user's own state is touched.
void clearMountState(const std::string& mountpoint);
