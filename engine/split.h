#pragma once
// The split: cuts a file, or a folder tree, into a piece set
// "<outFolder>/<stem>_spt" holding "<stem>_<i>.spt" and "spt_config.morvspt".

#include <cstdint>

// One split request. The caller clears it, fills it and passes its address.
// The published declaration, kept on one line as published.
// clang-format off
struct Split_pragma { char srcPath[1024]; char outFolder[1024]; int64_t totalSize; int64_t pieceSize; char password[32]; };
// clang-format on

// Runs one split synchronously on the calling thread and reports progress
// through the counters of utilities.h. On success `outFolder` holds the piece
// folder and the manifest registry holds the new set.
//
// Returns 0 when every piece was written in full, every byte of the source was
// stored, and the manifest was written. Returns -1 otherwise:
//  - before anything is written, when the request is unusable: a field without
//    its NUL, a piece size of 0 or less, a negative total, a source name that
//    is empty, "." or "..", a base name or relative path that does not fit its
//    256-byte manifest field, a path that does not fit its buffer, too many
//    pieces or records for a manifest, or an empty source folder;
//  - after the run, when a piece file could not be created or written, a
//    source file could not be read, the source held a different number of
//    bytes than `totalSize`, or the manifest could not be written.
// A failed run leaves the source untouched; what pieces it wrote stay.
int32_t splitProject_split(Split_pragma* request);
