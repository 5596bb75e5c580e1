#pragma once
// One split started from the window: what the engine thread is asked to do,
// what the finishing tick needs to know about it, and what the split read.
// The UI thread fills the request before the engine thread starts; the engine
// thread writes the outcome and then publishes its result.

#include "app/EngineRun.h"
#include "engine/runs/split.h"

class SplitRun : public EngineRun {
public:
    void execute() override;

    Split_pragma request{};
    bool replaceSet = false;    // the user agreed to replace the set in the way
    bool removeSource = false;  // the removal box was on when the run started
    bool includeHidden = false; // a folder source's hidden items go into the set
    RecoveryRequest recovery;   // the recovery pieces written beside the set
    // The pieces are encrypted with this password ("" for none); the run
    // forgets it once the split has ended.
    std::string encryptPassword;
    int encryptWorkFactor = SplitOptions{}.encryptWorkFactor;
    std::string setName; // the name the set shows, "" for the source's
    int32_t pieceCount =
        0; // by count: the pieces wanted (an encrypted stream is longer than its source)
    // Written by the engine thread before `done`; with `removeSource`, what
    // the removal did is in it.
    SplitOutcome outcome;
};
