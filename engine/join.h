#pragma once
// The join: rebuilds a file or folder tree from a piece set.

#include <cstdint>

// Loads the manifest of `pieceFolder` and writes "<outputFolder>/<base name>":
// a file made of the pieces in index order, or, for a set cut from a folder,
// the tree rebuilt from its slice records. A target that exists is replaced.
// `password` is accepted and not used; the caller checks it beforehand with
// checkPassword. Runs synchronously and reports progress through the counters
// of utilities.h.
//
// Returns 0 when the result is complete. Returns -1:
//  - before anything is written, when an argument is null, the manifest cannot
//    be loaded, or the manifest is unsafe or malformed: a base name that is
//    empty, ".", ".." or holds '/' or '\', a record name that is empty,
//    absolute or has an empty, "." or ".." component, a record whose piece
//    index is out of range or whose offset or length is negative, or a path
//    that does not fit 1024 bytes;
//  - after the join, when a target could not be created or written, or a
//    piece was missing, unreadable, shorter than its records need, or no
//    longer matches the fingerprint the manifest holds for it. The join still
//    writes everything it can.
// Nothing is ever written outside "<outputFolder>/<base name>".
int32_t splitProject_merge(const char* pieceFolder, const char* outputFolder, const char* password);
