#pragma once
// Removal of a split's source, or of a joined set's pieces, after the run.
// Each removes exactly what the run read, only where it is unchanged since
// (same device, inode, size and modification time), never follows a symbolic
// link (a link is removed as a link, or kept), and first writes what replaces
// it to disk, so that nothing goes before its copy is safe.

#include "engine/join.h"
#include "engine/split.h"

#include <cstdint>
#include <string>
#include <vector>

struct RemovalReport {
    int64_t removed = 0; // files removed
    // Entries left in place that the set does not hold (hidden items, folders
    // that were empty from the start, special files, links, anything added
    // since), relative to the source folder or the piece folder. A folder the
    // set holds nothing of is named once, not with its content.
    std::vector<std::string> notHeld;
    // Files the set holds that were kept because they changed since the run
    // read them (or could not be examined).
    std::vector<std::string> changed;
    // Unchanged files the system would not let go: "name (its reason)".
    std::vector<std::string> failed;
    // A stop was asked for: the removal ended between two files, and this
    // many files it was to remove were left as they were.
    bool stopped = false;
    int64_t notReached = 0;
};

// Both removals honour a stop request (errors.h) between two files: they
// return -1 (EngineFailure::Cancelled) with the report of what was removed
// and what was left.

// Removes the source of a split that returned 0, once its set still checks
// whole on disk (every piece against its fingerprint; otherwise -1 with
// EngineFailure::SetNotWhole and nothing removed): for a file source the file,
// for a folder source every stored file, then the folders that became empty
// because of it, deepest first, the source folder last. Returns 0 when the
// removal ran (kept entries are listed in `report`); -1, with the reason kept
// (errors.h) and nothing removed, when the pieces could not be written to
// disk first or the source cannot be reached.
int32_t removeSplitSource(const SplitOutcome& outcome, RemovalReport& report);

// Removes the manifest and the pieces a join that returned 0 read, then the
// piece folder when nothing else is left in it. Returns as removeSplitSource.
// A join that could make only the quick check (JoinOutcome::fullCheck false)
// removes nothing unless the user accepted that (`quickCheckAccepted`): -1
// with EngineFailure::NoChecksums.
int32_t removeJoinedPieces(const JoinOutcome& outcome, RemovalReport& report,
                           bool quickCheckAccepted = false);
