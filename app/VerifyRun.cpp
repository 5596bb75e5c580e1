#include "app/VerifyRun.h"

void VerifyRun::execute() {
    finish(verifySet(pieceFolder, checks, checksums, context));
}
