#pragma once
// Faults a test can cause on purpose.

#include <functional>

#include <sys/resource.h>

// Runs `body` in a child process whose files cannot grow past `limit` bytes,
// as on a full disk (SIGXFSZ ignored, so writes fail with EFBIG). Returns 0
// when the body returned 0, -1 for anything else, a crash included.
int withFileSizeLimit(rlim_t limit, const std::function<int()>& body);

// Runs `body` in a child process as the unprivileged user and group 65534,
// for what permissions refuse (the tests run as root). Returns as above.
int asUnprivilegedUser(const std::function<int()>& body);
