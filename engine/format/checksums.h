#pragma once
// The checksum files a split writes beside the manifest, checkable with
// coreutils' `sha256sum -c`:
//  - "SHA256SUMS": one line per piece, in piece order, then one for the manifest;
//  - "CONTENTS.sha256": one line per file the join rebuilds, named relative to
//    the join's output folder ("<base name>" or "<base name>/<relative path>").
// Lines are "<64 lower-case hex>  <name>"; a name holding a backslash, a
// newline or a carriage return is escaped as sha256sum writes it, with a
// backslash before the line.
//
// The hashes are taken from the pieces as they are on disk, read back right
// after each is written, on a worker thread while the next one is copied.

#include "engine/base/digest.h"
#include "engine/base/file_io.h"
#include "engine/base/pipeline.h"
#include "engine/format/manifest_file.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

class Sha256Digest;

inline constexpr const char* kPieceSumsFileName = "SHA256SUMS";
inline constexpr const char* kContentSumsFileName = "CONTENTS.sha256";

// One line (with its newline) as `sha256sum` writes it.
std::string checksumLine(const std::string& hex, const std::string& name);
// Reads the lines of a checksum file's text. False when a line is malformed.
struct ChecksumEntry {
    std::string hex;
    std::string name;
};
bool parseChecksumLines(const std::string& text, std::vector<ChecksumEntry>& out);
// The name of a checksum line, after its hash and the two characters that
// follow it: as written, or, on a line that begins with '\', with its
// "\\", "\n" and "\r" read back. False for any other escape.
bool checksumLineName(std::string_view text, bool escaped, std::string& name);

// The SHA-256 of the whole file `fd` from offset 0, as lower-case hex, read
// in bounded steps; each step is added to the run's progress when
// `countProgress`. "" when it cannot be read or the run is asked to stop.
std::string sha256OfFile(int fd, RunContext& run, bool countProgress);

// A run of one rebuilt file's bytes inside a piece.
using ContentSlice = PieceStage::Slice;

// Hashes the pieces of a split as they are handed over, on its own thread,
// with at most a few pieces waiting: memory does not grow with the source.
class SplitHasher : public PieceStage {
public:
    // Stops hashing when `context` is asked to stop.
    explicit SplitHasher(RunContext& context);
    ~SplitHasher() override;
    SplitHasher(const SplitHasher&) = delete;
    SplitHasher& operator=(const SplitHasher&) = delete;

    // Hands over a finished piece, open for reading, with the slices of the
    // rebuilt files it holds, in order. Waits while too many are queued.
    void add(std::string name, FileDescriptor piece, std::vector<ContentSlice> slices);
    void pieceWritten(int32_t, std::string name, FileDescriptor piece,
                      std::vector<ContentSlice> slices) override {
        add(std::move(name), std::move(piece), std::move(slices));
    }
    // Waits for every piece; gives the lines of SHA256SUMS (without its
    // manifest line) and the digest of every rebuilt file, in order (32 bytes
    // each: CONTENTS.sha256 is written from them and the manifest's names).
    // False when a piece could not be read back.
    bool finish(std::string& pieceSums, std::vector<Sha256Digest::Bytes>& contents);

private:
    struct Job {
        std::string name;
        FileDescriptor piece;
        std::vector<ContentSlice> slices;
    };
    void run();
    void hash(Job& job);
    void endContent();

    RunContext& context_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> queue_;
    bool closing_ = false;
    // Set by the worker on a read failure, and by the destructor of a run that
    // ended without finish(): the pieces still queued are then not hashed.
    std::atomic<bool> failed_{false};
    bool workerEnded_ = false; // the worker returned: nothing more is taken
    std::string pieceSums_;
    std::vector<Sha256Digest::Bytes> contents_;
    int64_t contentTarget_ = -1; // the file whose bytes the content digest holds
    std::unique_ptr<Sha256Digest> content_;
    std::unique_ptr<char[]> buffer_; // the worker's read buffer, made once
    std::thread worker_;
};

// A run of one rebuilt file's bytes in a piece, for the check of its content.
struct PieceSlice {
    int32_t piece = 0;
    int64_t offset = 0;
    int64_t length = 0; // INT64_MAX: to the end of the piece
};

