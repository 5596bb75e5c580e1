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

#include "engine/digest.h"
#include "engine/file_io.h"
#include "engine/manifest_file.h"
#include "engine/pipeline.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// One file a join rebuilds, with the SHA-256 CONTENTS.sha256 gives it.
struct ContentCheck {
    std::string expectedHex;
    std::vector<PieceSlice> slices; // in the order the file is made of them
};

// Checks pieces against their SHA-256 on its own thread, in index order, so a
// join can copy while it checks and wait only before it puts a file in place.
// From the same reads it hashes each rebuilt file's bytes, so a file is also
// checked against CONTENTS.sha256 without reading it back.
class PieceVerifier {
public:
    // Starts checking every name of `names` (inside `folderFd`, which must
    // stay open) against `expected` at the same position, and the content of
    // every file of `contents`.
    // `context` gives the stop request and, when `countProgress`, takes the
    // bytes read.
    PieceVerifier(RunContext& context, int folderFd, std::vector<std::string> names,
                  std::vector<std::string> expected, bool countProgress,
                  std::vector<ContentCheck> contents = {});
    ~PieceVerifier();
    PieceVerifier(const PieceVerifier&) = delete;
    PieceVerifier& operator=(const PieceVerifier&) = delete;

    enum class Verdict { Good, Missing, Mismatch };
    // Waits until the piece at `index` is checked.
    Verdict verdict(std::size_t index);
    // Waits until the content of `contents[index]` is checked. ReadBack when
    // its slices do not come in piece order, so the pieces' single pass cannot
    // hash it: the caller hashes the file it wrote instead.
    enum class ContentVerdict { Good, Mismatch, ReadBack };
    ContentVerdict contentVerdict(std::size_t index);

private:
    struct Content;
    struct SliceAt;
    void run();
    void runContents();
    bool stopping();
    void checkPiece(std::size_t index, char* buffer);
    void feedContents(std::size_t index, char* buffer, std::size_t& cursor);
    void decide(Content& content, ContentVerdict verdict);
    RunContext& context_;
    int folderFd_;
    std::vector<std::string> names_;
    std::vector<std::string> expected_;
    bool countProgress_;
    std::vector<Content> contents_;
    std::vector<SliceAt> slices_; // every content slice, by piece and offset
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
inline constexpr const char* kLaterSumFileNames[] = {"TREE.mtree"};

// What a piece folder's checksum files say about the set whose manifest lies
// beside them.
enum class ChecksumState {
    Absent,  // neither file: only the quick check is possible
    Good,    // both files are there and agree with the manifest on disk
    Damaged, // a file is there and cannot be read, does not parse, or disagrees
};

struct SetChecksums {
    ChecksumState state = ChecksumState::Absent;
    std::vector<std::string> pieceHex;   // by piece index, when Good
    std::vector<ChecksumEntry> contents; // the lines of CONTENTS.sha256, when Good
    std::string problem;                 // when Damaged: which file, and what disagrees
    bool good() const { return state == ChecksumState::Good; }
};

// Reads and checks both checksum files of the set with `stem` and
// `pieceCount` pieces in `pieceFolderFd`: SHA256SUMS must list exactly the
// set's pieces and manifest in the order above, with the manifest's line
// matching the manifest on disk; CONTENTS.sha256 must parse, and, when
// `targets` is given (the names the join rebuilds, as CONTENTS.sha256 names
// them, in order), list exactly those names in that order. One file without
// the other is damage. What is read is bounded by what a set of that many
// pieces and targets can need (`targetBound`: the most targets the manifest
// can describe). Never follows a link: a link in a checksum file's place is
// damage.
SetChecksums readSetChecksums(int pieceFolderFd, const std::string& stem, int32_t pieceCount,
                              int64_t targetBound, RunContext& run,
                              const std::vector<std::string>* targets = nullptr);

// The files a join of `manifest` rebuilds, each with its
// slices, in the order its first record comes: a file set's one file (named
// "", made of every piece whole), or each file of a folder set (named by its
// path relative to the tree's root).
struct ManifestTarget {
    std::string name;
    std::vector<PieceSlice> slices;
};
// False when the file records could not be read again.
bool targetsOfManifest(const Manifest& manifest, std::vector<ManifestTarget>& targets);
// The name CONTENTS.sha256 gives a target of the set `baseName`: "<base
// name>" for a file set, "<base name>/<relative path>" for a folder set.
std::string contentNameOf(const std::string& baseName, const std::string& target);
