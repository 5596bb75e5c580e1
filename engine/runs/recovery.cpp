#include "engine/runs/recovery.h"
#include "engine/fs/run_folder.h"
#include "engine/fs/target_writer.h"

#include "engine/base/digest.h"
#include "engine/base/file_io.h"
#include "engine/base/utilities.h"
#include "engine/format/checksums.h"
#include "engine/format/manifest.h"
#include "engine/format/manifest_file.h"
#include "engine/format/tree_description.h"
#include "engine/fs/safe_fs.h"

#include <isa-l/crc.h>
#include <isa-l/erasure_code.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr char kMagic[8] = {'P', 'R', 'C', 'L', 'R', 'E', 'C', 'V'};
constexpr uint32_t kVersion = 1;
constexpr int kMembers = 4;
constexpr int kStemField = 256;
constexpr std::size_t kFixedBytes = 8 + 4 * 7 + 8 + kStemField + kMembers * (8 + 32);
constexpr std::size_t kHashBytes = Sha256Digest::kDigestBytes;
// A header is never larger than this (a set of 2^31 stripes' checksums is not real).
constexpr int64_t kHeaderBound = int64_t{1} << 30;
constexpr int32_t kMaxCodeWidth = 255;            // GF(2^8): data and recovery columns of one group
constexpr int64_t kRowBudget = int64_t{32} << 20; // buffers of one row of a group
// A set has at most this many columns, its recovery pieces included: what a
// verify or a repair keeps by column (a few bits, an index when it is bad)
// stays within tens of MiB.
constexpr int64_t kMaxColumns = int64_t{1} << 23;
// The stripe checksums are read this many rows of a group at a time.
constexpr int64_t kBlockRows = 4096;
// The longest line of SHA256SUMS or CONTENTS.sha256 a split writes.
constexpr int64_t kSumLineBound = 1200;
constexpr uint32_t kCrcStart = 0xFFFFFFFFu;

// The set's own files, in the order they are laid end to end in the code.
const char* const kMemberNames[kMembers] = {kManifestFileName, kPieceSumsFileName,
                                            kContentSumsFileName, kTreeFileName};
constexpr int kSumsMember = 1;

using Hash = Sha256Digest::Bytes;

void putU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void putU64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
uint32_t getU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t getU64(const unsigned char* p) {
    return static_cast<uint64_t>(getU32(p)) | static_cast<uint64_t>(getU32(p + 4)) << 32;
}

uint32_t crcOf(const unsigned char* data, int64_t size, uint32_t crc = kCrcStart) {
    return crc32_iscsi(const_cast<unsigned char*>(data), static_cast<int>(size), crc);
}

struct Member {
    int64_t length = -1; // -1: the set has no such file
    Hash hash{};
};

// A split's header holds its tables whole; one read from a set keeps the
// file it was read from and reads them from there, a step at a time.
struct Header {
    RecoveryShape shape;
    std::string stem;
    Member members[kMembers];
    int64_t lastPiece = 0; // every piece before it is a column long
    std::vector<Hash> recoveryHashes;
    std::vector<uint32_t> crcs; // column by column, stripe by stripe; recovery pieces last
    FileDescriptor file;        // the header read, `size` bytes, and its name
    int64_t size = 0;
    std::string name;

    int64_t metaBytes() const {
        int64_t total = 0;
        for (const Member& m : members)
            total += std::max<int64_t>(m.length, 0);
        return total;
    }
    int32_t allColumns() const { return shape.columns() + shape.recoveryPieces(); }
    int64_t lengthOf(int32_t column) const {
        const RecoveryShape& s = shape;
        if (column < s.dataPieces) return column + 1 < s.dataPieces ? s.columnLength : lastPiece;
        if (column < s.columns()) {
            const int64_t start = static_cast<int64_t>(column - s.dataPieces) * s.columnLength;
            return std::clamp<int64_t>(metaBytes() - start, 0, s.columnLength);
        }
        return s.columnLength;
    }
    uint32_t& crc(int32_t column, int64_t stripe) {
        return crcs[static_cast<std::size_t>(column) * static_cast<std::size_t>(shape.stripes()) +
                    static_cast<std::size_t>(stripe)];
    }
    uint32_t crc(int32_t column, int64_t stripe) const {
        return const_cast<Header*>(this)->crc(column, stripe);
    }
    // The recovery column of parity row `row` of group `group`.
    int32_t recoveryColumn(int32_t group, int32_t row) const {
        return shape.columns() + row * shape.groups + group;
    }
    bool isMeta(int32_t column) const {
        return column >= shape.dataPieces && column < shape.columns();
    }
    // Where the recovery pieces' hashes and the stripe checksums begin.
    int64_t hashesAt() const {
        return static_cast<int64_t>(kFixedBytes) + int64_t{shape.dataPieces} * 8;
    }
    int64_t crcsAt() const {
        return hashesAt() + int64_t{shape.recoveryPieces()} * static_cast<int64_t>(kHashBytes);
    }
};

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

