// parcelor mount [-f] PIECE_FOLDER MOUNTPOINT, parcelor mount --status MOUNTPOINT,
// parcelor unmount MOUNTPOINT

#include "cli/Commands.h"

#include "cli/Password.h"
#include "mount/fuse_mount.h"
#include "mount/mount_state.h"
#include "mount/set_view.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// How long `unmount` waits for the mount's process to end.
constexpr int kMountEndLimitMs = 10000;

// A view keeps every piece open for its life: as many descriptors as the
// system lets this process have.
void raiseDescriptorLimit() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string staleMountText(const std::string& mountpoint) {
    return quotedName(mountpoint) +
           " is a stale mount of a stopped parcelor: clear it with parcelor unmount " +
           quotedName(mountpoint);
}

int statusCommand(Session& s, const std::string& mountpoint) {
    std::string text, error;
    const bool stale = isStaleMount(mountpoint);
    if (!readMountState(mountpoint, text, error))
        return s.fail(stale ? staleMountText(mountpoint) : error);
    if (stale) text += "stale: its mount was stopped; clear it with parcelor unmount\n";
    std::fputs(text.c_str(), stdout);
    return 0;
}

// The password of a set that needs one, read as the join reads it, or from
// the descriptor --password-fd names.
bool givePassword(const CliOptions& o, MountPassword& out, RunContext& run) {
    if (!o.passwordFile && !o.passwordPrompt && !o.passwordFd && isatty(STDIN_FILENO) != 1)
        return run.fail(EngineFailure::Other,
                        "the set needs its password: give --password-file, --password-prompt "
                        "or --password-fd"),
               false;
    PasswordText text;
    std::string error;
    const PasswordRead read = readPassword(o, false, text, error);
    if (read == PasswordRead::Stopped)
        return run.fail(EngineFailure::Cancelled, "the mount was stopped"), false;
    if (read == PasswordRead::Failed) return run.fail(EngineFailure::Other, error), false;
    out.password = std::move(text.password);
    out.withCarriageReturn = std::move(text.withCarriageReturn);
    return true;
}

} // namespace

int mountCommand(Session& s) {
    const CliOptions& o = s.options();
    if (o.status) return statusCommand(s, o.operands[0]);
    const std::string set = operandPath(o.operands[0]);
    const std::string mountpoint = o.operands[1];
    if (isStaleMount(mountpoint)) return s.fail(staleMountText(mountpoint));
    raiseDescriptorLimit();
    MountOptions options;
    options.requireChecksums = o.requireChecksums;
    if (o.setName) options.name = *o.setName;
    options.password = [&o](MountPassword& out, RunContext& run) {
        return givePassword(o, out, run);
    };
    std::unique_ptr<SetView> view = SetView::open(set, options, s.run());
    s.engineNotes();
    if (!view) return s.runFailed("mount", s.run().failure());
    if (stopSignal() != 0) return s.cancelled("mount");
    for (int32_t i = 0; i < view->pieceCount(); ++i) {
        const std::string problem = view->pieceProblem(i);
        if (!problem.empty())
            s.note("piece " + std::to_string(i) + " " + problem +
                   ": reads of its bytes will fail (EIO)");
        else if (view->pieceRebuilt(i))
            s.note("piece " + std::to_string(i) + " is rebuilt from the recovery pieces");
    }
    if (!view->fullCheck())
        s.note(quotedName(set) + " has no checksum files: its pieces are served with the quick "
                                 "check only (their length and first bytes)");
    // A daemon has no terminal: what it finds goes to the system log.
    if (!o.foreground) {
        openlog("parcelor", LOG_PID, LOG_USER);
        view->setReporter([](const std::string& text) { // no name can forge a line of the log
            syslog(LOG_WARNING, "%s", escapedLine(text).c_str());
        });
    }
    // What the mount finds is kept for `mount --status`; without a private
    // place for it, the mount goes on and says so.
    MountState state;
    std::string error;
    const std::string whole = mountPointPath(mountpoint);
    const bool kept = !whole.empty() && state.prepare(whole, resolvedPath(set), error);
    if (!kept && !error.empty()) s.note(error);
    if (kept) view->setChangeListener([&] { state.write(*view); });
    ServeOptions serve;
    serve.foreground = o.foreground;
    serve.mounted = [&] {
        if (kept) state.write(*view);
        s.note("mounted " + quotedName(set) + " on " + quotedName(mountpoint));
    };
    serve.serving = [&] { // the state names the process that serves
        if (kept) state.write(*view);
    };
    serve.stopRequested = [] { return stopSignal() != 0; };
    const bool served = serveView(*view, mountpoint, serve, error);
    const bool stopped = !served && (stopSignal() != 0 || view->stopWasRequested());
    view->stop(); // nothing writes the state after it is removed
    // The set let go of (its lock, its pieces) before the state goes:
    // `unmount` waits for the state to go.
    view.reset();
    state.remove();
    if (stopped) return s.cancelled("mount");
    if (!served) return s.fail(error);
    if (!error.empty()) s.note(error); // it was up, and ended badly
    return 0;
}

int unmountCommand(Session& s) {
    const std::string mountpoint = s.options().operands[0];
    const pid_t serving = isStaleMount(mountpoint) ? 0 : mountProcess(mountpoint);
    std::string error;
    if (!unmountView(mountpoint, error)) return s.fail(error);
    if (serving == 0) { // a killed mount left its state behind
        clearMountState(mountpoint);
        return 0;
    }
    // Done when the mount's process is: its set is no longer held, and a
    // split that replaces it may follow at once.
    const MountEnd end =
        awaitMountEnd(mountpoint, serving, kMountEndLimitMs, [] { return stopSignal() != 0; });
    if (end == MountEnd::Stopped) return s.cancelled("unmount");
    if (end == MountEnd::StillEnding)
        s.note("unmounted " + quotedName(mountpoint) + "; its process " + std::to_string(serving) +
               " is still ending and holds its set until it has");
    return 0;
}
