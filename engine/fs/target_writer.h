#pragma once
// The one way a run puts a file in place.
//
// Every file a join, a repair or a join of other tools' parts writes goes the
// same way: what holds its name is looked at first (examineTarget); the bytes
// go to a temporary (unnamed in its folder where the file system has such
// files, else in the run's private working folder); once written and checked,
// the file gets the owner of the file it replaces, its bits and its time
// (settle), reaches the disk (flush, or one syncfs for many), and takes its
// name in one step: without replacing anything that appeared meanwhile, or,
// for a replacement, only over the very file that was looked at (place).
// Failures keep their reason in the run; a target that is not placed leaves
// nothing under either name.
//
// Moves of many targets at once (a join into a tree that is there) are
// journaled by the caller (run_folder.h) and made with placeEntry and
// exchangeEntries; the split commits its set folder with exchangeEntries too.
// No other file of the engine renames or links.

#include "engine/base/run_context.h"
#include "engine/fs/run_folder.h"
#include "engine/fs/safe_fs.h"

#include <string>

#include <sys/stat.h>

// What holds a target's name before it is written.
struct TargetSpot {
    bool replacing = false;  // a regular file is there, and will be replaced
    struct stat existing {}; // that file, when replacing
};

// Looks at `name` in `folderFd`: nothing there (a new file), or a regular file
// that `replace` allows to be replaced. Otherwise false, the reason kept:
// "cannot write <shown>: " and "a symbolic link is in its place", "a folder is
// in its place", "something other than a file is in its place" (kind
// UnsafeName), or "it already exists" (kind TargetExists).
bool examineTarget(int folderFd, const std::string& name, const std::string& shown, bool replace,
                   TargetSpot& spot, RunContext& run);

// The entry `name` in `folderFd` is still the regular file `existing`
// (device and inode), the one looked at before a replacement.
bool isStillTheFile(int folderFd, const std::string& name, const struct stat& existing);

// One file being written.
class Target {
public:
    Target() = default;
    Target(Target&&) = default;
    Target& operator=(Target&&) = default;
    ~Target() { discard(); }

    int fd() const { return fd_.get(); }
    explicit operator bool() const { return static_cast<bool>(fd_); }
    // The temporary's name in the working folder; "" for an unnamed file.
    const std::string& temporary() const { return temporary_; }
    bool unnamed() const { return unnamed_; }
    const std::string& shown() const { return shown_; }
    // Removes the temporary (its name in the working folder, if it has one).
    void discard();
    // Closes the file, keeping its temporary name for a later move
    // (placeEntry, exchangeEntries): the caller owns the name from then on.
    bool closeForMove();

private:
    friend class TargetWriter;
    FileDescriptor fd_;
    std::string temporary_;
    int workFd_ = -1;
    bool unnamed_ = false;
    mode_t made_ = 0; // the bits it was made with
    std::string shown_;
};

// How the target reaches the disk before it takes its name.
enum class TargetFlush {
    None,     // the caller flushes (one syncfs for many targets), or needs no flush
    ThisFile, // fsync of the file
};

class TargetWriter {
public:
    // Temporaries go into `work` (created by the caller); unnamed files are
    // made the way `unnamed` says (Unavailable: never).
    // `umask` is the process's (currentUmask, read once a run).
    TargetWriter(RunFolder& work, UnnamedFiles unnamed, mode_t umask, RunContext& run)
        : work_(work), unnamed_(unnamed), umask_(umask), run_(run) {}

    // A temporary for the target `shown`, to be named in `folderFd`: unnamed
    // there when `allowUnnamed` (made with `mode` where the umask keeps all of
    // it, else 0600), otherwise a private file in the working folder. Empty,
    // the reason kept, on failure.
    Target open(int folderFd, const std::string& shown, mode_t mode, bool allowUnnamed);

    // What the written file keeps: the owner and group of the file it
    // replaces, the bits `mode` (the set's, or the replaced file's), and the
    // modification time when `mtime` is given.
    bool settle(Target& target, const TargetSpot& spot, mode_t mode,
                const struct timespec* mtime = nullptr);

    // Flushes as asked, closes, and gives the target `name` in `folderFd`:
    // over the file `spot` looked at and only over it ("something else was
    // put in its place"), or, for a new file, never over what appeared since
    // ("something appeared in its place", kind TargetExists).
    bool place(Target& target, int folderFd, const std::string& name, const TargetSpot& spot,
               TargetFlush flush);

private:
    RunFolder& work_;
    UnnamedFiles unnamed_;
    mode_t umask_;
    RunContext& run_;
};

// Moves `from` in `fromFd` to `to` in `toFd`: over what is there when
// `replace`, otherwise never over anything (EEXIST), also where the file
// system takes no flags to rename (a new link for a file, a checked rename for
// a folder: callers hold the lock that keeps other runs out).
bool placeEntry(int fromFd, const std::string& from, int toFd, const std::string& to, bool replace);
// Swaps the entries `a` in `aFd` and `b` in `bFd` in one step.
bool exchangeEntries(int aFd, const std::string& a, int bFd, const std::string& b);
// Swaps the entries `a` and `b` of the folder `dirFd`: in one step, or, where
// the file system has no exchange, `a` aside under a new temporary name, `b`
// to `a`, and the parked one to `b` (undone as far as it went when a step
// fails; a journal of the caller's covers a kill in between). False, errno
// set, when they could not be swapped.
bool swapEntries(int dirFd, const std::string& a, const std::string& b);
// A second name `aside` in `folderFd` for the file `name` there (EEXIST when
// taken): what a repair keeps of a damaged file before it is replaced.
bool linkAside(int folderFd, const std::string& name, const std::string& aside);
// Puts the small file `name` in `folderFd` in place whole, holding `text`,
// with the bits `mode` (whatever the umask): written to a fresh temporary
// beside it, then renamed over what holds the name. For a running process's
// own state files, which need no flush. False, errno set, on failure; the
// temporary is gone then.
bool replaceSmallFile(int folderFd, const std::string& name, const std::string& text, mode_t mode);
