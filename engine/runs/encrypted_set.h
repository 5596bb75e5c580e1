#pragma once
// Encrypted sets: the source (a file, or a folder tree) as a POSIX pax tar
// stream, encrypted in the age format with a passphrase (age_format.h), cut
// into pieces like a file named "<name>.age". A marker file "ENCRYPTED"
// beside the manifest holds "age-encryption.org/v1\n" and is listed in
// SHA256SUMS, so an age file split as an ordinary file is never taken for
// an encrypted set. The manifest holds no password digest.
//
// Without this program: cat <stem>_*.spt | age -d | tar x

#include "engine/base/run_context.h"
#include "engine/format/checksums.h"
#include "engine/fs/tree_walk.h"
#include "engine/runs/join.h"
#include "engine/runs/recovery.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

struct archive_entry;

inline constexpr const char* kEncryptedMarkerName = kEncryptedMarkerFile;
inline constexpr const char* kEncryptedMarkerText = "age-encryption.org/v1\n";

// The folder `folderFd` holds an encrypted set's marker, as this program writes it.
bool isEncryptedSet(int folderFd);

// Writes a tar of a file or a walked tree to `sink`, unbuffered: the bytes
// of each file go to the sink as they are read. Measure first (sink null):
// the same items give the same size when written.
class TarStream {
public:
    using Sink = std::function<bool(const char* data, std::size_t size)>;
    TarStream(Sink sink, RunContext& run);
    ~TarStream();
    TarStream(const TarStream&) = delete;
    TarStream& operator=(const TarStream&) = delete;
    // Every entry of `tree` below `root` (a folder; "" entries' path is the
    // folder itself), named "<top>/<path>"; or, for a file source, the one
    // file `root` named `top`. Files are read through `rootFd`, never
    // through a link. False on a fault (the run keeps why).
    // `read`, when given, hears of each regular file once its bytes are in
    // the stream: its path below `root`, its descriptor, and its status as
    // it was opened (what a removal of the source later checks).
    using FileRead =
        std::function<void(const std::string& relative, int fd, const struct stat& opened)>;
    bool writeTree(int rootFd, const std::string& root, const std::string& top,
                   const TreeListing& tree, const FileRead& read = {});
    // writeTree's step: the entry `index` of `tree` only (entries in order).
    bool writeTreeEntry(int rootFd, const std::string& root, const std::string& top,
                        const TreeListing& tree, std::size_t index, const FileRead& read = {});
    bool writeFile(int fd, const std::string& path, const std::string& top);
    bool close();
    // Takes what the archive writes (its callback's end).
    bool take(const char* data, std::size_t size);
    int64_t written() const { return written_; }
    // The source's bytes read so far (for progress).
    int64_t sourceBytes() const { return sourceBytes_; }
    // The AND of the permission bits of every regular file written.
    uint32_t fileModes() const { return fileModes_; }

private:
    struct Archive;
    bool writeEntry(const std::string& name, const struct stat& st, const std::string& link,
                    int dataFd, const std::string& path);
    std::unique_ptr<Archive> archive_;
    Sink sink_;
    RunContext& run_;
    int64_t written_ = 0;
    int64_t sourceBytes_ = 0;
    uint32_t fileModes_ = 0666;
    bool measuring_ = false;
    std::string folderName_; // the folder of the last file written, open
    FileDescriptor folder_;
};

// What every reader of an encrypted set's tar refuses, entry by entry, before
// it makes or shows anything of it: a name that is absolute, empty, or has a
// "." or ".." component; a name this program keeps for itself; more than one
// thing at the top; a device or a hard link; a second file at the top.
class TarEntryCheck {
public:
    // False, with why() and kind(), when `entry` is refused; else its name's
    // components go to `parts`.
    bool admit(struct archive_entry* entry, std::vector<std::string>& parts);
    // The one name at the top, once an entry was admitted.
    const std::string& top() const { return top_; }
    const std::string& why() const { return why_; }
    EngineFailure kind() const { return kind_; }

private:
    bool refuse(std::string why, EngineFailure kind);
    std::string top_;
    int64_t files_ = 0;
    std::string why_;
    EngineFailure kind_ = EngineFailure::Other;
};

// One entry of an encrypted set's tar, admitted by TarEntryCheck.
struct EncryptedTarEntry {
    std::vector<std::string> parts; // its name's components, the top first
    mode_t type = 0;                // S_IFREG, S_IFDIR, S_IFLNK or S_IFIFO
    uint32_t mode = 0;              // its permission bits (07777) as the tar holds them
    int64_t mtimeSeconds = 0;
    int32_t mtimeNanoseconds = 0;
    int64_t size = 0;       // a file's bytes
    int64_t dataOffset = 0; // where a file's bytes begin in the tar
    std::string link;       // a link's target
};

// The tar of `size` bytes that `read` gives by ranges (the bytes from an
// offset on, at least one, up to where the reader likes), read once from its
// start: every entry checked as the join checks it and handed to `take`, the
// files' bytes skipped without being read, and what follows the tar's end
// checked to be zeros, as the join checks it. False, with `why` and `kind`,
// when an entry is refused, the tar is damaged, it holds nothing, `read`
// fails (why it failed is the reader's to keep) or `take` refuses.
using TarRangeReader = std::function<bool(int64_t offset, std::vector<char>& out)>;
bool indexTarStream(int64_t size, const TarRangeReader& read,
                    const std::function<bool(EncryptedTarEntry&)>& take, std::string& why,
                    EngineFailure& kind);

// Joins the encrypted set in `pieceFolder` into `outputFolder` with
// `password`: decrypts while it reads the pieces and takes the tar stream
// apart with this program's own safe file operations (never through a link,
// no absolute names, no "..", no devices or hard links). Everything is
// written in a working folder and put in place only once the last chunk has
// authenticated. A wrong password, a changed, missing, reordered or cut
// piece: the run fails, naming the piece, and nothing is put in place.
// Reads every piece of the encrypted set in `pieceFolder` and authenticates
// every chunk with `password`, writing nothing: the plaintext's length, or
// why not (the first bad piece, or a wrong password).
Result<int64_t> authenticateEncryptedSet(const std::string& pieceFolder,
                                         const std::string& password, RunContext& run);

// With `rebuilt`, the files a repair rebuilt are read from its folder.
// `pieceFault`, when given, is set when the join failed on a piece that is
// missing, cut or damaged (what the recovery pieces may mend).
Result<JoinOutcome> joinEncryptedSet(const std::string& pieceFolder,
                                     const std::string& outputFolder, const std::string& password,
                                     const JoinOptions& options, RunContext& run,
                                     const RebuiltFiles* rebuilt = nullptr,
                                     bool* pieceFault = nullptr);
