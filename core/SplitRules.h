#pragma once
// Rules both front ends apply before a split: the password and the name of a
// new set, and whether the output folder's file system can take the pieces.

#include "engine/format/checksums.h"
#include "engine/format/manifest.h"
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A new set's password has at most this many bytes.
inline constexpr std::size_t kMaxPasswordBytes = 31;
inline constexpr const char* kPasswordTooLong = "A password has at most 31 bytes.";

// Why `password` cannot protect a new set ("A password cannot be empty.",
// "A password has at most 31 bytes."), or "" when it can.
std::string newPasswordProblem(const std::string& password);

// How a password protects a new set: the pieces encrypted with it, or only
// its digest stored, so that this program asks for it before a join.
enum class PasswordUse { Encrypt, GateJoin };
// An encrypting password is not stored, so its length is the user's choice;
// this bounds what a field takes.
inline constexpr std::size_t kMaxEncryptionPasswordBytes = 1024;
std::size_t maxPasswordBytes(PasswordUse use);
// As newPasswordProblem, with the limit of `use`.
std::string passwordProblem(const std::string& password, PasswordUse use);

// A hint of how hard `password` is to guess, from its length and the kinds of
// characters it mixes (lower case, upper case, digits, other): "Weak
// password: ...", "Fair password: ...", "Strong password."; "" for none.
// Computed here, from the password alone.
std::string passwordStrengthText(const std::string& password);

// Why `name` cannot name a new set (the set's folder, pieces and what a join
// writes): it must be a file name, without '/', not beginning with '.'. ""
// for a usable name and for "", which keeps the source's name.
inline constexpr std::size_t kMaxSetNameBytes = 250;
std::string setNameProblem(const std::string& name);

// What guards a listed set: nothing, a password digest in its manifest, or
// encryption.
enum class SetProtection { None, Password, Encrypted };

// "12 pieces, 1 missing, 1 damaged; 2 recovery pieces: repairable; protected
// by a password; checksums present" ("encrypted (age)" for an encrypted set).
// `checksums` is what the set's checksum files are worth; `recovery` says
// what its recovery pieces are, "" for none.
std::string joinSummaryText(std::size_t pieces, std::size_t missing, std::size_t damaged,
                            SetProtection protection, ChecksumState checksums,
                            const std::string& recovery = "");

// What a join changed where files were there before: "replaced 3 files,
// added 12"; "" when it replaced none.
std::string joinChangesText(int64_t replaced, int64_t added);

// What a split of a folder will store, and what not, measured in one walk:
// "Stores 1,204 files (5.2 GB), 31 folders (2 empty), 2 links. Not stored:
// .git, .env and 1 more hidden item; tick Include hidden items to keep them."
struct FolderSourceSummary {
    int64_t bytes = -1; // what the split stores; -1 when the folder cannot be walked
    int64_t files = 0;
    std::string text;
};
// `hiddenAdvice` ends the sentence about hidden items left out.
FolderSourceSummary summarizeFolderSource(const std::string& folder, bool includeHidden,
                                          const std::string& hiddenAdvice);

// A piece size people need, as an exact byte count; its title gives both
// ("DVD: 4.7 GB (4,700,000,000 bytes)"): titled as the medium is sold.
struct SizePreset {
    std::string title;
    int64_t bytes; // 0 for "Custom"
};
inline constexpr const char* kCustomPreset = "Custom";
// The presets in menu order; the FAT32 one first when the output is on FAT.
std::vector<SizePreset> sizePresets(bool outputOnFat);

// Why a FAT file system cannot hold names made of `stem`, or "".
std::string fatNameProblem(const std::string& stem);

// A set holds at most this many pieces: what its manifest can list.
inline constexpr int64_t kMaxSetPieces = kManifestMaxPieceCount;
// Why a split cannot make `pieces` pieces, giving the limit ("A set holds at
// most 2,097,152 pieces, not 3,000,000."), or "".
std::string pieceCountProblem(int64_t pieces);

// What the file system of an output folder allows.
struct OutputSpace {
    bool known = false;       // statfs answered
    int64_t freeBytes = 0;    // available to this user
    int64_t maxFileBytes = 0; // the largest file it can hold; 0 when there is no lower limit
    std::string kind;         // "FAT" where that limit applies, else ""
};
OutputSpace examineOutputFolder(const std::string& folder);

// Why pieces of `pieceSize` bytes cannot go there ("Pieces of 4.00 GB
// (4,294,967,296 bytes) are larger than the 4.00 GB (4,294,967,295 bytes) the
// FAT file system at /media/usb allows."), or "".
std::string pieceSizeProblem(const OutputSpace& space, const std::string& folder,
                             int64_t pieceSize);
// Why a set of `setBytes` does not fit the free space, giving both numbers, or "".
std::string freeSpaceProblem(const OutputSpace& space, const std::string& folder, int64_t setBytes);

// A split of a file on a file system that shares blocks between files
// (copy-on-write: XFS with reflink, btrfs): pieces aligned to its blocks
// share the source's blocks and cost only what is not aligned and the set's
// own files; the source and the pieces keep sharing until either is changed.
struct SharedSplitSpace {
    bool shares = false;   // the output folder's file system shares the source's blocks
    int64_t blockSize = 0; // its block size (statfs)
    bool aligned = false;  // the piece size is whole blocks: every piece shares
    int64_t needBytes = 0; // what the split writes there, shared or not
};
// Probes `source` and `folder` once (engine/fs/shared_blocks.h) and counts
// what a split of its `fileBytes` into pieces of `pieceSize` writes there.
// Not sharing: the whole set (`fileBytes`).
SharedSplitSpace sharedSplitSpace(const std::string& source, const std::string& folder,
                                  int64_t fileBytes, int64_t pieceSize);
// What a sharing split writes: the bytes of each piece that cannot share
// (a piece whose start in the source is not on a block boundary, and the
// unaligned end of the others), the set's own files and about a block of
// the file system's own a piece.
int64_t bytesWrittenWhenShared(int64_t fileBytes, int64_t pieceSize, int64_t blockSize);
// The smallest piece size of whole `blockSize` blocks that still cuts
// `fileBytes` into `count` pieces, or 0 when there is none.
int64_t alignedPieceSizeForCount(int64_t fileBytes, int64_t count, int64_t blockSize);
// What the summary says of it: "shares the source's blocks: needs 48.0 KB";
// "pieces of 1,000,000 bytes are not whole 4 KB blocks of this file system:
// they will be copied"; "" when nothing is shared.
std::string sharedSplitText(const SharedSplitSpace& space, int64_t pieceSize);
// What a run that shared blocks says when it is done: "Shared 1.00 GB of
// blocks, wrote 40.0 KB."; "" when it shared nothing.
std::string sharedBlocksDoneText(int64_t shared, int64_t written);
