#include "engine/fs/target_writer.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

Failure refusal(const std::string& shown, const std::string& why, EngineFailure kind) {
    Failure failure;
    failure.kind = kind;
    failure.path = shown;
    failure.reason = "cannot write " + shown + ": " + why;
    return failure;
}

} // namespace

bool examineTarget(int folderFd, const std::string& name, const std::string& shown, bool replace,
                   TargetSpot& spot, RunContext& run) {
    spot = TargetSpot{};
    if (fstatat(folderFd, name.c_str(), &spot.existing, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;
        run.failErrno("examine", shown, errno);
        return false;
    }
    if (S_ISLNK(spot.existing.st_mode))
        return run.fail(
                   refusal(shown, "a symbolic link is in its place", EngineFailure::UnsafeName)),
               false;
    if (S_ISDIR(spot.existing.st_mode))
        return run.fail(refusal(shown, "a folder is in its place", EngineFailure::UnsafeName)),
               false;
    if (!S_ISREG(spot.existing.st_mode))
        return run.fail(refusal(shown, "something other than a file is in its place",
                                EngineFailure::UnsafeName)),
               false;
    if (!replace)
        return run.fail(refusal(shown, "it already exists", EngineFailure::TargetExists)), false;
    spot.replacing = true;
    return true;
}

bool isStillTheFile(int folderFd, const std::string& name, const struct stat& existing) {
    struct stat now {};
    return fstatat(folderFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(now.st_mode) && now.st_dev == existing.st_dev && now.st_ino == existing.st_ino;
}

void Target::discard() {
    if (!temporary_.empty() && workFd_ >= 0) unlinkat(workFd_, temporary_.c_str(), 0);
    temporary_.clear();
    fd_ = FileDescriptor();
}

bool Target::closeForMove() {
    const bool closed = fd_.close();
    if (closed) workFd_ = -1; // the name is the caller's now
    return closed;
}

Target TargetWriter::open(int folderFd, const std::string& shown, mode_t mode, bool allowUnnamed) {
    Target target;
    target.shown_ = shown;
    if (allowUnnamed && unnamed_ != UnnamedFiles::Unavailable && folderFd >= 0) {
        const mode_t made = (mode & ~umask_) == mode ? mode : 0600;
        target.fd_ = createUnnamedIn(folderFd, made);
        if (target.fd_) {
            target.unnamed_ = true;
            target.made_ = made & ~umask_;
            return target;
        }
        // A folder on a file system without unnamed files: in the working folder.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            run_.failErrno("create a file beside", shown, errno);
            return Target();
        }
    }
    target.fd_ = work_.createFile(target.temporary_);
    if (!target.fd_) {
        run_.failErrno("create a file beside", shown, errno);
        return Target();
    }
    target.made_ = 0600 & ~umask_;
    target.workFd_ = work_.fd();
    return target;
}

bool TargetWriter::settle(Target& target, const TargetSpot& spot, mode_t mode,
                          const struct timespec* mtime) {
    if (spot.replacing && !keepOwner(target.fd(), spot.existing, target.shown(), run_))
        return false;
    // A file made with its bits needs them no more (a call a file saved).
    if ((spot.replacing || target.made_ != mode) && fchmod(target.fd(), mode) != 0) {
        run_.failErrno("set the permissions of", target.shown(), errno);
        return false;
    }
    if (mtime) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, *mtime};
        if (futimens(target.fd(), times) != 0) {
            run_.failErrno("set the time of", target.shown(), errno);
            return false;
        }
    }
    return true;
}

bool TargetWriter::place(Target& target, int folderFd, const std::string& name,
                         const TargetSpot& spot, TargetFlush flush) {
    const std::string& shown = target.shown();
    if (flush == TargetFlush::ThisFile) {
        run_.enterPhase(RunPhase::WritingToDisk);
        if (fsync(target.fd()) != 0) {
            run_.failErrno("write to disk", shown, errno);
            return false;
        }
    }
    if (run_.stopIfRequested()) return false;
    if (target.unnamed()) {
        if (!nameUnnamed(unnamed_, target.fd(), folderFd, name.c_str())) {
            if (errno == EEXIST)
                return run_.fail(refusal(shown, "something appeared in its place",
                                         EngineFailure::TargetExists)),
                       false;
            run_.failErrno("put in place", shown, errno);
            return false;
        }
        if (!target.fd_.close()) {
            const int error = errno;
            unlinkat(folderFd, name.c_str(), 0); // the name this run just gave
            run_.failErrno("write", shown, error);
            return false;
        }
        return true;
    }
    if (!target.fd_.close()) {
        run_.failErrno("write", shown, errno);
        return false;
    }
    if (spot.replacing) {
        // Only the file that was looked at is replaced.
        if (!isStillTheFile(folderFd, name, spot.existing))
            return run_.fail(
                       refusal(shown, "something else was put in its place", EngineFailure::Other)),
                   false;
    }
    if (!placeEntry(work_.fd(), target.temporary_, folderFd, name, spot.replacing)) {
        if (errno == EEXIST && !spot.replacing)
            return run_.fail(refusal(shown, "something appeared in its place",
                                     EngineFailure::TargetExists)),
                   false;
        run_.failErrno("put in place", shown, errno);
        return false;
    }
    target.temporary_.clear(); // it has its real name now
    return true;
}

bool placeEntry(int fromFd, const std::string& from, int toFd, const std::string& to,
                bool replace) {
    if (replace) return renameat(fromFd, from.c_str(), toFd, to.c_str()) == 0;
    return renameNoReplace(fromFd, from.c_str(), toFd, to.c_str());
}

bool exchangeEntries(int aFd, const std::string& a, int bFd, const std::string& b) {
    return renameat2(aFd, a.c_str(), bFd, b.c_str(), RENAME_EXCHANGE) == 0;
}

bool swapEntries(int dirFd, const std::string& a, const std::string& b) {
    if (exchangeEntries(dirFd, a, dirFd, b)) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    const std::string parked = newTemporaryName();
    if (renameat(dirFd, a.c_str(), dirFd, parked.c_str()) != 0 ||
        renameat(dirFd, b.c_str(), dirFd, a.c_str()) != 0 ||
        renameat(dirFd, parked.c_str(), dirFd, b.c_str()) != 0) {
        const int failed = errno;
        renameat(dirFd, a.c_str(), dirFd, b.c_str());
        renameat(dirFd, parked.c_str(), dirFd, a.c_str());
        errno = failed;
        return false;
    }
    return true;
}

bool linkAside(int folderFd, const std::string& name, const std::string& aside) {
    return linkat(folderFd, name.c_str(), folderFd, aside.c_str(), 0) == 0;
}

bool replaceSmallFile(int folderFd, const std::string& name, const std::string& text, mode_t mode) {
    const std::string temporary = newTemporaryName();
    FileDescriptor fd(openat(folderFd, temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 07777));
    if (!fd) return false;
    bool ok = fchmod(fd.get(), mode & 07777) == 0;
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ok = fd.close() && ok;
    ok = ok && placeEntry(folderFd, temporary, folderFd, name, true);
    if (!ok) {
        const int error = errno;
        unlinkat(folderFd, temporary.c_str(), 0);
        errno = error;
    }
    return ok;
}
