#include "app/SplitRun.h"

void SplitRun::execute() {
    const int32_t result = splitWithOptions(&request, SplitOptions{replaceSet, true}, &outcome);
    done.publish(result);
}
