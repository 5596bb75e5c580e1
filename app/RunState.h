#pragma once
// The front end's process-wide run state. The split request is written by the
// UI thread before the engine thread starts and read only by that thread. The
// results are published before their finished flags (release), and read after
// them (acquire).

#include "engine/inspection.h"
#include "engine/join.h"
#include "engine/split.h"

#include <atomic>
#include <cstdint>

extern Split_pragma splitRequest;
extern std::atomic<uint8_t> splitFinished;
extern std::atomic<uint8_t> joinFinished;
extern std::atomic<int32_t> splitResult;
extern std::atomic<int32_t> joinResult;
// What the last split and join read, for the removals after them. Written by
// the engine thread before its finished flag.
extern SplitOutcome splitOutcome;
extern JoinOutcome joinOutcome;
// The last full check: its flag, result and what it found.
extern std::atomic<uint8_t> verifyFinished;
extern std::atomic<int32_t> verifyResult;
extern std::vector<PieceCheck> verifyChecks;
extern ChecksumState verifyChecksums;
