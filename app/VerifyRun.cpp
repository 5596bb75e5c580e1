#include "app/VerifyRun.h"

void VerifyRun::execute() {
    const int32_t result = verifyPieceSet(pieceFolder.c_str(), checks, checksums);
    done.publish(result);
}
