#include "engine/fs/safe_fs.h"

#include "engine/base/run_context.h"
#include "engine/base/utilities.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

void fillIdentity(const struct stat& st, FileIdentity& out) {
    out.device = static_cast<uint64_t>(st.st_dev);
    out.inode = static_cast<uint64_t>(st.st_ino);
    out.size = static_cast<int64_t>(st.st_size);
    out.mtimeSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    out.mtimeNanoseconds = static_cast<int64_t>(st.st_mtim.tv_nsec);
}

} // namespace

// A random start, then a counter: unpredictable, and no system call per name.
std::string newTemporaryName() {
    static std::atomic<uint64_t> next = [] {
        uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed))
            seed = static_cast<uint64_t>(getpid()) * 0x9E3779B97F4A7C15ull ^
                   static_cast<uint64_t>(time(nullptr));
        return seed;
    }();
    const uint64_t value = next.fetch_add(1, std::memory_order_relaxed) & 0xFFFFFFFFFFFFull;
    char name[32];
    std::snprintf(name, sizeof name, "%s%012llx", kTemporaryPrefix,
                  static_cast<unsigned long long>(value));
    return name;
}

FileIdentity identityOfStatus(const struct stat& st) {
    FileIdentity identity;
    fillIdentity(st, identity);
    return identity;
}

bool identityOf(int fd, FileIdentity& out) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    fillIdentity(st, out);
    return true;
}

FileStamp stampOfStatus(const struct stat& st) {
    FileStamp stamp;
    fillIdentity(st, stamp.identity);
    stamp.ctimeSeconds = static_cast<int64_t>(st.st_ctim.tv_sec);
    stamp.ctimeNanoseconds = static_cast<int64_t>(st.st_ctim.tv_nsec);
    return stamp;
}

bool stampOf(int fd, FileStamp& out) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    out = stampOfStatus(st);
    return true;
}

EntryKind entryAt(int dirFd, const char* name, FileIdentity* identity) {
    struct stat st {};
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? EntryKind::Missing : EntryKind::Unknown;
    if (identity) fillIdentity(st, *identity);
    if (S_ISREG(st.st_mode)) return EntryKind::Regular;
    if (S_ISDIR(st.st_mode)) return EntryKind::Folder;
    if (S_ISLNK(st.st_mode)) return EntryKind::Link;
    return EntryKind::Other;
}

FileDescriptor openFolderPath(const std::string& path) {
    return FileDescriptor(::open(path.c_str(), kFolderFlags));
}

FileDescriptor openFolderAt(int dirFd, const char* name) {
    return FileDescriptor(::openat(dirFd, name, kFolderFlags | O_NOFOLLOW));
}

FileDescriptor makeFolderAt(int dirFd, const char* name, bool* created) {
    const bool made = mkdirat(dirFd, name, 0777) == 0;
    if (created) *created = made;
    if (!made && errno != EEXIST) return {};
    return openFolderAt(dirFd, name);
}

std::string folderProblem(int dirFd, const char* name, int error) {
    switch (entryAt(dirFd, name)) {
    case EntryKind::Link:
        return "it is a symbolic link";
    case EntryKind::Regular:
    case EntryKind::Other:
        return "it is not a folder";
    default:
        return std::strerror(error);
    }
}

