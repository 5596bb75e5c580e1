#include "engine/utilities.h"

#include "engine/errors.h"
#include "engine/run_context.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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

int64_t nowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

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

int32_t baseNameOf(const char* path, char* out, std::size_t outSize) {
    if (!path || !out) return -1;
    const char* name = nullptr;
    for (const char* p = path; *p; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    if (!name) return 0;
    const std::size_t length = std::strlen(name);
    if (length >= outSize) return -1;
    std::memcpy(out, name, length + 1);
    return 0;
}

int32_t cutAtFirstDot(char* name) {
    if (!name) return 0;
    if (char* dot = std::strchr(name, '.')) *dot = '\0';
    return 0;
}

std::string stemOf(const std::string& baseName) {
    return baseName.substr(0, baseName.find('.'));
}

namespace {

// Where the last component of `path` ends (trailing slashes ignored) and the
// slash before it begins; npos for a path of slashes only, or none.
struct LastComponent {
    std::size_t end = std::string::npos;   // one past its last character
    std::size_t slash = std::string::npos; // the slash before it
};

LastComponent lastComponentIn(const std::string& path) {
    LastComponent at;
    const std::size_t last = path.find_last_not_of('/');
    if (last == std::string::npos) return at;
    at.end = last + 1;
    at.slash = path.rfind('/', last);
    return at;
}

} // namespace

std::string lastComponentOf(const std::string& path) {
    const LastComponent at = lastComponentIn(path);
    if (at.end == std::string::npos) return path.empty() ? "" : "/";
    const std::size_t begin = at.slash == std::string::npos ? 0 : at.slash + 1;
    return path.substr(begin, at.end - begin);
}

std::string folderPartOf(const std::string& path) {
    const LastComponent at = lastComponentIn(path);
    if (at.slash == std::string::npos) return "";
    return at.slash == 0 ? (at.end > 1 ? "/" : "") : path.substr(0, at.slash);
}

std::string parentFolderOf(const std::string& path) {
    const LastComponent at = lastComponentIn(path);
    if (at.slash == std::string::npos) return ".";
    return at.slash == 0 ? "/" : path.substr(0, at.slash);
}

int32_t pieceFileName(const char* stem, int32_t index, char* out, std::size_t outSize) {
    if (!out || outSize == 0) return -1;
    const int n = std::snprintf(out, outSize, "%s_%d.spt", stem ? stem : "", index);
    if (n < 0 || static_cast<std::size_t>(n) >= outSize) {
        out[0] = '\0';
        return -1;
    }
    return n;
}

std::string piecePathOf(const std::string& pieceFolder, const std::string& stem, int32_t index) {
    char name[kPathBufferSize];
    if (pieceFileName(stem.c_str(), index, name) < 0) return {};
    return pieceFolder + "/" + name;
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

void DroppedBits::add(const std::string& path) {
    if (names.size() < 3) names.push_back(path);
    ++count;
}

void DroppedBits::sayIn(RunContext& run) const {
    if (count == 0) return;
    std::string text = "left out the setuid or setgid bit of " + std::to_string(count) +
                       (count == 1 ? " file: " : " files: ");
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : ", ") + names[i];
    if (count > static_cast<int64_t>(names.size()))
        text += " and " + std::to_string(count - static_cast<int64_t>(names.size())) + " more";
    run.note(text);
}

bool isSafeComponentName(const char* name) {
    if (!name || name[0] == '\0') return false;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    return std::strpbrk(name, "/\\") == nullptr;
}

bool isSafeRelativePath(const char* path) {
    if (!path || path[0] == '\0' || path[0] == '/') return false;
    const char* start = path;
    for (;;) {
        const char* end = std::strchr(start, '/');
        const std::size_t length = end ? static_cast<std::size_t>(end - start) : std::strlen(start);
        if (length == 0) return false;
        if (length == 1 && start[0] == '.') return false;
        if (length == 2 && start[0] == '.' && start[1] == '.') return false;
        if (!end) return true;
        start = end + 1;
    }
}

bool isSafeRelativePath(const std::string& path) {
    return path.find('\0') == std::string::npos && isSafeRelativePath(path.c_str());
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
