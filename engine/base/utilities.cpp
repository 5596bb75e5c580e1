#include "engine/base/utilities.h"

#include "engine/base/run_context.h"

#include <cstdio>
#include <cstring>
#include <ctime>

int64_t nowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
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
