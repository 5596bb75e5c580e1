#pragma once
// A seam under the file-system calls the engine's safety steps rest on, for
// the tests that must see those steps or cut in between a check and its use.
//
// How it works: a test executable that links the target parcelor_seam is
// linked with `--wrap` for openat, fsync, syncfs, renameat, renameat2, linkat,
// flock and unlinkat. Every call of them in that executable (the engine's and the
// test's own) then lands in this file's __wrap_ functions, which pass it on to
// the C library unchanged. The engine itself is not touched: its sources call
// libc as they always do, the programs are linked without the seam, and calls
// made inside shared libraries (libstdc++, OpenSSL) are not seen. Nor are the
// calls left out of the list: open (the folders the user gave, the manifest's
// load), mkdirat, fstatat, fstat.
//
// While a SeamRecording lives, each call made on the thread that started it
// is logged with what it names, and a test may have an action run right
// before the Nth such call that matches (say, swap a piece for another file
// before the join opens it to copy). The run's own steps are made on the
// caller's thread; the worker threads that hash pieces are left out, so what
// is logged, and when an action runs, does not depend on timing. Calls the
// action makes go straight to the C library, unlogged. Outside a recording
// the seam costs one atomic load per call.

#include <functional>
#include <string>
#include <vector>

enum class SeamCall { Openat, Fsync, Syncfs, Renameat, Renameat2, Linkat, Flock, Unlinkat };

struct SeamEvent {
    SeamCall call;
    // The entry acted on, as a full path: for openat, unlinkat and the
    // renames the folder descriptor's path joined with the name given (the
    // source of a rename); for fsync, syncfs and flock the path the
    // descriptor had at the call.
    std::string path;
    std::string to; // a rename's new full path
    // openat's flags, renameat2's flags, linkat's flags, flock's operation,
    // unlinkat's flags. A link's path is its new name (`to`: the same).
    int flags = 0;
    int result = 0;           // what the call returned
    int error = 0;            // errno after a failed call
    std::string name() const; // the path's last component
    // The last component of the path, or of a rename's new path, is `name`;
    // a `name` ending in '*' matches every name that begins with what is
    // before it.
    bool names(const std::string& name) const;
};

class SeamRecording {
public:
    // With `everyThread`, the calls of every thread are watched: for a step
    // made once per run on a thread the test did not start (the removal's
    // flush of the file system, say).
    explicit SeamRecording(bool everyThread = false);
    ~SeamRecording(); // stops recording and drops every action not yet run
    SeamRecording(const SeamRecording&) = delete;
    SeamRecording& operator=(const SeamRecording&) = delete;

    // Runs `action` once, with the call about to be made, right before the
    // `nth` (from 1) call of `call` that names `name` (as SeamEvent::names;
    // "" for any) and whose flags hold every bit of `flags`.
    void before(SeamCall call, const std::string& name, int nth,
                std::function<void(const SeamEvent&)> action, int flags = 0);
    // Makes the `nth` call that matches as `before` does fail with `error`,
    // without making it: a file system or a system that cannot do it.
    void refuse(SeamCall call, const std::string& name, int nth, int error, int flags = 0);
    // What was called so far, in order.
    std::vector<SeamEvent> events() const;
    // How many actions have run.
    int actionsRun() const;
};