// The files a join of a manifest rebuilds, each with its slices, in the order
// its first record comes: a file set's one file (named "", made of every
// piece whole), or each file of a folder set (named by its path relative to
// the tree's root). Records of one name make one file, in record order.
//
// Only the slices are held (24 bytes a record, 16 a file); the names stay in
// the manifest and are read again when they are wanted (forEachName).
class ManifestTargets {
public:
    // Reads the file records of `manifest`, handing each to `check` first
    // when one is given (false from it ends the read). False when the records
    // could not be read again or `check` refused one.
    bool read(const Manifest& manifest, const std::function<bool(const FileRecord&)>& check = {});
    std::size_t size() const { return targets_.size(); }
    std::span<const PieceSlice> slicesOf(std::size_t target) const;
    std::span<PieceSlice> slicesOf(std::size_t target);
    // Every slice, target by target; target `index`'s begin at
    // firstSliceOf(index) (size() gives the end of the last).
    const std::vector<PieceSlice>& slices() const { return slices_; }
    std::size_t firstSliceOf(std::size_t index) const;
    std::size_t targetOfSlice(std::size_t slice) const;
    // Hands every target's name to `take(index, record)` in order, re-read
    // from `manifest`'s records (`record` is the target's first record; null
    // for a file set's one file). False when the records could not be read,
    // a name is no longer the one read first, or `take` returned false.
    bool forEachName(const Manifest& manifest,
                     const std::function<bool(std::size_t, const FileRecord*)>& take) const;
    // The name of target `index`; "" with false when it cannot be read again.
    bool nameOf(const Manifest& manifest, std::size_t index, std::string& name) const;

private:
    struct Target {
        uint64_t nameHash = 0;
        uint32_t firstRecord = 0;
        uint32_t firstSlice = 0;
    };
    bool mergeRepeatedNames(const Manifest& manifest);
    std::vector<Target> targets_;
    std::vector<PieceSlice> slices_; // target by target
};
// The name of a target as its record holds it.
std::string recordName(const FileRecord& record);

// Checks pieces against their SHA-256 on its own thread, in index order, so a
// join can copy while it checks and wait only before it puts a file in place.
// From the same reads it hashes each rebuilt file's bytes, so a file is also
// checked against CONTENTS.sha256 without reading it back. A file's digest is
// made when its first slice is reached and goes when it is decided.
class PieceVerifier {
public:
    // Starts checking every name of `names` (inside `folderFd`, which must
    // stay open) against `expected` at the same position, and, when
    // `targets` is given, the content of each of its files against
    // `contents` at the same position. Both stay the caller's, unchanged,
    // for as long as the verifier lives.
    // `context` gives the stop request and, when `countProgress`, takes the
    // bytes read.
    PieceVerifier(RunContext& context, int folderFd, std::vector<std::string> names,
                  std::vector<std::string> expected, bool countProgress,
                  const ManifestTargets* targets = nullptr,
                  const std::vector<Sha256Digest::Bytes>* contents = nullptr,
                  std::vector<int> pieceFolders = {});
    ~PieceVerifier();
    PieceVerifier(const PieceVerifier&) = delete;
    PieceVerifier& operator=(const PieceVerifier&) = delete;

    enum class Verdict { Good, Missing, Mismatch };
    // Waits until the piece at `index` is checked.
    Verdict verdict(std::size_t index);
    // Waits until the content of target `index` is checked. ReadBack when
    // its slices do not come in piece order, so the pieces' single pass cannot
    // hash it: the caller hashes the file it wrote instead.
    enum class ContentVerdict : uint8_t { Good, Mismatch, ReadBack, Pending };
    ContentVerdict contentVerdict(std::size_t index);

private:
    void run();
    void runContents();
    bool stopping();
    void checkPiece(std::size_t index, char* buffer);
    void feedContents(std::size_t index, char* buffer, std::size_t& cursor);
    void decide(std::size_t target, ContentVerdict verdict);
    std::size_t sliceAt(std::size_t position) const;
    // The folder of piece `index`: `pieceFolders_` where it names one
    // (a piece rebuilt elsewhere), `folderFd_` otherwise.
    int folderOf(std::size_t index) const {
        return index < pieceFolders_.size() && pieceFolders_[index] >= 0 ? pieceFolders_[index]
                                                                         : folderFd_;
    }
    RunContext& context_;
    int folderFd_;
    std::vector<int> pieceFolders_;
    std::vector<std::string> names_;
    std::vector<std::string> expected_;
    bool countProgress_;
    const ManifestTargets* targets_ = nullptr;
    const std::vector<Sha256Digest::Bytes>* contents_ = nullptr;
    // The slices in piece and offset order, when the targets' own order is not.
    std::vector<uint32_t> order_;
    std::size_t sequenceSize_ = 0;                // the slices the content thread goes through
    std::vector<uint32_t> nextSlice_;             // by target: the slice its digest waits for
    std::vector<ContentVerdict> contentVerdicts_; // by target
    std::unordered_map<std::size_t, std::unique_ptr<Sha256Digest>> open_; // files begun
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Verdict> verdicts_;
    std::atomic<bool> stopping_{false}; // the owner is done with it: stop reading
    bool finished_ = false;             // every piece has its verdict
    bool contentsFinished_ = false;     // every content has its verdict
    std::thread worker_;
    std::thread contentWorker_;
};

