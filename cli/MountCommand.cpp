// parcelor mount [-f] PIECE_FOLDER MOUNTPOINT, parcelor unmount MOUNTPOINT

#include "cli/Commands.h"

#include "cli/Password.h"
#include "mount/fuse_mount.h"
#include "mount/set_view.h"

#include <cstdio>
#include <memory>

#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// A view keeps every piece open for its life: as many descriptors as the
// system lets this process have.
void raiseDescriptorLimit() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
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
    const std::string set = operandPath(o.operands[0]);
    const std::string mountpoint = o.operands[1];
    raiseDescriptorLimit();
    MountOptions options;
    options.requireChecksums = o.requireChecksums;
    options.password = [&o](MountPassword& out, RunContext& run) {
        return givePassword(o, out, run);
    };
    std::unique_ptr<SetView> view = SetView::build(set, options, s.run());
    s.engineNotes();
    if (!view) return s.runFailed("mount", s.run().failure());
    if (stopSignal() != 0) return s.cancelled("mount");
    for (int32_t i = 0; i < view->pieceCount(); ++i) {
        const std::string problem = view->pieceProblem(i);
        if (!problem.empty())
            s.note("piece " + std::to_string(i) + " " + problem +
                   ": reads of its bytes will fail (EIO)");
    }
    if (!view->fullCheck())
        s.note(quotedName(set) + " has no checksum files: its pieces are served with the quick "
                                 "check only (their length and first bytes)");
    // A daemon has no terminal: what it finds goes to the system log.
    if (!o.foreground) {
        openlog("parcelor", LOG_PID, LOG_USER);
        view->setReporter([](const std::string& text) {
            std::string line; // no name can forge a line of the log
            for (const char c : text) {
                const auto byte = static_cast<unsigned char>(c);
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\%03o", byte);
                line += byte < 0x20 || byte == 0x7f ? std::string(escaped) : std::string(1, c);
            }
            syslog(LOG_WARNING, "%s", line.c_str());
        });
    }
    ServeOptions serve;
    serve.foreground = o.foreground;
    serve.mounted = [&] { s.note("mounted " + quotedName(set) + " on " + quotedName(mountpoint)); };
    std::string error;
    if (!serveView(*view, mountpoint, serve, error)) return s.fail(error);
    return 0;
}

int unmountCommand(Session& s) {
    const std::string mountpoint = s.options().operands[0];
    std::string error;
    if (!unmountView(mountpoint, error)) return s.fail(error);
    return 0;
}
