#pragma once
// The hashes of a set's pieces: taken by the split from the bytes it put in
// each piece (the source's, read from the pages the run read, for a file
// split as it is; otherwise the piece read back right after it is written),
// on worker threads while the next one is copied; checked by the join and the full check, on a
// worker thread ahead of the copy.

#include "engine/base/digest.h"
#include "engine/base/file_io.h"
#include "engine/base/pipeline.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest_targets.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// A run of one rebuilt file's bytes inside a piece.
using ContentSlice = PieceStage::Slice;

// Hashes the pieces of a split as they are handed over, with at most a few
// pieces waiting: memory does not grow with the source. Two threads: one
// takes each piece's digest, the other the digests of the rebuilt files the
// pieces hold, each from its own reads of the same bytes (the page cache's),
// so a split with both files costs about one pass of SHA-256 on two cores.
class SplitHasher : public PieceStage {
public:
    // Stops hashing when `context` is asked to stop.
    explicit SplitHasher(RunContext& context);
    ~SplitHasher() override;
    SplitHasher(const SplitHasher&) = delete;
    SplitHasher& operator=(const SplitHasher&) = delete;

    // Hands over a finished piece whose bytes are `length` bytes of `bytes`
    // from `offset` (the piece itself from 0 with a length of -1, to its
    // end; or the source it was made from, whose pages the run read), with
    // the slices of the rebuilt files it holds, in order. Waits while too
    // many are queued.
    void add(std::string name, FileDescriptor bytes, std::vector<ContentSlice> slices,
             int64_t offset = 0, int64_t length = -1);
    void pieceWritten(int32_t, std::string name, FileDescriptor piece,
                      std::vector<ContentSlice> slices) override {
        add(std::move(name), std::move(piece), std::move(slices));
    }
    void pieceWrittenFrom(int32_t, std::string name, FileDescriptor, FileDescriptor source,
                          int64_t offset, int64_t length,
                          std::vector<ContentSlice> slices) override {
        add(std::move(name), std::move(source), std::move(slices), offset, length);
    }
    // Waits for every piece; gives the lines of SHA256SUMS (without its
    // manifest line) and the digest of every rebuilt file, in order (32 bytes
    // each: CONTENTS.sha256 is written from them and the manifest's names).
    // False when a piece's bytes could not be read.
    bool finish(std::string& pieceSums, std::vector<Sha256Digest::Bytes>& contents);

private:
    struct Job {
        std::string name;
        FileDescriptor bytes;
        int64_t offset = 0;
        int64_t length = -1;
        std::vector<ContentSlice> slices;
    };
    // One thread's queue; both see every job.
    struct Lane {
        std::deque<std::shared_ptr<Job>> queue;
        bool ended = false; // the thread returned: nothing more is taken
        std::thread thread;
    };
    void run(Lane& lane, bool pieces);
    void hashPiece(const Job& job, char* buffer);
    void hashContents(const Job& job, char* buffer);
    void endContent();

    RunContext& context_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool closing_ = false;
    // Set by a worker on a read failure, and by the destructor of a run that
    // ended without finish(): the pieces still queued are then not hashed.
    std::atomic<bool> failed_{false};
    Lane pieceLane_;
    Lane contentLane_;
    std::string pieceSums_;                     // the piece thread's
    std::vector<Sha256Digest::Bytes> contents_; // the content thread's, with the two below
    int64_t contentTarget_ = -1;                // the file whose bytes the content digest holds
    std::unique_ptr<Sha256Digest> content_;
};

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
