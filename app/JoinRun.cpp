#include "app/JoinRun.h"

void JoinRun::execute() {
    const int32_t result =
        joinWithOptions(pieceFolder.c_str(), outputFolder.c_str(), options, &outcome);
    done.publish(result);
}
