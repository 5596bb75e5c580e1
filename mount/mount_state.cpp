#include "mount/mount_state.h"

#include "engine/base/digest.h"
#include "engine/fs/safe_fs.h"
#include "engine/fs/target_writer.h"
#include "mount/fuse_mount.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kStateFolderName = "parcelor";
constexpr mode_t kPrivateFolder = 0700;
constexpr mode_t kPrivateFile = 0600;
// A state file names two paths and a line a piece.
constexpr std::size_t kStateLimit = std::size_t{4} << 20;

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The folder this user's runtime state lives in, or "" with the reason.
std::string runtimeFolder(std::string& error) {
    const char* given = std::getenv("XDG_RUNTIME_DIR");
    if (given && given[0] == '/') return withoutTrailingSlashes(given);
    const std::string fallback = "/run/user/" + std::to_string(getuid());
    struct stat st {};
    if (lstat(fallback.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid())
        return fallback;
    error = "no state of mounts is kept: XDG_RUNTIME_DIR is not set and " + fallback +
            " is not this user's folder";
    return {};
}

// The state folder, opened when it is this user's own and private; made
// first when `create`. Empty, with the reason in `error`, otherwise.
FileDescriptor openStateFolder(bool create, std::string& shown, std::string& error) {
    const std::string runtime = runtimeFolder(error);
    if (runtime.empty()) return {};
    shown = runtime + "/" + kStateFolderName;
    if (resolvedPath(runtime) != runtime) {
        error = "the runtime folder " + runtime +
                " lies behind a symbolic link: its mount state is not used";
        return {};
    }
    FileDescriptor base(open(runtime.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!base || fstat(base.get(), &st) != 0) {
        error = "cannot open the runtime folder " + runtime + ": " + std::strerror(errno);
        return {};
    }
    if (st.st_uid != getuid() || (st.st_mode & 022) != 0) {
        error = "the runtime folder " + runtime +
                " is not this user's own: its mount state is not used";
        return {};
    }
    if (create && mkdirat(base.get(), kStateFolderName, kPrivateFolder) != 0 && errno != EEXIST) {
        error = "cannot make " + shown + ": " + std::strerror(errno);
        return {};
    }
    FileDescriptor folder(
        openat(base.get(), kStateFolderName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) {
        const int why = errno;
        error = why == ENOENT ? "no mount has kept its state in " + shown
                : why == ELOOP || why == ENOTDIR
                    ? shown + " is a symbolic link or no folder: it is not used"
                    : "cannot open " + shown + ": " + std::strerror(why);
        return {};
    }
    if (fstat(folder.get(), &st) != 0 || st.st_uid != getuid() || (st.st_mode & 077) != 0) {
        error = shown + " is not this user's private folder: it is not used";
        return {};
    }
    return folder;
}

std::string stateNameOf(const std::string& wholePath) {
    Sha256Digest digest;
    digest.update(wholePath.data(), wholePath.size());
    return digest.finishHex() + ".state";
}

// The state file `name` when it is a regular file of this user's with one link.
std::optional<std::string> readOwnState(int folderFd, const std::string& name) {
    return readSmallFileAt(folderFd, name.c_str(), kStateLimit, true);
}

std::string headerOf(const std::string& wholePath) {
    return "mount point: " + escapedLine(wholePath) + "\n";
}

} // namespace

std::string mountPointPath(const std::string& mountpoint) {
    std::string whole = resolvedPath(mountpoint);
    if (!whole.empty() || !isStaleMountError(errno)) return whole;
    // A stale mount cannot be looked at; its folder can.
    const std::string path = withoutTrailingSlashes(mountpoint);
    const std::size_t slash = path.rfind('/');
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return {};
    whole = resolvedPath(parent);
    if (whole.empty()) return {};
    return (whole == "/" ? "" : whole) + "/" + name;
}

std::string escapedLine(const std::string& text) {
    std::string line;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\%03o", byte);
            line += escaped;
        } else {
            line += c;
        }
    }
    return line;
}

