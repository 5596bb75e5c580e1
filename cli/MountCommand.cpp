// parcelor mount [-f] PIECE_FOLDER MOUNTPOINT, parcelor unmount MOUNTPOINT

#include "cli/Commands.h"

#include "mount/fuse_mount.h"
#include "mount/set_view.h"

#include <memory>

#include <sys/resource.h>

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

} // namespace

int mountCommand(Session& s) {
    const CliOptions& o = s.options();
    const std::string set = operandPath(o.operands[0]);
    const std::string mountpoint = o.operands[1];
    raiseDescriptorLimit();
    MountOptions options;
    options.requireChecksums = o.requireChecksums;
    std::unique_ptr<SetView> view = SetView::build(set, options, s.run());
    s.engineNotes();
    if (!view) return s.runFailed("mount", s.run().failure());
    if (stopSignal() != 0) return s.cancelled("mount");
    if (!view->fullCheck())
        s.note(quotedName(set) + " has no checksum files: its pieces are served with the quick "
                                 "check only (their length and first bytes)");
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