// The order of SHA256SUMS: one line per piece, in piece order, then the
// manifest's line, then one line for each of kLaterSumFileNames the set holds,
// in that list's order. No other line belongs there, and no name twice.
// Files a later format adds beside a set (a tree description, recovery files)
// are appended to this list, never inserted before its end.
inline constexpr const char* kTreeFileName = "TREE.mtree";       // tree_description.h
inline constexpr const char* kEncryptedMarkerFile = "ENCRYPTED"; // encrypted_set.h
inline constexpr const char* kLaterSumFileNames[] = {kTreeFileName, kEncryptedMarkerFile};

// What a piece folder's checksum files say about the set whose manifest lies
// beside them.
enum class ChecksumState {
    Absent,  // neither file: only the quick check is possible
    Good,    // both files are there and agree with the manifest on disk
    Damaged, // a file is there and cannot be read, does not parse, or disagrees
};

struct SetChecksums {
    ChecksumState state = ChecksumState::Absent;
    std::vector<std::string> pieceHex; // by piece index, when Good
    // The digests of CONTENTS.sha256, line by line, when Good: 32 bytes a
    // file, the names having been compared as they were read.
    std::vector<Sha256Digest::Bytes> contents;
    // False for an encrypted set without CONTENTS.sha256: its stream's tags
    // check its content, and a hash of the ciphertext would cost a second pass.
    bool contentsListed = true;
    std::string problem; // when Damaged: which file, and what disagrees
    bool good() const { return state == ChecksumState::Good; }
    // What a verifier compares the rebuilt files with: null when nothing.
    const std::vector<Sha256Digest::Bytes>* contentDigests() const {
        return contentsListed ? &contents : nullptr;
    }
};

// The names a join rebuilds, as CONTENTS.sha256 names them, in order: each is
// handed to `take`, which returns false to stop. False when they could not
// all be given (a read failed, or `take` stopped them).
using TargetNames = std::function<bool(const std::function<bool(const std::string&)>& take)>;
// The names of `targets` of `manifest`, for readSetChecksums.
TargetNames contentNamesOf(const Manifest& manifest, const ManifestTargets& targets);

// Reads and checks both checksum files of the set with `stem` and
// `pieceCount` pieces in `pieceFolderFd`: SHA256SUMS must list exactly the
// set's pieces and manifest in the order above, with the manifest's line
// matching the manifest on disk; CONTENTS.sha256 must parse, and, when
// `targets` is given, list exactly those names in that order. One file
// without the other is damage. What is read is bounded by what a set of that
// many pieces and targets can need (`targetBound`: the most targets the
// manifest can describe); CONTENTS.sha256 is read in bounded steps, never
// whole. Never follows a link: a link in a checksum file's place is damage.
SetChecksums readSetChecksums(int pieceFolderFd, const std::string& stem, int32_t pieceCount,
                              int64_t targetBound, RunContext& run,
                              const TargetNames* targets = nullptr);

// The name CONTENTS.sha256 gives a target of the set `baseName`: "<base
// name>" for a file set, "<base name>/<relative path>" for a folder set.
std::string contentNameOf(const std::string& baseName, const std::string& target);
// 64 lower-case hex digits.
std::string hexOf(const Sha256Digest::Bytes& digest);
// The folder `pieceFolderFd` holds SHA256SUMS or CONTENTS.sha256, whole or not.
bool hasChecksumFiles(int pieceFolderFd);
// The digest of 64 lower-case hex digits; false for anything else.
bool digestOfHex(std::string_view hex, Sha256Digest::Bytes& digest);
// Opens a set's own file `name` in `folderFd` for reading: a regular file,
// never through a link. "" with `fd` and `size` set; otherwise why not.
std::string openSetFileAt(int folderFd, const char* name, FileDescriptor& fd, int64_t& size);
