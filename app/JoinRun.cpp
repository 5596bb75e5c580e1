#include "app/JoinRun.h"

void JoinRun::execute() {
    JoinOptions withRemoval = options;
    withRemoval.removePieces = removePieces;
    withRemoval.quickCheckAccepted = quickCheckedRemovalAccepted;
    Result<JoinOutcome> joined = joinSet(pieceFolder, outputFolder, withRemoval, context);
    if (joined) outcome = std::move(joined.value());
    finish(joined);
}
