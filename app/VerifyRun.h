#pragma once
// One full check of the listed set started from the window. The engine
// thread writes what it found and then publishes its result.

#include "app/EngineRun.h"
#include "engine/format/checksums.h"
#include "engine/runs/recovery.h"
#include "engine/runs/verify.h"

#include <optional>
#include <string>
#include <vector>

class VerifyRun : public EngineRun {
public:
    void execute() override;

    std::string pieceFolder;
    std::string firstPart; // or the first of numbered parts, checked against their checksum file
    std::vector<PieceCheck> checks;                  // written before `done`
    ChecksumState checksums = ChecksumState::Absent; // written before `done`
    // A set with recovery headers is read against them too: what is wrong
    // and whether it can be mended. Written before `done`.
    std::optional<RecoveryReport> recovery;
};
