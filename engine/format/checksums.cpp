#include "engine/format/checksums.h"

#include "engine/format/set_names.h"

#include "engine/base/digest.h"
#include "engine/base/run_context.h"
#include "engine/base/utilities.h"
#include "engine/format/manifest.h"
#include "engine/fs/safe_fs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <unordered_map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kReadStep = std::size_t{1} << 20;

} // namespace

std::string checksumLine(const std::string& hex, const std::string& name) {
    std::string escaped;
    bool escapes = false;
    for (char c : name) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            escapes = true;
            break;
        case '\n':
            escaped += "\\n";
            escapes = true;
            break;
        case '\r':
            escaped += "\\r";
            escapes = true;
            break;
        default:
            escaped += c;
        }
    }
    return (escapes ? "\\" : "") + hex + "  " + escaped + "\n";
}

namespace {

// One line of a checksum file, without its newline.
bool parseChecksumLine(std::string_view line, ChecksumEntry& entry) {
    const bool escaped = !line.empty() && line[0] == '\\';
    if (escaped) line.remove_prefix(1);
    if (line.size() < 67 || line.compare(64, 2, "  ") != 0) return false;
    entry.hex.assign(line.substr(0, 64));
    for (char c : entry.hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return checksumLineName(line.substr(66), escaped, entry.name);
}

} // namespace

bool checksumLineName(std::string_view text, bool escaped, std::string& name) {
    name.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!escaped || text[i] != '\\') {
            name += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        if (text[i] == '\\')
            name += '\\';
        else if (text[i] == 'n')
            name += '\n';
        else if (text[i] == 'r')
            name += '\r';
        else
            return false;
    }
    return true;
}

bool parseChecksumLines(const std::string& text, std::vector<ChecksumEntry>& out) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) return false;
        ChecksumEntry entry;
        if (!parseChecksumLine(std::string_view(text).substr(start, end - start), entry))
            return false;
        start = end + 1;
        out.push_back(std::move(entry));
    }
    return true;
}

namespace {

// sha256OfFile with the caller's buffer of kReadStep bytes.
std::string sha256Using(int fd, char* buffer, RunContext& run, bool countProgress) {
    Sha256Digest digest;
    int64_t offset = 0;
    for (;;) {
        if (run.stopRequested()) return {};
        const int64_t got = readAt(fd, buffer, kReadStep, offset);
        if (got < 0) return {};
        if (got == 0) break;
        if (!digest.update(buffer, static_cast<std::size_t>(got))) return {};
        offset += got;
        if (countProgress) run.addDoneBytes(got);
    }
    return digest.finishHex();
}

} // namespace

std::string sha256OfFile(int fd, RunContext& run, bool countProgress) {
    std::unique_ptr<char[]> buffer(new char[kReadStep]);
    return sha256Using(fd, buffer.get(), run, countProgress);
}