bool MountState::prepare(const std::string& mountpoint, const std::string& set,
                         std::string& error) {
    std::string shown;
    if (!openStateFolder(true, shown, error)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = stateNameOf(mountpoint);
    header_ = headerOf(mountpoint) + "set: " + escapedLine(set) + "\n";
    return true;
}

void MountState::write(const SetView& view) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (name_.empty()) return;
    const std::vector<SetView::PieceStatus> pieces = view.pieceStatuses();
    std::size_t checked = 0;
    std::string failed, rebuilt;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const SetView::PieceStatus& piece = pieces[i];
        if (piece.check == CheckState::Good || piece.check == CheckState::Failed) ++checked;
        if (!piece.problem.empty())
            failed += "  piece " + std::to_string(i) + " " + escapedLine(piece.problem) + "\n";
        if (piece.rebuilt) rebuilt += "  piece " + std::to_string(i) + "\n";
    }
    std::string text = header_ + "process: " + std::to_string(getpid()) + "\n";
    text += view.fullCheck()
                ? "check: full (each piece against SHA256SUMS before any byte of it is served)\n"
                : "check: quick only (the set has no checksum files: each piece's length and "
                  "first bytes)\n";
    text += "pieces checked: " + std::to_string(checked) + " of " + std::to_string(pieces.size()) +
            "\n";
    text += failed.empty() ? "pieces failed: none\n" : "pieces failed (not served):\n" + failed;
    text += rebuilt.empty() ? "pieces rebuilt: none\n" : "pieces rebuilt:\n" + rebuilt;
    std::string shown, error;
    const FileDescriptor folder = openStateFolder(false, shown, error);
    if (folder && replaceSmallFile(folder.get(), name_, text, kPrivateFile)) written_ = true;
}

void MountState::remove() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!written_) return;
    std::string shown, error;
    const FileDescriptor folder = openStateFolder(false, shown, error);
    if (folder) unlinkat(folder.get(), name_.c_str(), 0);
    written_ = false;
}

bool readMountState(const std::string& mountpoint, std::string& text, std::string& error) {
    const std::string whole = mountPointPath(mountpoint);
    if (whole.empty()) {
        error = "cannot use the mount point " + mountpoint + ": " + std::strerror(errno);
        return false;
    }
    std::string shown;
    const FileDescriptor folder = openStateFolder(false, shown, error);
    if (!folder) return false;
    const std::string name = stateNameOf(whole);
    std::optional<std::string> read = readOwnState(folder.get(), name);
    if (!read) {
        const int why = errno;
        error = why == ENOENT ? "no mount of parcelor's is known at " + whole
                : why == EPERM || why == ELOOP
                    ? "the state of the mount at " + whole + " (" + shown + "/" + name +
                          ") is not this user's own file: it is not used"
                    : "cannot read the state of the mount at " + whole + ": " + std::strerror(why);
        return false;
    }
    struct stat st {};
    if (fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        (st.st_mode & 077) != 0) {
        error = "the state of the mount at " + whole + " is open to others: it is not used";
        return false;
    }
    if (read->rfind(headerOf(whole), 0) != 0) {
        error = "the state kept for " + whole + " names another mount point: it is not used";
        return false;
    }
    text = std::move(*read);
    return true;
}

pid_t mountProcess(const std::string& mountpoint) {
    std::string text, error;
    if (!readMountState(mountpoint, text, error)) return 0;
    const std::string key = "\nprocess: ";
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return 0;
    const char* digits = text.c_str() + at + key.size();
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(digits, &end, 10);
    if (errno != 0 || end == digits || *end != '\n' || pid <= 0 || pid > INT32_MAX) return 0;
    return static_cast<pid_t>(pid);
}

MountEnd awaitMountEnd(const std::string& mountpoint, pid_t process, int limitMs,
                       const std::function<bool()>& stopped) {
    constexpr int kStepMs = 5;
    for (int waited = 0;; waited += kStepMs) {
        errno = 0;
        const pid_t named = mountProcess(mountpoint);
        // Its state gone, or another mount's now; a state that cannot be
        // read for a moment (no descriptor to spare) is looked at again.
        if (named != process && (named != 0 || errno == ENOENT)) return MountEnd::Ended;
        // Gone without taking its state away (it was killed): the state is
        // cleared here.
        if (named == process && kill(process, 0) != 0 && errno == ESRCH) {
            clearMountState(mountpoint);
            return MountEnd::Ended;
        }
        if (stopped && stopped()) return MountEnd::Stopped;
        if (waited >= limitMs) return MountEnd::StillEnding;
        usleep(kStepMs * 1000);
    }
}

void clearMountState(const std::string& mountpoint) {
    const std::string whole = mountPointPath(mountpoint);
    if (whole.empty()) return;
    std::string shown, error;
    const FileDescriptor folder = openStateFolder(false, shown, error);
    if (!folder) return;
    const std::string name = stateNameOf(whole);
    // Only a file of this user's that names this mount point.
    std::optional<std::string> read = readOwnState(folder.get(), name);
    if (read && read->rfind(headerOf(whole), 0) == 0) unlinkat(folder.get(), name.c_str(), 0);
}
