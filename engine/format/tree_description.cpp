#include "engine/format/tree_description.h"

#include "engine/base/file_io.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest_file.h"
#include "engine/fs/safe_fs.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include <sys/stat.h>

namespace {

// The longest line a real set writes: a 255-byte name and a link target of
// PATH_MAX bytes, every byte escaped, and the keywords.
constexpr std::size_t kLineBound = 4 * 256 + 4 * PATH_MAX + 256;
// Folders, links and FIFOs a description may list beside the files.
constexpr std::size_t kMaxOtherEntries = std::size_t{4} << 20;

const char* typeName(TreeEntryType type) {
    switch (type) {
    case TreeEntryType::Folder:
        return "dir";
    case TreeEntryType::Link:
        return "link";
    case TreeEntryType::Fifo:
        return "fifo";
    default:
        return "file";
    }
}

} // namespace

namespace {

template <class T> bool number(std::string_view text, T& value, int base = 10) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

// A name below the root, unescaped: every component present and neither "."
// nor "..".
bool safeRelative(const std::string& path) {
    if (path.empty() || path.front() == '/' || path.back() == '/') return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part(path.data() + start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

// A folder's bits as stored: its permissions, and its setgid and sticky bits
// (what it gives the entries made in it); a file keeps its permissions only.
constexpr uint32_t kFolderBits = 03777;

// One line into `entry`; "" or why it is not an entry.
std::string parseLine(std::string_view line, DescribedEntry& entry) {
    entry = DescribedEntry{};
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return "a line without keywords";
    std::string name;
    if (!mtreeUnescaped(line.substr(0, space), name))
        return "a name that is not escaped as it must be";
    if (name == ".") {
        name.clear();
    } else if (name.rfind("./", 0) == 0) {
        name.erase(0, 2);
        if (!safeRelative(name)) return "an unsafe name";
        if (name.size() >= 256) return "a name too long for a set";
    } else {
        return "a name that is not below the root";
    }
    entry.path = std::move(name);
    bool typed = false, moded = false, timed = false, sized = false, linked = false;
    std::size_t at = space + 1;
    while (at < line.size()) {
        std::size_t end = line.find(' ', at);
        if (end == std::string_view::npos) end = line.size();
        const std::string_view word = line.substr(at, end - at);
        at = end + 1;
        const std::size_t equals = word.find('=');
        if (equals == std::string_view::npos) return "a keyword without a value";
        const std::string_view key = word.substr(0, equals);
        const std::string_view value = word.substr(equals + 1);
        if (key == "type") {
            if (value == "dir")
                entry.type = TreeEntryType::Folder;
            else if (value == "file")
                entry.type = TreeEntryType::File;
            else if (value == "link")
                entry.type = TreeEntryType::Link;
            else if (value == "fifo")
                entry.type = TreeEntryType::Fifo;
            else
                return "an entry of an unknown type";
            typed = true;
        } else if (key == "mode") {
            if (!number(value, entry.mode, 8) || entry.mode > kFolderBits)
                return "a mode out of range";
            moded = true;
        } else if (key == "time") {
            const std::size_t dot = value.find('.');
            if (dot == std::string_view::npos || value.size() - dot - 1 != 9 ||
                !number(value.substr(0, dot), entry.mtimeSeconds) ||
                !number(value.substr(dot + 1), entry.mtimeNanoseconds) ||
                entry.mtimeNanoseconds < 0) // a time before 1970 is as the file has it
                return "a time out of range";
            timed = true;
        } else if (key == "size") {
            if (!number(value, entry.size) || entry.size < 0) return "a size out of range";
            sized = true;
        } else if (key == "sha256digest") {
            if (!digestOfHex(value, entry.digest)) return "a digest that is not one";
            entry.hasDigest = true;
        } else if (key == "link") {
            if (!mtreeUnescaped(value, entry.link) || entry.link.empty() ||
                entry.link.size() >= PATH_MAX)
                return "a link target that is not one";
            linked = true;
        } else {
            return "an unknown keyword";
        }
    }
    if (!typed) return "an entry without its type";
    // Only a folder keeps its setgid and sticky bits.
    if (entry.mode > (entry.type == TreeEntryType::Folder ? kFolderBits : 0777u))
        return "a mode out of range";
    // Only the root may go without its bits and time: a file set's output folder.
    entry.described = moded && timed;
    if (!entry.described && (moded || timed || !entry.path.empty()))
        return "an entry without its mode or time";
    if (sized != (entry.type == TreeEntryType::File)) return "a size where none belongs, or none";
    if (linked != (entry.type == TreeEntryType::Link))
        return "a link target where none belongs, or none";
    if (entry.hasDigest && entry.type != TreeEntryType::File) return "a digest where none belongs";
    return {};
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

std::string treeLine(const TreeEntry& entry, int64_t size, const Sha256Digest::Bytes* digest,
                     const std::string& linkTarget) {
    std::string line = entry.path.empty() ? "." : "./" + mtreeEscaped(entry.path);
    char words[96];
    std::snprintf(words, sizeof words, " type=%s mode=%04o time=%lld.%09d", typeName(entry.type),
                  static_cast<unsigned>(entry.mode &
                                        (entry.type == TreeEntryType::Folder ? kFolderBits : 0777)),
                  static_cast<long long>(entry.mtimeSeconds), entry.mtimeNanoseconds);
    line += words;
    if (entry.type == TreeEntryType::File) {
        line += " size=" + std::to_string(size);
        if (digest) line += " sha256digest=" + hexOf(*digest);
    }
    if (entry.type == TreeEntryType::Link) line += " link=" + mtreeEscaped(linkTarget);
    line += '\n';
    return line;
}

std::string readTreeDescription(int folderFd, const Manifest& manifest,
                                const ManifestTargets& targets, TreeAttributes& out) {
    out = TreeAttributes{};
    const std::string file = kTreeFileName;
    FileDescriptor fd;
    int64_t length = 0;
    if (std::string why = openSetFileAt(folderFd, kTreeFileName, fd, length); !why.empty())
        return why;
    LineReader lines(fd.get(), length, kLineBound);
    std::string_view line;
    std::string why;
    const auto read = [&]() {
        const LineReader::Next got = lines.next(line);
        if (got == LineReader::Next::Unreadable)
            why = file + " cannot be read: " + std::strerror(errno);
        if (got == LineReader::Next::Malformed)
            why = file + " has a line that is too long or unended";
        return got;
    };
    if (read() != LineReader::Next::Line || line != "#mtree")
        return why.empty() ? file + " does not begin as a tree description" : why;

    const bool fileSet = manifest.fileSet();
    const std::string baseName = manifest.baseName();
    std::set<std::string> folders;       // every folder entry; nothing else may hold an entry
    std::set<std::string> others;        // links and FIFOs: nothing may lie below them
    std::vector<std::size_t> fileHashes; // of the files' names
    fileHashes.reserve(targets.size());
    bool first = true;
    DescribedEntry entry;
    const std::vector<TreeAttributes::FileBits>& files = out.files;
    // The next line's entry, past every folder, link and FIFO before it
    // (kept); false at the end or on a fault (`why` says which).
    const auto nextFile = [&]() {
        for (;;) {
            const LineReader::Next got = read();
            if (got != LineReader::Next::Line) return false;
            const std::string bad = parseLine(line, entry);
            if (!bad.empty()) {
                why = file + " has " + bad + ": \"" + std::string(line.substr(0, 200)) + "\"";
                return false;
            }
            const std::string shownName =
                entry.path.empty() ? "." : "./" + mtreeEscaped(entry.path);
            if (fileSet) {
                // The output folder, named only so mtree can find the file
                // in it, then the file.
                if (first ? (!entry.path.empty() || entry.type != TreeEntryType::Folder ||
                             entry.described)
                          : entry.type != TreeEntryType::File || !files.empty()) {
                    why = file + " describes more than the set's one file";
                    return false;
                }
                first = false;
                if (entry.type == TreeEntryType::File) return true;
                continue;
            } else {
                if (!entry.described) {
                    why = file + " has an entry without its mode or time";
                    return false;
                }
                if (first != entry.path.empty() || (first && entry.type != TreeEntryType::Folder)) {
                    why = file + " does not begin with the root folder";
                    return false;
                }
                if (!first && folders.count(folderOf(entry.path)) == 0) {
                    why = file + " places " + shownName + " below what is not a folder of the tree";
                    return false;
                }
                if (folders.count(entry.path) != 0 || others.count(entry.path) != 0) {
                    why = file + " lists " + shownName + " twice";
                    return false;
                }
            }
            first = false;
            if (entry.type == TreeEntryType::File) return true;
            if (out.others.size() >= kMaxOtherEntries) {
                why = file + " lists more entries than a set can hold";
                return false;
            }
            (entry.type == TreeEntryType::Folder ? folders : others).insert(entry.path);
            out.others.push_back(std::move(entry));
        }
    };
    out.files.reserve(targets.size());
    const bool named =
        targets.forEachName(manifest, [&](std::size_t index, const FileRecord* record) {
            if (!nextFile()) {
                if (why.empty()) why = file + " does not list every file of the set";
                return false;
            }
            const std::string name = record ? recordName(*record) : baseName;
            const std::string shownName = "./" + mtreeEscaped(entry.path);
            if (entry.path != name) {
                why = file + " lists " + shownName + " where the set holds ./" + mtreeEscaped(name);
                return false;
            }
            int64_t size = 0;
            for (const PieceSlice& slice : targets.slicesOf(index))
                size += slice.length;
            if (fileSet) size = manifest.totalSize();
            if (size != entry.size) {
                why = file + " gives " + shownName + " a size the set does not";
                return false;
            }
            out.files.push_back({entry.mode, entry.mtimeNanoseconds, entry.mtimeSeconds});
            fileHashes.push_back(std::hash<std::string>{}(entry.path));
            return true;
        });
    if (!why.empty()) return why;
    if (!named) return "the names of the set's files could not be read again from its manifest";
    if (nextFile())
        return file + " lists the file ./" + mtreeEscaped(entry.path) +
               ", which the set does not hold";
    if (!why.empty()) return why;
    // A folder, link or FIFO listed after a file of the same name: each file
    // was checked against those listed before it, the rest are found by the
    // hashes of the files' names, then confirmed by name.
    std::sort(fileHashes.begin(), fileHashes.end());
    std::set<std::string> suspects;
    for (const std::set<std::string>* listed : {&folders, &others})
        for (const std::string& path : *listed)
            if (std::binary_search(fileHashes.begin(), fileHashes.end(),
                                   std::hash<std::string>{}(path)))
                suspects.insert(path);
    if (suspects.empty()) return {};
    const bool again = targets.forEachName(manifest, [&](std::size_t, const FileRecord* record) {
        const std::string name = record ? recordName(*record) : baseName;
        if (suspects.count(name) == 0) return true;
        why = file + " lists ./" + mtreeEscaped(name) + " twice";
        return false;
    });
    if (!why.empty()) return why;
    if (!again) return "the names of the set's files could not be read again from its manifest";
    return {};
}
