#pragma once
// What a mount of a set shows, built once when the mount starts: the set
// opened (its shared lock held for the view's life), every name checked as
// the join checks it, and an inode table in memory, linear in the files.
//
// The mount's root stands for the join's output folder: it holds one entry,
// the set's base name, which is the one file of a file set or the root of a
// folder set's tree. So CONTENTS.sha256 checks the mount as it checks a join.
//
// Numbered parts of other tools are viewed as their one joined file, each
// part a piece, checked against the checksum file that lists them.
//
// No byte is served unchecked: with checksum files, a piece is hashed in full
// against SHA256SUMS before any byte of it goes out (once per view; a piece
// that fails stays failed and its ranges give EIO); without them, only the
// quick check made when the view is built. A file read from its first byte
// to its last is checked against CONTENTS.sha256: a small one hashed as it
// is read, a large one beside its readers on the view's content thread.
//
// Reads heal: where the set has recovery pieces, a piece that is missing or
// fails its check is rebuilt by the engine's repair into a private folder
// outside the set (then unlinked: an unnamed file of this process), checked
// like any piece and served. The set's folder is never written.

#include "engine/base/digest.h"
#include "engine/base/run_context.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest_targets.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/numbered_parts.h"
#include "engine/runs/open_set.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The password a set asks for: the text given, and for a file that ended in
// CRLF, that text with its CR kept (older builds protected sets with it).
struct MountPassword {
    std::string password;
    std::optional<std::string> withCarriageReturn;
};

struct MountOptions {
    bool requireChecksums = false; // refuse a set without checksum files
    std::string name;              // numbered parts: the joined file's name ("": theirs)
    // Asked for the password once the set turns out to need one (encrypted,
    // or protected by a password's digest). False, with the failure in the
    // run, when there is none to give.
    std::function<bool(MountPassword&, RunContext&)> password;
};

class EncryptedView;

enum class NodeType : uint8_t { Folder, File, Link, Fifo };

struct ViewNode {
    uint32_t parent = 0;
    uint32_t nameOffset = 0; // in the view's name pool
    uint32_t nameLength = 0;
    NodeType type = NodeType::Folder;
    uint32_t mode = 0; // permission bits only
    int64_t mtimeSeconds = 0;
    int32_t mtimeNanoseconds = 0;
    int64_t size = 0;
    // A file: its target in the manifest. A link: its target's offset in the
    // name pool (its length is `size`). A folder: its first child in the
    // children table, and `count` children.
    uint32_t first = 0;
    uint32_t count = 0;
};

// The state of one piece's full check.
enum class CheckState : uint8_t { Unchecked, Checking, Good, Failed };

class SetView {
public:
    // Index 0 is the mount's root; FUSE's inode of node i is i + 1.
    static constexpr uint32_t kRoot = 0;

    // Opens the set in `pieceFolder` and builds its view. Refuses, with the
    // failure kept in `run`, what the join refuses: unsafe or reserved names,
    // a tree description that does not agree with the manifest, damaged
    // checksum files, slices outside their pieces; a set without checksum
    // files when `options.requireChecksums`; a file set missing a piece (its
    // length places every later byte); a set whose password is not given or
    // is wrong. An encrypted set shows the tar its stream holds.
    static std::unique_ptr<SetView> build(const std::string& pieceFolder,
                                          const MountOptions& options, RunContext& run);
    // The numbered parts `firstPart` begins, as the join of parts reads them:
    // refused when one is missing, when their checksum file cannot be used,
    // or without one under `options.requireChecksums`.
    static std::unique_ptr<SetView> buildParts(const std::string& firstPart,
                                               const MountOptions& options, RunContext& run);
    // A regular file is the first of numbered parts; anything else a set.
    static std::unique_ptr<SetView> open(const std::string& path, const MountOptions& options,
                                         RunContext& run);
    ~SetView();