FileDescriptor createUnnamedIn(int dirFd, mode_t mode) {
    return FileDescriptor(::openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
}

bool nameUnnamed(UnnamedFiles way, int fd, int dirFd, const char* name) {
    if (way == UnnamedFiles::ByDescriptor) return linkat(fd, "", dirFd, name, AT_EMPTY_PATH) == 0;
    if (way != UnnamedFiles::ByProcPath) {
        errno = EOPNOTSUPP;
        return false;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, link, dirFd, name, AT_SYMLINK_FOLLOW) == 0;
}

UnnamedFiles probeUnnamedFiles(int dirFd, const char* probeName) {
    for (const UnnamedFiles way : {UnnamedFiles::ByDescriptor, UnnamedFiles::ByProcPath}) {
        FileDescriptor probe = createUnnamedIn(dirFd, 0600);
        if (!probe) return UnnamedFiles::Unavailable;
        if (nameUnnamed(way, probe.get(), dirFd, probeName)) {
            unlinkat(dirFd, probeName, 0);
            return way;
        }
    }
    return UnnamedFiles::Unavailable;
}

FileDescriptor openFolderBelow(int rootFd, const std::string& path, bool create) {
    // Only a path of real components, each below the last: "..", ".", an
    // empty component or a NUL never reaches the system.
    if (!path.empty() && !isSafeRelativePath(path)) {
        errno = EINVAL;
        return {};
    }
    if (!create && !path.empty()) {
        // One call where the kernel resolves beneath the root without links.
        open_how how{};
        how.flags = kFolderFlags;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const long fd = ::syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how);
        if (fd >= 0) return FileDescriptor(static_cast<int>(fd));
        if (errno != ENOSYS && errno != EPERM && errno != EAGAIN) return {};
    }
    FileDescriptor current(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    std::size_t start = 0;
    while (current && start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string component = path.substr(start, end - start);
        current = create ? makeFolderAt(current.get(), component.c_str())
                         : openFolderAt(current.get(), component.c_str());
        start = end + 1;
    }
    return current;
}

bool isReservedName(std::string_view name) {
    return name.substr(0, std::strlen(kTemporaryPrefix)) == kTemporaryPrefix ||
           name == kRunMarkerFileName || name == kJoinJournalFileName;
}

std::string reservedNameRefusal(const std::string& path) {
    const bool folder = !path.empty() && path.back() == '/';
    return "the set holds \"" + (folder ? path.substr(0, path.size() - 1) : path) +
           "\", a name this program keeps for its own working files; nothing was written";
}

std::string reservedComponentOf(std::string_view path) {
    while (!path.empty()) {
        const std::size_t end = path.find('/');
        const std::string_view component = path.substr(0, end);
        if (isReservedName(component)) return std::string(component);
        if (end == std::string_view::npos) break;
        path.remove_prefix(end + 1);
    }
    return {};
}

bool visitEntriesIn(int dirFd, const std::function<void(const char*, unsigned char)>& visit) {
    const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return false;
    DIR* dir = fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return false;
    }
    rewinddir(dir); // the copy shares its position with the original
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
        visit(entry->d_name, entry->d_type);
        errno = 0;
    }
    const bool listed = errno == 0;
    closedir(dir);
    return listed;
}

std::vector<std::string> namesIn(int dirFd) {
    std::vector<std::string> names;
    visitEntriesIn(dirFd, [&](const char* name, unsigned char) {
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) names.push_back(name);
    });
    return names;
}

FileDescriptor openFileAt(int dirFd, const char* name, bool followLink) {
    FileDescriptor fd(
        ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW)));
    if (!fd) return {};
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return {};
    }
    return fd;
}

mode_t currentUmask() {
    // umask() can only be read by setting it, which would race with other
    // threads creating files; the kernel also shows it here.
    std::FILE* status = std::fopen("/proc/self/status", "re");
    unsigned mask = 022;
    if (status) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
        }
        std::fclose(status);
    }
    return static_cast<mode_t>(mask & 0777);
}