// The bytes of the code's columns, as they are in a folder: the data pieces,
// the set's own files laid end to end, the recovery pieces. What cannot be
// read counts as missing. Only the files it has open take room.
class ColumnReader {
public:
    ColumnReader(int folderFd, const Header& header) : folderFd_(folderFd), h_(header) {
        for (int i = 0; i < kMembers; ++i) {
            if (h_.members[i].length < 0) continue;
            int64_t size = -1;
            if (openSetFileAt(folderFd, kMemberNames[i], members_[i], size).empty())
                memberSizes_[i] = size;
        }
    }
    // The file's size; -1 when missing or not a regular file.
    int64_t fileSize(int32_t column) { return open(column).size; }
    // Closes a column's file once it has been read (a set of thousands of
    // pieces must not hold thousands of descriptors).
    void release(int32_t column) { open_.erase(column); }
    // A file that is there but could not be opened (no descriptor left, no
    // permission): its name and errno, which is a failure, not a missing file.
    const std::string& faultName() const { return faultName_; }
    int faultErrno() const { return faultErrno_; }
    int64_t memberSize(int member) const { return memberSizes_[member]; }
    int memberFd(int member) const { return members_[member].get(); }
    // Reads `size` bytes of `column` at `offset` into `data`, zeros past its
    // length. False when any of its bytes could not be read.
    bool read(int32_t column, int64_t offset, int64_t size, unsigned char* data) {
        const int64_t length = h_.lengthOf(column);
        const int64_t want = std::clamp<int64_t>(length - offset, 0, size);
        std::memset(data + want, 0, static_cast<std::size_t>(size - want));
        if (want == 0) return true;
        if (column >= h_.shape.dataPieces && column < h_.shape.columns()) {
            int64_t at =
                static_cast<int64_t>(column - h_.shape.dataPieces) * h_.shape.columnLength + offset;
            return readMeta(at, want, data);
        }
        const int fd = open(column).fd.get();
        if (fd < 0) {
            std::memset(data, 0, static_cast<std::size_t>(want));
            return false;
        }
        const int64_t got = readSome(fd, data, want, offset);
        if (got < want) std::memset(data + got, 0, static_cast<std::size_t>(want - got));
        return got == want;
    }

private:
    struct Opened {
        FileDescriptor fd;
        int64_t size = -1;
    };
    Opened& open(int32_t column) {
        const auto [at, added] = open_.try_emplace(column);
        Opened& file = at->second;
        if (!added) return file;
        const std::string name = columnFileName(h_, column);
        if (!openSetFileAt(folderFd_, name.c_str(), file.fd, file.size).empty()) {
            const int error = errno;
            file.size = -1;
            if (entryAt(folderFd_, name.c_str()) == EntryKind::Regular && faultName_.empty()) {
                faultErrno_ = error;
                faultName_ = name;
            }
        }
        return file;
    }
    bool readMeta(int64_t at, int64_t size, unsigned char* data) {
        bool whole = true;
        int64_t start = 0;
        for (int i = 0; i < kMembers && size > 0; ++i) {
            const int64_t length = std::max<int64_t>(h_.members[i].length, 0);
            if (at >= start + length) {
                start += length;
                continue;
            }
            const int64_t within = at - start;
            const int64_t take = std::min(size, length - within);
            const int64_t got = members_[i] ? readSome(members_[i].get(), data, take, within) : 0;
            if (got < take) {
                std::memset(data + got, 0, static_cast<std::size_t>(take - got));
                whole = false;
            }
            data += take;
            at += take;
            size -= take;
            start += length;
        }
        return whole && size == 0;
    }

    int folderFd_;
    const Header& h_;
    std::map<int32_t, Opened> open_;
    FileDescriptor members_[kMembers];
    int64_t memberSizes_[kMembers] = {-1, -1, -1, -1};
    std::string faultName_;
    int faultErrno_ = 0;
};

// Reed-Solomon over one group: k columns, m recovery rows, Cauchy matrix.
class GroupCode {
public:
    GroupCode(int k, int m) : k_(k), m_(m), matrix_(static_cast<std::size_t>((k + m) * k)) {
        gf_gen_cauchy1_matrix(matrix_.data(), k + m, k);
        encodeTables_.resize(static_cast<std::size_t>(32 * k * m));
        ec_init_tables(k, m, matrix_.data() + k * k, encodeTables_.data());
    }
    void encode(int64_t size, unsigned char** data, unsigned char** parity) {
        ec_encode_data(static_cast<int>(size), k_, m_, encodeTables_.data(), data, parity);
    }
    // Rebuilds the positions `lost` (0..k-1 data, k.. recovery rows) of a
    // row from the others in `row`, writing them in place. False when the
    // survivors cannot give them (never with a Cauchy matrix and at most m lost).
    bool rebuild(int64_t size, const std::vector<int>& lost, std::vector<unsigned char*>& row) {
        std::vector<unsigned char>& tables = decodeTablesFor(lost);
        if (tables.empty()) return false;
        std::vector<unsigned char*> survivors, outputs;
        for (int position = 0; position < k_ + m_ && static_cast<int>(survivors.size()) < k_;
             ++position)
            if (std::find(lost.begin(), lost.end(), position) == lost.end())
                survivors.push_back(row[static_cast<std::size_t>(position)]);
        for (int position : lost)
            outputs.push_back(row[static_cast<std::size_t>(position)]);
        ec_encode_data(static_cast<int>(size), k_, static_cast<int>(lost.size()), tables.data(),
                       survivors.data(), outputs.data());
        return true;
    }

private:
    std::vector<unsigned char>& decodeTablesFor(const std::vector<int>& lost) {
        auto found = decodeTables_.find(lost);
        if (found != decodeTables_.end()) return found->second;
        // Each row may lose other stripes: the tables kept stay bounded.
        const std::size_t bytes = 32 * static_cast<std::size_t>(k_) * lost.size();
        if (decodeBytes_ + bytes > kDecodeBudget) {
            decodeTables_.clear();
            decodeBytes_ = 0;
        }
        decodeBytes_ += bytes;
        std::vector<unsigned char>& tables = decodeTables_[lost];
        std::vector<int> survivors;
        for (int position = 0; position < k_ + m_ && static_cast<int>(survivors.size()) < k_;
             ++position)
            if (std::find(lost.begin(), lost.end(), position) == lost.end())
                survivors.push_back(position);
        if (static_cast<int>(survivors.size()) < k_) return tables;
        const auto k = static_cast<std::size_t>(k_);
        std::vector<unsigned char> chosen(k * k), inverse(k * k);
        for (std::size_t i = 0; i < k; ++i)
            std::memcpy(&chosen[i * k], &matrix_[static_cast<std::size_t>(survivors[i]) * k], k);
        if (gf_invert_matrix(chosen.data(), inverse.data(), k_) != 0) return tables;
        std::vector<unsigned char> rows(lost.size() * k);
        for (std::size_t e = 0; e < lost.size(); ++e) {
            const auto position = static_cast<std::size_t>(lost[e]);
            for (std::size_t t = 0; t < k; ++t) {
                if (position < k) {
                    rows[e * k + t] = inverse[position * k + t];
                    continue;
                }
                unsigned char sum = 0;
                for (std::size_t s = 0; s < k; ++s)
                    sum ^= gf_mul(matrix_[position * k + s], inverse[s * k + t]);
                rows[e * k + t] = sum;
            }
        }
        tables.resize(32 * k * lost.size());
        ec_init_tables(k_, static_cast<int>(lost.size()), rows.data(), tables.data());
        return tables;
    }

