#pragma once
// The piece-set manifest "spt_config.morvspt": its fixed little-endian file
// layout, the process-wide registry that holds one manifest in memory, piece
// fingerprints, and the upper-case MD5 hex form used for fingerprints and the
// password digest.
//
// File layout: a 352-byte ManifestHeader, then pieceCount PieceRecords of 37
// bytes, then fileCount FileRecords of 280 bytes, back to back. Text fields are
// NUL-terminated and zero-filled to the end of the field.
//
// The registry is process-wide and unlocked (but for addPieceRecord): one
// split, join or inspection uses it at a time. Records it hands out are borrowed and stay valid
// until the next beginManifest, loadManifest or clearManifestRecords.

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

// Starts a new manifest for the piece folder: zeroes the path and the header,
// sets magic and version, and frees all records. Returns -1 (and leaves the
// manifest path empty, so writeManifest fails) when "<folder>/spt_config.morvspt"
// does not fit 1024 bytes; else 0.
int32_t beginManifest(const char* pieceFolder);
// Frees every record of both lists; the header is not touched.
void clearManifestRecords();

// Copies the name into baseName. Returns -1 and changes nothing when it does
// not fit the 256-byte field.
int32_t setManifestBaseName(const char* name);
void setManifestPieceCount(int32_t count);
void setManifestTotalSize(int64_t size);
// Stores the MD5 hex digest of the password (all 40 bytes zeroed first).
void setManifestPassword(const char* password);

// Fingerprints the finished piece file and appends its record. Safe to call
// from several threads: the appends take the registry's lock in turn. Returns
// -1 when the record could not be stored; the lists are unchanged then.
int32_t addPieceRecord(int32_t pieceIndex, const char* piecePath);
// Appends a file record with the next id and advances fileCount. Returns -1
// and changes nothing when the name does not fit its 256-byte field, the
// record cap is reached, or memory runs out.
int32_t addFileRecord(const char* name, int32_t pieceIndex, int64_t offset, int64_t length);

// Writes the header and all records to the manifest path (the file is never
// written through a link). Returns 0 only when every byte was written and the
// file closed cleanly; -1, with the reason kept (errors.h), otherwise.
int32_t writeManifest();

// Reads the header of the manifest in `folderFd`, and the piece index of each
// of its piece records into `pieceIndices` when given, without touching the
// registry. Returns -1 when there is no readable manifest with the right magic
// and version.
int32_t readManifestSummaryAt(int folderFd, ManifestHeader& header,
                              std::vector<int32_t>* pieceIndices);

// Replaces the registry's contents with the manifest of the piece folder.
// Returns 0 when loaded. Returns -1 (with empty lists) when the file cannot be
// opened or read, magic or version are wrong, or a count exceeds its cap. A
// file shorter than its counts promise loads with zero-filled records, at most
// kManifestMaxZeroFilledRecords per list; the header keeps its counts. Counts
// of 0 or less load no records.
// A damaged manifest is refused (-1) as well: one with a hole (a range the
// file system holds no data for) before the end of what its counts need, or
// one whose piece records, as far as the file holds them whole, are not
// numbered 0, 1, 2, ... in order. Neither is ever written by a split. The file
// is read in steps of 1 MiB and checked as it is read, so a refused load costs
// what the records before the fault cost, and memory only ever grows with the
// bytes the file really holds.
int32_t loadManifest(const char* pieceFolder);

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

// Copies baseName (at most 255 bytes) and a NUL into `out` (1024 bytes). A
// field without its NUL is damaged and gives the empty string.
void getManifestBaseName(char* out);
// Copies the digest (at most 32 characters) and a NUL into `out` (33 bytes),
// only when its first byte is not zero; otherwise leaves `out` untouched.
void getManifestPasswordDigest(char* out);
int32_t getManifestPieceCount();
int32_t getManifestFileCount();
int64_t getManifestTotalSize();

// Append borrowed pointers to every record, in list order.
void listPieceRecords(std::vector<const PieceRecord*>& out);
void listFileRecords(std::vector<const FileRecord*>& out);