namespace {

SetChecksums damaged(std::string problem) {
    SetChecksums sums;
    sums.state = ChecksumState::Damaged;
    sums.problem = std::move(problem);
    return sums;
}

// The text of the checksum file `name`, at most `limit` bytes; "" and
// `problem` set when it cannot be read whole or is larger.
std::string readChecksumFile(int folderFd, const char* name, std::size_t limit,
                             std::string& problem) {
    const EntryKind kind = entryAt(folderFd, name);
    if (kind != EntryKind::Regular) {
        problem = std::string(name) +
                  (kind == EntryKind::Link ? " is a symbolic link" : " is not a regular file");
        return {};
    }
    std::optional<std::string> read = readSmallFileAt(folderFd, name, limit);
    if (!read) {
        problem = std::string(name) +
                  (errno == EFBIG ? " is larger than this set's checksums can be"
                                  : " cannot be read: " + std::string(std::strerror(errno)));
        return {};
    }
    std::string text = std::move(*read);
    if (text.empty()) problem = std::string(name) + " is empty";
    return text;
}

// The line of `name` in a checksum file, quoted as the file would show it.
std::string shown(const std::string& name) {
    const std::string line = checksumLine(std::string(64, '0'), name);
    const std::size_t from = line.find("  ") + 2;
    std::string quoted = "\"";
    quoted.append(line, from, line.size() - from - 1); // without the newline
    quoted += '"';
    return quoted;
}

// "" when SHA256SUMS's entries are this set's, in order; otherwise why not.
std::string pieceSumsDisagreement(RunContext& run, int folderFd, const std::string& stem,
                                  int32_t pieceCount, const std::vector<ChecksumEntry>& entries) {
    char name[kPathBufferSize];
    std::set<std::string> seen;
    for (const ChecksumEntry& entry : entries) {
        if (!seen.insert(entry.name).second)
            return "SHA256SUMS lists " + shown(entry.name) + " twice";
    }
    std::size_t at = 0;
    for (int32_t i = 0; i < pieceCount; ++i, ++at) {
        if (pieceFileName(stem.c_str(), i, name) < 0) return "a piece name does not fit";
        if (at >= entries.size()) return "SHA256SUMS does not list the piece " + shown(name);
        if (entries[at].name != name)
            return "SHA256SUMS lists " + shown(entries[at].name) + " where the piece " +
                   shown(name) + " belongs";
    }
    if (at >= entries.size() || entries[at].name != kManifestFileName)
        return at < entries.size() ? "SHA256SUMS lists " + shown(entries[at].name) +
                                         " where the manifest's line belongs"
                                   : std::string("SHA256SUMS does not list the manifest");
    FileDescriptor manifest = openFileAt(folderFd, kManifestFileName);
    if (!manifest || sha256OfFile(manifest.get(), run, false) != entries[at].hex)
        return run.stopRequested() ? "the check was stopped"
                                   : std::string("the manifest does not match its line in "
                                                 "SHA256SUMS: it was changed or damaged");
    ++at;
    // Then the files later formats add, each at most once, in their order.
    std::size_t next = 0;
    int32_t recovery = 0; // recovery pieces close the list, in order (recovery.h)
    for (; at < entries.size(); ++at) {
        if (entries[at].name == recoveryPieceName(stem, recovery)) {
            ++recovery;
            continue;
        }
        if (recovery > 0)
            return "SHA256SUMS lists " + shown(entries[at].name) + " where the recovery piece " +
                   shown(recoveryPieceName(stem, recovery)) + " belongs";
        const auto* found =
            std::find_if(std::begin(kLaterSumFileNames) + static_cast<std::ptrdiff_t>(next),
                         std::end(kLaterSumFileNames),
                         [&](const char* later) { return entries[at].name == later; });
        if (found == std::end(kLaterSumFileNames))
            return "SHA256SUMS lists " + shown(entries[at].name) + ", which is not part of the set";
        next = static_cast<std::size_t>(found - std::begin(kLaterSumFileNames)) + 1;
        FileDescriptor fd = openFileAt(folderFd, *found);
        if (!fd) return "SHA256SUMS lists " + shown(*found) + ", which is missing";
        if (sha256OfFile(fd.get(), run, false) != entries[at].hex)
            return shown(*found) + " does not match its line in SHA256SUMS";
    }
    // One of them there, but not listed, was put there or kept from another set.
    for (const char* later : kLaterSumFileNames) {
        const bool listed =
            std::any_of(entries.begin(), entries.end(),
                        [&](const ChecksumEntry& entry) { return entry.name == later; });
        if (!listed && entryAt(folderFd, later) != EntryKind::Missing)
            return std::string(later) + " is in the set's folder, but SHA256SUMS does not list it";
    }
    return {};
}

// A checksum line is under this bound (a 64-digit hash and a name of at most
// two 255-byte fields, every byte escaped at worst): a longer one is damage.
constexpr std::size_t kChecksumLineBound = 1200;

// Reads CONTENTS.sha256 in `folderFd`, at most `limit` bytes, into `sums`:
// every line must parse, and, with `targets`, name exactly those in their
// order. "" when it does; otherwise why not. Holds one step of the file and
// 32 bytes a line.
std::string readContentSums(int folderFd, std::size_t limit, const TargetNames* targets,
                            SetChecksums& sums) {
    const std::string file = kContentSumsFileName;
    FileDescriptor fd;
    struct stat st {};
    if (std::string why = openSetFileAt(folderFd, kContentSumsFileName, fd, st.st_size);
        !why.empty())
        return why;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > limit)
        return file + " is larger than this set's checksums can be";
    if (st.st_size == 0) return file + " is empty";
    const std::string unreadable = " cannot be read: ";
    const std::string malformed = "CONTENTS.sha256 has a line that is not a checksum line";
    // Every line parses: a damaged line anywhere is told as such first.
    std::size_t count = 0;
    {
        LineReader lines(fd.get(), st.st_size, kChecksumLineBound);
        std::string_view line;
        ChecksumEntry entry;
        Sha256Digest::Bytes digest{};
        for (;;) {
            const LineReader::Next next = lines.next(line);
            if (next == LineReader::Next::End) break;
            if (next == LineReader::Next::Unreadable)
                return file + unreadable + std::strerror(errno);
            if (next == LineReader::Next::Malformed || !parseChecksumLine(line, entry) ||
                !digestOfHex(entry.hex, digest))
                return malformed;
            if (!targets) sums.contents.push_back(digest);
            ++count;
        }
    }
    if (!targets) return {};
    sums.contents.reserve(count);
    // Then, line by line, the names the set rebuilds.
    LineReader lines(fd.get(), st.st_size, kChecksumLineBound);
    std::string why;
    ChecksumEntry entry;
    Sha256Digest::Bytes digest{};
    // The next line parsed into `entry`, or why there is none.
    const auto nextEntry = [&]() -> LineReader::Next {
        std::string_view line;
        LineReader::Next next = lines.next(line);
        if (next == LineReader::Next::Line &&
            (!parseChecksumLine(line, entry) || !digestOfHex(entry.hex, digest)))
            next = LineReader::Next::Malformed;
        if (next == LineReader::Next::Unreadable) why = file + unreadable + std::strerror(errno);
        if (next == LineReader::Next::Malformed) why = malformed;
        return next;
    };
    const bool named = (*targets)([&](const std::string& name) {
        const LineReader::Next next = nextEntry();
        if (next == LineReader::Next::End) why = "CONTENTS.sha256 does not list " + shown(name);
        if (next != LineReader::Next::Line) return false;
        if (entry.name != name) {
            why =
                "CONTENTS.sha256 lists " + shown(entry.name) + " where " + shown(name) + " belongs";
            return false;
        }
        sums.contents.push_back(digest);
        return true;
    });
    if (!why.empty()) return why;
    if (!named) return "the names of the set's files could not be read again from its manifest";
    const LineReader::Next next = nextEntry();
    if (next == LineReader::Next::Line)
        return "CONTENTS.sha256 lists " + shown(entry.name) + ", which the set does not rebuild";
    return why;
}

} // namespace

