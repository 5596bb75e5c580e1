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

#include "engine/file_io.h"

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
// in bounded steps; each step is added to the progress counter when
// `countProgress`. "" when it cannot be read.
std::string sha256OfFile(int fd, bool countProgress);

// A run of one rebuilt file's bytes inside a piece.
struct ContentSlice {
    std::string name; // as the line in CONTENTS.sha256 names it
    int64_t offset = 0;
    int64_t length = 0;
};

// Hashes the pieces of a split as they are handed over, on its own thread,
// with at most a few pieces waiting: memory does not grow with the source.
class SplitHasher {
public:
    SplitHasher();
    ~SplitHasher();
    SplitHasher(const SplitHasher&) = delete;
    SplitHasher& operator=(const SplitHasher&) = delete;

    // Hands over a finished piece, open for reading, with the slices of the
    // rebuilt files it holds, in order. Waits while too many are queued.
    void add(std::string name, FileDescriptor piece, std::vector<ContentSlice> slices);
    // Waits for every piece; fills the lines of both files (SHA256SUMS
    // without its manifest line). False when a piece could not be read back.
    bool finish(std::string& pieceSums, std::string& contentSums);

private:
    struct Job {
        std::string name;
        FileDescriptor piece;
        std::vector<ContentSlice> slices;
    };
    void run();
    void hash(Job& job);
    void endContent();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> queue_;
    bool closing_ = false;
    // Set by the worker on a read failure, and by the destructor of a run that
    // ended without finish(): the pieces still queued are then not hashed.
    std::atomic<bool> failed_{false};
    std::string pieceSums_;
    std::string contentSums_;
    std::string contentName_; // the file whose bytes the content digest holds
    std::unique_ptr<Sha256Digest> content_;
    std::unique_ptr<char[]> buffer_; // the worker's read buffer, made once
    std::thread worker_;
};

// Checks pieces against their SHA-256 on its own thread, in index order, so a
// join can copy while it checks and wait only before it puts a file in place.
class PieceVerifier {
public:
    // Starts checking every name of `names` (inside `folderFd`, which must
    // stay open) against `expected` at the same position.
    PieceVerifier(int folderFd, std::vector<std::string> names, std::vector<std::string> expected,
                  bool countProgress);
    ~PieceVerifier();
    PieceVerifier(const PieceVerifier&) = delete;
    PieceVerifier& operator=(const PieceVerifier&) = delete;

    enum class Verdict { Good, Missing, Mismatch };
    // Waits until the piece at `index` is checked.
    Verdict verdict(std::size_t index);

private:
    void run();
    int folderFd_;
    std::vector<std::string> names_;
    std::vector<std::string> expected_;
    bool countProgress_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Verdict> verdicts_;
    bool stopping_ = false;
    std::thread worker_;
};

// What a piece folder's checksum files say, and whether they belong to the
// set whose manifest the registry holds: SHA256SUMS lists exactly its pieces,
// in order, and its manifest line matches the manifest on disk.
struct SetChecksums {
    bool present = false; // SHA256SUMS exists
    bool belongs = false;
    std::vector<std::string> pieceHex; // by piece index, when they belong
    std::string problem;               // why they do not belong
};
SetChecksums readSetChecksums(int pieceFolderFd, const std::string& stem, int32_t pieceCount);
