#include "app/RunState.h"

Split_pragma splitRequest{};
std::atomic<uint8_t> splitFinished{0};
std::atomic<uint8_t> joinFinished{0};
std::atomic<int32_t> splitResult{0};
std::atomic<int32_t> joinResult{0};
SplitOutcome splitOutcome;
JoinOutcome joinOutcome;
std::atomic<uint8_t> verifyFinished{0};
std::atomic<int32_t> verifyResult{0};
std::vector<PieceCheck> verifyChecks;
ChecksumState verifyChecksums = ChecksumState::Absent;