SetChecksums readSetChecksums(int pieceFolderFd, const std::string& stem, int32_t pieceCount,
                              int64_t targetBound, RunContext& run, const TargetNames* targets) {
    const bool pieceSums = entryAt(pieceFolderFd, kPieceSumsFileName) != EntryKind::Missing;
    const bool contentSums = entryAt(pieceFolderFd, kContentSumsFileName) != EntryKind::Missing;
    if (!pieceSums && !contentSums) return {};
    if (!pieceSums)
        return damaged(std::string(kPieceSumsFileName) + " is missing while " +
                       kContentSumsFileName + " is there");
    pieceCount = std::max(pieceCount, 0);
    constexpr std::size_t kLineBound = kChecksumLineBound;
    std::string problem;
    const std::string pieceText = readChecksumFile(
        pieceFolderFd, kPieceSumsFileName,
        // Recovery pieces: at most 254 a group of at most 255 columns.
        (static_cast<std::size_t>(pieceCount) * 256 + 1024 + std::size(kLaterSumFileNames)) *
            kLineBound,
        problem);
    if (!problem.empty()) return damaged(problem);
    std::vector<ChecksumEntry> entries;
    if (!parseChecksumLines(pieceText, entries))
        return damaged("SHA256SUMS has a line that is not a checksum line");
    if (const std::string why =
            pieceSumsDisagreement(run, pieceFolderFd, stem, pieceCount, entries);
        !why.empty())
        return damaged(why);

    SetChecksums sums;
    sums.contentsListed = contentSums;
    if (contentSums) {
        if (std::string why = readContentSums(
                pieceFolderFd,
                static_cast<std::size_t>(std::max<int64_t>(targetBound, 1)) * kLineBound, targets,
                sums);
            !why.empty())
            return damaged(std::move(why));
    } else if (std::none_of(entries.begin(), entries.end(), [](const ChecksumEntry& entry) {
                   return entry.name == kEncryptedMarkerFile; // its tags check the content
               })) {
        return damaged(std::string(kContentSumsFileName) + " is missing while " +
                       kPieceSumsFileName + " is there");
    }
    sums.state = ChecksumState::Good;
    for (int32_t i = 0; i < pieceCount; ++i)
        sums.pieceHex.push_back(entries[static_cast<std::size_t>(i)].hex);
    return sums;
}

std::string contentNameOf(const std::string& baseName, const std::string& target) {
    return target.empty() ? baseName : baseName + "/" + target;
}

bool hasChecksumFiles(int pieceFolderFd) {
    return entryAt(pieceFolderFd, kPieceSumsFileName) != EntryKind::Missing ||
           entryAt(pieceFolderFd, kContentSumsFileName) != EntryKind::Missing;
}

bool digestOfHex(std::string_view hex, Sha256Digest::Bytes& digest) {
    if (hex.size() != 2 * digest.size()) return false;
    const auto value = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = value(hex[2 * i]), low = value(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        digest[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

std::string openSetFileAt(int folderFd, const char* name, FileDescriptor& fd, int64_t& size) {
    const std::string file = name;
    const EntryKind kind = entryAt(folderFd, name);
    if (kind != EntryKind::Regular)
        return file + (kind == EntryKind::Link ? " is a symbolic link" : " is not a regular file");
    fd = openFileAt(folderFd, name);
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) return file + " cannot be read: " + std::strerror(errno);
    size = static_cast<int64_t>(st.st_size);
    return {};
}

std::string hexOf(const Sha256Digest::Bytes& digest) {
    return lowerHexOf(digest.data(), digest.size());
}
