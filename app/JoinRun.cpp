#include "app/JoinRun.h"

#include "engine/runs/numbered_parts.h"

void JoinRun::execute() {
    if (parts) {
        PartsJoinOptions joinOptions;
        joinOptions.replaceExisting = options.replaceExisting;
        joinOptions.ignoreChecksums = options.ignoreChecksums;
        joinOptions.name = partsName;
        Result<JoinOutcome> joined =
            joinNumberedParts(pieceFolder, outputFolder, joinOptions, context);
        if (joined) outcome = std::move(joined.value());
        finish(joined);
        return;
    }
    JoinOptions withRemoval = options;
    forgetSecret(options.password);
    withRemoval.removePieces = removePieces;
    withRemoval.quickCheckAccepted = quickCheckedRemovalAccepted;
    Result<JoinOutcome> joined = joinSet(pieceFolder, outputFolder, withRemoval, context);
    forgetSecret(withRemoval.password);
    if (joined) outcome = std::move(joined.value());
    finish(joined);
}
