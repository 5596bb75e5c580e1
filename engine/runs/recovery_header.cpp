#include "engine/runs/recovery_code.h"

namespace recovering {

std::string serialize(const Header& h) {
    std::string out(kMagic, sizeof kMagic);
    const RecoveryShape& s = h.shape;
    putU32(out, kVersion);
    putU32(out, static_cast<uint32_t>(s.dataPieces));
    putU32(out, static_cast<uint32_t>(s.metaColumns));
    putU32(out, static_cast<uint32_t>(s.groups));
    putU32(out, static_cast<uint32_t>(s.perGroup));
    putU32(out, static_cast<uint32_t>(s.stripeSize));
    putU32(out, 0); // reserved
    putU64(out, static_cast<uint64_t>(s.columnLength));
    std::string stem = h.stem;
    stem.resize(kStemField, '\0');
    out += stem;
    for (const Member& m : h.members) {
        putU64(out, static_cast<uint64_t>(m.length));
        out.append(reinterpret_cast<const char*>(m.hash.data()), m.hash.size());
    }
    for (int32_t i = 0; i < s.dataPieces; ++i)
        putU64(out, static_cast<uint64_t>(h.lengthOf(i)));
    for (const Hash& hash : h.recoveryHashes)
        out.append(reinterpret_cast<const char*>(hash.data()), hash.size());
    for (uint32_t crc : h.crcs)
        putU32(out, crc);
    Sha256Digest digest;
    Hash own{};
    digest.update(out.data(), out.size());
    digest.finish(own);
    out.append(reinterpret_cast<const char*>(own.data()), own.size());
    return out;
}

// The size a header of these counts has; -1 past any real set.
int64_t headerSizeFor(int64_t dataPieces, int64_t recovery, int64_t columns, int64_t stripes) {
    if (stripes <= 0 || stripes > (int64_t{1} << 31) || columns + recovery > kMaxColumns) return -1;
    const int64_t crcs = (columns + recovery) * stripes;
    if (crcs > kHeaderBound / 4) return -1;
    const int64_t size = static_cast<int64_t>(kFixedBytes) + dataPieces * 8 +
                         recovery * static_cast<int64_t>(kHashBytes) + crcs * 4 +
                         static_cast<int64_t>(kHashBytes);
    return size <= kHeaderBound ? size : -1;
}

bool writeWhole(int fd, const unsigned char* data, int64_t size, int64_t offset) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, static_cast<std::size_t>(size), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

// Reads up to `size` bytes at `offset`; the count read (short at the end or
// on a fault, never negative).
int64_t readSome(int fd, unsigned char* data, int64_t size, int64_t offset) {
    return std::max<int64_t>(readAt(fd, data, static_cast<std::size_t>(size), offset), 0);
}

// The fixed part of a header and the first piece's length after it.
constexpr std::size_t kFixedRead = kFixedBytes + 8;

// The lengths a split gives the set's own files, as far as the pieces bound
// them: a manifest of the header's 352 bytes, a 37-byte record a piece and
// 280 bytes a file record; SHA256SUMS a line a piece and a few more; a line
// of CONTENTS.sha256 a file record, or one for a file source.
bool membersFitTheSet(const Header& h) {
    const int64_t pieces = h.shape.dataPieces;
    const int64_t records = h.members[0].length - 352 - 37 * pieces;
    if (records < 0 || records % 280 != 0 || records / 280 > kManifestMaxFileCount) return false;
    if (h.members[kSumsMember].length > (pieces + 8) * kSumLineBound) return false;
    return h.members[2].length <= (records / 280 + 1) * kSumLineBound;
}

// Reads the fixed part (`p`, kFixedRead bytes) of a header of `size` bytes
// into `h`, and checks that the file is as long as its counts give, and that
// its counts, lengths and shape are those a split of such a set writes,
// before anything they size is read or allocated. "" when they are.
std::string readFixedPart(const unsigned char* p, int64_t size, Header& h) {
    if (std::memcmp(p, kMagic, sizeof kMagic) != 0) return "it is not a recovery header";
    if (getU32(p + 8) != kVersion) return "it is of a version this program does not read";
    RecoveryShape& s = h.shape;
    const uint32_t data = getU32(p + 12), meta = getU32(p + 16), groups = getU32(p + 20),
                   perGroup = getU32(p + 24), stripe = getU32(p + 28);
    const uint64_t columnLength = getU64(p + 36);
    if (data > static_cast<uint32_t>(kManifestMaxPieceCount) || meta == 0 || meta > kMaxColumns ||
        groups == 0 || groups > kMaxColumns || perGroup == 0 ||
        perGroup >= static_cast<uint32_t>(kMaxCodeWidth) || stripe == 0 || stripe > (1u << 30) ||
        columnLength == 0 || columnLength > (uint64_t{1} << 50))
        return "its counts are not those of a set";
    s.dataPieces = static_cast<int32_t>(data);
    s.metaColumns = static_cast<int32_t>(meta);
    s.groups = static_cast<int32_t>(groups);
    s.perGroup = static_cast<int32_t>(perGroup);
    s.stripeSize = static_cast<int32_t>(stripe);
    s.columnLength = static_cast<int64_t>(columnLength);
    if (headerSizeFor(data, int64_t{groups} * perGroup, int64_t{data} + meta, s.stripes()) != size)
        return "its length is not what its counts give";
    const char* stem = reinterpret_cast<const char*>(p) + 44;
    h.stem.assign(stem, strnlen(stem, kStemField));
    if (h.stem.empty() || h.stem.size() >= kStemField || h.stem.find('/') != std::string::npos)
        return "its name of the set is not a name";
    std::size_t at = 44 + kStemField;
    for (Member& m : h.members) {
        m.length = static_cast<int64_t>(getU64(p + at));
        std::memcpy(m.hash.data(), p + at + 8, kHashBytes);
        at += 8 + kHashBytes;
        if (m.length < -1 || m.length > (int64_t{1} << 50)) return "a file's length is not real";
    }
    if (h.members[0].length <= 0 || h.members[kSumsMember].length <= 0)
        return "it does not describe the manifest and SHA256SUMS";
    if (!membersFitTheSet(h)) return "its files' lengths are not those of a set of its pieces";
    // The column length, the groups and the stripe size are what a split
    // makes of these pieces and files (every piece but the last a column
    // long, which readTables checks): for a count of recovery pieces a
    // group, or for a share of the pieces.
    const int64_t first = data > 0 ? static_cast<int64_t>(getU64(p + kFixedBytes)) : 0;
    const int64_t longest = data > 1 ? s.columnLength : first;
    for (int32_t percent = 0; percent <= 100; ++percent) {
        const RecoveryRequest request{percent == 0 ? s.perGroup : 0, percent};
        RecoveryShape made;
        const std::string why =
            planRecovery(request, s.dataPieces, s.columnLength, longest, h.metaBytes(), made);
        if (why.empty() && made == s) return {};
    }
    return "its stripes, columns or groups are not what a split of its set makes";
}

// Reads the rest of the header open in `h.file` (`h.size` bytes, its fixed
// part read) a step at a time: its own SHA-256 must match, and every piece
// but the last be a column long. Nothing of it is kept but the last
// piece's length. "" when it is sound.
std::string readTables(Header& h) {
    const RecoveryShape& s = h.shape;
    std::vector<unsigned char> step(std::size_t{1} << 20);
    Sha256Digest digest;
    const int64_t hashed = h.size - static_cast<int64_t>(kHashBytes);
    const auto fixed = static_cast<int64_t>(kFixedBytes);
    for (int64_t at = 0; at < hashed;) {
        // The first step ends where the pieces' lengths begin: none of them
        // is cut between two steps.
        const int64_t want =
            std::min<int64_t>(hashed - at, at == 0 ? fixed : static_cast<int64_t>(step.size()));
        if (readSome(h.file.get(), step.data(), want, at) != want)
            return std::string("it cannot be read: ") + std::strerror(errno);
        digest.update(step.data(), static_cast<std::size_t>(want));
        for (int64_t offset = std::max(at, fixed); offset + 8 <= std::min(at + want, h.hashesAt());
             offset += 8) {
            const int64_t length = static_cast<int64_t>(getU64(step.data() + (offset - at)));
            const bool last = offset + 8 == h.hashesAt();
            if (!last && length != s.columnLength)
                return "its pieces' lengths are not those of a split";
            if (last) h.lastPiece = length;
        }
        at += want;
    }
    Hash own{}, stored{};
    if (!digest.finish(own) ||
        readSome(h.file.get(), stored.data(), static_cast<int64_t>(kHashBytes), hashed) !=
            static_cast<int64_t>(kHashBytes))
        return std::string("it cannot be read: ") + std::strerror(errno);
    if (own != stored) return "its own checksum does not match: it is damaged";
    if (h.lastPiece < (s.dataPieces > 1 ? 1 : 0) || h.lastPiece > s.columnLength)
        return "its pieces' lengths are not those of a split";
    return {};
}

// The name of a data or recovery column's file.
std::string columnFileName(const Header& h, int32_t column) {
    if (column < h.shape.dataPieces) {
        char name[kPathBufferSize];
        pieceFileName(h.stem.c_str(), column, name);
        return name;
    }
    return recoveryPieceName(h.stem, column - h.shape.columns());
}

// The SHA-256 of recovery pieces [first, first + count): from the split's
// table, or read from the header. False when it cannot be read.
bool recoveryHashes(const Header& h, int32_t first, int32_t count, std::vector<Hash>& out) {
    out.resize(static_cast<std::size_t>(count));
    if (!h.file) {
        std::copy_n(h.recoveryHashes.begin() + first, count, out.begin());
        return true;
    }
    const int64_t bytes = int64_t{count} * static_cast<int64_t>(kHashBytes);
    return readSome(h.file.get(), out.front().data(), bytes,
                    h.hashesAt() + int64_t{first} * static_cast<int64_t>(kHashBytes)) == bytes;
}

std::string recoveryHashHex(const Header& h, int32_t index) {
    std::vector<Hash> hash;
    return recoveryHashes(h, index, 1, hash) ? hexOf(hash.front()) : std::string();
}

// SHA256SUMS's lines for the recovery pieces, handed to `take` a step at a
// time with their offset among them. False when a hash cannot be read or
// `take` returns false.
bool forRecoveryLines(const Header& h,
                      const std::function<bool(const std::string&, int64_t)>& take) {
    constexpr int32_t kStep = 4096;
    std::vector<Hash> hashes;
    int64_t offset = 0;
    for (int32_t first = 0; first < h.shape.recoveryPieces(); first += kStep) {
        const int32_t count = std::min(kStep, h.shape.recoveryPieces() - first);
        if (!recoveryHashes(h, first, count, hashes)) return false;
        std::string lines;
        for (int32_t i = 0; i < count; ++i)
            lines += checksumLine(hexOf(hashes[static_cast<std::size_t>(i)]),
                                  recoveryPieceName(h.stem, first + i));
        if (!take(lines, offset)) return false;
        offset += static_cast<int64_t>(lines.size());
    }
    return true;
}

// The header copy `name` in `folderFd` is, byte for byte, the one read.
bool sameAsHeader(int folderFd, const std::string& name, const Header& h) {
    FileDescriptor fd;
    int64_t size = -1;
    if (!openSetFileAt(folderFd, name.c_str(), fd, size).empty() || size != h.size) return false;
    std::vector<unsigned char> ours(std::size_t{1} << 20), theirs(ours.size());
    for (int64_t at = 0; at < h.size;) {
        const int64_t want = std::min<int64_t>(h.size - at, static_cast<int64_t>(ours.size()));
        if (readSome(h.file.get(), ours.data(), want, at) != want ||
            readSome(fd.get(), theirs.data(), want, at) != want ||
            std::memcmp(ours.data(), theirs.data(), static_cast<std::size_t>(want)) != 0)
            return false;
        at += want;
    }
    return true;
}

// Writes the header read into `fd`, a step at a time.
bool copyHeader(const Header& h, int fd) {
    std::vector<unsigned char> step(std::size_t{1} << 20);
    for (int64_t at = 0; at < h.size;) {
        const int64_t want = std::min<int64_t>(h.size - at, static_cast<int64_t>(step.size()));
        if (readSome(h.file.get(), step.data(), want, at) != want ||
            !writeWhole(fd, step.data(), want, at))
            return false;
        at += want;
    }
    return true;
}

// Hashes `length` bytes of `fd` from 0; false when fewer could be read.
bool hashRange(int fd, int64_t length, Hash& out) {
    Sha256Digest digest;
    std::vector<unsigned char> buffer(std::size_t{1} << 20);
    int64_t at = 0;
    while (at < length) {
        const int64_t want = std::min<int64_t>(length - at, static_cast<int64_t>(buffer.size()));
        if (readSome(fd, buffer.data(), want, at) != want) return false;
        digest.update(buffer.data(), static_cast<std::size_t>(want));
        at += want;
    }
    return digest.finish(out);
}

FileDescriptor createFileAt(int folderFd, const std::string& name, int mode) {
    return FileDescriptor(openat(folderFd, name.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                                 static_cast<mode_t>(mode)));
}

// What a header of the set in `folderFd` can need: its stripe checksums are
// 4 bytes for each 4 KiB (at least) of the set's files, with room to spare.
int64_t headerBoundFor(int folderFd) {
    int64_t bytes = 0;
    for (const std::string& name : namesIn(folderFd)) {
        FileIdentity identity;
        if (entryAt(folderFd, name.c_str(), &identity) == EntryKind::Regular)
            bytes += identity.size;
    }
    return (int64_t{16} << 20) + bytes / 256;
}

// The first of the set's headers that is whole and belongs to the set whose
// manifest lies in the folder (when one does and reads as a manifest), open
// in `h` for its tables to be read from.
std::string findHeader(int folderFd, const std::string& stem, Header& h, bool& any) {
    std::vector<int32_t> indexes;
    visitEntriesIn(folderFd, [&](const char* name, unsigned char) {
        const int32_t index = recoveryIndexOf(stem, name, true);
        if (index >= 0) indexes.push_back(index);
    });
    std::sort(indexes.begin(), indexes.end());
    any = !indexes.empty();
    std::string problem;
    for (int32_t index : indexes) {
        const std::string name = recoveryHeaderName(stem, index);
        Header candidate;
        std::string why = openSetFileAt(folderFd, name.c_str(), candidate.file, candidate.size);
        const int64_t size = candidate.size;
        if (why.empty() &&
            (size < static_cast<int64_t>(kFixedRead + kHashBytes) || size > kHeaderBound))
            why = name + " is not the length of a recovery header";
        // Its fixed part first: its counts and lengths must be a split's, and
        // with what the set beside it can need, bound what is read of the rest.
        if (why.empty()) {
            unsigned char fixed[kFixedRead];
            if (readSome(candidate.file.get(), fixed, static_cast<int64_t>(kFixedRead), 0) !=
                static_cast<int64_t>(kFixedRead))
                why = name + " cannot be read: " + std::strerror(errno);
            else if (std::string bad = readFixedPart(fixed, size, candidate); !bad.empty())
                why = name + ": " + bad;
            else if (size > headerBoundFor(folderFd))
                why = name + " is longer than a header of the set beside it can be";
        }
        if (why.empty()) {
            if (std::string bad = readTables(candidate); !bad.empty()) why = name + ": " + bad;
        }
        if (why.empty() && candidate.stem != stem)
            why = name + " belongs to the set " + candidate.stem;
        if (why.empty() && index >= candidate.shape.recoveryPieces())
            why = name + " is not one of its own set's headers";
        if (why.empty()) {
            // A manifest that reads, but whose counts differ, is another set's.
            const Result<Manifest> manifest = Manifest::readAt(folderFd, "");
            if (manifest) {
                const RecoveryShape& s = candidate.shape;
                const int64_t total =
                    s.dataPieces == 0
                        ? 0
                        : int64_t{s.dataPieces - 1} * s.columnLength + candidate.lastPiece;
                if (manifest->pieceCount() != candidate.shape.dataPieces ||
                    manifest->totalSize() != total)
                    why = "the recovery files belong to another set than the manifest beside them";
            }
        }
        if (why.empty()) {
            h = std::move(candidate);
            h.name = name;
            return {};
        }
        if (problem.empty()) problem = why;
    }
    return problem.empty() ? "no recovery header" : problem;
}

} // namespace recovering
