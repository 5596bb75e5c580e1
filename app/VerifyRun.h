#pragma once
// One full check of the listed set started from the window. The engine
// thread writes what it found and then publishes its result.

#include "app/EngineRun.h"
#include "engine/compat/inspection.h"
#include "engine/format/checksums.h"
#include "engine/runs/recovery.h"

#include <optional>
#include <string>
#include <vector>

class VerifyRun : public EngineRun {
public:
    // Checks every piece on the calling thread (the engine thread) and
    // publishes the result.
    void execute();

    std::string pieceFolder;
    std::vector<PieceCheck> checks;                  // written before `done`
    ChecksumState checksums = ChecksumState::Absent; // written before `done`
    // A set with recovery headers is read against them too: what is wrong
    // and whether it can be mended. Written before `done`.
    std::optional<RecoveryReport> recovery;
};