    int k_, m_;
    std::vector<unsigned char> matrix_;
    std::vector<unsigned char> encodeTables_;
    static constexpr std::size_t kDecodeBudget = std::size_t{16} << 20;
    std::map<std::vector<int>, std::vector<unsigned char>> decodeTables_;
    std::size_t decodeBytes_ = 0;
};

struct AlignedBuffers {
    AlignedBuffers(std::size_t count, int64_t size)
        : bytes(count * static_cast<std::size_t>(size)) {
        for (std::size_t i = 0; i < count; ++i)
            rows.push_back(bytes.data() + i * static_cast<std::size_t>(size));
    }
    std::vector<unsigned char> bytes;
    std::vector<unsigned char*> rows;
};

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

// The stripe checksums of a block of rows of one group's columns, read from
// the header one column at a time.
class StripeSums {
public:
    StripeSums(const Header& h, const std::vector<int32_t>& columns) : h_(h), columns_(columns) {}
    // Rows [first, first + count); false when the header cannot be read.
    bool load(int64_t first, int64_t count) {
        first_ = first;
        count_ = count;
        sums_.resize(columns_.size() * static_cast<std::size_t>(count));
        const int64_t stripes = h_.shape.stripes();
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            const int64_t at = int64_t{columns_[i]} * stripes + first;
            uint32_t* row = &sums_[i * static_cast<std::size_t>(count)];
            auto* bytes = reinterpret_cast<unsigned char*>(row);
            const int64_t got = readAt(h_.file.get(), bytes, static_cast<std::size_t>(count) * 4,
                                       h_.crcsAt() + at * 4);
            if (got != count * 4) {
                if (got >= 0) errno = EIO; // shorter than it was
                return false;
            }
            for (int64_t r = 0; r < count; ++r)
                row[r] = getU32(bytes + 4 * r);
        }
        return true;
    }
    // The checksum of stripe `row` of the group's `position`th column.
    uint32_t at(std::size_t position, int64_t row) const {
        return sums_[position * static_cast<std::size_t>(count_) +
                     static_cast<std::size_t>(row - first_)];
    }

private:
    const Header& h_;
    const std::vector<int32_t>& columns_;
    std::vector<uint32_t> sums_;
    int64_t first_ = 0;
    int64_t count_ = 0;
};

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

} // namespace

int64_t RecoveryShape::stripes() const {
    return stripeSize > 0 ? (columnLength + stripeSize - 1) / stripeSize : 0;
}

std::vector<int32_t> RecoveryShape::columnsOf(int32_t group) const {
    std::vector<int32_t> out;
    for (int32_t c = group; c < columns(); c += groups)
        out.push_back(c);
    return out;
}

std::string planRecovery(const RecoveryRequest& request, int32_t dataPieces, int64_t pieceSize,
                         int64_t longestPiece, int64_t metaBytes, RecoveryShape& shape) {
    if (request.count < 0 || request.percent < 0 || request.percent > 100)
        return "the recovery share must be between 1% and 100%";
    if (pieceSize <= 0 || metaBytes <= 0) return "the set has no files to protect";
    shape = {};
    shape.dataPieces = dataPieces;
    shape.columnLength = std::min(pieceSize, std::max(longestPiece, metaBytes));
    shape.metaColumns =
        static_cast<int32_t>((metaBytes + shape.columnLength - 1) / shape.columnLength);
    const int64_t columns = int64_t{dataPieces} + shape.metaColumns;
    if (columns > INT32_MAX / 2) return "the set has too many pieces for recovery pieces";
    const int64_t dataShare = std::max<int32_t>(dataPieces, 1);
    for (int64_t groups = 1; groups <= columns; ++groups) {
        const int64_t widest = (columns + groups - 1) / groups;
        const int64_t perGroup =
            request.count > 0
                ? request.count
                : std::max<int64_t>(
                      1, (request.percent * ((dataShare + groups - 1) / groups) + 99) / 100);
        if (perGroup >= kMaxCodeWidth) return "at most 254 recovery pieces a group can be made";
        if (perGroup > widest && request.count > 0 && groups == 1)
            return "more recovery pieces than the set's " + std::to_string(widest) +
                   " pieces and files: a copy of the set protects it better";
        if (widest + perGroup > kMaxCodeWidth) continue;
        shape.groups = static_cast<int32_t>(groups);
        shape.perGroup = static_cast<int32_t>(perGroup);
        const int64_t budget = kRowBudget / (widest + perGroup);
        int64_t stripe = int64_t{1} << 20;
        while (stripe > 4096 && stripe > budget)
            stripe /= 2;
        shape.stripeSize = static_cast<int32_t>(std::min(stripe, shape.columnLength));
        if (headerSizeFor(dataPieces, int64_t{shape.groups} * shape.perGroup, columns,
                          shape.stripes()) < 0)
            return "the set is too large for recovery pieces";
        return {};
    }
    return "the set has too many pieces for this many recovery pieces";
}

std::string survivalText(const RecoveryShape& shape) {
    const int32_t m = shape.perGroup;
    const std::string pieces = m == 1 ? "piece" : "pieces";
    if (shape.groups == 1)
        return "any " + std::to_string(m) + " of its " +
               std::to_string(shape.dataPieces + shape.recoveryPieces()) + " pieces";
    return "any " + std::to_string(m) + " " + pieces + " of each of its " +
           std::to_string(shape.groups) + " groups, or any " +
           std::to_string(int64_t{m} * shape.groups) + " consecutive pieces";
}

// ---- the split's side -------------------------------------------------------

