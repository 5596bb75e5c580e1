#pragma once
// The file manager, the desktop's file browser, notifications, the system
// log, threads, run-loop timers, handing work to the UI thread, and the other
// programs the window starts.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace toolkit {

class Window;

enum class FileType { Regular, Directory, SymbolicLink, Other };

class FileManager {
public:
    virtual ~FileManager() = default;
    // The item's own type (links are not followed); nothing when it cannot be read.
    virtual std::optional<FileType> attributesOfItemAtPath_fileType(const std::string& path) = 0;
    virtual bool fileExistsAtPath(const std::string& path) = 0;
};

class Workspace {
public:
    virtual ~Workspace() = default;
    // Shows a folder in the desktop's file browser.
    virtual bool openFolder(const std::string& path) = 0;
    // Tells a user who is elsewhere that something ended: a desktop
    // notification, and a request for attention on `window`. Quietly does
    // nothing where the desktop offers neither.
    virtual void notify(Window* window, const std::string& title, const std::string& body) = 0;
};

class NotificationCenter {
public:
    virtual ~NotificationCenter() = default;
    // Calls `handler` when `window` is about to close; the window stays open
    // when it returns false.
    virtual void addWindowWillCloseObserver(const void* observer, Window* window,
                                            std::function<bool()> handler) = 0;
    // Drops every observation made for `observer`.
    virtual void removeObserver(const void* observer) = 0;
};

class SystemLog {
public:
    virtual ~SystemLog() = default;
    virtual void log(const std::string& line) = 0;
};

class Timer {
public:
    virtual ~Timer() = default;
    // No tick comes after this returns, and the owning run loop's run() returns.
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

// The calling thread's own run loop.
class RunLoop {
public:
    virtual ~RunLoop() = default;
    // Schedules `tick` every `seconds` on this run loop's thread.
    virtual std::shared_ptr<Timer> scheduledTimer(float seconds, std::function<void()> tick) = 0;
    // Runs ticks on the calling thread until every timer of the loop is invalidated.
    virtual void run() = 0;
};

// A watch kept on a folder while the object lives; its handler runs on the
// UI thread.
class FolderWatch {
public:
    virtual ~FolderWatch() = default;
};

class Threads {
public:
    virtual ~Threads() = default;
    // Starts `body` on a new detached thread.
    virtual void detachNewThread(std::function<void()> body) = 0;
    // A run loop for the calling thread.
    virtual std::unique_ptr<RunLoop> currentRunLoop() = 0;
    // Runs `work` later on the UI thread, in the order posted.
    virtual void performOnUiThread(std::function<void()> work) = 0;
    // Runs `work` on the UI thread once `milliseconds` have passed.
    virtual void performOnUiThreadAfter(int milliseconds, std::function<void()> work) = 0;
};

// How a program the window started ended.
struct ProcessOutcome {
    bool started = false;  // false: it could not be started (`errorText` says why)
    int exitStatus = -1;   // its exit status, or 128 + the signal that ended it
    std::string errorText; // what it wrote to its standard error (bounded)
};

class Processes {
public:
    virtual ~Processes() = default;
    // The path of the program `name` as installed beside the window's own
    // executable, else as found on PATH; "" when there is none.
    virtual std::string findProgram(const std::string& name) = 0;
    // Runs `program` with `arguments` (without its own name) to its end,
    // standard input and output on /dev/null. When `secretFd` is not -1, the
    // program inherits a pipe's reading end as descriptor `secretFd`, holding
    // `secret` and then the end of the file: a secret handed this way is in
    // no argument and no environment variable. Blocks: call it from a worker
    // thread.
    virtual ProcessOutcome run(const std::string& program,
                               const std::vector<std::string>& arguments, int secretFd = -1,
                               const std::string& secret = {}) = 0;
};

} // namespace toolkit