    const ViewNode& node(uint32_t index) const { return nodes_[index]; }
    uint32_t nodeCount() const { return static_cast<uint32_t>(nodes_.size()); }
    std::string_view nameOf(uint32_t index) const;
    std::string_view linkTargetOf(uint32_t index) const;
    // The child of folder `parent` named `name`, or -1.
    int64_t lookup(uint32_t parent, std::string_view name) const;
    // The children of folder `parent`, by name.
    const uint32_t* childrenOf(uint32_t parent) const {
        return children_.data() + nodes_[parent].first;
    }

    // Reads up to `size` bytes of file `index` at `offset` into `out`: the
    // bytes read (short only at the end of the file), or -errno (EIO when a
    // piece holding the range is missing or failed its check).
    int64_t read(uint32_t index, char* out, int64_t size, int64_t offset);
    // The whole-file check of a reader of file `index` that may read it from
    // start to end: begun at open, ended at release.
    // A small file is hashed from what its reader is given, on the reading
    // threads; a large one (over kFollowedSize) on the view's content thread,
    // from the same checked descriptors, as far as its readers have read and
    // a window more, so the reading threads only copy.
    struct WholeRead {
        uint32_t file = 0;                    // its target
        bool large = false;                   // hashed on the content thread
        std::mutex mutex;                     // FUSE may read one open file on several threads
        int64_t next = 0;                     // read (and, when small, hashed) without a gap
        bool gaveUp = false;                  // read out of order beyond what is held back, or done
        std::map<int64_t, std::string> ahead; // small: reads past `next`, held back
        std::map<int64_t, int64_t> spans;     // large: where reads past `next` lie (start, end)
        int64_t held = 0;
        Sha256Digest digest;
        bool following = false; // large: counted among its file's followers (under contentMutex_)
    };
    static constexpr int64_t kFollowedSize = int64_t{16} << 20;
    // Null when nothing would check it (no CONTENTS.sha256 line for it, or a
    // large file already found whole in this mount).
    std::unique_ptr<WholeRead> beginWholeRead(uint32_t index);
    // At release: a large file's reader no longer follows it. (It follows
    // from its open, so that the check of the first piece it reads can
    // already carry the file's hash.)
    void endWholeRead(std::unique_ptr<WholeRead> whole);
    // Reads as `read` does, and hashes what `whole` (may be null) follows; the
    // read that reaches the end gives EIO if the file's hash is not its
    // CONTENTS.sha256 line, and the file is not served from then on.
    int64_t read(uint32_t index, char* out, int64_t size, int64_t offset, WholeRead* whole);

    bool fullCheck() const { return fullCheck_; }
    const std::string& baseName() const { return baseName_; }
    int64_t totalSize() const { return total_; }
    int32_t pieceCount() const { return static_cast<int32_t>(pieces_.size()); }
    // Why piece `index` is not served, "" when it is (or is not checked yet).
    std::string pieceProblem(int32_t index) const;
    // Whether piece `index` was rebuilt from the recovery pieces.
    bool pieceRebuilt(int32_t index) const;
    // Whether the set has recovery pieces to heal from.
    bool canHeal() const { return !set_.recoveryStem.empty(); }
    // Where a piece that fails is said, once ("piece P does not match its
    // SHA-256: its bytes are not served"); standard error until set. Set
    // before the view is served.
    void setReporter(std::function<void(const std::string&)> report) {
        report_ = std::move(report);
    }

