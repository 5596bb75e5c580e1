#pragma once
// The piece-set manifest "spt_config.morvspt": its fixed little-endian file
// layout, piece fingerprints, and the upper-case MD5 hex form used for
// fingerprints and the password digest.
//
// File layout: a 352-byte ManifestHeader, then pieceCount PieceRecords of 37
// bytes, then fileCount FileRecords of 280 bytes, back to back. Text fields are
// NUL-terminated and zero-filled to the end of the field.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "manifest records are stored in the machine's layout, which must be little-endian");

inline constexpr const char* kManifestFileName = "spt_config.morvspt";
inline constexpr int32_t kManifestMagic = 2014;
inline constexpr int32_t kManifestVersion = 101;
inline constexpr std::size_t kMd5HexSize = 33; // 32 hex characters and a NUL
inline constexpr std::size_t kFingerprintBlockSize = 1024;
inline constexpr std::size_t kFingerprintDataBytes = 1016;

// A load refuses (returns -1) a manifest whose header promises more records
// than these: 2,097,152 pieces and 2,097,152 file records. No real set comes
// near them, and they bound what a load can allocate (about 80 MB of piece
// records and 590 MB of file records, and only for a file that holds them all).
// The split refuses to make a set that would exceed them.
inline constexpr int32_t kManifestMaxPieceCount = 1 << 21;
inline constexpr int32_t kManifestMaxFileCount = 1 << 21;
// Past the end of a manifest that promises more records than it holds, a load
// keeps at most this many zero-filled records per list.
inline constexpr int32_t kManifestMaxZeroFilledRecords = 1024;

struct ManifestHeader {
    char reserved[32];
    int32_t magic;
    int32_t version;
    int32_t pieceCount;
    int32_t fileCount;
    int64_t totalSize;
    char passwordDigest[40];
    char baseName[256];
};
static_assert(sizeof(ManifestHeader) == 352);
static_assert(offsetof(ManifestHeader, magic) == 32);
static_assert(offsetof(ManifestHeader, version) == 36);
static_assert(offsetof(ManifestHeader, pieceCount) == 40);
static_assert(offsetof(ManifestHeader, fileCount) == 44);
static_assert(offsetof(ManifestHeader, totalSize) == 48);
static_assert(offsetof(ManifestHeader, passwordDigest) == 56);
static_assert(offsetof(ManifestHeader, baseName) == 96);

#pragma pack(push, 1)
struct PieceRecord {
    int32_t pieceIndex;
    char fingerprint[32];
    char terminator; // always zero
};
#pragma pack(pop)
static_assert(sizeof(PieceRecord) == 37);
static_assert(offsetof(PieceRecord, fingerprint) == 4);
static_assert(offsetof(PieceRecord, terminator) == 36);

struct FileRecord {
    char name[256]; // path relative to the source folder
    int32_t id;
    int32_t pieceIndex;
    int64_t offset; // where the slice begins inside its piece
    int64_t length; // bytes in the slice; may be 0
};
static_assert(sizeof(FileRecord) == 280);
static_assert(offsetof(FileRecord, id) == 256);
static_assert(offsetof(FileRecord, pieceIndex) == 260);
static_assert(offsetof(FileRecord, offset) == 264);
static_assert(offsetof(FileRecord, length) == 272);

// Writes the MD5 of `length` bytes as 32 upper-case hex characters and a NUL
// into `out` (33 bytes). Writes an empty string if the digest fails.
void md5Hex(const void* bytes, uint32_t length, char* out /*33 bytes*/);

// Writes the fingerprint of a file into `out` (33 bytes): the MD5 hex digest
// of a 1024-byte block holding the file's length (int64, little-endian) and
// its first 1016 bytes, zero-padded. Leaves `out` untouched when the file
// cannot be opened or read.
void pieceFingerprint(const char* path, char* out /*33 bytes*/);
// The same for a file open for reading.
void pieceFingerprintOf(int fd, char* out /*33 bytes*/);

// Reads the header of the manifest in `folderFd`, and the piece index of each
// of its piece records into `pieceIndices` when given, without touching the
// registry. Returns -1 when there is no readable manifest with the right magic
// and version.
int32_t readManifestSummaryAt(int folderFd, ManifestHeader& header,
                              std::vector<int32_t>* pieceIndices);

// What readManifest hands over, in file order; a handler that returns false
// stops the read. Empty handlers are skipped.
struct ManifestHandlers {
    std::function<bool(const ManifestHeader&)> header;
    // A run of consecutive records; the pointers are valid during the call only.
    std::function<bool(const PieceRecord*, std::size_t)> pieces;
    std::function<bool(const FileRecord*, std::size_t)> files;
};
// Reads the manifest open as `fd` (from offset 0, with pread) the way
// loadManifest does, handing over exactly the header and records a load would
// keep, run by run, without keeping any. Returns 0 when the whole manifest
// was read; -1 when loadManifest would refuse it (as soon as the fault is
// seen) or a handler returned false. Memory: one step of at most 1 MiB,
// whatever the counts claim.
int32_t readManifest(int fd, const ManifestHandlers& handlers);
