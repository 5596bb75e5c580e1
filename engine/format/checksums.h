#pragma once
// The checksum files a split writes beside the manifest, checkable with
// coreutils' `sha256sum -c`:
//  - "SHA256SUMS": one line per piece, in piece order, then one for the manifest;
//  - "CONTENTS.sha256": one line per file the join rebuilds, named relative to
//    the join's output folder ("<base name>" or "<base name>/<relative path>").
// Lines are "<64 lower-case hex>  <name>"; a name holding a backslash, a
// newline or a carriage return is escaped as sha256sum writes it, with a
// backslash before the line.

#include "engine/base/digest.h"
#include "engine/base/file_io.h"
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