    // Where each piece stands, as `parcelor mount --status` shows it.
    struct PieceStatus {
        CheckState check = CheckState::Unchecked;
        std::string problem; // why it is not served
        bool rebuilt = false;
    };
    std::vector<PieceStatus> pieceStatuses() const;
    // Called, outside the view's locks and from any serving thread, each time
    // a piece's check ends or a piece is rebuilt. Set before the view is served.
    void setChangeListener(std::function<void()> changed) { changed_ = std::move(changed); }
    // Called once the process that serves the view is the one that stays (a
    // daemon has forked): only then may the view start its worker thread.
    void beginServing() { serving_ = true; }
    // Ends the worker (after the piece it is checking) and calls the change
    // listener no more: what the listener writes to may go after this.
    void stop();
    // A stop request (safe in a signal handler): a rebuild under way ends
    // and none begins, so the mount can end without waiting for it.
    void requestStop() { stopRequested_.store(true, std::memory_order_relaxed); }
    bool stopWasRequested() const { return stopRequested_.load(std::memory_order_relaxed); }

private:
    friend class EncryptedView;
    // A large file being read whole, and how far it is hashed.
    struct Followed {
        uint32_t file = 0;
        int64_t size = 0;
        int followers = 0;
        int64_t frontier = 0; // the furthest any of them has read without a gap
        int64_t hashed = 0;
        Sha256Running digest;
        bool busy = false; // a step is being hashed, off the lock, or a piece's check carries it
        // Unreadable: the content thread could not read it, and gave no verdict.
        enum class State : uint8_t { Pending, Whole, NotWhole, Unreadable } state = State::Pending;
    };
    struct Piece {
        FileDescriptor fd; // opened and quick-checked when the view is built
        int64_t size = -1;
        // Its stamp when it was quick-checked: a piece whose stamp moves
        // (written, truncated, its times changed) is no longer served.
        FileStamp stamp;
        CheckState check = CheckState::Unchecked;
        std::string problem;
        bool rebuilt = false; // served from what the recovery pieces rebuilt
        bool missing = false; // no file of that name, or not one of its length
        // What its quick check found wrong, when it failed: a piece that
        // could not be opened is missing, any other is damaged.
        EngineFailure kind = EngineFailure::PieceDamaged;
        bool served = false; // a reader was let read it: its descriptor is never replaced
    };
    explicit SetView(ReadableSet set);
    bool buildTree(const MountOptions& options, RunContext& run);
    void quickCheckPieces();
    bool checkSlices(RunContext& run);
    // Rebuilds the pieces that failed from the recovery pieces: all of them
    // (`visibleOnly`: only those missing or of the wrong length, without
    // reading the others). True when it ran and gave back pieces.
    // `checking` is the piece the caller is checking (-1: none). It ends at
    // a stop request: the view's, or `stop` when given (the mount's start).
    bool heal(bool visibleOnly, int32_t checking, const std::atomic<bool>* stop = nullptr);
    bool passwordOpens(const MountOptions& options, RunContext& run);
    // The mount's root, standing for the join's output folder.
    bool addRoot(RunContext& run);
    // Reads bytes of the manifest's target `target` (its slices), as read() does.
    int64_t readTarget(std::size_t target, char* out, int64_t size, int64_t offset);
    bool pieceIsServable(int32_t index);
    // The whole-file hash a piece's check carries in the same pass: the
    // followed file whose next bytes to hash are the piece's slice of it.
    struct Carry {
        std::shared_ptr<Followed> followed; // null: nothing carried
        Sha256Running digest;               // the file's, fed the slice
        int64_t offset = 0;                 // of the slice in the piece
        int64_t length = 0;
        int64_t fed = 0;
    };
    // Claims the followed file a check of piece `index` can carry, if any.
    Carry carryFor(int32_t index);
    // Takes what the check carried when the piece was good, and lets the
    // file be hashed on from there.
    void settle(Carry& carry, bool pieceGood);
    // Checks piece `index` in full (the hash of the manifest set, or the
    // parts' own), off the lock, carrying `carry` (may be null); the
    // verdict's reason, "" when good.
    std::string checkPiece(int32_t index, Carry* carry = nullptr);
    // The SHA-256 of the piece `fd`, read in steps through `buffer`, with the
    // slice `carry` follows fed to the file's digest in the same pass; ""
    // when it cannot be read.
    static std::string pieceDigestCarrying(int fd, Carry& carry, char* buffer, std::size_t step);
    // Starts the full check of the piece after `index` on the worker, so a
    // sequential reader does not wait for it.
    void checkAhead(int32_t index);
    std::span<const PieceSlice> slicesOfFile(std::size_t target) const {
        if (parts_) return partSlices_;
        return targets_.slicesOf(target);
    }
    std::string piecePath(int32_t index) const;
    bool finishWholeRead(WholeRead& whole);
    bool follow(WholeRead& whole, const char* data, int64_t size, int64_t offset, int64_t fileSize);
    bool followLarge(WholeRead& whole, int64_t size, int64_t offset, int64_t fileSize);
    void unfollow(WholeRead& whole); // with contentMutex_ held
    // The file `target`'s verdict once its readers reached its end: hashed
    // by the content thread, or here when no thread could be started.
    bool largeFileIsWhole(uint32_t target);
    // Hashes the next step of `followed` off the lock `lock` holds on
    // contentMutex_, and gives its verdict at its end.
    void hashStep(const std::shared_ptr<Followed>& followed, char* buffer,
                  std::unique_lock<std::mutex>& lock);
    // With contentMutex_ held: the verdict on `followed` once all is hashed.
    void concludeIfHashed(Followed& followed);
    // The slice of file `target` holding its byte `at`, and where that slice
    // begins in the file; null past the end.
    const PieceSlice* sliceAt(uint32_t target, int64_t at, int64_t& start) const;
    bool pieceHasVerdict(int32_t index) const;
    // Tells the content thread a piece's verdict is in (none of the view's locks held).
    void pieceSettled();
    // A followed file whose next step may be hashed now, or null.
    std::shared_ptr<Followed> nextToHash() const; // with contentMutex_ held
    void hashContents();                          // the content thread
    std::string fileNameOf(uint32_t target) const;
    void failContents(uint32_t target); // with checkMutex_ held
    void report(const std::string& text) const;
    void reportLocked(const std::string& text) const; // with checkMutex_ held
    // After bytes of a piece were read: false, and the piece failed from
    // then on, when it changed since it was checked.
    bool pieceUnchanged(int32_t index);
    void failPiece(Piece& piece, int32_t index, const std::string& problem);
    uint32_t addNode(uint32_t parent, std::string_view name, NodeType type);
    bool sortChildren(RunContext& run);

