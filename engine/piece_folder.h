#pragma once
// The piece folder "<output folder>/<stem>_spt" as a split takes it: created
// or opened without following a link, locked against other runs, checked for
// a set already there, and given the new set in one step once it is complete.

#include "engine/file_io.h"

#include <set>
#include <string>

#include "engine/checksums.h"

// Files this program writes beside a set's manifest and pieces.
inline constexpr const char* kOwnFileNames[] = {kPieceSumsFileName, kContentSumsFileName};

// "<stem>_<digits>.spt".
bool isPieceNameOf(const std::string& name, const std::string& stem);

// What in the folder belongs to a set in the way of a new set with `stem`:
// the manifest, the pieces its manifest lists (under its own stem), the
// files this program writes beside them, and any file named like a piece of
// `stem`; regular files only.
std::set<std::string> setNamesIn(int folderFd, const std::string& stem);

// "report.pdf, 12 pieces", "3 files named like its pieces", or "" when the
// folder holds nothing of a set.
std::string describeSetIn(int folderFd, const std::string& stem);

// Opens a set's piece folder for reading, takes its lock shared (so no split
// writes into it meanwhile) and loads its manifest into the registry. An
// empty descriptor, with the reason kept, when any step fails.
FileDescriptor openSetForReading(const char* pieceFolder);

class PieceFolder {
public:
    // Creates (when missing) and opens the folder `name` inside `outFd`, then
    // takes its lock exclusively. False, with the reason kept, when it is a
    // link, not a folder, cannot be made, or another run holds it.
    bool openForSplit(int outFd, const std::string& name, const std::string& displayPath);
    std::string describeSet(const std::string& stem) const;
    // Removes the folder again when openForSplit made it and it is still empty.
    void discardIfCreated();
    // Puts the complete new set in the temporary folder `tempName` (open as
    // `tempFd`) in place of this folder's set: afterwards the folder's name
    // holds the new set and every entry that was not part of the old set, and
    // the old set is gone. When the folder holds nothing else, the two
    // folders swap in one step; otherwise the files move in, the manifest
    // last. A set that appeared meanwhile is a failure unless `replace`.
    // False, with the reason kept, when it could not be done; the old set is
    // then as it was.
    bool putInPlace(int outFd, const std::string& tempName, int tempFd, const std::string& stem,
                    bool replace);

private:
    bool swapFolders(int outFd, const std::string& tempName, int tempFd,
                     const std::set<std::string>& oldSet);
    bool moveFilesIn(int tempFd, const std::set<std::string>& oldSet);
    static void removeOldSet(int folderFd, const std::set<std::string>& oldSet);

    FileDescriptor fd_;
    int outFd_ = -1;
    std::string name_;
    std::string displayPath_;
    bool created_ = false;
};
