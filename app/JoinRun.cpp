#include "app/JoinRun.h"

void JoinRun::execute() {
    JoinOptions withRemoval = options;
    forgetSecret(options.password);
    withRemoval.removePieces = removePieces;
    withRemoval.quickCheckAccepted = quickCheckedRemovalAccepted;
    Result<JoinOutcome> joined = joinSet(pieceFolder, outputFolder, withRemoval, context);
    forgetSecret(withRemoval.password);
    if (joined) outcome = std::move(joined.value());
    finish(joined);
}
