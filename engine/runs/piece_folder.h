#pragma once
// The piece folder "<output folder>/<stem>_spt" as a split takes it: created
// or opened without following a link, locked against other runs, checked for
// a set already there, and given the new set in one step once it is complete.

#include "engine/base/file_io.h"

#include <set>
#include <string>

#include "engine/format/checksums.h"
#include "engine/fs/run_folder.h"

// Files this program writes beside a set's manifest and pieces.
inline constexpr const char* kOwnFileNames[] = {kPieceSumsFileName, kContentSumsFileName,
                                                kTreeFileName, kEncryptedMarkerFile};

// "<stem>_<digits>.spt".
bool isPieceNameOf(const std::string& name, const std::string& stem);
// A name a file of the set with `stem` has: its manifest, a piece, a
// recovery piece or header, or one of the files written beside them.
bool isSetFileName(const std::string& name, const std::string& stem);

// What in the folder belongs to a set in the way of a new set with `stem`:
// the manifest, the pieces its manifest lists (under its own stem), the
// files this program writes beside them, and any file named like a piece of
// `stem`; regular files only.
std::set<std::string> setNamesIn(int folderFd, const std::string& stem);

// "report.pdf, 12 pieces", "3 files named like its pieces", or "" when the
// folder holds nothing of a set.
std::string describeSetIn(int folderFd, const std::string& stem);

// A set's piece folder opened for reading, with the lock of the folder that
// holds it (the output folder of its split, which no swap replaces) held
// shared, so no split replaces the set meanwhile.
struct OpenSet {
    FileDescriptor folder;
    FileDescriptor parent; // holds the lock
    explicit operator bool() const { return static_cast<bool>(folder); }
    int get() const { return folder.get(); }
};

// Opens a set's piece folder for reading and takes its parent's lock shared.
// When the lock can be had exclusively first, what killed runs left beside
// the set is removed and an interrupted replacement of it finished (a note of
// `run` says so); a set whose replacement is still pending while others hold
// the lock is refused ("being replaced"). Empty, with the reason kept, when
// any step fails.
OpenSet lockSetForReading(const char* pieceFolder, RunContext& run);

// Takes `outFd`'s lock exclusively without waiting and removes what dead runs
// left in it (a note says so). False, with "another run is using <what>"
// kept, when another run holds the lock.
bool lockForWriting(int outFd, const std::string& what, RunContext& run);

class PieceFolder {
public:
    // Takes the lock of `outFd` (which must stay open) exclusively, then opens
    // the folder `name` inside it when it exists. False, with the reason kept,
    // when another run holds the lock or `name` is a link or not a folder.
    // Failures and notes go to `run`, which must outlive this object.
    bool openForSplit(int outFd, const std::string& name, const std::string& displayPath,
                      RunContext& run);
    std::string describeSet(const std::string& stem) const;
    // The first entry under a name the new set of `count` pieces needs (a
    // piece, the manifest, a checksum file) that is not a regular file: a
    // folder or link of the user's, which a replacement would leave hidden.
    // "" when there is none.
    std::string entryInTheWay(const std::string& stem, int32_t count) const;
    // Puts the complete new set in the working folder `temp` in place of this
    // folder's set. When there is no folder yet, the working folder takes its
    // name. Otherwise a journal is written into the old folder, the two
    // folders are exchanged in one step (the commit point: afterwards the
    // name holds the new set), then every entry that was not part of the old
    // set moves across and the old set goes (run_folder.h). A set that
    // appeared meanwhile is a failure unless `replace`. The working folder is
    // private until it holds the set's name; then it gets `newMode` as a new
    // folder, or the old folder's bits and owner. False, with the reason
    // kept, when it could not be done; the old set is then as it was.
    bool putInPlace(RunFolder& temp, const std::string& stem, bool replace, mode_t newMode);

private:
    bool exchange(RunFolder& temp, const std::set<std::string>& oldSet);

    RunContext* run_ = nullptr;
    FileDescriptor fd_;
    int outFd_ = -1;
    std::string name_;
    std::string displayPath_;
};
