#pragma once
// The join: rebuilds a file or folder tree from a piece set.

#include "engine/base/pipeline.h"
#include "engine/base/run_context.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/removal_report.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Loads the manifest of `pieceFolder` and writes "<outputFolder>/<base name>":
// a file made of the pieces in index order, or, for a set cut from a folder,
// the tree rebuilt from its slice records. `password` is accepted and not
// used; the caller checks it beforehand with checkPassword. Runs
// synchronously and reports progress through the counters of utilities.h.
//
// Every piece is checked against its fingerprint before anything is written.
// When the set has its checksum files, every piece is also checked against
// SHA256SUMS and every target against CONTENTS.sha256 while the copy goes on,
// and a target goes under its real name only once both passed; checksum files
// that are there but damaged fail the join before anything is written
// (JoinOptions). Each target is written in a working folder of the run in
// `outputFolder`, private to the run, and renamed into place only when it is
// complete, so an existing file under the target name is untouched until then
// (and other hard links to it keep their content); targets that replace files
// are renamed at the end, after one flush of the file system.
// Nothing is written through a symbolic link below `outputFolder`.
//
// Returns 0 when the result is complete. Returns -1, with the reason kept
// (errors.h):
//  - before anything is written, when an argument is null, the piece folder
//    cannot be opened or another run is splitting into it, the manifest cannot
//    be loaded, or the manifest is unsafe or malformed: a base name that is
//    empty, ".", ".." or holds '/' or '\', a record name that is empty,
//    absolute or has an empty, "." or ".." component, a record whose piece
//    index is out of range, whose offset or length is negative or whose slice
//    lies past its piece's end, slices that add up to more than the total, a
//    file set whose pieces do not add up to the total, a target that would be
//    one of the set's own files, or a path that does not fit 1024 bytes;
//  - in file mode, before anything is written, when any piece is missing,
//    unreadable or does not match its fingerprint;
//  - in folder mode, when some target could not be written: one fed by a bad
//    piece (nothing is written for it, or nothing stays when the piece fails
//    its full check), a link or folder in its place, or a failed write. Every target fed only by
//    good pieces is still put in place.
// A target that fails leaves no temporary file behind.
int32_t splitProject_merge(const char* pieceFolder, const char* outputFolder, const char* password);

struct JoinOptions {
    // An existing file under a target name is replaced (true) or is a failure
    // of that target (false).
    bool replaceExisting = true;
    // Checksum files that are there but damaged or disagree with the set fail
    // the join before anything is written (EngineFailure::ChecksumsDamaged),
    // unless this is set: the join then makes the quick check only.
    bool ignoreChecksums = false;
    // A set without checksum files fails the join (EngineFailure::NoChecksums)
    // instead of being joined with the quick check only.
    bool requireChecksums = false;
    // Once the result is in place, remove the set's files the join read
    // (removal.h); pieces that had only the quick check go only when
    // `quickCheckAccepted`.
    bool removePieces = false;
    bool quickCheckAccepted = false;
    // Stages the file set's stream goes through before it is written
    // (pipeline.h): the inverse of those the split applied. The full check
    // covers the stream as the pieces hold it.
    Transforms transforms{};
    // The password of an encrypted set (encrypted_set.h).
    std::string password{};
    // A file set's content goes to this descriptor (standard output, a pipe)
    // instead of a file in the output folder: each piece only once it matched
    // its checksum, so what was sent before a failure is the set's true
    // beginning. -1 to join into the output folder.
    int outputFd = -1;
};

// A file of the set as the join read it.
struct ReadSetFile {
    std::string name; // inside the piece folder
    FileIdentity identity;
};

// What a join read, for a removal of the pieces afterwards (removal.h).
struct JoinOutcome {
    std::string pieceFolder;
    std::string outputFolder;
    std::string target; // "<outputFolder>/<base name>"
    // The manifest, every piece checked, and the checksum files when they
    // belong to the set.
    std::vector<ReadSetFile> setFiles;
    // The full check was made (every piece against SHA256SUMS, every file
    // against CONTENTS.sha256); false: only the quick check was possible.
    bool fullCheck = false;
    // What the join changed in the output folder: files it added, and files
    // it replaced (a failed join changes nothing).
    int64_t filesAdded = 0;
    int64_t filesReplaced = 0;
    // Of the bytes put in the result, those that share the pieces' blocks
    // (a file set, or numbered parts, on a file system that shares them) and
    // those written anew.
    int64_t sharedBytes = 0;
    int64_t writtenBytes = 0;
    // The set was missing or damaged and its recovery pieces rebuilt what the
    // join read ("rebuilt movie_3.spt from the recovery pieces (1 piece missing)"); "" when
    // nothing was rebuilt. The set's folder is never written for it.
    std::string rebuilt;
    // With JoinOptions::removePieces: what the removal did, and why it failed
    // when it did (the result is in place either way).
    RemovalReport removal;
    std::optional<Failure> removalFailure;
    // Numbered parts only: the checksum file beside them that lists the
    // joined file by its name ("movie.mkv.sha256", "SHA256SUMS", "MD5SUMS"),
    // against which the whole result was checked; "" when none did.
    std::string wholeFileSums;
};

// The join as a value: the outcome once the result is in place, or why not.
// Runs synchronously on the calling thread; stops, counts its progress and
// keeps its notes through `run`. Refuses and fails as splitProject_merge
// does, with the failure's kind, path and errno.
Result<JoinOutcome> joinSet(const std::string& pieceFolder, const std::string& outputFolder,
                            const JoinOptions& options, RunContext& run);

// splitProject_merge with options; `outcome` (may be null) is filled on success.
int32_t joinWithOptions(const char* pieceFolder, const char* outputFolder,
                        const JoinOptions& options, JoinOutcome* outcome);
