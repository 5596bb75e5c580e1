#pragma once
// The published path-string helpers and progress counters, as the window and
// outside callers were given them. The engine's runs never use these: below a
// folder they work through descriptors (engine/fs/safe_fs.h).

#include "engine/base/utilities.h"

#include <cstdint>
#include <string>
#include <vector>

class RunContext;

// Sleeps for the given number of microseconds; returns usleep's result.
int32_t sleepMicroseconds(int32_t microseconds);

// 1 if the path opens as a directory. Otherwise writes the diagnostic line
// "error opendir <path> \n" (errors.h: standard output unless a front end
// directs it elsewhere) and returns 0 (so an ordinary file gives that line too).
int32_t isFolder(const char* path);
// Size in bytes by stat (following symbolic links); -1 if stat fails.
int64_t fileSize(const char* path);
// Recursive byte total of the non-hidden entries of a folder: what a split of
// the folder stores. Names that begin with '.' are skipped with everything
// under them. Links to folders are not followed, by this sum or by the split:
// they, FIFOs and devices count 0 bytes and come back from a join as empty
// files. Links to regular files count, and are stored with, their target's bytes. Prints the
// opendir line and returns 0 for a folder that cannot be opened. Entries whose full path does not
// fit kWalkPathBufferSize are not counted (listFolderFiles reports them).
int64_t folderSize(const char* path);
// folderSize for a folder, fileSize otherwise (-1 for a path that is neither).
int64_t pathSize(const char* path);

// Appends the full path of every non-folder entry of `folder` to `list`, in
// directory listing order, skipping names that begin with '.'. Subfolders are
// walked depth first, in place, when `recurse` is 1. An entry counts as a
// folder when the listing's type has the directory bit (4) set; where the
// listing gives no type, lstat decides; a link is never a folder here.
// Returns 0, or -1 (with the reason kept, errors.h) when some folder, the
// given one included, could not be listed (it prints the opendir line and adds
// nothing), or some entry's full path did not fit kWalkPathBufferSize (such
// entries are left out, never cut short).
int32_t listFolderFiles(const char* folder, std::vector<std::string>& list, int32_t recurse);
// The same, with the reason kept in `run`.
int32_t walkFolderFiles(const char* folder, std::vector<std::string>& list, int32_t recurse,
                        RunContext& run);
// The directory test of the walk for one entry: `type` is the listing's
// d_type; DT_UNKNOWN falls back to lstat of `path`.
bool entryIsFolder(unsigned char type, const char* path);
// A copy of the entry at position n, or "" when n is out of range.
std::string fileAtIndex(const std::vector<std::string>& list, int32_t n);

// mkdir with mode 0777; returns mkdir's result (callers may ignore it).
int32_t makeFolder(const char* path);
// Creates every leading folder of `path` ("/", "/a/", "/a/b/" for /a/b/c.txt),
// ignoring failures; the last component is not created. Prefixes that do not
// fit kPathBufferSize are not attempted.
void makeParentFolders(const char* path);

// Progress of the current run (split, join or inspection). The counters keep
// their values after the run until the next one starts.
int64_t progressDoneBytes();
int64_t progressTotalBytes();
int64_t progressElapsedSeconds();

// Used by the engine's runs: start a run (done bytes 0, start time now), set
// the expected total, and add bytes right after they were written.
void progressStartRun();
void progressSetTotalBytes(int64_t total);
void progressAddDoneBytes(int64_t bytes);
