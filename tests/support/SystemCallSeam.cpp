#include "tests/support/SystemCallSeam.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

// The C library's own functions, as the linker's --wrap names them.
extern "C" {
int __real_openat(int dirFd, const char* name, int flags, ...);
int __real_fsync(int fd);
int __real_syncfs(int fd);
int __real_renameat(int fromFd, const char* from, int toFd, const char* to);
int __real_renameat2(int fromFd, const char* from, int toFd, const char* to, unsigned int flags);
int __real_linkat(int fromFd, const char* from, int toFd, const char* to, int flags);
int __real_flock(int fd, int operation);
int __real_unlinkat(int dirFd, const char* name, int flags);
}

namespace {

struct Action {
    SeamCall call;
    std::string name;
    int flags;
    int nth;
    std::function<void(const SeamEvent&)> run;
    int error = 0; // the call fails with it instead of being made
    int seen = 0;
};

struct State {
    std::mutex mutex;
    std::thread::id thread;
    bool everyThread = false;
    std::vector<SeamEvent> events;
    std::vector<Action> actions;
    int actionsRun = 0;
};

State& state() {
    static State s;
    return s;
}

std::atomic<bool> gRecording{false};
thread_local bool tInSeam = false; // inside the seam or an action: pass straight through

std::string lastComponent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string pathOf(int fd) {
    char link[64];
    if (fd == AT_FDCWD)
        std::snprintf(link, sizeof link, "/proc/self/cwd");
    else
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t n = readlink(link, target, sizeof target);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

std::string pathAt(int dirFd, const char* name) {
    if (!name) return {};
    if (name[0] == '/') return name;
    return pathOf(dirFd) + "/" + name;
}

// A call of the recording's thread, outside the seam's own work.
bool watched() {
    if (!gRecording.load(std::memory_order_acquire) || tInSeam) return false;
    std::lock_guard lock(state().mutex);
    return state().everyThread || state().thread == std::this_thread::get_id();
}

bool matches(const Action& action, const SeamEvent& event) {
    return action.call == event.call && (event.flags & action.flags) == action.flags &&
           (action.name.empty() || event.names(action.name));
}

// Logs `event` and makes the call through `real`, after running the actions
// due before it.
template <class Real> int intercept(SeamEvent event, Real real) {
    tInSeam = true;
    std::vector<std::function<void(const SeamEvent&)>> due;
    int refusal = 0;
    {
        std::lock_guard lock(state().mutex);
        for (Action& action : state().actions) {
            if (!matches(action, event) || ++action.seen != action.nth) continue;
            if (action.error != 0)
                refusal = action.error;
            else
                due.push_back(action.run);
            ++state().actionsRun;
        }
    }
    for (const auto& run : due)
        run(event);
    if (refusal != 0) {
        event.result = -1;
        errno = refusal;
    } else {
        event.result = real();
    }
    event.error = event.result < 0 ? errno : 0;
    {
        std::lock_guard lock(state().mutex);
        state().events.push_back(event);
    }
    tInSeam = false;
    errno = event.error;
    return event.result;
}

} // namespace

std::string SeamEvent::name() const {
    return lastComponent(path);
}

bool SeamEvent::names(const std::string& wanted) const {
    const auto fits = [&](const std::string& name) {
        if (!wanted.empty() && wanted.back() == '*')
            return name.compare(0, wanted.size() - 1, wanted, 0, wanted.size() - 1) == 0;
        return name == wanted;
    };
    return fits(name()) || (!to.empty() && fits(lastComponent(to)));
}

SeamRecording::SeamRecording(bool everyThread) {
    std::lock_guard lock(state().mutex);
    state().thread = std::this_thread::get_id();
    state().everyThread = everyThread;
    state().events.clear();
    state().actions.clear();
    state().actionsRun = 0;
    gRecording = true;
}

SeamRecording::~SeamRecording() {
    gRecording = false;
    std::lock_guard lock(state().mutex);
    state().actions.clear();
    state().thread = {};
}

void SeamRecording::before(SeamCall call, const std::string& name, int nth,
                           std::function<void(const SeamEvent&)> action, int flags) {
    std::lock_guard lock(state().mutex);
    state().actions.push_back({call, name, flags, nth, std::move(action)});
}

void SeamRecording::refuse(SeamCall call, const std::string& name, int nth, int error, int flags) {
    std::lock_guard lock(state().mutex);
    state().actions.push_back({call, name, flags, nth, {}, error});
}

std::vector<SeamEvent> SeamRecording::events() const {
    std::lock_guard lock(state().mutex);
    return state().events;
}

int SeamRecording::actionsRun() const {
    std::lock_guard lock(state().mutex);
    return state().actionsRun;
}

extern "C" {

int __wrap_openat(int dirFd, const char* name, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (!watched()) return __real_openat(dirFd, name, flags, mode);
    return intercept({SeamCall::Openat, pathAt(dirFd, name), {}, flags},
                     [&] { return __real_openat(dirFd, name, flags, mode); });
}

int __wrap_fsync(int fd) {
    if (!watched()) return __real_fsync(fd);
    return intercept({SeamCall::Fsync, pathOf(fd), {}}, [&] { return __real_fsync(fd); });
}

int __wrap_syncfs(int fd) {
    if (!watched()) return __real_syncfs(fd);
    return intercept({SeamCall::Syncfs, pathOf(fd), {}}, [&] { return __real_syncfs(fd); });
}

int __wrap_renameat(int fromFd, const char* from, int toFd, const char* to) {
    if (!watched()) return __real_renameat(fromFd, from, toFd, to);
    return intercept({SeamCall::Renameat, pathAt(fromFd, from), pathAt(toFd, to)},
                     [&] { return __real_renameat(fromFd, from, toFd, to); });
}

int __wrap_renameat2(int fromFd, const char* from, int toFd, const char* to, unsigned int flags) {
    if (!watched()) return __real_renameat2(fromFd, from, toFd, to, flags);
    return intercept(
        {SeamCall::Renameat2, pathAt(fromFd, from), pathAt(toFd, to), static_cast<int>(flags)},
        [&] { return __real_renameat2(fromFd, from, toFd, to, flags); });
}

int __wrap_linkat(int fromFd, const char* from, int toFd, const char* to, int flags) {
    if (!watched()) return __real_linkat(fromFd, from, toFd, to, flags);
    const std::string name = pathAt(toFd, to);
    return intercept({SeamCall::Linkat, name, name, flags},
                     [&] { return __real_linkat(fromFd, from, toFd, to, flags); });
}

int __wrap_flock(int fd, int operation) {
    if (!watched()) return __real_flock(fd, operation);
    return intercept({SeamCall::Flock, pathOf(fd), {}, operation},
                     [&] { return __real_flock(fd, operation); });
}

int __wrap_unlinkat(int dirFd, const char* name, int flags) {
    if (!watched()) return __real_unlinkat(dirFd, name, flags);
    return intercept({SeamCall::Unlinkat, pathAt(dirFd, name), {}, flags},
                     [&] { return __real_unlinkat(dirFd, name, flags); });
}

} // extern "C"
