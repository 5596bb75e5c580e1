#define FUSE_USE_VERSION 34
#include "mount/fuse_mount.h"

#include <fuse_lowlevel.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Nothing in a view ever changes: the kernel may keep what it learns.
constexpr double kForever = 86400.0 * 365;

// A stop request reaches the view before libfuse's own handler ends the loop:
// the loop waits for every read being served, a rebuild included.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<SetView*> stoppedView{nullptr};
struct sigaction libfuseStop[3];

void onStop(int signal) {
    if (SetView* view = stoppedView.load()) view->requestStop();
    for (int i = 0; i < 3; ++i) {
        if (kStopSignals[i] != signal) continue;
        const struct sigaction& theirs = libfuseStop[i];
        if ((theirs.sa_flags & SA_SIGINFO) == 0 && theirs.sa_handler != SIG_DFL &&
            theirs.sa_handler != SIG_IGN)
            theirs.sa_handler(signal);
    }
}

// The stop handlers for a session's life: libfuse's, which end its loop, with
// onStop before them; the caller's given back at the end, whatever the path.
// A stop that comes while they change hands waits, blocked, for onStop.
class StopHandlers {
public:
    StopHandlers(fuse_session* session, SetView& view) : session_(session) {
        sigset_t stops;
        sigemptyset(&stops);
        for (int signal : kStopSignals)
            sigaddset(&stops, signal);
        pthread_sigmask(SIG_BLOCK, &stops, &before_);
        for (int i = 0; i < 3; ++i)
            sigaction(kStopSignals[i], nullptr, &callers_[i]);
        // libfuse installs its handlers only over the default ones.
        for (int signal : kStopSignals)
            std::signal(signal, SIG_DFL);
        if (fuse_set_signal_handlers(session) != 0) {
            error_ = "cannot install the stop handlers";
            return;
        }
        libfuse_ = true;
        if (!chain(view)) {
            error_ = std::string("cannot install the stop handlers: ") + std::strerror(errno);
            return;
        }
        pthread_sigmask(SIG_SETMASK, &before_, nullptr); // the stops that came meanwhile end it
    }
    ~StopHandlers() {
        if (libfuse_) {
            // Given back first: libfuse removes its handlers only when they are its own.
            for (int i = 0; i < 3; ++i)
                sigaction(kStopSignals[i], &libfuseStop[i], nullptr);
            stoppedView.store(nullptr);
            fuse_remove_signal_handlers(session_);
        }
        for (int i = 0; i < 3; ++i)
            sigaction(kStopSignals[i], &callers_[i], nullptr);
        pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    StopHandlers(const StopHandlers&) = delete;
    StopHandlers& operator=(const StopHandlers&) = delete;
    const std::string& error() const { return error_; }

private:
    // Puts onStop before libfuse's handlers.
    static bool chain(SetView& view) {
        for (int i = 0; i < 3; ++i)
            if (sigaction(kStopSignals[i], nullptr, &libfuseStop[i]) != 0) return false;
        stoppedView.store(&view);
        for (int i = 0; i < 3; ++i) {
            struct sigaction ours = libfuseStop[i];
            ours.sa_flags &= ~SA_SIGINFO;
            ours.sa_handler = onStop;
            if (sigaction(kStopSignals[i], &ours, nullptr) != 0) return false;
        }
        return true;
    }
    fuse_session* session_;
    sigset_t before_{};
    struct sigaction callers_[3]{};
    bool libfuse_ = false;
    std::string error_;
};

SetView& viewOf(fuse_req_t req) {
    return *static_cast<SetView*>(fuse_req_userdata(req));
}

// The view's node of a FUSE inode, or -1.
int64_t nodeOf(const SetView& view, fuse_ino_t ino) {
    return ino >= 1 && ino <= view.nodeCount() ? static_cast<int64_t>(ino - 1) : -1;
}

mode_t typeOf(const ViewNode& node) {
    switch (node.type) {
    case NodeType::Folder:
        return S_IFDIR;
    case NodeType::File:
        return S_IFREG;
    case NodeType::Link:
        return S_IFLNK;
    case NodeType::Fifo:
        return S_IFIFO;
    }
    return S_IFREG;
}

void fillStat(const SetView& view, uint32_t index, struct stat& st) {
    // Asked once: a listing fills a stat for every entry.
    static const uid_t owner = getuid();
    static const gid_t group = getgid();
    std::memset(&st, 0, sizeof st);
    const ViewNode& node = view.node(index);
    st.st_ino = index + 1;
    st.st_mode = typeOf(node) | (node.type == NodeType::Link ? 0777 : (node.mode & 07777));
    st.st_nlink = node.type == NodeType::Folder ? 2 : 1;
    st.st_uid = owner;
    st.st_gid = group;
    st.st_size = node.type == NodeType::Fifo ? 0 : node.size;
    st.st_blksize = 1024 * 1024;
    st.st_blocks = (st.st_size + 511) / 512;
    st.st_mtim.tv_sec = node.mtimeSeconds;
    st.st_mtim.tv_nsec = node.mtimeNanoseconds;
    st.st_atim = st.st_mtim;
    st.st_ctim = st.st_mtim;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    SetView& view = viewOf(req);
    const int64_t folder = nodeOf(view, parent);
    const int64_t found = folder < 0 ? -1 : view.lookup(static_cast<uint32_t>(folder), name);
    fuse_entry_param entry{};
    if (found < 0) { // a name that is not there stays so: the kernel may remember it
        entry.ino = 0;
        entry.entry_timeout = kForever;
        fuse_reply_entry(req, &entry);
        return;
    }
    entry.ino = static_cast<fuse_ino_t>(found + 1);
    entry.generation = 1;
    fillStat(view, static_cast<uint32_t>(found), entry.attr);
    entry.attr_timeout = kForever;
    entry.entry_timeout = kForever;
    fuse_reply_entry(req, &entry);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    SetView& view = viewOf(req);
    const int64_t index = nodeOf(view, ino);
    if (index < 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st {};
    fillStat(view, static_cast<uint32_t>(index), st);
    fuse_reply_attr(req, &st, kForever);
}

void opReadlink(fuse_req_t req, fuse_ino_t ino) {
    SetView& view = viewOf(req);
    const int64_t index = nodeOf(view, ino);
    if (index < 0 || view.node(static_cast<uint32_t>(index)).type != NodeType::Link) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    const std::string target(view.linkTargetOf(static_cast<uint32_t>(index)));
    fuse_reply_readlink(req, target.c_str());
}

void opOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    SetView& view = viewOf(req);
    const int64_t index = nodeOf(view, ino);
    if (index < 0 || view.node(static_cast<uint32_t>(index)).type != NodeType::Folder) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    fi->keep_cache = 1;
    fi->cache_readdir = 1;
    fuse_reply_open(req, fi);
}

// Entries at offsets 1 and 2 are "." and "..", then the children by name;
// an entry's offset is the one of the entry after it.
void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    SetView& view = viewOf(req);
    const int64_t index = nodeOf(view, ino);
    if (index < 0 || view.node(static_cast<uint32_t>(index)).type != NodeType::Folder) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    const ViewNode& folder = view.node(static_cast<uint32_t>(index));
    // A listing of 10^5 files asks for thousands of these: the buffer and the
    // name's copy are each thread's own, kept, and an entry gives the kernel
    // only its inode and type, all it takes from the stat.
    thread_local std::vector<char> buffer;
    thread_local std::vector<char> name;
    if (buffer.size() < size) buffer.resize(size);
    std::size_t used = 0;
    const auto add = [&](std::string_view text, uint32_t node, off_t next) {
        name.assign(text.begin(), text.end());
        name.push_back('\0');
        struct stat st {};
        st.st_ino = node + 1;
        st.st_mode = typeOf(view.node(node));
        const std::size_t wanted =
            fuse_add_direntry(req, buffer.data() + used, size - used, name.data(), &st, next);
        if (wanted > size - used) return false;
        used += wanted;
        return true;
    };
    const uint64_t total = uint64_t{folder.count} + 2;
    for (uint64_t at = static_cast<uint64_t>(std::max<off_t>(offset, 0)); at < total; ++at) {
        bool fitted = false;
        if (at == 0)
            fitted = add(".", static_cast<uint32_t>(index), 1);
        else if (at == 1)
            fitted = add("..", folder.parent, 2);
        else {
            const uint32_t child = view.childrenOf(static_cast<uint32_t>(index))[at - 2];
            fitted = add(view.nameOf(child), child, static_cast<off_t>(at + 1));
        }
        if (!fitted) break;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    SetView& view = viewOf(req);
    const int64_t index = nodeOf(view, ino);
    if (index < 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) {
        fuse_reply_err(req, EROFS);
        return;
    }
    if (view.node(static_cast<uint32_t>(index)).type != NodeType::File) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    fi->keep_cache = 1;
    // A reader that goes from the first byte to the last is checked whole.
    fi->fh =
        reinterpret_cast<uint64_t>(view.beginWholeRead(static_cast<uint32_t>(index)).release());
    fuse_reply_open(req, fi);
}

void opRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    viewOf(req).endWholeRead(
        std::unique_ptr<SetView::WholeRead>(reinterpret_cast<SetView::WholeRead*>(fi->fh)));
    fi->fh = 0;
    fuse_reply_err(req, 0);
}

void opRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
    SetView& view = viewOf(req);
    const int64_t index = nodeOf(view, ino);
    if (index < 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    // One buffer per serving thread, kept: a fresh one per read would cost
    // the kernel a mapping, its faults and its zeroing every time.
    thread_local std::unique_ptr<char[]> buffer;
    thread_local std::size_t capacity = 0;
    if (capacity < size) {
        buffer.reset(new (std::nothrow) char[size]);
        capacity = buffer ? size : 0;
        if (!buffer) {
            fuse_reply_err(req, ENOMEM);
            return;
        }
    }
    const int64_t got =
        view.read(static_cast<uint32_t>(index), buffer.get(), static_cast<int64_t>(size), offset,
                  reinterpret_cast<SetView::WholeRead*>(fi->fh));
    if (got < 0) {
        fuse_reply_err(req, static_cast<int>(-got));
        return;
    }
    fuse_reply_buf(req, buffer.get(), static_cast<std::size_t>(got));
}

void opStatfs(fuse_req_t req, fuse_ino_t) {
    SetView& view = viewOf(req);
    struct statvfs st {};
    st.f_bsize = 4096;
    st.f_frsize = 4096;
    st.f_blocks = static_cast<fsblkcnt_t>((view.totalSize() + 4095) / 4096);
    st.f_files = view.nodeCount();
    st.f_namemax = 255;
    st.f_flag = ST_RDONLY | ST_NOSUID | ST_NODEV;
    fuse_reply_statfs(req, &st);
}

