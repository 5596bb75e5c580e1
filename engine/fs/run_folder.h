#pragma once
// Hidden working folders of a run, the journal of a set's replacement, and
// the removal of what killed runs left behind.
//
// A run writes its new files into a folder ".parcelor-tmp-<12 hex>" that it
// creates beside where they end up, locks with flock for as long as it lives,
// and marks with a file ".parcelor-run" inside (written only once the lock is
// held). A later run removes such a folder only when the marker is there and
// the folder's lock is free: its maker is no longer alive, whatever its age.
//
// A split that replaces a set in a folder holding other files of the user's
// journals the replacement in that same marker file (see
// PieceFolder::putInPlace): one folder exchange is the commit point, and the
// journal lets the next run that holds the output folder's lock exclusively
// finish carrying the user's files across, or undo a half-made swap.

#include "engine/base/file_io.h"
#include "engine/fs/safe_fs.h"

#include <cstdint>

#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

inline constexpr const char* kRunMarkerName = kRunMarkerFileName;

// A working folder, a marker or a journal steers a run only when this user
// made it: the folder named exactly as a working folder, a real folder
// owned by this user and writable by no one else, its marker or journal a
// regular file of this user's with one link. Anything else by such a name is
// left as it is, and the run says once that it left it alone.
bool isOwnPrivateFolderAt(int dirFd, const char* name);

class RunFolder {
public:
    RunFolder() = default;
    ~RunFolder(); // removes the files it made that are still in it, then the folder
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    // Creates the folder in `parentFd`, private to this user (0700, whatever
    // the umask or a default ACL gives), locks it and writes its marker. What
    // it becomes gets its own bits when it is put in place. False (errno
    // set) on any failure; nothing is left behind then.
    bool create(int parentFd);
    int fd() const { return fd_.get(); }
    const std::string& name() const { return name_; }
    // A new file inside it, exclusively created; `name` receives its name.
    FileDescriptor createFile(std::string& name, mode_t mode = 0600);
    // The folder has been renamed away or taken over: the destructor leaves it.
    void release();

private:
    int parentFd_ = -1;
    FileDescriptor fd_;
    std::string name_;
};

// Removes the working folders of dead runs from `folderFd` and settles any
// journal there (see above): removes only folders named with the temporary
// prefix that hold the marker, whose lock is free, and in them only regular
// files; never follows a link. What it did is said once (a note of `run`,
// such as "removed what 2 stopped runs left (85 MB)"); a stop request ends it
// between two folders. The caller holds
// `folderFd`'s lock exclusively. Failures leave things as they are.
void sweepLeftovers(int folderFd, RunContext& run);
// Takes `folderFd`'s lock exclusively without waiting and, when it gets it,
// sweeps as above. True when the lock is held then; the caller keeps it or
// gives it up.
bool sweepWhenAlone(int folderFd, RunContext& run);

// True when `folderFd` holds an entry named as a working folder: something a
// sweep may have to do.
bool holdsWorkingFolders(int folderFd);

// The journal of a replacement, written as the marker of the set's folder
// `pieceFolderFd` before the exchange: the folder is to be carried into
// `destination` (its own name, inside the same output folder); the entries of
// `oldSet` (with their identities) are the old set's and go; anything else is
// the user's and moves across. Written to disk before it returns true.
// `folders` names the new set's folder, which the journal's run checks before
// it moves anything into it, and the bits and owner it is to get.
struct ReplacedFolder {
    uint64_t newDevice = 0, newInode = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};
bool writeReplaceJournal(int pieceFolderFd, const std::string& destination,
                         const ReplacedFolder& folders,
                         const std::vector<std::pair<std::string, FileIdentity>>& oldSet);
// Gives the new set's folder `fd` the bits, owner and group `folders` says.
bool giveFolderItsPlace(int fd, const ReplacedFolder& folders);

// Settles the journal in the folder `name` of `outFd` (the caller holds
// `outFd`'s lock exclusively): when the folder is `destination` itself, the
// exchange never happened and the journal goes; when `destination` is
// missing, the old set's folder takes its name back; otherwise, when
// `destination` is the new folder the journal names, the user's files move
// into it and the old set goes. True when nothing is left to do. `keptNote`
// names what had to stay. Only a marker or journal of this user's is read.
bool settleReplaceJournal(int outFd, const std::string& name, std::string* keptNote = nullptr);

// A join that puts files into an existing tree moves them in at its end, all
// or none: each folder the tree lacks is made, each new file is renamed into
// place, each file it replaces exchanged with it (the old one waits in the
// working folder until the last move is made). The moves are journaled first
// in the working folder; a move that fails undoes the ones made, and the next
// run's sweep undoes the moves of a join killed among them.
//
// Every entry that comes in is made in the working folder first and moved in
// by its name there: a new folder (made private, and given its own bits only
// once everything inside it is in place), a file, a link or a FIFO. Each
// move's journal line holds the identity of what it moves, so an undo acts
// only on what this run made.
struct JoinMove {
    std::string folder;             // below the output folder ("" for the output folder itself)
    std::string name;               // the target's name in it
    std::string temporary;          // the new entry's name in the working folder
    bool replaces = false;          // exchanged with the file there
    uint64_t device = 0, inode = 0; // the new entry
    // A folder made there (before what goes into it): undone only while it
    // is empty.
    bool makesFolder = false;
};
// Writes the journal of `moves` into the working folder `workFd`, on disk
// before it returns true.
bool writeJoinJournal(int workFd, const std::vector<JoinMove>& moves);
// Every move made: the journal goes, on disk before it returns true.
bool dropJoinJournal(int workFd);
// Undoes, last first, those of `moves` that were made (the entry of the
// journaled identity is in place): a replaced file gets its name back, a new
// entry goes, a folder made goes when it is still empty (made private again
// first, so what is in it can go). False when one could not be undone.
bool undoJoinMoves(int outFd, int workFd, const std::vector<JoinMove>& moves);

// True when `folderFd` (a set's folder) or a working folder beside it in
// `outFd` holds a journal naming `setName`: a replacement of the set was
// interrupted.
bool replacementPending(int outFd, int folderFd, const std::string& setName);
