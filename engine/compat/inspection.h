#pragma once
// The published inspection of a piece set before a join, the published full
// check, and the password check.

#include "engine/runs/verify.h"

#include <cstdint>
#include <string>
#include <vector>

// One piece of a set as the inspection found it.
//  checkState: 0 when the piece's fingerprint, computed now, equals the stored
//              one; -1 otherwise, and always when the piece is missing or
//              cannot be read.
//  fingerprint: the stored fingerprint (32 upper-case hex characters, or "").
//  path: "<piece folder>/<stem>_<pieceIndex>.spt".
//  size: the piece file's size, or -1 when it cannot be queried.
// The published declaration, kept on one line as published.
// clang-format off
struct SPTCfg_SPTitem2 { int32_t pieceIndex; int16_t checkState; std::string fingerprint; std::string path; int64_t size; };
// clang-format on

// Loads the manifest of `pieceFolder` and appends one entry per piece record,
// in manifest order, to `list` (entries already there stay in front). Fills
// `passwordDigest` (33 bytes) with the stored digest, or "" when the set has
// none, and `baseName` (1024 bytes) with the set's base name.
// Returns 0 when listed. Returns -1 and leaves `list` and both buffers as they
// were when an argument is null, the folder cannot be opened, a split is
// writing into it (its lock is taken shared), the manifest cannot be loaded, its base name
// is unsafe (empty, ".", "..", or holding '/' or '\'), or a piece path does not
// fit 1024 bytes. Restarts the progress counters; writes no file.
// The published declaration, kept on one line as published.
// clang-format off
int32_t inspectPieceSet(const char* pieceFolder, std::vector<SPTCfg_SPTitem2>& list, char* passwordDigest /*33 bytes*/, char* baseName /*1024 bytes*/);
// clang-format on

// The full check as published (see verifySet): 0 when every piece and file
// matches, -1 otherwise (reason kept, errors.h).
int32_t verifyPieceSet(const char* pieceFolder, std::vector<PieceCheck>& out,
                       ChecksumState& checksums);

// 1 when the MD5 hex digest of `typed` equals `storedDigest` exactly, 0 when it
// does not (always 0 for an empty stored digest), -1 when an argument is null.
int32_t checkPassword(const char* typed, const char* storedDigest);