bool renameNoReplace(int fromFd, const char* from, int toFd, const char* to) {
    if (renameat2(fromFd, from, toFd, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // A new link fails when the name is taken, in one step; a folder, which
    // takes no second link, is renamed after a check.
    if (linkat(fromFd, from, toFd, to, 0) == 0) {
        unlinkat(fromFd, from, 0);
        return true;
    }
    if (errno == EEXIST) return false;
    struct stat st {};
    if (fstatat(toFd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return renameat(fromFd, from, toFd, to) == 0;
}

std::optional<std::string> readSmallFileAt(int dirFd, const char* name, std::size_t limit,
                                           bool onlyOwn) {
    FileDescriptor fd = openFileAt(dirFd, name);
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) return std::nullopt;
    if (onlyOwn && (st.st_uid != geteuid() || st.st_nlink != 1)) {
        errno = EPERM;
        return std::nullopt;
    }
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > limit) {
        errno = EFBIG;
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    errno = EIO;
    if (readAt(fd.get(), text.data(), text.size(), 0) != st.st_size) return std::nullopt;
    return text;
}

FileDescriptor createTemporaryFolder(int dirFd, std::string& name, mode_t mode) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        name = newTemporaryName();
        if (mkdirat(dirFd, name.c_str(), mode) == 0) return openFolderAt(dirFd, name.c_str());
        if (errno != EEXIST) return {};
    }
    return {};
}

bool TextFileWriter::open(int dirFd, const char* name, const std::string& displayPath,
                          RunContext& run, int mode) {
    run_ = &run;
    displayPath_ = displayPath;
    fd_ =
        FileDescriptor(::openat(dirFd, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                                static_cast<mode_t>(mode)));
    ok_ = static_cast<bool>(fd_);
    error_ = ok_ ? 0 : errno;
    if (!ok_) run.failErrno("write", displayPath_, error_);
    return ok_;
}

bool TextFileWriter::flush() {
    if (ok_ && !buffer_.empty() && !writeAll(fd_.get(), buffer_.data(), buffer_.size())) {
        ok_ = false;
        error_ = errno;
        run_->failErrno("write", displayPath_, error_);
    }
    buffer_.clear();
    return ok_;
}

bool TextFileWriter::write(std::string_view text) {
    if (!ok_) return false;
    buffer_.append(text);
    return buffer_.size() < kWriteStep || flush();
}

bool TextFileWriter::close(bool sync) {
    if (!run_) return false;
    bool ok = flush();
    int error = error_;
    if (ok && !(!sync || fsync(fd_.get()) == 0)) {
        ok = false;
        error = errno;
    }
    if (fd_ && !fd_.close() && ok) {
        ok = false;
        error = errno;
    }
    if (!ok && ok_) run_->failErrno("write", displayPath_, error);
    ok_ = false;
    return ok;
}

bool writeTextFileAt(int dirFd, const char* name, const std::string& text, bool sync,
                     const std::string& displayPath, RunContext& run, int mode) {
    TextFileWriter file;
    const bool ok = file.open(dirFd, name, displayPath, run, mode) && file.write(text);
    return file.close(sync) && ok;
}

bool lockFolder(int dirFd, bool exclusive) {
    for (;;) {
        if (flock(dirFd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return true;
        if (errno != EINTR) return false;
    }
}

bool sameFile(int fd, int other) {
    FileIdentity a, b;
    return identityOf(fd, a) && identityOf(other, b) && a.device == b.device && a.inode == b.inode;
}

int depthBelow(int inner, int root) {
    FileDescriptor current(::fcntl(inner, F_DUPFD_CLOEXEC, 0));
    for (int depth = 0; current && depth < 256; ++depth) {
        if (sameFile(current.get(), root)) return depth;
        FileDescriptor parent = openFolderAt(current.get(), "..");
        if (!parent || sameFile(parent.get(), current.get())) return -1;
        current = std::move(parent);
    }
    return -1;
}

std::string resolvedPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) return {};
    return resolved;
}

bool keepOwner(int out, const struct stat& existing, const std::string& path, RunContext& run) {
    struct stat made {};
    if (fstat(out, &made) != 0) {
        run.failErrno("examine the file written for", path, errno);
        return false;
    }
    if (made.st_uid == existing.st_uid && made.st_gid == existing.st_gid) return true;
    if (fchown(out, existing.st_uid, existing.st_gid) == 0) return true;
    run.failErrno("keep the owner of", path, errno);
    return false;
}
