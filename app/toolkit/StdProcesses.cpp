#include "app/toolkit/StdProcesses.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace toolkit {

namespace {

// What is kept of a program's standard error.
constexpr std::size_t kErrorTextLimit = 64 * 1024;
// A pipe holds this much before a writer waits: a secret must fit, since
// it is written before the program starts.
constexpr std::size_t kSecretLimit = 4096;

bool isProgram(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

struct Pipe {
    int fds[2] = {-1, -1};
    bool open() { return pipe2(fds, O_CLOEXEC) == 0; }
    void closeEnd(int end) {
        if (fds[end] >= 0) ::close(fds[end]);
        fds[end] = -1;
    }
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
};

ProcessOutcome failedStart(const std::string& program, int error) {
    ProcessOutcome outcome;
    outcome.errorText = "cannot start " + program + ": " + std::strerror(error);
    return outcome;
}

} // namespace

std::string StdProcesses::findProgram(const std::string& name) {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string folder(self, static_cast<std::size_t>(length));
        folder.erase(folder.rfind('/') + 1);
        if (isProgram(folder + name)) return folder + name;
    }
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= rest.size();) {
        std::size_t end = rest.find(':', start);
        if (end == std::string::npos) end = rest.size();
        const std::string folder = rest.substr(start, end - start);
        if (!folder.empty() && folder[0] == '/' && isProgram(folder + "/" + name))
            return folder + "/" + name;
        start = end + 1;
    }
    return {};
}

ProcessOutcome StdProcesses::run(const std::string& program,
                                 const std::vector<std::string>& arguments, int secretFd,
                                 const std::string& secret) {
    if (secretFd >= 0 && (secretFd <= 2 || secret.size() > kSecretLimit))
        return failedStart(program, EINVAL);
    Pipe errors, secrets;
    if (!errors.open() || (secretFd >= 0 && !secrets.open())) return failedStart(program, errno);
    if (secretFd >= 0) {
        // Written whole before the program starts: it may leave without
        // reading, and nothing then waits on the pipe.
        if (write(secrets.fds[1], secret.data(), secret.size()) !=
            static_cast<ssize_t>(secret.size()))
            return failedStart(program, errno);
        secrets.closeEnd(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errors.fds[1], 2);
    if (secretFd >= 0) posix_spawn_file_actions_adddup2(&actions, secrets.fds[0], secretFd);
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return failedStart(program, spawned);
    errors.closeEnd(1);
    secrets.closeEnd(0);

    // Its standard error until it ends. A daemon it leaves behind may keep
    // the pipe open: once the program itself has ended, what is there is read
    // and no more is waited for.
    ProcessOutcome outcome;
    outcome.started = true;
    int status = 0;
    bool ended = false;
    for (;;) {
        if (!ended) {
            const pid_t waited = waitpid(child, &status, WNOHANG);
            ended = waited == child || (waited < 0 && errno != EINTR);
        }
        pollfd wanted{errors.fds[0], POLLIN, 0};
        const int ready = poll(&wanted, 1, ended ? 0 : 50);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            if (ended) break;
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(errors.fds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (ended) break;
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            ended = true;
            continue;
        }
        if (outcome.errorText.size() < kErrorTextLimit)
            outcome.errorText.append(buffer, static_cast<std::size_t>(got));
    }
    outcome.exitStatus = WIFEXITED(status)     ? WEXITSTATUS(status)
                         : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                               : -1;
    return outcome;
}

} // namespace toolkit