// Everything that would change the view.
void refuseSetattr(fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
}
void refuseMknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) {
    fuse_reply_err(req, EROFS);
}
void refuseMkdir(fuse_req_t req, fuse_ino_t, const char*, mode_t) {
    fuse_reply_err(req, EROFS);
}
void refuseUnlink(fuse_req_t req, fuse_ino_t, const char*) {
    fuse_reply_err(req, EROFS);
}
void refuseSymlink(fuse_req_t req, const char*, fuse_ino_t, const char*) {
    fuse_reply_err(req, EROFS);
}
void refuseRename(fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) {
    fuse_reply_err(req, EROFS);
}
void refuseLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) {
    fuse_reply_err(req, EROFS);
}
void refuseWrite(fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
}
void refuseCreate(fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
}
void refuseSetxattr(fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) {
    fuse_reply_err(req, EROFS);
}
void refuseRemovexattr(fuse_req_t req, fuse_ino_t, const char*) {
    fuse_reply_err(req, EROFS);
}
void refuseFallocate(fuse_req_t req, fuse_ino_t, int, off_t, off_t, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
}

fuse_lowlevel_ops operations() {
    fuse_lowlevel_ops ops{};
    ops.lookup = opLookup;
    ops.getattr = opGetattr;
    ops.readlink = opReadlink;
    ops.opendir = opOpendir;
    ops.readdir = opReaddir;
    ops.open = opOpen;
    ops.read = opRead;
    ops.release = opRelease;
    ops.statfs = opStatfs;
    ops.setattr = refuseSetattr;
    ops.mknod = refuseMknod;
    ops.mkdir = refuseMkdir;
    ops.unlink = refuseUnlink;
    ops.rmdir = refuseUnlink;
    ops.symlink = refuseSymlink;
    ops.rename = refuseRename;
    ops.link = refuseLink;
    ops.write = refuseWrite;
    ops.create = refuseCreate;
    ops.setxattr = refuseSetxattr;
    ops.removexattr = refuseRemovexattr;
    ops.fallocate = refuseFallocate;
    return ops;
}

