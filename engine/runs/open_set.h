#pragma once
// A set opened for reading, once, by every run that reads one: the join,
// the full check, the repair, the listing and the inspection.

#include "engine/base/run_context.h"
#include "engine/format/manifest_file.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/piece_folder.h"

#include <string>

struct ReadableSet {
    OpenSet folder;   // the set's folder, its parent's lock held shared
    std::string path; // the folder as the caller gave it, for messages
    Manifest manifest;
    std::string baseName; // the source's name: one safe component
    std::string stem;     // the piece names' stem
    // The manifest as it was read, when it lies in the set's folder (what a
    // removal of the pieces may take afterwards).
    FileIdentity manifestIdentity;
    bool manifestInFolder = false;
    bool encrypted = false;   // the marker of an encrypted set lies beside the manifest
    std::string recoveryStem; // "" when the set has no recovery headers
    int fd() const { return folder.get(); }
};

// Opens the set in `pieceFolder`: its folder with the lock (lockSetForReading),
// its manifest read and checked whole, from `manifestFd` when given (a
// repair's folder holding a rebuilt one), else from the set's folder; its base
// name must be one safe component ("the manifest of <folder> has an unsafe
// name", kind UnsafeName). Fails, with the reason kept, when any step does.
Result<ReadableSet> openSet(const std::string& pieceFolder, RunContext& run, int manifestFd = -1);
