#include "engine/compat/paths.h"

#include "engine/base/run_context.h"
#include "engine/compat/errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

DirHandle openFolder(const char* path) {
    DirHandle dir(path ? opendir(path) : nullptr);
    if (!dir) engineDiagnostic(std::string("error opendir ") + (path ? path : "(null)") + " \n");
    return dir;
}

// Builds "<folder>/<name>" into `out` (kWalkPathBufferSize bytes); false if it
// would not fit.
bool walkEntryPath(const char* folder, const char* name, char* out) {
    const int n = std::snprintf(out, kWalkPathBufferSize, "%s/%s", folder, name);
    return n >= 0 && static_cast<std::size_t>(n) < kWalkPathBufferSize;
}

} // namespace
int32_t sleepMicroseconds(int32_t microseconds) {
    return usleep(microseconds > 0 ? static_cast<useconds_t>(microseconds) : 0);
}

int32_t isFolder(const char* path) {
    return openFolder(path) ? 1 : 0;
}

int64_t fileSize(const char* path) {
    struct stat st {};
    if (!path || stat(path, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool entryIsFolder(unsigned char type, const char* path) {
    if (type == DT_UNKNOWN) {
        struct stat st {};
        if (lstat(path, &st) != 0) return false;
        type = static_cast<unsigned char>(IFTODT(st.st_mode));
    }
    return (type & DT_DIR) != 0;
}

int64_t folderSize(const char* path) {
    DirHandle dir = openFolder(path);
    if (!dir) return 0;
    int64_t total = 0;
    char entryPath[kWalkPathBufferSize];
    while (const dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        if (!walkEntryPath(path, entry->d_name, entryPath)) continue;
        if (entryIsFolder(entry->d_type, entryPath)) {
            total += folderSize(entryPath);
        } else {
            // Only regular files hold bytes that a split stores: a link is
            // stored as a link, never read through.
            // Looked up in its folder: one name, not the whole path again.
            struct stat st {};
            if (fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(st.st_mode))
                total += static_cast<int64_t>(st.st_size);
        }
    }
    return total;
}

int64_t pathSize(const char* path) {
    if (!path) return -1;
    return isFolder(path) == 1 ? folderSize(path) : fileSize(path);
}

int32_t listFolderFiles(const char* folder, std::vector<std::string>& list, int32_t recurse) {
    RunContext run;
    const int32_t result = walkFolderFiles(folder, list, recurse, run);
    if (run.failed()) engineFail(run.failure().reason);
    return result;
}

int32_t walkFolderFiles(const char* folder, std::vector<std::string>& list, int32_t recurse,
                        RunContext& run) {
    DirHandle dir = openFolder(folder);
    if (!dir) {
        run.failErrno("list the folder", folder ? folder : "(null)", errno);
        return -1;
    }
    int32_t result = 0;
    char entryPath[kWalkPathBufferSize];
    while (const dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        if (!walkEntryPath(folder, entry->d_name, entryPath)) {
            run.fail(std::string("the path of ") + entry->d_name + " in " + folder +
                     " is too long");
            result = -1;
            continue;
        }
        if (entryIsFolder(entry->d_type, entryPath)) {
            if (recurse == 1 && walkFolderFiles(entryPath, list, recurse, run) != 0) result = -1;
        } else {
            list.emplace_back(entryPath);
        }
    }
    return result;
}

std::string fileAtIndex(const std::vector<std::string>& list, int32_t n) {
    if (n < 0 || static_cast<std::size_t>(n) >= list.size()) return {};
    return list[static_cast<std::size_t>(n)];
}

int32_t makeFolder(const char* path) {
    return path ? mkdir(path, 0777) : -1;
}

void makeParentFolders(const char* path) {
    if (!path) return;
    char prefix[kPathBufferSize];
    for (std::size_t i = 0; path[i] != '\0'; ++i) {
        if (path[i] != '/') continue;
        if (i + 1 >= sizeof prefix) return;
        std::memcpy(prefix, path, i + 1);
        prefix[i + 1] = '\0';
        mkdir(prefix, 0777);
    }
}

RunProgress& publishedProgress() {
    static RunProgress progress;
    return progress;
}

int64_t progressDoneBytes() {
    return publishedProgress().done.load(std::memory_order_relaxed);
}
int64_t progressTotalBytes() {
    return publishedProgress().total.load(std::memory_order_relaxed);
}
int64_t progressElapsedSeconds() {
    return nowSeconds() - publishedProgress().startSeconds.load(std::memory_order_relaxed);
}
void progressStartRun() {
    publishedProgress().start();
}
void progressSetTotalBytes(int64_t total) {
    publishedProgress().setTotal(total);
}
void progressAddDoneBytes(int64_t bytes) {
    publishedProgress().add(bytes);
}