bool writeRecovery(int folderFd, const std::string& folderPath, const std::string& stem,
                   const std::vector<int64_t>& pieceLengths, int64_t pieceSize,
                   const RecoveryRequest& request, int mode,
                   const std::vector<uint32_t>& pieceModes, bool sync, RunContext& run,
                   RecoveryShape* made) {
    Header h;
    h.stem = stem;
    h.lastPiece = pieceLengths.empty() ? 0 : pieceLengths.back();
    for (int i = 0; i < kMembers; ++i) {
        FileDescriptor fd;
        int64_t size = -1;
        const std::string why = openSetFileAt(folderFd, kMemberNames[i], fd, size);
        if (!why.empty()) {
            // A set may lack its tree description, and an encrypted one its content sums.
            if (i >= 2 && entryAt(folderFd, kMemberNames[i]) == EntryKind::Missing) continue;
            run.fail("cannot protect " + folderPath + "/" + kMemberNames[i] + ": " + why);
            return false;
        }
        h.members[i].length = size;
        if (!hashRange(fd.get(), size, h.members[i].hash)) {
            run.failErrno("read", folderPath + "/" + kMemberNames[i], errno);
            return false;
        }
    }
    const int64_t longest =
        pieceLengths.empty() ? 0 : *std::max_element(pieceLengths.begin(), pieceLengths.end());
    if (const std::string why = planRecovery(request, static_cast<int32_t>(pieceLengths.size()),
                                             pieceSize, longest, h.metaBytes(), h.shape);
        !why.empty()) {
        run.refuse(why);
        return false;
    }
    const RecoveryShape& s = h.shape;
    h.crcs.assign(static_cast<std::size_t>(h.allColumns()) * static_cast<std::size_t>(s.stripes()),
                  0);
    h.recoveryHashes.resize(static_cast<std::size_t>(s.recoveryPieces()));
    for (int32_t g = 0; g < s.groups; ++g) {
        const std::vector<int32_t> columns = s.columnsOf(g);
        const int k = static_cast<int>(columns.size());
        const int m = s.perGroup;
        std::vector<FileDescriptor> out;
        uint32_t groupMode = static_cast<uint32_t>(mode);
        for (int32_t c : columns)
            if (c < s.dataPieces && static_cast<std::size_t>(c) < pieceModes.size())
                groupMode &= pieceModes[static_cast<std::size_t>(c)];
        for (int j = 0; j < m; ++j) {
            const int32_t index = j * s.groups + g;
            out.push_back(createFileAt(folderFd, recoveryPieceName(stem, index),
                                       static_cast<int>(groupMode & 0666)));
            if (!out.back()) {
                run.failErrno("create", folderPath + "/" + recoveryPieceName(stem, index), errno);
                return false;
            }
        }
        // Rows are independent: two threads take half of them each, with
        // their own buffers and reads.
        std::string failures[2];
        const auto encodeRows = [&](int64_t first, int64_t last, std::string& failure) {
            ColumnReader reader(folderFd, h);
            GroupCode code(k, m);
            AlignedBuffers data(static_cast<std::size_t>(k), s.stripeSize);
            AlignedBuffers parity(static_cast<std::size_t>(m), s.stripeSize);
            for (int64_t r = first; r < last; ++r) {
                if (run.stopRequested()) return;
                const int64_t offset = r * s.stripeSize;
                const int64_t size = std::min<int64_t>(s.stripeSize, s.columnLength - offset);
                for (int i = 0; i < k; ++i) {
                    const int32_t c = columns[static_cast<std::size_t>(i)];
                    if (!reader.read(c, offset, size, data.rows[static_cast<std::size_t>(i)])) {
                        failure = "cannot read back " + folderPath + "/" +
                                  (c < s.dataPieces ? columnFileName(h, c)
                                                    : std::string("the set's files")) +
                                  " to make its recovery pieces";
                        return;
                    }
                    const int64_t own = std::clamp<int64_t>(h.lengthOf(c) - offset, 0, size);
                    h.crc(c, r) = crcOf(data.rows[static_cast<std::size_t>(i)], own);
                }
                code.encode(size, data.rows.data(), parity.rows.data());
                for (int j = 0; j < m; ++j) {
                    const int32_t column = h.recoveryColumn(g, j);
                    unsigned char* bytes = parity.rows[static_cast<std::size_t>(j)];
                    h.crc(column, r) = crcOf(bytes, size);
                    if (!writeWhole(out[static_cast<std::size_t>(j)].get(), bytes, size, offset)) {
                        failure = errnoReason("write", folderPath + "/" + columnFileName(h, column),
                                              errno);
                        return;
                    }
                }
            }
        };
        const int64_t half = s.stripes() / 2;
        {
            std::thread other(encodeRows, half, s.stripes(), std::ref(failures[1]));
            encodeRows(0, half, failures[0]);
            other.join();
        }
        for (const std::string& failure : failures)
            if (!failure.empty()) {
                run.fail(failure);
                return false;
            }
        if (run.stopIfRequested()) return false;
        // Each recovery piece's SHA-256, read back in order (a second thread
        // takes every other piece).
        bool unread[2] = {false, false};
        const auto hashPieces = [&](int from, bool& failed) {
            for (int j = from; j < m; j += 2) {
                const int32_t index = j * s.groups + g;
                FileDescriptor back(openat(folderFd, recoveryPieceName(stem, index).c_str(),
                                           O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
                failed = failed || !back ||
                         !hashRange(back.get(), s.columnLength,
                                    h.recoveryHashes[static_cast<std::size_t>(index)]);
            }
        };
        {
            std::thread other(hashPieces, 1, std::ref(unread[1]));
            hashPieces(0, unread[0]);
            other.join();
        }
        for (int j = 0; j < m; ++j) {
            const int32_t index = j * s.groups + g;
            if (unread[0] || unread[1] ||
                (sync && fsync(out[static_cast<std::size_t>(j)].get()) != 0) ||
                !out[static_cast<std::size_t>(j)].close()) {
                run.failErrno("write", folderPath + "/" + recoveryPieceName(stem, index), errno);
                return false;
            }
        }
    }
    const std::string header = serialize(h);
    for (int32_t i = 0; i < s.recoveryPieces(); ++i) {
        const std::string name = recoveryHeaderName(stem, i);
        if (!writeTextFileAt(folderFd, name.c_str(), header, sync, folderPath + "/" + name, run,
                             mode))
            return false;
    }
    // Their lines close SHA256SUMS.
    FileDescriptor sums(
        openat(folderFd, kPieceSumsFileName, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
    if (!sums ||
        !forRecoveryLines(h,
                          [&](const std::string& lines, int64_t) {
                              return writeAll(sums.get(), lines.data(), lines.size());
                          }) ||
        (sync && fsync(sums.get()) != 0) || !sums.close()) {
        run.failErrno("write", folderPath + "/" + kPieceSumsFileName, errno);
        return false;
    }
    if (made) *made = s;
    return true;
}

// ---- reading a set's recovery files -----------------------------------------

std::string recoveryStemIn(int folderFd) {
    std::string found;
    visitEntriesIn(folderFd, [&](const char* name, unsigned char) {
        const std::string text = name;
        const std::size_t mark = text.rfind("_R");
        if (!found.empty() || mark == std::string::npos || mark == 0) return;
        const std::string stem = text.substr(0, mark);
        if (recoveryIndexOf(stem, text, true) >= 0) found = stem;
    });
    return found;
}

namespace {

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

// What is bad, and what must be written again. Kept by column as a few
// bits: the bad stripes are counted, row by row, as they are found.
struct DamageMap {
    std::vector<bool> rewrite;       // by column: its file must be written again
    std::vector<bool> missing;       // by column: no file at all
    bool metaBad = false;            // a stripe of the set's own files is bad
    bool metaRewrite = false;        // a set file must be written again
    std::vector<bool> memberRewrite; // by member
    int32_t badHeaders = 0;          // header copies not the one used
    int64_t badStripes = 0;          // over every column
    int32_t worstRow = 0;            // the most bad stripes in one row of one group
};

// The columns of group `g`, its recovery pieces' last.
std::vector<int32_t> groupColumns(const Header& h, int32_t group) {
    std::vector<int32_t> columns = h.shape.columnsOf(group);
    for (int j = 0; j < h.shape.perGroup; ++j)
        columns.push_back(h.recoveryColumn(group, j));
    return columns;
}

// The set's own files: each must be exactly what the header says, and
// SHA256SUMS end with the recovery pieces' lines.
void mapMembers(const Header& h, ColumnReader& reader, DamageMap& map) {
    for (int i = 0; i < kMembers; ++i) {
        const Member& member = h.members[i];
        if (member.length < 0) continue;
        Hash hash{};
        bool good = reader.memberSize(i) >= member.length &&
                    hashRange(reader.memberFd(i), member.length, hash) && hash == member.hash;
        int64_t lines = 0;
        if (good && i == kSumsMember) {
            good = forRecoveryLines(h, [&](const std::string& text, int64_t at) {
                std::string now(text.size(), '\0');
                lines = at + static_cast<int64_t>(text.size());
                return readSome(reader.memberFd(i), reinterpret_cast<unsigned char*>(now.data()),
                                static_cast<int64_t>(now.size()),
                                member.length + at) == static_cast<int64_t>(now.size()) &&
                       now == text;
            });
        }
        good = good && reader.memberSize(i) == member.length + lines;
        if (!good) map.memberRewrite[static_cast<std::size_t>(i)] = map.metaRewrite = true;
    }
}

// Reads every column against its stripe checksums, group by group and, in
// each group, a block of rows at a time.
// With `visibleOnly`, a piece of the right length is taken as whole without
// reading it (the repair still checks every stripe it reads), and only what
// is missing of a short one counts as bad.
bool mapDamage(int folderFd, const std::string& folderPath, const Header& h, DamageMap& map,
               RunContext& run, bool visibleOnly = false) {
    const RecoveryShape& s = h.shape;
    const auto all = static_cast<std::size_t>(h.allColumns());
    map.rewrite.assign(all, false);
    map.missing.assign(all, false);
    map.memberRewrite.assign(kMembers, false);
    ColumnReader reader(folderFd, h);
    std::vector<unsigned char> buffer(static_cast<std::size_t>(s.stripeSize));
    std::vector<int32_t> rowBad;
    for (int32_t g = 0; g < s.groups; ++g) {
        const std::vector<int32_t> columns = groupColumns(h, g);
        std::vector<int64_t> present(columns.size(), 0);
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const auto c = static_cast<std::size_t>(columns[i]);
            if (h.isMeta(columns[i])) continue;
            present[i] = reader.fileSize(columns[i]);
            if (present[i] != h.lengthOf(columns[i])) map.rewrite[c] = true;
            if (present[i] < 0) map.missing[c] = true;
        }
        StripeSums sums(h, columns);
        for (int64_t first = 0; first < s.stripes(); first += kBlockRows) {
            const int64_t rows = std::min(kBlockRows, s.stripes() - first);
            if (!sums.load(first, rows)) {
                run.failErrno("read", folderPath + "/" + h.name, errno);
                return false;
            }
            rowBad.assign(static_cast<std::size_t>(rows), 0);
            for (std::size_t i = 0; i < columns.size(); ++i) {
                const int32_t c = columns[i];
                const bool meta = h.isMeta(c);
                const bool sizeOnly = visibleOnly && !meta;
                if (sizeOnly && present[i] == h.lengthOf(c)) continue;
                for (int64_t r = first; r < first + rows; ++r) {
                    if (run.stopIfRequested()) return false;
                    const int64_t offset = r * s.stripeSize;
                    const int64_t own =
                        std::clamp<int64_t>(h.lengthOf(c) - offset, 0, s.stripeSize);
                    if (own == 0) break;
                    bool bad = offset + own > present[i];
                    if (!sizeOnly) {
                        bad = !reader.read(c, offset, own, buffer.data()) ||
                              crcOf(buffer.data(), own) != sums.at(i, r);
                        run.addDoneBytes(own);
                    }
                    if (!bad) continue;
                    ++rowBad[static_cast<std::size_t>(r - first)];
                    ++map.badStripes;
                    if (meta) map.metaBad = true;
                    if (!sizeOnly) map.rewrite[static_cast<std::size_t>(c)] = true;
                }
            }
            for (const int32_t count : rowBad)
                map.worstRow = std::max(map.worstRow, count);
        }
        if (!reader.faultName().empty()) {
            run.failErrno("open", folderPath + "/" + reader.faultName(), reader.faultErrno());
            return false;
        }
        for (const int32_t c : columns)
            if (!h.isMeta(c)) reader.release(c);
    }
    mapMembers(h, reader, map);
    // Every copy of the header: one lost or damaged is a copy fewer to fall
    // back on.
    for (int32_t i = 0; i < s.recoveryPieces(); ++i)
        if (!sameAsHeader(folderFd, recoveryHeaderName(h.stem, i), h)) ++map.badHeaders;
    return true;
}

void fillReport(const Header& h, const DamageMap& map, RecoveryReport& report) {
    const RecoveryShape& s = h.shape;
    report.hasRecovery = true;
    report.shape = s;
    report.badStripes = map.badStripes;
    for (int32_t c = 0; c < h.allColumns(); ++c) {
        const bool wrong = map.rewrite[static_cast<std::size_t>(c)];
        if (c < s.dataPieces && wrong) {
            report.badPieces.push_back(c);
            const bool missing = map.missing[static_cast<std::size_t>(c)];
            (missing ? report.missingPieces : report.damagedPieces)++;
        }
        if (c >= s.columns()) {
            (wrong ? report.badRecovery : report.recoveryPresent)++;
            if (wrong) report.badRecoveryPieces.push_back(c - s.columns());
        }
    }
    for (int i = 0; i < kMembers; ++i)
        if (map.memberRewrite[static_cast<std::size_t>(i)])
            report.badSetFiles.push_back(kMemberNames[i]);
    report.badHeaders = map.badHeaders;
    report.worstRow = map.worstRow;
    report.repairable = map.worstRow <= s.perGroup;
}

} // namespace

std::string RecoveryReport::summary() const {
    if (!hasRecovery)
        return headerProblem.empty() ? "no recovery pieces"
                                     : "recovery pieces unusable: " + headerProblem;
    std::string text;
    const auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    if (missingPieces > 0) add(std::to_string(missingPieces) + " missing");
    if (damagedPieces > 0) add(std::to_string(damagedPieces) + " damaged");
    for (const std::string& name : badSetFiles)
        add(name + " damaged or missing");
    if (badRecovery > 0)
        add(std::to_string(badRecovery) + " recovery " + (badRecovery == 1 ? "piece" : "pieces") +
            " damaged or missing");
    if (badHeaders > 0)
        add(std::to_string(badHeaders) + " recovery " + (badHeaders == 1 ? "header" : "headers") +
            " damaged or missing");
    if (text.empty())
        text = "nothing missing or damaged";
    else if (badStripes > 0)
        text += " in " + std::to_string(badStripes) + (badStripes == 1 ? " stripe" : " stripes");
    const int32_t total = shape.recoveryPieces();
    text += "; " + std::to_string(total) + " recovery " + (total == 1 ? "piece" : "pieces");
    if (intact()) return text;
    if (repairable) return text + ": repairable";
    return text + ": not repairable (" + std::to_string(worstRow) + " bad in one row, " +
           std::to_string(shape.perGroup) + " recovery" + (shape.groups > 1 ? " per group)" : ")");
}

RecoveryReport assessRecovery(int folderFd, const std::string& folderPath, const std::string& stem,
                              RunContext& run) {
    RecoveryReport report;
    Header h;
    bool any = false;
    const std::string why = findHeader(folderFd, stem, h, any);
    if (!why.empty()) {
        if (any) report.headerProblem = why;
        return report;
    }
    DamageMap map;
    if (!mapDamage(folderFd, folderPath, h, map, run)) {
        if (!run.stopRequested()) report.headerProblem = run.failure().reason;
        return report;
    }
    fillReport(h, map, report);
    return report;
}

namespace {

// A file the repair writes, under a temporary name until it checks.
struct Rebuilt {
    std::string name;      // its real name in the set
    std::string temporary; // in the repair's working folder
    FileDescriptor fd;
    int64_t length = 0;
};

class RepairJob {
public:
    RepairJob(int folderFd, const std::string& folderPath, int destFd, const std::string& destPath,
              const Header& h, const DamageMap& map, RunContext& run)
        : folderFd_(folderFd), folderPath_(folderPath), destFd_(destFd), destPath_(destPath), h_(h),
          map_(map), run_(run) {}

    bool run(RepairOutcome& outcome, bool inPlace) {
        const RecoveryShape& s = h_.shape;
        for (int32_t c = 0; c < h_.allColumns(); ++c) {
            if (h_.isMeta(c) || !map_.rewrite[static_cast<std::size_t>(c)]) continue;
            if (!begin(columns_[c], columnFileName(h_, c), h_.lengthOf(c))) return false;
        }
        const bool metaBad = map_.metaRewrite || map_.metaBad;
        if (metaBad && !begin(stream_, "the set's files", h_.metaBytes())) return false;
        if (!rebuildRows(metaBad)) return false;
        // The set's own files first: SHA256SUMS gives the pieces' hashes.
        if (!finishMembers(metaBad)) return false;
        for (auto& [c, file] : columns_) {
            const std::string expected =
                c < s.dataPieces ? pieceHashes_[c] : recoveryHashHex(h_, c - s.columns());
            if (expected.empty()) {
                run_.failErrno("read", folderPath_ + "/" + h_.name, errno);
                return false;
            }
            if (!check(file, expected)) return false;
        }
        // The headers: every copy the same.
        for (int32_t i = 0; i < s.recoveryPieces(); ++i) {
            const std::string name = recoveryHeaderName(h_.stem, i);
            if (sameAsHeader(folderFd_, name, h_)) continue;
            headers_.push_back({});
            Rebuilt& file = headers_.back();
            if (!begin(file, name, h_.size) || !copyHeader(h_, file.fd.get()) ||
                fsync(file.fd.get()) != 0) {
                if (!run_.failed()) run_.failErrno("write", destPath_ + "/" + name, errno);
                return false;
            }
        }
        if (run_.stopIfRequested()) return false;
        return putInPlace(outcome, inPlace);
    }

private:
    std::vector<Rebuilt*> all() {
        std::vector<Rebuilt*> out;
        for (auto& [c, file] : columns_)
            out.push_back(&file);
        for (Rebuilt& file : members_)
            out.push_back(&file);
        for (Rebuilt& file : headers_)
            out.push_back(&file);
        return out;
    }
    bool begin(Rebuilt& file, const std::string& name, int64_t length) {
        file.name = name;
        file.length = length;
        // The temporaries live in a marked working folder of the run in the
        // destination: what a killed repair left, the next run removes.
        if (work_.fd() < 0 && !work_.create(destFd_)) {
            run_.failErrno("create a folder in", destPath_, errno);
            return false;
        }
        file.fd = work_.createFile(file.temporary, 0600);
        if (!file.fd) {
            file.temporary.clear();
            run_.failErrno("create a file in", destPath_, errno);
            return false;
        }
        return true;
    }

    // Every row of every group that has a file to write: read, check,
    // rebuild what is bad, write what is wanted.
    bool rebuildRows(bool metaBad) {
        const RecoveryShape& s = h_.shape;
        ColumnReader reader(folderFd_, h_);
        for (int32_t g = 0; g < s.groups; ++g) {
            const std::vector<int32_t> columns = groupColumns(h_, g);
            const int k = static_cast<int>(columns.size()) - s.perGroup;
            const auto wanted = [&](int32_t c) {
                return h_.isMeta(c) ? metaBad : columns_.count(c) > 0;
            };
            if (std::none_of(columns.begin(), columns.end(), wanted)) continue;
            GroupCode code(k, s.perGroup);
            AlignedBuffers rows(columns.size(), s.stripeSize);
            StripeSums sums(h_, columns);
            for (int64_t r = 0; r < s.stripes(); ++r) {
                if (run_.stopIfRequested()) return false;
                if (r % kBlockRows == 0 && !sums.load(r, std::min(kBlockRows, s.stripes() - r))) {
                    run_.failErrno("read", folderPath_ + "/" + h_.name, errno);
                    return false;
                }
                const int64_t offset = r * s.stripeSize;
                const int64_t size = std::min<int64_t>(s.stripeSize, s.columnLength - offset);
                std::vector<int> lost;
                for (std::size_t i = 0; i < columns.size(); ++i) {
                    const int32_t c = columns[i];
                    const int64_t own = std::clamp<int64_t>(h_.lengthOf(c) - offset, 0, size);
                    const bool whole = reader.read(c, offset, size, rows.rows[i]);
                    if (own > 0 && (!whole || crcOf(rows.rows[i], own) != sums.at(i, r)))
                        lost.push_back(static_cast<int>(i));
                }
                if (!reader.faultName().empty()) {
                    run_.failErrno("open", folderPath_ + "/" + reader.faultName(),
                                   reader.faultErrno());
                    return false;
                }
                if (static_cast<int>(lost.size()) > s.perGroup) {
                    run_.fail("the set in " + folderPath_ +
                                  " is not repairable: " + std::to_string(lost.size()) +
                                  " bad stripes in one row, " + std::to_string(s.perGroup) +
                                  " recovery " + (s.perGroup == 1 ? "piece" : "pieces") +
                                  (s.groups > 1 ? " a group" : ""),
                              EngineFailure::SetNotWhole);
                    return false;
                }
                if (!lost.empty()) {
                    if (!code.rebuild(size, lost, rows.rows)) {
                        run_.fail("the recovery pieces of " + folderPath_ +
                                  " cannot rebuild a row");
                        return false;
                    }
                    for (int position : lost) {
                        const int32_t c = columns[static_cast<std::size_t>(position)];
                        const int64_t own = std::clamp<int64_t>(h_.lengthOf(c) - offset, 0, size);
                        if (crcOf(rows.rows[static_cast<std::size_t>(position)], own) !=
                            sums.at(static_cast<std::size_t>(position), r)) {
                            run_.fail("a rebuilt stripe of " + folderPath_ +
                                      " does not match its checksum");
                            return false;
                        }
                    }
                }
                for (std::size_t i = 0; i < columns.size(); ++i) {
                    const int32_t c = columns[i];
                    if (!wanted(c)) continue;
                    const int64_t own = std::clamp<int64_t>(h_.lengthOf(c) - offset, 0, size);
                    if (own == 0) continue;
                    const bool meta = h_.isMeta(c);
                    Rebuilt& file = meta ? stream_ : columns_.at(c);
                    const int64_t at =
                        meta ? static_cast<int64_t>(c - s.dataPieces) * s.columnLength + offset
                             : offset;
                    if (!writeWhole(file.fd.get(), rows.rows[i], own, at)) {
                        run_.failErrno(
                            "write", destPath_ + "/" + work_.name() + "/" + file.temporary, errno);
                        return false;
                    }
                }
                run_.addDoneBytes(size * static_cast<int64_t>(columns.size()));
            }
            for (int32_t c : columns)
                if (!h_.isMeta(c)) reader.release(c);
        }
        for (Rebuilt* file : all())
            if (file->fd && ftruncate(file->fd.get(), file->length) != 0) {
                run_.failErrno("write", destPath_ + "/" + work_.name() + "/" + file->temporary,
                               errno);
                return false;
            }
        return true;
    }

    // Reads the SHA-256 of each rebuilt piece from SHA256SUMS's first
    // `length` bytes at `from` in `fd`, a line at a time: each of the first
    // lines must be its piece's.
    bool readPieceHashes(int fd, int64_t from, int64_t length) {
        const std::string damaged = "the rebuilt SHA256SUMS of " + folderPath_ + " does not list ";
        LineReader lines(fd, length, static_cast<std::size_t>(kSumLineBound), from);
        std::vector<ChecksumEntry> entry;
        for (int32_t piece = 0; piece < h_.shape.dataPieces; ++piece) {
            std::string_view line;
            const LineReader::Next next = lines.next(line);
            if (next == LineReader::Next::Unreadable) {
                run_.failErrno("read", folderPath_ + "/" + kPieceSumsFileName, errno);
                return false;
            }
            entry.clear();
            if (next != LineReader::Next::Line ||
                !parseChecksumLines(std::string(line) + "\n", entry)) {
                run_.fail(damaged + "the pieces");
                return false;
            }
            const auto rebuilt = columns_.find(piece);
            if (rebuilt == columns_.end()) continue;
            if (entry.front().name != rebuilt->second.name) {
                run_.fail(damaged + rebuilt->second.name);
                return false;
            }
            pieceHashes_[piece] = entry.front().hex;
        }
        return true;
    }

    // Cuts the rebuilt stream into the set's own files that need it, and
    // reads the rebuilt pieces' hashes from SHA256SUMS.
    bool finishMembers(bool metaBad) {
        int64_t start = 0;
        members_.reserve(kMembers);
        for (int i = 0; i < kMembers; ++i) {
            const Member& member = h_.members[i];
            if (member.length < 0) continue;
            const int source = metaBad ? stream_.fd.get() : -1;
            const int64_t from = metaBad ? start : 0;
            start += member.length;
            if (i == kSumsMember) {
                int readFrom = source;
                FileDescriptor original;
                if (readFrom < 0) {
                    int64_t size = -1;
                    openSetFileAt(folderFd_, kPieceSumsFileName, original, size);
                    readFrom = original.get();
                }
                if (readFrom < 0) {
                    run_.failErrno("read", folderPath_ + "/" + kPieceSumsFileName, errno);
                    return false;
                }
                if (!readPieceHashes(readFrom, from, member.length)) return false;
            }
            if (!map_.memberRewrite[static_cast<std::size_t>(i)]) continue;
            members_.push_back({});
            Rebuilt& file = members_.back();
            if (!begin(file, kMemberNames[i], member.length)) return false;
            std::vector<unsigned char> buffer(std::size_t{1} << 20);
            for (int64_t at = 0; at < member.length;) {
                const int64_t want =
                    std::min<int64_t>(member.length - at, static_cast<int64_t>(buffer.size()));
                if (readSome(source, buffer.data(), want, from + at) != want ||
                    !writeWhole(file.fd.get(), buffer.data(), want, at)) {
                    run_.failErrno("write", destPath_ + "/" + work_.name() + "/" + file.temporary,
                                   errno);
                    return false;
                }
                at += want;
            }
            if (!check(file, hexOf(member.hash))) return false;
            if (i == kSumsMember &&
                !forRecoveryLines(h_, [&](const std::string& lines, int64_t at) {
                    file.length = member.length + at + static_cast<int64_t>(lines.size());
                    return writeWhole(file.fd.get(),
                                      reinterpret_cast<const unsigned char*>(lines.data()),
                                      static_cast<int64_t>(lines.size()), member.length + at);
                })) {
                run_.failErrno("write", destPath_ + "/" + work_.name() + "/" + file.temporary,
                               errno);
                return false;
            }
        }
        return true;
    }

    // The file's first `length` bytes hash to `hex`, and are on disk.
    bool check(Rebuilt& file, const std::string& hex) {
        Hash hash{};
        if (fsync(file.fd.get()) != 0 || !hashRange(file.fd.get(), file.length, hash)) {
            run_.failErrno("write", destPath_ + "/" + work_.name() + "/" + file.temporary, errno);
            return false;
        }
        if (hexOf(hash) != hex) {
            run_.fail("the rebuilt " + file.name + " of " + folderPath_ +
                      " does not match its SHA-256: nothing was put in place");
            return false;
        }
        return true;
    }

    bool putInPlace(RepairOutcome& outcome, bool inPlace) {
        // Into another folder, every name must be free before any is taken:
        // a failure there leaves nothing of the repair behind.
        for (Rebuilt* file : all())
            if (!inPlace && file->fd &&
                entryAt(destFd_, file->name.c_str()) != EntryKind::Missing) {
                run_.failErrno("name", destPath_ + "/" + file->name, EEXIST);
                return false;
            }
        for (Rebuilt* file : all()) {
            if (!file->fd) continue;
            // A damaged original is kept aside by a second name first, and
            // only then replaced in one rename: killed between the two, the
            // real name still holds it whole.
            const bool replaces =
                inPlace && entryAt(destFd_, file->name.c_str()) != EntryKind::Missing;
            if (replaces) {
                std::string aside = file->name + ".damaged";
                for (int n = 1; entryAt(destFd_, aside.c_str()) != EntryKind::Missing && n < 1000;
                     ++n)
                    aside = file->name + ".damaged." + std::to_string(n);
                if (!linkAside(destFd_, file->name, aside)) {
                    run_.failErrno("keep aside", destPath_ + "/" + file->name, errno);
                    return false;
                }
                outcome.keptAside.push_back(file->name + " -> " + aside);
            }
            if (!placeEntry(work_.fd(), file->temporary, destFd_, file->name, replaces)) {
                run_.failErrno("name", destPath_ + "/" + file->name, errno);
                return false;
            }
            file->temporary.clear();
            outcome.rebuilt.push_back(file->name);
        }
        if (fsync(destFd_) != 0) {
            run_.failErrno("write", destPath_, errno);
            return false;
        }
        return true;
    }

    int folderFd_;
    std::string folderPath_;
    int destFd_;
    std::string destPath_;
    const Header& h_;
    const DamageMap& map_;
    RunContext& run_;
    RunFolder work_;                     // removed, with whatever is still in it, when the job ends
    std::map<int32_t, Rebuilt> columns_; // the data and recovery pieces rebuilt
    std::map<int32_t, std::string> pieceHashes_; // theirs, from SHA256SUMS
    std::vector<Rebuilt> members_;
    std::vector<Rebuilt> headers_;
    Rebuilt stream_;
};

} // namespace

Result<RepairOutcome> repairSet(int folderFd, const std::string& folderPath,
                                const std::string& stem, int outFd, const std::string& outPath,
                                RunContext& run, bool visibleOnly) {
    Header h;
    bool any = false;
    if (const std::string why = findHeader(folderFd, stem, h, any); !why.empty()) {
        run.fail(any ? "the recovery files of " + folderPath + " cannot be used: " + why
                     : folderPath + " has no recovery pieces",
                 EngineFailure::NotASet);
        return run.failure();
    }
    run.setTotalBytes(static_cast<int64_t>(h.allColumns()) * h.shape.columnLength * 2);
    DamageMap map;
    if (!mapDamage(folderFd, folderPath, h, map, run, visibleOnly)) return run.failure();
    RepairOutcome outcome;
    fillReport(h, map, outcome.report);
    if (outcome.report.intact()) return outcome;
    if (!outcome.report.repairable) {
        run.fail("the set in " + folderPath + " is not repairable: " + outcome.report.summary(),
                 EngineFailure::SetNotWhole);
        return run.failure();
    }
    const bool inPlace = outFd < 0;
    // What a killed repair left in the set's folder goes first, when no other
    // run is using it (another folder is swept by the next run writing there).
    const int destFd = inPlace ? folderFd : outFd;
    if (inPlace && sweepWhenAlone(folderFd, run)) flock(folderFd, LOCK_UN);
    RepairJob job(folderFd, folderPath, destFd, inPlace ? folderPath : outPath, h, map, run);
    if (!job.run(outcome, inPlace)) {
        if (!run.failed()) run.fail("the repair of " + folderPath + " failed");
        return run.failure();
    }
    return outcome;
}
