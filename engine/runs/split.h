#pragma once
// The split: cuts a file, or a folder tree, into a piece set
// "<outFolder>/<stem>_spt" holding "<stem>_<i>.spt" and "spt_config.morvspt".

#include "engine/base/pipeline.h"
#include "engine/base/run_context.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/recovery.h"
#include "engine/runs/removal_report.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One split request. The caller clears it, fills it and passes its address.
// The published declaration, kept on one line as published.
// clang-format off
struct Split_pragma { char srcPath[1024]; char outFolder[1024]; int64_t totalSize; int64_t pieceSize; char password[32]; };
// clang-format on

// Runs one split synchronously on the calling thread and reports progress
// through the counters of utilities.h. On success `outFolder` holds the piece
// folder and the manifest registry holds the new set.
//
// The set is written into a temporary folder beside the piece folder and put
// in place only once it is complete, so a failed split leaves nothing of its
// own behind. A set already in the piece folder is replaced (see
// splitWithOptions); it stays whole until the new one is complete.
//
// Returns 0 when every piece was written in full, every byte of the source was
// stored, and the manifest was written. Returns -1, with the reason kept
// (errors.h), otherwise:
//  - before anything is written, when the request is unusable: a field without
//    its NUL, a piece size of 0 or less, a negative total, a source name that
//    is empty, "." or "..", a base name or relative path that does not fit its
//    256-byte manifest field, a path that does not fit its buffer, too many
//    pieces or records for a manifest, or an empty source folder; when a
//    folder of the source cannot be listed; when the piece folder would lie
//    inside a folder source; when the piece folder is a link or not a folder;
//    or when another run is using it;
//  - after the run, when a piece file could not be created or written, a
//    source file could not be read, the source held a different number of
//    bytes than `totalSize`, or the manifest could not be written.
// A failed run leaves the source untouched. The set gets the checksum files of
// checksums.h; their hashes are taken from the pieces as written.
int32_t splitProject_split(Split_pragma* request);

struct SplitOptions {
    // What to do when "<outFolder>/<stem>_spt" already holds a manifest, or
    // files named like this set's pieces: replace them (true), or refuse with
    // -1 before anything is written (false). The check is made while the
    // split holds the piece folder's lock.
    bool replaceExisting = true;
    // Measure the source when the split starts and use that total in place of
    // the request's `totalSize`, so an edit after the source was chosen is not
    // a failure.
    bool measureSource = false;
    // Write "SHA256SUMS" and "CONTENTS.sha256" beside the manifest
    // (checksums.h). Without them a set can only be checked by its
    // fingerprints, which cover each piece's first kilobyte.
    bool writeChecksums = true;
    // Once the set is in place and checks whole again, remove what the split
    // stored of the source (removal.h). Needs the checksum files.
    bool removeSource = false;
    // Keep, in SplitOutcome::files, what a removal of the source later needs
    // (on by itself with removeSource): about 100 bytes a file.
    bool keepSourceFiles = false;
    // Store a folder source's hidden items (names starting with '.'), which
    // are left out otherwise.
    bool includeHidden = false;
    // Encrypt the set with this password (encrypted_set.h): the source goes
    // in as a tar stream in the age format. "" for an unencrypted set.
    std::string encryptPassword{};
    // scrypt's work factor (log2 N) for it; lower only in tests.
    int encryptWorkFactor = 18;
    // The name the set shows (its stem, and an encrypted set's "<name>.age");
    // "" for the source's own name.
    std::string setName{};
    // Split into this many pieces (at most), the piece size made from what
    // the pieces hold: an encrypted stream is longer than its source. 0 to
    // keep the request's piece size.
    int32_t pieceCount = 0;
    // Read the source from this descriptor (standard input, a pipe) instead
    // of request.source: its length shows only when it ends, so the pieces
    // are made as it comes and the set is counted at the end. Needs setName;
    // -1 for a source named by its path.
    int sourceFd = -1;
    // Recovery pieces to write beside the set (recovery.h); none by default.
    // Needs the checksum files.
    RecoveryRequest recovery{};
    // Stages that change a file source's bytes before they are cut into
    // pieces (pipeline.h); the set then holds, and a join rebuilds, what
    // they make of it.
    Transforms transforms{};
};

// One split, as splitSource takes it.
struct SplitRequest {
    std::string source;    // a file or a folder
    std::string outFolder; // the set goes into "<outFolder>/<stem>_spt"
    int64_t totalSize = 0; // the source's bytes, as measured when it was chosen
    int64_t pieceSize = 0;
    std::string password; // gates the join (its digest is stored); "" for none
};

// One file of the source as the split read it.
struct StoredSourceFile {
    std::string relativePath; // below a folder source; "" for a file source
    FileIdentity identity;    // by fstat when it was opened
    // A regular file whose identity was the same again once it was read: its
    // bytes in the pieces are the bytes it holds.
    bool unchanged = false;
};

// What a split read, for a removal of the source afterwards (removal.h).
struct SplitOutcome {
    std::string source;      // the request's srcPath
    std::string pieceFolder; // the set's folder
    int64_t pieces = 0;      // how many pieces the set has
    int64_t pieceSize = 0;   // bytes in each but the last
    int64_t setBytes = 0;    // bytes in all of them
    // Of those, the bytes that share the source's blocks (a file cut as it
    // is, on a file system that shares them) and the bytes written anew.
    int64_t sharedBytes = 0;
    int64_t writtenBytes = 0;
    // The new set's manifest as the split left it: a removal of the source
    // goes on only while this is still the set in the piece folder.
    FileIdentity manifest;
    bool folderSource = false;
    // In the order they were stored; with SplitOptions::keepSourceFiles or
    // removeSource only.
    std::vector<StoredSourceFile> files;
    // With recovery pieces: how many, and what the set survives.
    std::string recovery;
    // With SplitOptions::removeSource: what the removal did, and why it
    // failed when it did (the set is in place either way).
    RemovalReport removal;
    std::optional<Failure> removalFailure;
};

// The split as a value: the outcome once the set is in place, or why not.
// Runs synchronously on the calling thread; stops, counts its progress and
// keeps its notes through `run`. Refuses and fails as splitProject_split
// does, with the failure's kind, path and errno.
Result<SplitOutcome> splitSource(const SplitRequest& request, const SplitOptions& options,
                                 RunContext& run);

// splitProject_split with options; `outcome` (may be null) is filled on success.
int32_t splitWithOptions(Split_pragma* request, const SplitOptions& options, SplitOutcome* outcome);

// What lies where a split of `srcPath` into `outFolder` would put its set:
// "report.pdf, 12 pieces" for a set's manifest, "3 files named like its
// pieces" without one, "" when nothing is in the way. Writes nothing.
std::string describeSetInTheWay(const char* srcPath, const char* outFolder);
