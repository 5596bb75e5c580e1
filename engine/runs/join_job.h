#pragma once
// What the join's files share: the run's state and the steps each file
// makes. Only the join's own sources include this.
//
//   join.cpp          the run: open the set, plan, check, write, finish
//   join_plan.cpp     the plan: names, pieces and their quick check, sizes
//   join_targets.cpp  each file written and put in place, and the moves at the end
//   join_tree.cpp     a folder set's tree: its other entries, fresh or existing
//   join_stream.cpp   a file set sent to a stream

#include "engine/runs/encrypted_set.h"
#include "engine/runs/recovery.h"

#include "engine/base/file_io.h"
#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest.h"
#include "engine/format/manifest_file.h"
#include "engine/format/tree_description.h"
#include "engine/fs/run_folder.h"
#include "engine/fs/shared_blocks.h"
#include "engine/fs/target_writer.h"
#include "engine/runs/open_set.h"
#include "engine/runs/piece_folder.h"
#include "engine/runs/piece_hashing.h"
#include "engine/runs/removal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace joining {

struct PieceState {
    bool good = false;
    int64_t size = 0;
    FileIdentity identity;
    std::string problem; // why it is not good
    EngineFailure kind = EngineFailure::PieceDamaged;
};

// The slices that make a target of the result (relative to the root; "" for
// a file set), in record order.
using Slice = PieceSlice;
using Slices = std::span<const PieceSlice>;

struct JoinJob {
    JoinJob(RunContext& context, const Manifest& read) : run(context), manifest(read) {}
    RunContext& run;
    const Manifest& manifest;
    std::string pieceFolder;
    std::string outputFolder;
    std::string baseName;
    std::string target; // the file, or the root of the tree
    std::string stem;
    int32_t pieceCount = 0;
    bool replaceExisting = true;
    Transforms transforms; // the inverse of the split's, for a file set
    int pieceMode = 0666;  // new files are no less private than the pieces
    int pieceFd = -1;
    // Pieces rebuilt from the recovery pieces, read from this folder instead.
    int rebuiltFd = -1;
    std::set<int32_t> rebuilt;
    std::map<int32_t, PieceState> pieces;
    PieceVerifier* verifier = nullptr; // full checks, when the set has its checksum files
    RunFolder* work = nullptr;         // where targets are written until complete, unless unnamed
    UnnamedFiles unnamed = UnnamedFiles::Unavailable; // how new files are made, when they can be
    bool freshRoot = false;                           // the tree's root was made by this run
    // The set's TREE.mtree, when it has one: each file's bits and time, and
    // the folders, links and FIFOs, restored as described.
    bool described = false;
    TreeAttributes tree;
    bool fileSet = true;
    mode_t umask = 022;
    const std::vector<Sha256Digest::Bytes>* expectedContent =
        nullptr; // by target, with the verifier
    // Targets that replace an existing file, and every target of a tree that
    // was there before, wait for one flush of the file system and are moved
    // in at the end, all or none (run_folder.h).
    struct Deferred {
        std::string folder; // below the root; "" for a file set's target
        std::string temporary;
        std::string name;
        std::string path;
        bool replaces = false;
        uint64_t device = 0, inode = 0;
        uint64_t replacedDevice = 0, replacedInode = 0; // the file it replaces, as checked
    };
    std::vector<Deferred> deferred;
    FileDescriptor root;     // the tree's root, where it is built; the output folder for a file set
    bool rootInWork = false; // a new tree is built in the working folder and moved out whole
    int64_t added = 0;       // new files named in place
    int64_t replaced = 0;
    bool movedIn = false;       // the moves into an existing tree were made
    bool undoFailed = false;    // some could not be undone (a note says so)
    bool saidUnchanged = false; // the failure's reason says nothing was changed
    // The piece read last, kept open for the next target: a tree's files
    // mostly lie in the same piece one after another.
    int32_t lastIndex = -1;
    FileDescriptor lastPiece;
    bool failed = false;
    DroppedBits dropped; // files written without their setuid or setgid bit
    // A file set joined as it is shares the pieces' blocks where the file
    // system can: probed at its first copy.
    bool sharingProbed = false;
    BlockSharing sharing;
    int64_t sharedBytes = 0;
    int64_t copiedBytes = 0; // every byte put in a target, shared or written
};

std::string piecePath(const JoinJob& job, int32_t index);

std::string pieceName(const JoinJob& job, int32_t index);

bool fitsPathBuffer(const std::string& path);

bool planJoin(const std::string& pieceFolder, const std::string& outputFolder, JoinJob& job);

bool recordIsSafe(const JoinJob& job, const FileRecord& record);

// Opens a piece for reading; a link to a piece is read like the piece.
FileDescriptor openPiece(const JoinJob& job, int32_t index);

