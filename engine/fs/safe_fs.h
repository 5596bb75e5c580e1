#pragma once
// Safe file operations, in one place for the split, the join and the removals.
//
// Below a folder the user gave, nothing follows a symbolic link: folders are
// opened and created relative to folder descriptors with O_NOFOLLOW, new files
// are made under a temporary name with O_EXCL and renamed into place, and
// removal unlinks exactly the entries named. The folders the user gave may
// themselves be reached through a link.

#include "engine/base/file_io.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What identifies a file's content: the same device, inode, size and
// modification time (to the nanosecond) means it was not replaced or changed.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = -1;
    int64_t mtimeSeconds = 0;
    int64_t mtimeNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of an open file; false when fstat fails.
bool identityOf(int fd, FileIdentity& out);
// The identity a status gives.
FileIdentity identityOfStatus(const struct stat& st);

// A file's identity with its change time, to the nanosecond: what the split
// compares before and after it reads a source whose bytes it hashes apart
// from the copy. Every write, truncation or change of its times through a
// descriptor moves the change time, which no user can set back.
struct FileStamp {
    FileIdentity identity;
    int64_t ctimeSeconds = 0;
    int64_t ctimeNanoseconds = 0;
    bool operator==(const FileStamp&) const = default;
};
FileStamp stampOfStatus(const struct stat& st);
// The stamp of an open file; false when fstat fails.
bool stampOf(int fd, FileStamp& out);

// The kind of an entry, without following a link.
enum class EntryKind { Missing, Regular, Folder, Link, Other, Unknown };
// The entry `name` of the folder `dirFd`; `identity` is filled when given.
// Unknown (with errno set) when it cannot be examined.
EntryKind entryAt(int dirFd, const char* name, FileIdentity* identity = nullptr);

// Opens a folder the user gave (links followed). Empty, with errno set, on failure.
FileDescriptor openFolderPath(const std::string& path);
// Opens the folder `name` inside `dirFd`, never through a link: a link gives
// ELOOP, anything else than a folder ENOTDIR.
FileDescriptor openFolderAt(int dirFd, const char* name);
// Creates the folder `name` inside `dirFd` when it is missing, then opens it
// as openFolderAt does. `created` tells whether this call made it.
FileDescriptor makeFolderAt(int dirFd, const char* name, bool* created = nullptr);
// Why the folder `name` inside `dirFd` could not be opened or made, after
// `error`: "it is a symbolic link", "it is not a folder", or the system's text.
std::string folderProblem(int dirFd, const char* name, int error);
// Opens (creating when `create`) every folder of the relative path `path`
// below `rootFd`, one component at a time, never through a link and never
// above `rootFd`: a path with an empty, "." or ".." component (or a NUL)
// gives EINVAL, and "" gives `rootFd` itself.
FileDescriptor openFolderBelow(int rootFd, const std::string& path, bool create);

// Files without a name: made in a folder, written and checked, then given
// their name in one step that never replaces what holds it (EEXIST). Nothing
// can open one by name while it is written, and nothing of it stays when the
// run is killed. How a descriptor gets its name depends on the process:
// directly (AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH) or through /proc.
enum class UnnamedFiles { Unavailable, ByDescriptor, ByProcPath };
// Tries both ways in the folder `dirFd` (a private folder of the run: a
// file named `probeName` is made there and removed); Unavailable where the
// file system has no unnamed files or neither way names one.
UnnamedFiles probeUnnamedFiles(int dirFd, const char* probeName);
// An unnamed file in `dirFd`, opened for reading and writing, made with
// `mode` (less the umask). Empty, with errno set, on failure.
FileDescriptor createUnnamedIn(int dirFd, mode_t mode);
// Gives the unnamed file `fd` the name `name` in `dirFd`.
bool nameUnnamed(UnnamedFiles way, int fd, int dirFd, const char* name);

// The names in the folder `dirFd`, "." and ".." left out, in listing order;
// empty when it cannot be listed.
std::vector<std::string> namesIn(int dirFd);
// Calls `visit(name, d_type)` for every entry of `dirFd` ("." and ".."
// included) in listing order. False when the folder cannot be read to its end.
bool visitEntriesIn(int dirFd, const std::function<void(const char*, unsigned char)>& visit);

