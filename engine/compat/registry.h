#pragma once
// The published manifest registry: one manifest in memory for the whole
// process, which the published split, join and inspection fill and read.
//
// The registry is process-wide and unlocked (but for addPieceRecord): one
// split, join or inspection uses it at a time. Records it hands out are
// borrowed and stay valid until the next beginManifest, loadManifest or
// clearManifestRecords. The engine's runs never use it: they read a set's
// manifest as a value (engine/format/manifest_file.h).

#include "engine/format/manifest.h"

#include <cstdint>
#include <vector>

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
