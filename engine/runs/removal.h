#pragma once
// Removal of a split's source, or of a joined set's pieces, after the run.
// Each removes exactly what the run read, only where it is unchanged since
// (same device, inode, size and modification time), never follows a symbolic
// link (a link is removed as a link, or kept), and first writes what replaces
// it to disk, so that nothing goes before its copy is safe.

#include "engine/base/run_context.h"
#include "engine/runs/join.h"
#include "engine/runs/removal_report.h"
#include "engine/runs/split.h"

#include <cstdint>
#include <string>
#include <vector>

// Both removals honour a stop request (of `run`) between two files: they
// fail (EngineFailure::Cancelled) with the report of what was removed and
// what was left. The published forms (int32_t) keep the reason as the last
// error (errors.h) and stop on engineRequestCancel.

// Removes the source of a split that returned 0, once its set still checks
// whole on disk (every piece against its fingerprint; otherwise -1 with
// EngineFailure::SetNotWhole and nothing removed): for a file source the file,
// for a folder source every stored file, then the folders that became empty
// because of it, deepest first, the source folder last. Returns 0 when the
// removal ran (kept entries are listed in `report`); -1, with the reason kept
// (errors.h) and nothing removed, when the pieces could not be written to
// disk first or the source cannot be reached.
bool removeSplitSource(const SplitOutcome& outcome, RemovalReport& report, RunContext& run);
int32_t removeSplitSource(const SplitOutcome& outcome, RemovalReport& report);

// Removes the manifest and the pieces a join that returned 0 read, then the
// piece folder when nothing else is left in it. Returns as removeSplitSource.
// A join that could make only the quick check (JoinOutcome::fullCheck false)
// removes nothing unless the user accepted that (`quickCheckAccepted`): -1
// with EngineFailure::NoChecksums.
bool removeJoinedPieces(const JoinOutcome& outcome, RemovalReport& report, bool quickCheckAccepted,
                        RunContext& run);
int32_t removeJoinedPieces(const JoinOutcome& outcome, RemovalReport& report,
                           bool quickCheckAccepted = false);