// Opens the regular file `name` inside `dirFd` for reading, without blocking
// on a FIFO. A link is not followed unless `followLink` (a piece may be a link
// to one); anything but a regular file gives an empty descriptor.
FileDescriptor openFileAt(int dirFd, const char* name, bool followLink = false);

// The whole of the regular file `name` in `dirFd` (never through a link), when
// it holds at most `limit` bytes and, with `onlyOwn`, when this user owns it
// and it has one link. Nothing, with errno set (EFBIG when it is larger,
// EPERM when it is not one's own), when it cannot be read whole.
std::optional<std::string> readSmallFileAt(int dirFd, const char* name, std::size_t limit,
                                           bool onlyOwn = false);

// Every temporary file and folder the engine makes is named
// ".parcelor-tmp-<12 hex digits>", created exclusively in the folder where its
// content will end up.
inline constexpr const char* kTemporaryPrefix = ".parcelor-tmp-";
// The names of a run's own state: its marker inside a working folder, and a
// join's journal of its moves.
inline constexpr const char* kRunMarkerFileName = ".parcelor-run";
inline constexpr const char* kJoinJournalFileName = ".parcelor-join-journal";
// The names above, and every name with the temporary prefix, are reserved at
// every depth: a split leaves such entries out of a tree, a join never writes
// one, and nothing by those names steers a run unless this user made it.
bool isReservedName(std::string_view name);
// The first reserved component of the relative path `path`, or "".
std::string reservedComponentOf(std::string_view path);
// Why a set that would write `path` is refused: "the set holds \"path\",
// a name this program keeps for its own working files; nothing was written".
std::string reservedNameRefusal(const std::string& path);
// A fresh temporary name (nothing is created).
std::string newTemporaryName();
// Creates a new temporary folder in `dirFd` with the permission bits `mode`
// (less the umask) and opens it.
FileDescriptor createTemporaryFolder(int dirFd, std::string& name, mode_t mode = 0777);

// The process's file mode creation mask, read without changing it.
mode_t currentUmask();

// Renames `from` in `fromFd` to `to` in `toFd` unless `to` exists (EEXIST).
// Where the file system takes no flags to rename (NFS), a file gets a new link
// (which fails when the name is taken) and loses the old one; a folder is
// checked and renamed in two steps: callers hold the lock that keeps other
// runs out.
bool renameNoReplace(int fromFd, const char* from, int toFd, const char* to);

// Writes `text` as the file `name` in `dirFd` (created or emptied, never
// through a link), with fsync when `sync`. False, with the reason kept
// in `run` (naming `displayPath`), on any failure.
bool writeTextFileAt(int dirFd, const char* name, const std::string& text, bool sync,
                     const std::string& displayPath, RunContext& run, int mode = 0666);
// A text file written as it is made: `name` in `dirFd`, created or emptied,
// never through a link, gathered into writes of up to 1 MiB. Failures are
// kept in `run`, naming `displayPath`; once one is met the rest is dropped.
class TextFileWriter {
public:
    bool open(int dirFd, const char* name, const std::string& displayPath, RunContext& run,
              int mode = 0666);
    bool write(std::string_view text);
    // Writes what is gathered, with fsync when `sync`, and closes. True only
    // when every byte was written and the file closed cleanly.
    bool close(bool sync);

private:
    static constexpr std::size_t kWriteStep = std::size_t{1} << 20;
    bool flush();
    RunContext* run_ = nullptr;
    FileDescriptor fd_;
    std::string displayPath_;
    std::string buffer_;
    bool ok_ = false;
    int error_ = 0;
};

// Takes the folder's flock without waiting: exclusive for a split, shared for
// everything else. False (errno EWOULDBLOCK) when another run holds it.
bool lockFolder(int dirFd, bool exclusive);

// The device and inode of `fd` equal those of `other`.
bool sameFile(int fd, int other);

// A file that replaces another keeps its owner and group: gives the file
// `out` those of `existing` (the file it replaces, at `path`). Who may write
// it stays who could. False, with the reason kept, when the system refuses.
bool keepOwner(int out, const struct stat& existing, const std::string& path, RunContext& run);

// How many folders below `root` the folder `inner` lies (0: it is `root`),
// walking up by device and inode so that no second name of a folder hides
// it; -1 when it does not lie below it.
int depthBelow(int inner, int root);

// The path with every link resolved, or "" when it cannot be resolved.
std::string resolvedPath(const std::string& path);
