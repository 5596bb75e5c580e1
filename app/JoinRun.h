#pragma once
// One join started from the window: its folders and options, what the
// finishing tick needs to know about it, and what the join read. The UI
// thread fills it before the engine thread starts; the engine thread writes
// the outcome and then publishes its result.

#include "app/EngineRun.h"
#include "engine/runs/join.h"

#include <string>

class JoinRun : public EngineRun {
public:
    void execute() override;

    std::string pieceFolder; // the first part, for numbered parts
    bool parts = false;      // numbered parts made by other tools, not a piece set
    std::string partsName;   // the joined file's name; "" for the one the parts' names give
    std::string outputFolder;
    // With an encrypted set's password, which the run forgets once it ends.
    JoinOptions options;
    bool encrypted = false;    // the set is encrypted: its name is known only once it is joined
    bool removePieces = false; // the removal box was on when the run started
    int64_t pieces = 0;        // how many pieces the list showed
    // The set has no checksum files, and the user agreed to a removal after
    // the quick check only.
    bool quickCheckedRemovalAccepted = false;
    // Written by the engine thread before `done`; with `removePieces`, what
    // the removal did is in it.
    JoinOutcome outcome;
};
