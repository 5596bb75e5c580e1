#pragma once
// What the recovery code's files share: the header's layout and the readers,
// code and checksums every part of it uses. Only they include this.
//
//   recovery.cpp         planning, and the writer the split calls
//   recovery_header.cpp  the header: its bytes, its checks, finding it in a folder
//   recovery_repair.cpp  the assessment of a set, and the repair job

#include "engine/runs/recovery.h"

#include "engine/fs/run_folder.h"
#include "engine/fs/target_writer.h"

#include "engine/base/digest.h"
#include "engine/base/file_io.h"
#include "engine/base/utilities.h"
#include "engine/base/vector_state.h"
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

namespace recovering {

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

inline void putU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void putU64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline uint32_t getU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t getU64(const unsigned char* p) {
    return static_cast<uint64_t>(getU32(p)) | static_cast<uint64_t>(getU32(p + 4)) << 32;
}

inline uint32_t crcOf(const unsigned char* data, int64_t size, uint32_t crc = kCrcStart) {
    crc = crc32_iscsi(const_cast<unsigned char*>(data), static_cast<int>(size), crc);
    clearUpperVectorHalves();
    return crc;
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

std::string serialize(const Header& h);

// The size a header of these counts has; -1 past any real set.
int64_t headerSizeFor(int64_t dataPieces, int64_t recovery, int64_t columns, int64_t stripes);

bool writeWhole(int fd, const unsigned char* data, int64_t size, int64_t offset);

// Reads up to `size` bytes at `offset`; the count read (short at the end or
// on a fault, never negative).
int64_t readSome(int fd, unsigned char* data, int64_t size, int64_t offset);

// The lengths a split gives the set's own files, as far as the pieces bound
// them: a manifest of the header's 352 bytes, a 37-byte record a piece and
// 280 bytes a file record; SHA256SUMS a line a piece and a few more; a line
// of CONTENTS.sha256 a file record, or one for a file source.
bool membersFitTheSet(const Header& h);

// Reads the fixed part (`p`, kFixedRead bytes) of a header of `size` bytes
// into `h`, and checks that the file is as long as its counts give, and that
// its counts, lengths and shape are those a split of such a set writes,
// before anything they size is read or allocated. "" when they are.
std::string readFixedPart(const unsigned char* p, int64_t size, Header& h);

// Reads the rest of the header open in `h.file` (`h.size` bytes, its fixed
// part read) a step at a time: its own SHA-256 must match, and every piece
// but the last be a column long. Nothing of it is kept but the last
// piece's length. "" when it is sound.
std::string readTables(Header& h);

// The name of a data or recovery column's file.
std::string columnFileName(const Header& h, int32_t column);

// The SHA-256 of recovery pieces [first, first + count): from the split's
// table, or read from the header. False when it cannot be read.
bool recoveryHashes(const Header& h, int32_t first, int32_t count, std::vector<Hash>& out);

std::string recoveryHashHex(const Header& h, int32_t index);

// SHA256SUMS's lines for the recovery pieces, handed to `take` a step at a
// time with their offset among them. False when a hash cannot be read or
// `take` returns false.
bool forRecoveryLines(const Header& h,
                      const std::function<bool(const std::string&, int64_t)>& take);

// The header copy `name` in `folderFd` is, byte for byte, the one read.
bool sameAsHeader(int folderFd, const std::string& name, const Header& h);

// Writes the header read into `fd`, a step at a time.
bool copyHeader(const Header& h, int fd);

// Hashes `length` bytes of `fd` from 0; false when fewer could be read.
bool hashRange(int fd, int64_t length, Hash& out);

FileDescriptor createFileAt(int folderFd, const std::string& name, int mode);

// What a header of the set in `folderFd` can need: its stripe checksums are
// 4 bytes for each 4 KiB (at least) of the set's files, with room to spare.
int64_t headerBoundFor(int folderFd);

// The first of the set's headers that is whole and belongs to the set whose
// manifest lies in the folder (when one does and reads as a manifest), open
// in `h` for its tables to be read from.
std::string findHeader(int folderFd, const std::string& stem, Header& h, bool& any);

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
    // Data piece c is the `pieceSize` bytes of `fd` from c * pieceSize (a
    // file cut as it is): read there instead of from the piece.
    void readDataFrom(int fd, int64_t pieceSize) {
        dataFd_ = fd;
        dataPieceSize_ = pieceSize;
    }
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
        if (dataFd_ >= 0 && column < h_.shape.dataPieces) {
            // The pieces' bytes where the split read them: the source's.
            const int64_t got = readSome(dataFd_, data, want, column * dataPieceSize_ + offset);
            if (got < want) std::memset(data + got, 0, static_cast<std::size_t>(want - got));
            return got == want;
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
    int dataFd_ = -1;
    int64_t dataPieceSize_ = 0;
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
        clearUpperVectorHalves();
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
        clearUpperVectorHalves();
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

} // namespace recovering