// What libfuse's daemonizing does, with `serving` called in the daemon
// before its parent exits: whoever the parent's exit lets go on (a script's
// next `unmount`) finds the state naming the process that serves.
bool becomeServer(const ServeOptions& options, std::string& error) {
    if (options.foreground) {
        (void)!chdir("/");
        if (options.serving) options.serving();
        return true;
    }
    int waiter[2];
    if (pipe2(waiter, O_CLOEXEC) != 0) {
        error = std::string("cannot become a daemon: ") + std::strerror(errno);
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        error = std::string("cannot become a daemon: ") + std::strerror(errno);
        close(waiter[0]);
        close(waiter[1]);
        return false;
    }
    if (child > 0) { // the parent: up once the daemon says it serves
        close(waiter[1]);
        char done = 0;
        ssize_t got = 0;
        while ((got = read(waiter[0], &done, 1)) < 0 && errno == EINTR) {
        }
        _exit(got == 1 && done == 1 ? 0 : 1);
    }
    close(waiter[0]);
    setsid();
    (void)!chdir("/");
    if (options.serving) options.serving();
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO), dup2(null, STDOUT_FILENO), dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) close(null);
    }
    const char done = 1;
    (void)!write(waiter[1], &done, 1);
    close(waiter[1]);
    return true;
}

} // namespace

bool serveView(SetView& view, const std::string& mountpoint, const ServeOptions& options,
               std::string& error) {
    // The daemon leaves the working folder: the mount is unmounted at its end
    // by its whole path.
    char* resolved = realpath(mountpoint.c_str(), nullptr);
    if (!resolved) {
        error = "cannot use the mount point " + mountpoint + ": " + std::strerror(errno);
        return false;
    }
    const std::string where = resolved;
    std::free(resolved);
    std::vector<std::string> words = {
        "parcelor", "-o", "ro,nosuid,nodev,default_permissions,fsname=parcelor,subtype=parcelor"};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    const fuse_lowlevel_ops ops = operations();
    fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, &view);
    if (!session) {
        error = "cannot start a FUSE session";
        return false;
    }
    bool served = false;
    { // from here a stop ends the loop and unmounts
        StopHandlers stops(session, view);
        if (!stops.error().empty()) {
            error = stops.error();
        } else if ((options.stopRequested && options.stopRequested()) ||
                   fuse_session_exited(session)) {
            error = "the mount was stopped before it was up";
        } else {
            bool up = fuse_session_mount(session, where.c_str()) == 0;
            if (!up)
                error = "cannot mount on " + mountpoint + " (is FUSE allowed here, and is it an " +
                        "empty folder of yours?)";
            else if (options.mounted)
                options.mounted();
            if (up && !becomeServer(options, error)) {
                fuse_session_unmount(session);
                up = false;
            }
            if (up) {
                view.beginServing();
                fuse_loop_config config{};
                config.clone_fd = 0;
                // Threads kept waiting between reads: with fewer, the kernel's
                // parallel reads ahead make libfuse start and end a thread for
                // almost every read.
                config.max_idle_threads = 16;
                // A stop ends the loop with its signal's number; only below 0 is an error.
                if (fuse_session_loop_mt(session, &config) < 0)
                    error = "the mount ended with an error";
                fuse_session_unmount(session);
                served = true; // the mount was up; how it ended is not a failed start
            }
        }
    } // the caller's stop handlers are back
    fuse_session_destroy(session);
    fuse_opt_free_args(&args);
    return served;
}

namespace {

// Runs fusermount3 with `options` on `mountpoint`: its exit status is 0.
bool runFusermount(const std::vector<std::string>& options, const std::string& mountpoint,
                   std::string& error) {
    std::vector<std::string> words = {"fusermount3"};
    words.insert(words.end(), options.begin(), options.end());
    words.push_back(mountpoint);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, "fusermount3", nullptr, nullptr, argv.data(), environ);
    if (spawned != 0) {
        error = std::string("cannot run fusermount3: ") + std::strerror(spawned);
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "fusermount3 could not unmount " + mountpoint;
        return false;
    }
    return true;
}

} // namespace

bool isStaleMount(const std::string& mountpoint) {
    struct statvfs st {};
    return statvfs(mountpoint.c_str(), &st) != 0 && isStaleMountError(errno);
}

bool unmountView(const std::string& mountpoint, std::string& error) {
    if (!isStaleMount(mountpoint)) return runFusermount({"-u"}, mountpoint, error);
    // A mount whose daemon was killed: unmounted, or, while something still
    // holds it, detached now and gone once the last user lets go.
    if (runFusermount({"-u", "-q"}, mountpoint, error)) return true;
    return runFusermount({"-u", "-z"}, mountpoint, error);
}
