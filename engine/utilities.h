#pragma once
// Path, size and folder helpers shared by the split, the join and the
// inspection, and the process-wide progress counters of the current run.
//
// Paths are NUL-terminated byte strings with '/' as the separator. None of
// these functions throws. A helper that fills a caller's buffer never writes
// past the size it is given.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class RunContext;

// Every engine path lives in a buffer of this many bytes (text plus NUL).
inline constexpr std::size_t kPathBufferSize = 1024;
// The full path of any entry inside a walked folder must fit this many bytes
// (text plus NUL); longer entries are refused by the walk and the size sum.
inline constexpr std::size_t kWalkPathBufferSize = 512;

// The bytes of `text` as unsigned values, for a loop that tests their ranges:
// for (unsigned char c : bytesOf(text)).
inline std::span<const unsigned char> bytesOf(std::string_view text) {
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// Current calendar time in seconds.
int64_t nowSeconds();
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

// Copies the text after the last '/' or '\' of `path` into `out`. Leaves `out`
// untouched when the path has no separator. Returns -1 (leaving `out`
// untouched) when a pointer is null or the name does not fit `outSize`, else 0.
int32_t baseNameOf(const char* path, char* out, std::size_t outSize = kPathBufferSize);
// Ends the name at its first '.'; always returns 0. A null name is ignored.
int32_t cutAtFirstDot(char* name);
// The stem of a base name: the name cut at its first '.'.
std::string stemOf(const std::string& baseName);
// The one family of path helpers; trailing slashes are ignored by all three.
// The last component: "a/b/c" and "a/b/c/" give "c", "c" gives "c", "/"
// gives "/".
std::string lastComponentOf(const std::string& path);
// The path without its last component: "a/b/c" gives "a/b", "/a" gives "/",
// a bare name "c" (or "/") gives "".
std::string folderPartOf(const std::string& path);
// The folder that holds `path`, to open: as folderPartOf, but "." for a bare
// name.
std::string parentFolderOf(const std::string& path);
// Writes "<stem>_<index>.spt" into `out`. Returns the number of characters
// written, or -1 (with `out` holding an empty string) if it does not fit.
int32_t pieceFileName(const char* stem, int32_t index, char* out,
                      std::size_t outSize = kPathBufferSize);
// "<pieceFolder>/<stem>_<index>.spt", or "" when the file name does not fit.
// The caller checks the whole path against kPathBufferSize.
std::string piecePathOf(const std::string& pieceFolder, const std::string& stem, int32_t index);

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

// The files a join wrote without the setuid or setgid bit they were stored
// or found with: counted, the first few named, and said once as a note of
// the run ("left out the setuid or setgid bit of 2 files: a/run and b").
struct DroppedBits {
    int64_t count = 0;
    std::vector<std::string> names;
    void add(const std::string& path);
    void sayIn(RunContext& run) const;
};

// A name that can stand as one path component of our own making: not empty,
// not "." or "..", and without '/' or '\'.
bool isSafeComponentName(const char* name);
// A relative path that stays below the folder it is joined to: not empty, not
// absolute, and no component that is empty, "." or "..".
bool isSafeRelativePath(const char* path);
// As above, for a path read from a file, which may hold a NUL: then it is not one.
bool isSafeRelativePath(const std::string& path);

// Progress of the current run (split, join or inspection). The counters keep
// their values after the run until the next one starts.
int64_t progressDoneBytes();
int64_t progressTotalBytes();
int64_t progressElapsedSeconds();
int64_t pathSize(const char* path);

// Used by the engine's runs: start a run (done bytes 0, start time now), set
// the expected total, and add bytes right after they were written.
void progressStartRun();
void progressSetTotalBytes(int64_t total);
void progressAddDoneBytes(int64_t bytes);
