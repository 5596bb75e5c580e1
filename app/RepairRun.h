#pragma once
// One repair of the listed set started from the window: the set's missing
// and damaged files rebuilt from its recovery pieces, in place or into
// another folder. The engine thread writes the outcome and then publishes
// its result.

#include "app/EngineRun.h"
#include "engine/runs/recovery.h"

#include <string>

class RepairRun : public EngineRun {
public:
    void execute() override;

    std::string pieceFolder;
    std::string outputFolder; // "" to repair in place
    RepairOutcome outcome;    // written before `done`
};