// Every piece must still be the piece the split made: same length, same
// first bytes. The fingerprint cannot see a change beyond the first 1016
// bytes that keeps the length.
void checkPieces(JoinJob& job, JoinOutcome* outcome);

bool pieceIsGood(JoinJob& job, int32_t index);

// The slices lie inside their pieces and add up to at most the total; a file
// set's pieces add up to exactly the total.
bool sizesAgree(JoinJob& job, const ManifestTargets& targets, bool fileSet);

// The names the set's own files have in its piece folder.
std::set<std::string> ownNames(const JoinJob& job);

// A target that would be one of the set's own files, in its own folder.
bool writesOverItsOwnSet(const JoinJob& job, int outFd, const ManifestTargets& targets,
                         bool fileSet);

// A stream that is a file of the set itself ("join SET - >> SET/x_2.spt")
// would damage the set as it reads it.
bool streamsIntoItsOwnSet(const JoinJob& job, int outFd);

// The target `index` of the join passed every check the set allows: each
// piece feeding it matches its checksum, and its content matches its line in
// CONTENTS.sha256 (hashed from `out` when the pieces' pass could not).
bool passesFullCheck(JoinJob& job, std::size_t index, Slices slices, int out,
                     const std::string& path);

// The times for utimensat and futimens that set the modification time only.
std::array<struct timespec, 2> modificationTime(int64_t seconds, int32_t nanoseconds);

// The entry `name` in `folderFd` is a symbolic link to `target`.
bool linkPointsAt(int folderFd, const std::string& name, const std::string& target);

// Writes one target and gives it `name` in `folderFd` once every slice is in
// and it passed its checks. A new file is written unnamed in its folder
// (where the file system allows) and named in one step that fails if the name
// was taken meanwhile; otherwise in the run's working folder, renamed into
// place. A target that replaces an existing file, and every target of a tree
// that was there before, waits for the end of the run (finishDeferred).
// Nothing stays under either name on failure.
bool writeTarget(JoinJob& job, std::size_t index, int folderFd, const std::string& folder,
                 const std::string& name, const std::string& path, Slices slices);

// The targets that wait for the end (those that replace a file, and every
// entry that comes into a tree that was there before): nothing moves when
// the run failed or was stopped. Otherwise what the tree lacks besides its
// files (folders, links, FIFOs) is made in the working folder too, one flush
// of the file system puts all of it on disk before anything is replaced, the
// moves are journaled, then made (new folders first, parents first; each
// replaced file exchanged into the working folder, where it stays until the
// last move is made), then each new folder gets its own bits and time, the
// deepest first, and every folder that received something is flushed. Only
// then does the journal go. A move that fails, or a stop among them, undoes
// the ones made; a kill is undone by the next run. A folder that was there
// keeps its bits, owner and time as they were.
void finishDeferred(JoinJob& job, int outFd);

// The described tree's other entries, once every file is in place: the
// folders (empty ones are made here), then the links (never followed, their
// targets as stored) and the FIFOs, then each folder's bits and time, the
// deepest first, so what is made inside does not change them again. An entry
// already there of the same kind is kept (a link only with the same target).
void restoreTreeEntries(JoinJob& job);

void joinFile(JoinJob& job, int outFd, const ManifestTargets& targets);

// A new tree, complete, takes its name in the output folder; never over
// something that appeared there meanwhile.
void putNewTreeInPlace(JoinJob& job, int outFd);

// Before a join writes into a tree that is there, every target is checked
// against what holds its name: a link, a folder, a FIFO or a device where a
// file goes, a file or a link where a folder goes, anything else where a link
// or a FIFO goes (a link only with another target), and, without replacing, a
// file where a file goes. Refused with the first such reason: nothing written.
bool fitsExistingTree(JoinJob& job, const ManifestTargets& targets);

// The targets are written in the order of their first records, their names
// read again from the manifest as they come.
void joinFolder(JoinJob& job, int outFd, const ManifestTargets& targets);

// Decides which check the join makes: the full check with checksum files
// that agree with the set; the quick check alone without any (unless they
// are required) or when told to ignore damaged ones. Damaged files fail it.
bool chooseCheck(const JoinOptions& options, const SetChecksums& sums,
                 const std::string& pieceFolder, RunContext& run);

// A file set's content to `outFd`. Each piece is read once and matched
// against SHA256SUMS, then sent from the same descriptor (a second read, from
// the page cache), and must be unchanged once sent; the content's digest,
// taken on the first read, is matched against CONTENTS.sha256 at the end. So
// what went out before a failure is the set's true beginning.
Result<JoinOutcome> sendFile(JoinJob& job, const ManifestTargets& targets, int outFd,
                             const SetChecksums& sums, JoinOutcome read);

} // namespace joining
