#pragma once
// Name and path-text helpers shared by the whole engine: piece names, stems,
// the components of a path, and the validators of names read from files.
// Nothing here touches the file system (that is engine/fs/).
//
// Paths are NUL-terminated byte strings with '/' as the separator. None of
// these functions throws. A helper that fills a caller's buffer never writes
// past the size it is given.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class RunContext;

// Every engine path lives in a buffer of this many bytes (text plus NUL).
inline constexpr std::size_t kPathBufferSize = 1024;
// The full path of any entry inside a walked folder must fit this many bytes
// (text plus NUL); longer entries are refused by the walk and the size sum.
inline constexpr std::size_t kWalkPathBufferSize = 512;

// The bytes of `text` as unsigned values, for a loop that tests their ranges:
// for (unsigned char c : bytesOf(text)).
inline std::span<const unsigned char> bytesOf(std::string_view text) {
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// Current calendar time in seconds.
int64_t nowSeconds();

// Copies the text after the last '/' or '\' of `path` into `out`. Leaves `out`
// untouched when the path has no separator. Returns -1 (leaving `out`
// untouched) when a pointer is null or the name does not fit `outSize`, else 0.
int32_t baseNameOf(const char* path, char* out, std::size_t outSize = kPathBufferSize);
// Ends the name at its first '.'; always returns 0. A null name is ignored.
int32_t cutAtFirstDot(char* name);
// The stem of a base name: the name cut at its first '.'.
std::string stemOf(const std::string& baseName);
// The one family of path helpers; trailing slashes are ignored by all three.
// The last component: "a/b/c" and "a/b/c/" give "c", "c" gives "c", "/"
// gives "/".
std::string lastComponentOf(const std::string& path);
// The path without its last component: "a/b/c" gives "a/b", "/a" gives "/",
// a bare name "c" (or "/") gives "".
std::string folderPartOf(const std::string& path);
// The folder that holds `path`, to open: as folderPartOf, but "." for a bare
// name.
std::string parentFolderOf(const std::string& path);
// Writes "<stem>_<index>.spt" into `out`. Returns the number of characters
// written, or -1 (with `out` holding an empty string) if it does not fit.
int32_t pieceFileName(const char* stem, int32_t index, char* out,
                      std::size_t outSize = kPathBufferSize);
// "<pieceFolder>/<stem>_<index>.spt", or "" when the file name does not fit.
// The caller checks the whole path against kPathBufferSize.
std::string piecePathOf(const std::string& pieceFolder, const std::string& stem, int32_t index);

// The files a join wrote without the setuid or setgid bit they were stored
// or found with: counted, the first few named, and said once as a note of
// the run ("left out the setuid or setgid bit of 2 files: a/run and b").
struct DroppedBits {
    int64_t count = 0;
    std::vector<std::string> names;
    void add(const std::string& path);
    void sayIn(RunContext& run) const;
};

// A name that can stand as one path component of our own making: not empty,
// not "." or "..", and without '/' or '\'.
bool isSafeComponentName(const char* name);
// A relative path that stays below the folder it is joined to: not empty, not
// absolute, and no component that is empty, "." or "..".
bool isSafeRelativePath(const char* path);
// As above, for a path read from a file, which may hold a NUL: then it is not one.
bool isSafeRelativePath(const std::string& path);