    ReadableSet set_;
    ManifestTargets targets_;
    // Numbered parts: their folder, names, sum and the one file's slices.
    bool parts_ = false;
    FileDescriptor partsFolder_;
    std::string partsPath_;
    std::vector<std::string> partNames_;
    PartSum sum_ = PartSum::Sha256;
    std::vector<PieceSlice> partSlices_;
    std::string baseName_;
    int64_t total_ = 0;
    std::vector<Sha256Digest::Bytes> contents_; // by file, with CONTENTS.sha256
    std::vector<uint8_t> fileFailed_;           // by file: failed its whole check
    std::vector<std::string> pieceHex_;         // by piece, with the full check
    bool fullCheck_ = false;
    std::vector<ViewNode> nodes_;
    std::vector<uint32_t> children_;
    std::string names_;
    std::vector<Piece> pieces_;
    std::function<void(const std::string&)> report_;
    std::function<void()> changed_;
    std::unique_ptr<EncryptedView> encrypted_; // an encrypted set's stream, opened
    mutable std::mutex checkMutex_;
    std::condition_variable checked_;
    std::mutex healMutex_;
    bool healedAll_ = false; // a full repair ran: nothing more can be rebuilt
    std::atomic<bool> stopRequested_{false};
    // The worker that checks ahead of a sequential reader.
    std::thread worker_;
    std::vector<int32_t> aheadQueue_;
    bool stopping_ = false;
    std::atomic<bool> serving_{false};
    std::condition_variable aheadWanted_;
    void work();
    // The content thread, and the large files being read whole.
    std::mutex contentMutex_;
    std::condition_variable contentChanged_;
    std::map<uint32_t, std::shared_ptr<Followed>> followed_;
    std::vector<uint8_t> fileWhole_; // by file: found whole (large files)
    std::thread contentWorker_;
    bool contentStopping_ = false;
};
