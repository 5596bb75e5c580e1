#include "engine/errors.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex gMutex;
std::string gLastError;

} // namespace

std::string engineLastError() {
    std::lock_guard lock(gMutex);
    return gLastError;
}

void engineClearError() {
    std::lock_guard lock(gMutex);
    gLastError.clear();
}

void engineFail(const std::string& message) {
    std::lock_guard lock(gMutex);
    if (gLastError.empty()) gLastError = message;
}

void engineFailErrno(const char* step, const std::string& path, int error) {
    char text[256] = {};
    const char* reason = strerror_r(error, text, sizeof text);
    engineFail(std::string("cannot ") + step + " " + path + ": " + reason);
}
