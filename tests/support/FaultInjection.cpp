#include "tests/support/FaultInjection.h"

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

namespace {

int inChild(const std::function<bool()>& prepare, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(prepare() && body() == 0 ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

} // namespace

int asUnprivilegedUser(const std::function<int()>& body) {
    return inChild([] { return setgid(65534) == 0 && setuid(65534) == 0; }, body);
}

int withFileSizeLimit(rlim_t limit, const std::function<int()>& body) {
    return inChild(
        [limit] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit rl{limit, limit};
            return setrlimit(RLIMIT_FSIZE, &rl) == 0;
        },
        body);
}
